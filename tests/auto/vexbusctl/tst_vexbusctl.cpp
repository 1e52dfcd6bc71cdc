// vexbusctl against vexbus-emulator, both as processes on a real
// pseudo-terminal: what a person sees, what a script parses, and the exit
// codes.
#include "toolprocess.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using NivoraTest::EmulatorProcess;
using NivoraTest::ToolResult;

namespace {

const QString sampleFirmware = QStringLiteral(SAMPLE_FIRMWARE);

ToolResult vexbusctl(const QStringList &arguments)
{
    return NivoraTest::runTool(QStringLiteral(VEXBUSCTL), arguments, 60000);
}

// The update's plain progress: one line at every tenth of the way.
QString progressLines()
{
    QString lines;
    for (const char *step : {"0.1% (0", "10.0% (12", "20.1% (25", "30.1% (38", "40.1% (51", "50.0% (64", "60.0% (76",
                             "70.1% (89", "80.1% (102", "90.1% (115", "100.0% (128"})
        lines += QRegularExpression::escape(QStringLiteral("progress %1/128 rows, ").arg(QLatin1String(step))) + "[\\d.]+ K?i?B/s\\)\n";
    return lines;
}

} // namespace

class TestVexbusctl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void commandsReportTheirOutcome_data();
    void commandsReportTheirOutcome();
    void answersWithoutAnAdapter_data();
    void answersWithoutAnAdapter();
    void portHeldElsewhereIsExplained();
    void monitorPrintsFrames_data();
    void monitorPrintsFrames();
    void updateFromFile_data();
    void updateFromFile();
    void progressBarOnATerminal();
    void emulatorDropsWhatComesWhileClosed();

private:
    QTemporaryDir m_dir;
};

void TestVexbusctl::commandsReportTheirOutcome_data()
{
    QTest::addColumn<QStringList>("emulatorArguments");
    QTest::addColumn<QStringList>("arguments"); // after --port and the emulator's tty, unless they name a port
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // on stdout after success, else on stderr; %1 is the tty
    QTest::addColumn<QString>("request"); // what the emulator logs, as a pattern

    const QStringList busComingUp{"--firmware-version", "2.3.4", "--led-mode", "2", "--status-flags", "5", "--bus-type", "2"};
    QTest::newRow("status") << busComingUp << QStringList{"status"} << 0
                            << "Port:               %1\nFirmware version:   2.3.4\nLED mode:           blink-slow\n"
                               "Bus type:           kvt\nBus synchronized:   yes\nBus initialized:    no\nBus available:      yes\n"
                               "Serial port:        %2, 115200 baud\n  description:      -\n"
                            << "GetControllerStatus \\(0x04\\) id 1 payload -\n";
    // The emulator's link names the adapter as well as its tty does.
    QTest::newRow("status through a link") << QStringList{"--link", "LINK"} + busComingUp << QStringList{"--port", "LINK", "--json", "status"} << 0
                                           << "{\"available\":true,\"firmwareVersion\":\"2.3.4\",\"ledMode\":\"blink-slow\",\"port\":\"%1\","
                                              "\"serialPort\":{\"baudrate\":115200,\"description\":\"\",\"manufacturer\":\"\",\"name\":\"%2\","
                                              "\"productIdentifier\":\"\",\"serialNumber\":\"\",\"systemLocation\":\"%1\",\"vendorIdentifier\":\"\"},"
                                              "\"vexbusAvailable\":true,\"vexbusInitialized\":false,\"vexbusSynchronized\":true,\"vexbusType\":\"kvt\"}\n"
                                           << "GetFirmware \\(0x01\\) id 0 payload -\n";
    QTest::newRow("write") << QStringList() << QStringList{"write", "0a 1b:2c"} << 0
                           << "ok: wrote 3 byte(s) to the bus\n" << "id 2 payload 03 0a 1b 2c\n";
    QTest::newRow("press ixo") << QStringList() << QStringList{"press", "ixo", "program", "--ms", "300"} << 0
                               << "ok: pressed ixo button program for 300 ms\n" << "id 2 payload 80 18 01 2c\n";
    QTest::newRow("press app") << QStringList() << QStringList{"press", "app", "intermediate-position-2"} << 0
                               << "ok: pressed app button intermediate-position-2 for 200 ms\n" << "id 2 payload 03 00 c8\n";
    // A reset is done when the controller came back and answered again.
    QTest::newRow("reset") << QStringList() << QStringList{"reset"} << 0
                           << "reset acknowledged; waiting for the controller to restart\nok: the controller restarted with firmware 1.4.12\n"
                           << "SoftReset \\(0x02\\) id 2 payload -\n.* booted into controller mode.*\n.* GetFirmware \\(0x01\\) id 3 ";
    QTest::newRow("refused") << QStringList{"--command-error", "controller:0x41=9"} << QStringList{"app-params", "on"} << 1
                             << "vexbusctl: the controller refused switching app connector parameter handling on: "
                                "error vexbus-not-available (9).\n" << "id 2 payload 01\n";
    QTest::newRow("device gone") << QStringList{"--vanish-on", "controller:WriteDataToVexbus"} << QStringList{"write", "0a"} << 1
                                 << "vexbusctl: the connection to %1 was lost before the controller answered writing 1 byte(s) to the bus.\n"
                                 << "id 2 payload 01 0a\n";
    QTest::newRow("silent controller") << QStringList{"--silent"} << QStringList{"--timeout", "1", "status"} << 1
                                       << "vexbusctl: the controller at %1 did not answer within 1 s" << "GetFirmware \\(0x01\\) id 0 ";
}

