// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbusctl doctor on the mocked platform: each situation that keeps an
// adapter from working gives its check's line, with the fix, and the exit
// code says whether anything is a problem.
#include "serialdriver.h"
#include "testplatform.h"
#include "toolprocess.h"
#include "vexbusemulator.h"

#include <QProcess>
#include <QStandardPaths>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using NivoraTest::SerialDriver;
using NivoraTest::TestPlatform;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

// What a row sets up beside the adapter.
struct Situation
{
    TestPlatform::UsbSerialDevice device; // none without a serial number
    bool ruleInstalled = true;
    QString brlttyRule;              // content of a brltty rule file; none when empty
    QString runningProgram;          // a process of this name runs (ModemManager)
    QString holder;                  // a process of this name holds the tty open
    bool lockHolder = false;         // the holder only has the port's lock file
    int serialDriver = -1;           // a SerialDriver::Behaviour on the tty
    int ttyMode = 0;                 // the tty's mode for a user who is not its owner
    bool otherUser = false;          // vexbusctl runs as nobody
    int emulatorMode = -1;           // -1 none, else a VexbusEmulator::Mode; 2: silent
};

// An adapter that udev set up with our rule.
TestPlatform::UsbSerialDevice healthyDevice()
{
    TestPlatform::UsbSerialDevice device;
    device.serialNumber = QStringLiteral("A5XK1234");
    device.latencyTimer = QStringLiteral("1");
    device.ttyProperties = {{QStringLiteral("ID_MM_DEVICE_IGNORE"), QStringLiteral("1")},
                            {QStringLiteral("DEVLINKS"), QStringLiteral("/dev/serial/by-id/usb-FTDI_A5XK1234 /dev/vexbus/by-serial/A5XK1234")}};
    return device;
}

Situation healthy()
{
    Situation situation;
    situation.device = healthyDevice();
    situation.emulatorMode = VexbusEmulator::ModeController;
    return situation;
}

// A copy of sleep under another name: a real process that ps, /proc and
// the doctor know by that name.
QString programNamed(const QString &folder, const QString &name)
{
    const QString path = folder + QLatin1Char('/') + name;
    if (!QFile::exists(path))
        QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    return path;
}

QString programOf(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed() : QString();
}

} // namespace

Q_DECLARE_METATYPE(Situation)

class TestVexbusctlDoctor : public QObject
{
    Q_OBJECT

private slots:
    void reportsEachCheck_data();
    void reportsEachCheck();
};