void TestVexbusctl::commandsReportTheirOutcome()
{
    QFETCH(QStringList, emulatorArguments);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, request);

    const QString link = m_dir.filePath(QStringLiteral("vexbus0"));
    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start(emulatorArguments.replaceInStrings(QStringLiteral("LINK"), link)));
    if (!arguments.contains(QStringLiteral("--port")))
        arguments = QStringList{"--port", emulator.path()} + arguments;
    const ToolResult result = vexbusctl(arguments.replaceInStrings(QStringLiteral("LINK"), link));
    output.replace(QStringLiteral("%1"), emulator.path()).replace(QStringLiteral("%2"), emulator.path().mid(5));
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    QVERIFY2((exitCode == 0 ? result.out : result.err).contains(output), qPrintable(result.describe()));
    QVERIFY2(exitCode == 0 || result.out.isEmpty(), qPrintable(result.describe()));
    // The bytes of the request as the controller received them.
    const QRegularExpression received(request);
    QTRY_VERIFY2(received.match(emulator.log()).hasMatch(), qPrintable(emulator.log()));
    // Ctrl-C ends the emulator cleanly, and its link goes with it.
    QCOMPARE(emulator.stop(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestVexbusctl::answersWithoutAnAdapter_data()
{
    QTest::addColumn<QStringList>("commandLine");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("no command") << QStringList{"vexbusctl"} << 2 << "Usage:";
    QTest::newRow("unknown command") << QStringList{"vexbusctl", "frobnicate"} << 2 << "unknown command \"frobnicate\"";
    QTest::newRow("write not hex") << QStringList{"vexbusctl", "write", "zz"} << 2 << "usage: write HEX";
    QTest::newRow("write too long") << QStringList{"vexbusctl", "write", QString(512, QLatin1Char('a'))} << 2
                                    << "a frame holds at most 255 bytes, this one 256";
    QTest::newRow("unknown button") << QStringList{"vexbusctl", "press", "ixo", "open"} << 2
                                    << "unknown ixo button \"open\"; the buttons are: intermediate, program, plus, minus";
    QTest::newRow("press too long") << QStringList{"vexbusctl", "press", "ixo", "plus", "--ms", "70000"} << 2
                                    << "--ms takes 0 to 65535 milliseconds";
    QTest::newRow("port and serial") << QStringList{"vexbusctl", "--port", "/dev/null", "--serial", "A1", "status"} << 2
                                     << "either --port or --serial";
    QTest::newRow("server without online") << QStringList{"vexbusctl", "update", "image.cyacd", "--server", "https://127.0.0.1"} << 2
                                           << "--pre-release, --server, --ca-certificate and --force go with --online";
    QTest::newRow("unknown option") << QStringList{"vexbusctl", "--bogus", "status"} << 2 << "Unknown option 'bogus'.";
    QTest::newRow("record without adapter") << QStringList{"vexbusctl", "--record", "session.trace", "list"} << 2
                                            << "--record records the traffic with an adapter; list has none";
    QTest::newRow("missing port") << QStringList{"vexbusctl", "--port", "/dev/vexbus-does-not-exist", "status"} << 3
                                  << "vexbusctl: no adapter at /dev/vexbus-does-not-exist: the path does not exist.";
    QTest::newRow("port not a terminal") << QStringList{"vexbusctl", "--port", "/dev/null", "status"} << 3
                                         << "vexbusctl: /dev/null is not a serial port or terminal device.";
    QTest::newRow("udev lists none") << QStringList{"umockdev-run", "--", "vexbusctl", "status"} << 3
                                     << "vexbusctl: no adapter found: udev lists no tty of a USB device 0403:6001 or 04b4:f139.";
    // The recording that the demo runs vexbusctl on.
    QTest::newRow("demo adapter listed") << QStringList{"umockdev-run", "--device", MOCKED_ADAPTER, "--", "vexbusctl", "list"} << 0
                                         << "\n/dev/ttyUSB0     DEMO0001         0403:6001  FTDI FT232R USB UART\n";
    QTest::newRow("emulator's bad option") << QStringList{"vexbus-emulator", "--firmware-version", "1.x"} << 2 << "--firmware-version";
}

void TestVexbusctl::answersWithoutAnAdapter()
{
    QFETCH(QStringList, commandLine);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QHash<QString, QString> programs{{"vexbusctl", VEXBUSCTL}, {"vexbus-emulator", VEXBUS_EMULATOR}, {"umockdev-run", UMOCKDEV_RUN}};
    for (QString &argument : commandLine)
        argument = programs.value(argument, argument);
    const ToolResult result = NivoraTest::runTool(commandLine.takeFirst(), commandLine);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    QVERIFY2((result.err + result.out).contains(message), qPrintable(result.describe()));
}

void TestVexbusctl::portHeldElsewhereIsExplained()
{
    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start({}));
    const QStringList status{"--port", emulator.path(), "status"};
    {
        QSerialPort holder(emulator.path());
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
        const ToolResult inUse = vexbusctl(status);
        QVERIFY2(inUse.exitCode == 3, qPrintable(inUse.describe()));
        QVERIFY2(inUse.err.contains(QStringLiteral("vexbusctl: %1 is in use: another program holds its lock (find it with: fuser -v %1).")
                                            .arg(emulator.path())), qPrintable(inUse.describe()));
    }

    // A tty of group dialout, and a user who is not in it.
    if (::geteuid() != 0)
        QSKIP("needs root to run vexbusctl as another user");
    const struct group *dialout = ::getgrnam("dialout");
    QVERIFY(dialout);
    const QByteArray path = QFile::encodeName(emulator.path());
    QVERIFY(::chown(path.constData(), 0, dialout->gr_gid) == 0 && ::chmod(path.constData(), 0660) == 0);
    const ToolResult denied = NivoraTest::runTool(QStringLiteral("setpriv"),
                                                  QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", VEXBUSCTL} + status);
    QVERIFY2(denied.exitCode == 3, qPrintable(denied.describe()));
    QVERIFY2(denied.err.contains(QStringLiteral("vexbusctl: permission denied on %1 (owner root, group dialout, mode 0660). Add your user "
                                                "to the group \"dialout\" (sudo usermod -aG dialout $USER) and log in again.")
                                         .arg(emulator.path())), qPrintable(denied.describe()));
}

void TestVexbusctl::monitorPrintsFrames_data()
{
    QTest::addColumn<QStringList>("emulatorArguments");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("signal"); // sent once that many frames came, 0 for none
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("frame"); // the pattern of a frame's line; NUMBER is its running number
    QTest::addColumn<QString>("status");

    const QString time = QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}");
    const QString textFrame = QStringLiteral("^%1 frame  f0 0d$").arg(time);
    const QString textStatus = QStringLiteral("status led on, bus synchronized, initialized, available, type holtrane\n");
    // The frames carry a running number from 0, so a lost one shows.
    QTest::newRow("until interrupted") << QStringList{"--bus-traffic", "50"} << QStringList{"--json", "monitor"} << SIGINT << 3 << 0
                                       << QStringLiteral("^\\{\"data\":\"NUMBER\",\"event\":\"frame\",\"time\":\"%1\"\\}$").arg(time)
                                       << "{\"event\":\"available\",\"firmwareVersion\":\"1.4.12\",\"time\":\"";
    QTest::newRow("counted") << QStringList{"--bus-traffic", "50", "--bus-frame", "f00d"} << QStringList{"monitor", "--count", "2"}
                             << 0 << 2 << 0 << textFrame << textStatus;
    // Frames that arrive while the adapter still initialises reach the
    // count before the status notification's line is due.
    QTest::newRow("count reached during start-up") << QStringList{"--bus-traffic", "1000", "--bus-frame", "f00d"}
                                                   << QStringList{"monitor", "--count", "1"} << 0 << 1 << 0 << textFrame << textStatus;
    // Stopped before it got them, a counted monitor did not do its job.
    QTest::newRow("stopped before the count") << QStringList() << QStringList{"monitor", "--count", "5"} << SIGTERM << 0 << 130
                                              << QString() << textStatus;
}

void TestVexbusctl::monitorPrintsFrames()
{
    QFETCH(QStringList, emulatorArguments);
    QFETCH(QStringList, arguments);
    QFETCH(int, signal);
    QFETCH(int, frames);
    QFETCH(int, exitCode);
    QFETCH(QString, frame);
    QFETCH(QString, status);

    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start(emulatorArguments));
    QProcess monitor;
    monitor.start(QStringLiteral(VEXBUSCTL), QStringList{"--port", emulator.path()} + arguments);
    QVERIFY(monitor.waitForStarted());
    QByteArray out;
    QByteArray err;
    const QRegularExpression frameLine(QStringLiteral("frame[\" ]"));
    auto frameLines = [&]() {
        out += monitor.readAllStandardOutput();
        return QString::fromUtf8(out).split(QLatin1Char('\n')).filter(frameLine);
    };
    if (signal) {
        QTRY_VERIFY_WITH_TIMEOUT((err += monitor.readAllStandardError()).contains("monitoring") && frameLines().count() >= frames, 10000);
        ::kill(pid_t(monitor.processId()), signal);
    }
    QVERIFY(NivoraTest::waitForFinished(&monitor, 10000));
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), exitCode);
    err += monitor.readAllStandardError();

    const QStringList lines = frameLines();
    QVERIFY2(signal ? lines.count() >= frames : lines.count() == frames, out.constData());
    for (int i = 0; i < lines.count(); ++i) {
        const QString number = QStringLiteral("%1").arg(i, 4, 16, QLatin1Char('0'));
        QVERIFY2(QRegularExpression(QString(frame).replace(QStringLiteral("NUMBER"), number)).match(lines.at(i)).hasMatch(), qPrintable(lines.at(i)));
    }
    QVERIFY2(out.contains(status.toUtf8()), out.constData());
    QVERIFY2(err.contains(QStringLiteral("%1 frame(s) received").arg(lines.count()).toUtf8()), err.constData());
}

void TestVexbusctl::updateFromFile_data()
{
    QTest::addColumn<QStringList>("emulatorArguments");
    QTest::addColumn<QStringList>("arguments"); // after --port; IMAGE is the image file
    QTest::addColumn<QString>("image"); // the image file's content, empty for the sample
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // the pattern of stdout; PORT is the tty, IMAGE the image file
    QTest::addColumn<QString>("error"); // on stderr; PORT is the tty

    const QString written = QStringLiteral("bootloader port open; writing 128 rows\n") + progressLines()
            + QStringLiteral("image written; waiting for the controller to restart\nok: the controller runs firmware 1\\.5\\.0\n$");
    const QString started = QStringLiteral("^\\{\"event\":\"started\",\"image\":\"IMAGE\",\"port\":\"PORT\","
                                           "\"previousFirmwareVersion\":\"1\\.4\\.12\",\"rowCount\":128\\}\n");
    const QString writing = started + QStringLiteral("\\{\"event\":\"bootloader-starting\"\\}\n\\{\"event\":\"writing\"\\}\n(\\{\"event\":\"progress\",.*\n)*");
    // A failed update ends with its error, for scripts as the last event.
    const QString failed = QStringLiteral("\\{\"error\":\"(?<error>%1)\",\"event\":\"finished\",\"success\":false\\}\n$");
    const QStringList json{"--json", "update", "IMAGE"};

    QTest::newRow("written") << QStringList{"--version-after-update", "1.5.0"} << QStringList{"update", "IMAGE"} << QString() << 0
                             << "^updating PORT from firmware 1\\.4\\.12 with IMAGE \\(128 rows\\)\n"
                                "the controller reboots into its bootloader; connecting in 3 s\n" + written
                             << QString();
    // As after an interrupted update: only the bootloader answers.
    QTest::newRow("controller in its bootloader") << QStringList{"--start-in-bootloader", "--version-after-update", "1.5.0"}
                                                  << QStringList{"--timeout", "3", "update", "IMAGE"} << QString() << 0
                                                  << "^updating PORT from firmware - with IMAGE \\(128 rows\\)\nconnecting to the bootloader in 3 s\n" + written
                                                  << "the controller at PORT does not answer; trying its bootloader directly";
    QTest::newRow("missing image") << QStringList() << QStringList{"--json", "update", "/nonexistent/image.cyacd"} << QString() << 1
                                   << "^$" << "vexbusctl: no image file at /nonexistent/image.cyacd.";
    QTest::newRow("bad row") << QStringList() << json << "123456780000\n:000022000401020304D0\n000023000405060708BF\n" << 1
                             << "^$" << ", line 3: not a flash row";
    QTest::newRow("bad row checksum") << QStringList() << json << "123456780000\n:000022000401020304D1\n" << 1
                                      << "^$" << ", line 2: the row's checksum does not match its bytes.";
    QTest::newRow("bootloader refused") << QStringList{"--command-error", "controller:StartBootloader=6"} << json << QString() << 1
                                        << started + failed.arg("the controller refused to start its bootloader; nothing was written\\.")
                                        << QString();
    QTest::newRow("row does not verify") << QStringList{"--wrong-verify-row", "0x30"} << json << QString() << 1
                                         << writing + failed.arg("the update failed at 11\\.7% \\(connected-bootloader\\); the controller "
                                                                 "stays in its bootloader: run the update again\\.")
                                         << QString();
    QTest::newRow("device gone") << QStringList{"--vanish-on", "bootloader:ProgramRow:5"} << json << QString() << 1
                                 << writing + failed.arg("the update failed at 3\\.9% \\(connected-bootloader\\); the controller "
                                                         "stays in its bootloader: run the update again\\.")
                                 << QString();
}