void TestVexbusctlDoctor::reportsEachCheck_data()
{
    QTest::addColumn<Situation>("situation");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    // Patterns of lines that stdout must hold.
    QTest::addColumn<QStringList>("lines");

    const QString usbOk = QStringLiteral("^ok +usb +0403:6001 serial number A5XK1234: /dev/ttyUSB0 \\(driver ftdi_sio\\)\\.$");
    QTest::newRow("all well") << healthy() << QStringList() << 0
        << QStringList{usbOk,
                       "^ok +udev-rule +applied to /dev/ttyUSB0: ModemManager leaves it alone, and /dev/vexbus/by-serial/A5XK1234 stays its name",
                       "^ok +permission +root may open /dev/ttyUSB0\\.$",
                       "^ok +port-in-use +no other program holds /dev/ttyUSB0\\.$",
                       "^ok +latency-timer +the FTDI latency timer of /dev/ttyUSB0 is 1 ms\\.$",
                       "^ok +controller +the controller at /dev/ttyUSB0 answers: firmware 1\\.4\\.12, bus available\\.$",
                       "^ok +modemmanager +ModemManager is not running\\.$",
                       "^ok +brltty +brltty is not installed \\(no udev rule of it\\)\\.$"};

    Situation situation = healthy();
    situation.device.driver.clear();
    QTest::newRow("FTDI without driver") << situation << QStringList() << 1
        << QStringList{"^problem +usb +0403:6001 serial number A5XK1234 has no tty: no driver is bound to it\\. "
                       "Fix: load the FTDI driver: sudo modprobe ftdi_sio \\(then plug the adapter in again\\)\\.$"};
    situation.device.vendorId = QStringLiteral("04b4");
    situation.device.productId = QStringLiteral("f139");
    situation.device.interfaceClass = QStringLiteral("02");
    QTest::newRow("CDC without driver") << situation << QStringList() << 1
        << QStringList{"^problem +usb +04b4:f139 serial number A5XK1234 has no tty: no driver is bound to it\\. Fix: load the CDC ACM driver: sudo modprobe cdc_acm"};
    situation.device.interfaceClass = QStringLiteral("ff");
    QTest::newRow("vendor class without driver") << situation << QStringList() << 1
        << QStringList{"Fix: let the generic USB serial driver take it: sudo modprobe usbserial && echo 04b4 f139 \\| sudo tee /sys/bus/usb-serial/drivers/generic/new_id$"};

    situation = healthy();
    situation.device.driver = QStringLiteral("usbfs");
    situation.brlttyRule = QStringLiteral("# braille displays behind USB serial chips\nENV{PRODUCT}==\"403/6001/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"at\", GOTO=\"brltty_usb_run\"\n");
    QTest::newRow("taken by brltty") << situation << QStringList() << 1
        << QStringList{"^problem +usb +0403:6001 serial number A5XK1234 has no tty: a program took it through usbfs",
                       "^problem +brltty +brltty's rule .*/rules/85-brltty\\.rules \\(line 2\\) claims 0403:6001 for a braille display .* "
                       "Fix: without a braille display: sudo apt remove brltty; with one, mask the rule: sudo ln -s /dev/null /etc/udev/rules.d/85-brltty\\.rules;"};
    situation = healthy();
    situation.brlttyRule = QStringLiteral("ATTRS{idVendor}==\"1c71\", ATTRS{idProduct}==\"c005\", GOTO=\"brltty_usb_run\"\n");
    QTest::newRow("brltty for other devices") << situation << QStringList() << 0
        << QStringList{"^ok +brltty +brltty's rules \\(85-brltty\\.rules\\) do not claim 0403:6001 or 04b4:f139\\.$"};

    situation = healthy();
    situation.device.ttyProperties.clear();
    situation.ruleInstalled = false;
    situation.runningProgram = QStringLiteral("ModemManager");
    QTest::newRow("no rule, ModemManager runs") << situation << QStringList() << 1
        << QStringList{"^warning +udev-rule +60-nivora-vexbususb\\.rules is not installed: /dev/ttyUSB0 has no ID_MM_DEVICE_IGNORE and the link in "
                       "/dev/vexbus/by-serial/, .* Fix: install 60-nivora-vexbususb\\.rules .*into /etc/udev/rules\\.d, then: sudo udevadm control --reload "
                       "&& sudo udevadm trigger --action=add /sys/class/tty/ttyUSB0$",
                       "^problem +modemmanager +ModemManager runs \\(pid \\d+\\) and may probe /dev/ttyUSB0 with AT commands"};
    situation.ruleInstalled = true;
    situation.runningProgram.clear();
    QTest::newRow("rule not applied") << situation << QStringList() << 0
        << QStringList{"^warning +udev-rule +.*/rules/60-nivora-vexbususb\\.rules is installed but /dev/ttyUSB0 has no ID_MM_DEVICE_IGNORE and the "
                       "link in /dev/vexbus/by-serial/: udev has not applied it since\\. Fix: sudo udevadm control --reload"};
    situation = healthy();
    situation.runningProgram = QStringLiteral("ModemManager");
    QTest::newRow("ModemManager kept away") << situation << QStringList() << 0
        << QStringList{"^ok +modemmanager +ModemManager runs \\(pid \\d+\\) and leaves the adapters alone\\.$"};

    situation = healthy();
    situation.holder = QStringLiteral("sleep");
    QTest::newRow("held by a program") << situation << QStringList() << 1
        << QStringList{"^problem +port-in-use +sleep \\(pid (\\d+)\\) has /dev/ttyUSB0 open\\. Fix: end that program or let it close the port \\(kill \\1\\)\\.$"};
    situation.holder = QStringLiteral("vexbusd");
    QTest::newRow("held by the service") << situation << QStringList() << 0
        << QStringList{"^warning +port-in-use +the service vexbusd \\(pid \\d+\\) has /dev/ttyUSB0 open and drives the adapter; the "
                       "controller check is left out\\. Fix: let vexbusd lend the port to check the controller too: vexbusctl "
                       "inhibit --port /dev/ttyUSB0 -- vexbusctl doctor --port /dev/ttyUSB0; an update of a controller in its "
                       "bootloader runs the same way: vexbusctl inhibit --port /dev/ttyUSB0 -- vexbusctl --port /dev/ttyUSB0 "
                       "update --online \\(or update FILE\\)\\.$"};
    situation.holder = QStringLiteral("sleep");
    situation.lockHolder = true;
    QTest::newRow("locked by a program") << situation << QStringList() << 1
        << QStringList{"^problem +port-in-use +sleep \\(pid \\d+\\) holds the lock /[a-z/]+/LCK\\.\\.ttyUSB0 of /dev/ttyUSB0\\."};

    situation = healthy();
    situation.device.latencyTimer = QStringLiteral("16");
    situation.serialDriver = SerialDriver::Accepts;
    QTest::newRow("latency timer, low latency possible") << situation << QStringList() << 0
        << QStringList{"^ok +latency-timer +the FTDI latency timer of /dev/ttyUSB0 is 16 ms; the library sets low latency \\(1 ms\\) while it has the port open\\.$"};
    situation.serialDriver = SerialDriver::RefusesSettings;
    QTest::newRow("latency timer, low latency refused") << situation << QStringList() << 0
        << QStringList{"^warning +latency-timer +the FTDI latency timer of /dev/ttyUSB0 is 16 ms, and the driver refuses low latency: .* "
                       "Fix: as root: echo 1 > /sys/devices/usb1/1-1:1\\.0/ttyUSB0/latency_timer"};

    situation = healthy();
    situation.emulatorMode = VexbusEmulator::ModeBootloader;
    QTest::newRow("controller in its bootloader") << situation << QStringList{"--timeout", "9"} << 1
        << QStringList{"^problem +controller +the controller at /dev/ttyUSB0 does not answer, but its bootloader does: an update was interrupted\\. "
                       "Fix: write its firmware again: vexbusctl --port /dev/ttyUSB0 update FILE, or vexbusctl --port /dev/ttyUSB0 update --online\\.$"};
    situation.emulatorMode = 2;
    QTest::newRow("silent controller") << situation << QStringList{"--timeout", "7"} << 1
        << QStringList{"^problem +controller +neither the controller at /dev/ttyUSB0 nor its bootloader answered within 7 s\\."};

    situation = healthy();
    situation.otherUser = true;
    situation.ttyMode = 0660;
    QTest::newRow("not in the tty's group") << situation << QStringList() << 1
        << QStringList{"^problem +permission +nobody may not open /dev/ttyUSB0 \\(owner root, group dialout, mode 0660\\)\\. "
                       "Fix: join the group dialout: sudo usermod -aG dialout nobody, then log in again\\.$"};
    situation.ttyMode = 0600;
    QTest::newRow("owner only") << situation << QStringList() << 1
        << QStringList{"^problem +permission +nobody may not open /dev/ttyUSB0 \\(owner root, group dialout, mode 0600\\): only its owner may use it\\."};

    QTest::newRow("tty moved") << healthy() << QStringList{"--port", "/dev/ttyUSB3"} << 1
        << QStringList{"^problem +usb +/dev/ttyUSB3 does not exist\\. Fix: tty numbers change when adapters are plugged in or the "
                       "system starts; the adapters are at /dev/ttyUSB0 \\(serial number A5XK1234, stable name "
                       "/dev/vexbus/by-serial/A5XK1234\\) now\\. Give the stable name, or --serial\\.$"};
    QTest::newRow("serial number not found") << healthy() << QStringList{"--serial", "ZZ"} << 1
        << QStringList{"^problem +usb +no adapter with a serial number starting with \"ZZ\" is connected \\(1 other\\)\\."};
    situation = healthy();
    situation.device.serialNumber.clear();
    situation.emulatorMode = -1;
    QTest::newRow("no adapter") << situation << QStringList() << 1
        << QStringList{"^problem +usb +no USB device 0403:6001 or 04b4:f139 is connected\\. Fix: plug the adapter in"};
    QTest::newRow("json") << healthy() << QStringList{"--json"} << 0
        << QStringList{"^\\{\"checks\":\\[\\{\"check\":\"usb\",\"message\":\"0403:6001 serial number A5XK1234: /dev/ttyUSB0 \\(driver ftdi_sio\\)\\.\",\"status\":\"ok\"\\},"
                       ".*\\{\"check\":\"controller\",\"message\":\"the controller at /dev/ttyUSB0 answers: [^\"]*\",\"status\":\"ok\"\\}.*\\],\"problems\":0,\"warnings\":0\\}$"};
}