void TestVexbusctl::updateFromFile()
{
    QFETCH(QStringList, emulatorArguments);
    QFETCH(QStringList, arguments);
    QFETCH(QString, image);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, error);

    QString imagePath = sampleFirmware;
    if (!image.isEmpty()) {
        imagePath = m_dir.filePath(QStringLiteral("broken.cyacd"));
        QFile file(imagePath);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(image.toLatin1()) == image.size());
    }
    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start(emulatorArguments));
    const ToolResult result = vexbusctl(QStringList{"--port", emulator.path()} + arguments.replaceInStrings(QStringLiteral("IMAGE"), imagePath));
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    const QRegularExpressionMatch match = QRegularExpression(output.replace(QStringLiteral("PORT"), QRegularExpression::escape(emulator.path()))
                                                                     .replace(QStringLiteral("IMAGE"), QRegularExpression::escape(imagePath)))
                                                  .match(result.out);
    QVERIFY2(match.hasMatch(), qPrintable(result.describe()));
    QVERIFY2(result.err.contains(error.replace(QStringLiteral("PORT"), emulator.path())), qPrintable(result.describe()));
    // What a script reads as the error is what the person reads.
    const QString scriptError = match.captured(QStringLiteral("error"));
    QVERIFY2(scriptError.isEmpty() || result.err.contains(QStringLiteral("vexbusctl: %1\n").arg(scriptError)), qPrintable(result.describe()));
    QTRY_COMPARE(emulator.log().contains(QStringLiteral("128 rows programmed, application valid")), exitCode == 0);
}

void TestVexbusctl::progressBarOnATerminal()
{
    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start({"--version-after-update", "1.5.0"}));
    // script gives vexbusctl a terminal: the bar is redrawn in place
    // and its line ends before the next message.
    const QString command = QStringLiteral("%1 --port %2 update %3").arg(VEXBUSCTL, emulator.path(), sampleFirmware);
    const ToolResult result = NivoraTest::runTool(QStringLiteral("script"), {"-qec", command, "/dev/null"}, 60000);
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    const QString bar = QStringLiteral("(\r\\[#*-*\\] +\\d+\\.\\d%  \\d+/128 rows  [\\d.]+ K?i?B/s  (\\d+:\\d\\d|--:--) left\x1b\\[K)*");
    const QRegularExpression bars(QStringLiteral("writing 128 rows\r\n%1\r\\[###-{27}\\]  10\\.[^\r]*%1"
                                                 "\r\\[#{30}\\] 100\\.0%  128/128 rows  [\\d.]+ K?i?B/s  0:00 left\x1b\\[K\r\n"
                                                 "image written; waiting for the controller to restart\r\n").arg(bar));
    QVERIFY2(bars.match(result.out).hasMatch(), qPrintable(result.out));
}

void TestVexbusctl::emulatorDropsWhatComesWhileClosed()
{
    // A client that leaves before its answer comes...
    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start({"--response-delay", "500"}));
    QProcess leaving;
    leaving.start(QStringLiteral(VEXBUSCTL), {"--port", emulator.path(), "status"});
    QTRY_VERIFY_WITH_TIMEOUT(emulator.log().contains(QStringLiteral("GetFirmware (0x01) id 0")), 10000);
    leaving.kill();
    QVERIFY(NivoraTest::waitForFinished(&leaving, 5000));
    QTRY_VERIFY(emulator.log().contains(QStringLiteral("hang-up")));
    QTest::qWait(700);

    // ...leaves nothing in the line for the next one.
    const ToolResult next = vexbusctl({"--port", emulator.path(), "--json", "status"});
    QVERIFY2(next.exitCode == 0, qPrintable(next.describe()));
    QVERIFY2(!next.err.contains(QStringLiteral("Unhandled packet")), qPrintable(next.describe()));
}

QTEST_GUILESS_MAIN(TestVexbusctl)
#include "tst_vexbusctl.moc"