void TestVexbusctlDoctor::reportsEachCheck()
{
    QFETCH(Situation, situation);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);

    if (situation.otherUser && ::getuid() != 0)
        QSKIP("running vexbusctl as another user needs root");
    if (situation.lockHolder && qEnvironmentVariableIsEmpty("NIVORA_PRIVATE_LOCKS"))
        QSKIP("a lock file of the test needs a lock folder of its own (root)");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString rules = dir.filePath(QStringLiteral("rules"));
    QVERIFY(QDir().mkpath(rules));
    if (situation.ruleInstalled)
        QVERIFY(QFile::copy(QStringLiteral(UDEV_RULE), rules + QStringLiteral("/60-nivora-vexbususb.rules")));
    if (!situation.brlttyRule.isEmpty()) {
        QFile rule(rules + QStringLiteral("/85-brltty.rules"));
        QVERIFY(rule.open(QIODevice::WriteOnly));
        rule.write(situation.brlttyRule.toUtf8());
    }

    TestPlatform platform;
    const QString node = situation.device.serialNumber.isEmpty() ? QString() : platform.addUsbSerialDevice(situation.device);
    std::unique_ptr<SerialDriver> serialDriver;
    if (situation.serialDriver >= 0) {
        serialDriver.reset(new SerialDriver(&platform, QStringLiteral("ttyUSB0"), SerialDriver::Behaviour(situation.serialDriver)));
        QVERIFY(serialDriver->isAttached());
    }
    VexbusEmulator emulator;
    if (situation.emulatorMode >= 0 && !node.isEmpty()) {
        QVERIFY(emulator.attach(platform.masterFd(QStringLiteral("ttyUSB0"))));
        emulator.setMode(situation.emulatorMode == VexbusEmulator::ModeBootloader ? VexbusEmulator::ModeBootloader
                                                                                  : VexbusEmulator::ModeController);
        emulator.setSilent(situation.emulatorMode == 2);
    }

    // Processes that the doctor finds, ended however the row ends.
    struct Processes : std::vector<std::unique_ptr<QProcess>>
    {
        ~Processes()
        {
            for (const std::unique_ptr<QProcess> &process : *this) {
                process->kill();
                process->waitForFinished();
            }
        }
    } processes;
    auto startProcess = [&](const QString &program, const QStringList &processArguments) {
        processes.emplace_back(new QProcess);
        processes.back()->start(program, processArguments);
        return processes.back()->waitForStarted() ? processes.back()->processId() : 0;
    };
    if (!situation.runningProgram.isEmpty())
        QVERIFY(startProcess(programNamed(dir.path(), situation.runningProgram), {"60"}));
    QString lockFile;
    if (!situation.holder.isEmpty()) {
        const QString program = programNamed(dir.path(), situation.holder);
        if (situation.lockHolder) {
            const qint64 pid = startProcess(program, {"60"});
            QVERIFY(pid);
            // QLockFile's format: process id, program, host name.
            lockFile = QStringLiteral("/var/lock/LCK..ttyUSB0");
            QFile lock(lockFile);
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(QByteArray::number(pid) + "\nsleep\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        } else {
            // The shell opens the mocked tty through umockdev, as any program would.
            const qint64 pid = startProcess(QStringLiteral("sh"), {"-c", "exec 3<>/dev/ttyUSB0; exec \"$0\" 60", program});
            QVERIFY(pid);
            QTRY_VERIFY(QFileInfo(QStringLiteral("/proc/%1/fd/3").arg(pid)).exists()
                        && programOf(pid) == situation.holder);
        }
    }

    QString program = QStringLiteral(VEXBUSCTL);
    QStringList programArguments = QStringList{"doctor", "--udev-rules-dir", rules} + arguments;
    if (situation.otherUser) {
        // The tty belongs to root and the group dialout; nobody is no member.
        const QByteArray pty = QFile::encodeName(platform.ptyPath(QStringLiteral("ttyUSB0")));
        QVERIFY(::chown(pty.constData(), 0, ::getgrnam("dialout")->gr_gid) == 0);
        QVERIFY(::chmod(pty.constData(), mode_t(situation.ttyMode)) == 0);
        // nobody reads the mocked system, and runs copies of the program and
        // the library where it may (the build tree may lie in root's home).
        QVERIFY(::chmod(QFile::encodeName(platform.rootDir()).constData(), 0755) == 0);
        // umockdev's preload talks to the testbed through these sockets.
        const QDir sockets(platform.rootDir() + QStringLiteral("/ioctl"));
        for (const QString &socket : sockets.entryList(QDir::System | QDir::Hidden))
            QVERIFY(::chmod(QFile::encodeName(sockets.filePath(socket)).constData(), 0666) == 0);
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        QVERIFY(QFile::copy(program, dir.filePath(QStringLiteral("vexbusctl"))));
        const QString library = QStringLiteral(VEXBUSUSB_LIBRARY);
        QVERIFY(QFile::copy(library, dir.filePath(QFileInfo(library).fileName())));
        qputenv("LD_LIBRARY_PATH", QFile::encodeName(dir.path()));
        programArguments = QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", dir.filePath(QStringLiteral("vexbusctl"))}
                + programArguments;
        program = QStringLiteral("setpriv");
    }
    const NivoraTest::ToolResult result = NivoraTest::runTool(program, programArguments);
    qunsetenv("LD_LIBRARY_PATH");
    if (!lockFile.isEmpty())
        QFile::remove(lockFile);

    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    const QStringList outLines = result.out.split(QLatin1Char('\n'));
    for (const QString &pattern : lines) {
        const QRegularExpression expression(pattern);
        QVERIFY2(expression.isValid(), qPrintable(pattern));
        const bool found = std::any_of(outLines.cbegin(), outLines.cend(),
                                       [&expression](const QString &line) { return expression.match(line).hasMatch(); });
        QVERIFY2(found, qPrintable(pattern + QStringLiteral("\n") + result.describe()));
    }
}

QTEST_GUILESS_MAIN(TestVexbusctlDoctor)
#include "tst_vexbusctldoctor.moc"
