// vexbusctl against vexbus-emulator, both as processes on a real
// pseudo-terminal: what a person sees, what a script parses, and the exit
// codes. The release server is a local HTTPS server in this process.
#include "httpsserver.h"
#include "toolprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using NivoraTest::ToolResult;
using NivoraTest::jsonLines;
using NivoraTest::runTool;
using NivoraTest::waitForFinished;

namespace {

ToolResult vexbusctl(const QStringList &arguments, int timeoutMs = 30000)
{
    return runTool(QStringLiteral(VEXBUSCTL), arguments, timeoutMs);
}

using Emulator = NivoraTest::EmulatorProcess;

const QString sampleFirmware = QStringLiteral(SAMPLE_FIRMWARE);

} // namespace

class TestVexbusctl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void statusOfEmulatedAdapter_data();
    void statusOfEmulatedAdapter();
    void commandsReportTheirOutcome_data();
    void commandsReportTheirOutcome();
    void silentControllerIsReported();
    void usageErrors_data();
    void usageErrors();
    void portProblemsAreExplained_data();
    void portProblemsAreExplained();
    void adaptersFromUdev();
    void monitorPrintsFramesUntilInterrupted();
    void monitorStopsAfterCount_data();
    void monitorStopsAfterCount();
    void updateFromFileShowsProgress();
    void updateRecoversControllerInBootloader();
    void failedUpdatesAreReported_data();
    void failedUpdatesAreReported();
    void updateFromReleaseServer();
    void releaseServerProblems_data();
    void releaseServerProblems();
    void emulatorLinkAndCleanExit();
    void emulatorDropsWhatComesWhileClosed();

private:
    std::unique_ptr<Emulator> startEmulator(const QStringList &arguments = QStringList());
    // Publishes the sample image as release 1.5.0 over HTTPS on 127.0.0.1.
    bool startReleaseServer(NivoraTest::HttpsServer *server);

    QTemporaryDir m_dir;
    NivoraTest::TestCertificate m_certificate;
    QString m_certificateFile;
};

void TestVexbusctl::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The tools' firmware cache goes to a place of the test's own.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("cache"))));
    QString error;
    m_certificate = NivoraTest::TestCertificate::generate(m_dir.path(), &error);
    QVERIFY2(!m_certificate.isNull(), qPrintable(error));
    m_certificateFile = m_dir.filePath(QStringLiteral("server.crt"));
    QVERIFY(QFileInfo::exists(m_certificateFile));
}

std::unique_ptr<Emulator> TestVexbusctl::startEmulator(const QStringList &arguments)
{
    std::unique_ptr<Emulator> emulator(new Emulator(QStringLiteral(VEXBUS_EMULATOR)));
    if (!emulator->start(arguments))
        return nullptr;
    return emulator;
}

void TestVexbusctl::statusOfEmulatedAdapter_data()
{
    QTest::addColumn<QStringList>("emulatorArguments");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("ledMode");
    QTest::addColumn<QString>("busType");
    QTest::addColumn<bool>("synchronized");
    QTest::addColumn<bool>("initialized");
    QTest::addColumn<bool>("available");

    QTest::newRow("healthy bus") << QStringList() << "1.4.12" << "on" << "holtrane" << true << true << true;
    QTest::newRow("bus coming up")
        << QStringList{"--firmware-version", "2.3.4", "--led-mode", "2", "--status-flags", "5", "--bus-type", "2"}
        << "2.3.4" << "blink-slow" << "kvt" << true << false << true;
}

void TestVexbusctl::statusOfEmulatedAdapter()
{
    QFETCH(QStringList, emulatorArguments);
    QFETCH(QString, version);
    QFETCH(QString, ledMode);
    QFETCH(QString, busType);
    QFETCH(bool, synchronized);
    QFETCH(bool, initialized);
    QFETCH(bool, available);

    std::unique_ptr<Emulator> emulator = startEmulator(emulatorArguments);
    QVERIFY(emulator);

    const ToolResult json = vexbusctl({"--port", emulator->path(), "--json", "status"});
    QVERIFY2(json.exitCode == 0, qPrintable(json.describe()));
    const QList<QJsonObject> objects = jsonLines(json.out);
    QCOMPARE(objects.count(), 1);
    const QJsonObject status = objects.first();
    QCOMPARE(status.value("available").toBool(), true);
    QCOMPARE(status.value("port").toString(), emulator->path());
    QCOMPARE(status.value("firmwareVersion").toString(), version);
    QCOMPARE(status.value("ledMode").toString(), ledMode);
    QCOMPARE(status.value("vexbusType").toString(), busType);
    QCOMPARE(status.value("vexbusSynchronized").toBool(), synchronized);
    QCOMPARE(status.value("vexbusInitialized").toBool(), initialized);
    QCOMPARE(status.value("vexbusAvailable").toBool(), available);

    const ToolResult text = vexbusctl({"--port", emulator->path(), "status"});
    QVERIFY2(text.exitCode == 0, qPrintable(text.describe()));
    QVERIFY2(text.out.contains(QStringLiteral("Firmware version:   ") + version + QLatin1Char('\n')), qPrintable(text.out));
    QVERIFY2(text.out.contains(QStringLiteral("Bus initialized:    ") + (initialized ? "yes" : "no")), qPrintable(text.out));
}

void TestVexbusctl::commandsReportTheirOutcome_data()
{
    QTest::addColumn<QStringList>("emulatorArguments");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("request");

    QTest::newRow("write") << QStringList() << QStringList{"write", "0a 1b:2c"} << 0
                           << "ok: wrote 3 byte(s) to the bus\n" << "id 2 payload 03 0a 1b 2c\n";
    QTest::newRow("press ixo") << QStringList() << QStringList{"press", "ixo", "program", "--ms", "300"} << 0
                               << "ok: pressed ixo button program for 300 ms\n" << "id 2 payload 80 18 01 2c\n";
    QTest::newRow("press app") << QStringList() << QStringList{"press", "app", "intermediate-position-2"} << 0
                               << "ok: pressed app button intermediate-position-2 for 200 ms\n" << "id 2 payload 03 00 c8\n";
    QTest::newRow("reset") << QStringList() << QStringList{"reset"} << 0
                           << "ok: the controller restarted with firmware 1.4.12\n" << "SoftReset (0x02) id 2 payload -\n";
    QTest::newRow("refused") << QStringList{"--command-error", "controller:0x41=9"} << QStringList{"app-params", "on"} << 1
                             << "vexbusctl: the controller refused switching app connector parameter handling on: "
                                "error vexbus-not-available (9).\n"
                             << "id 2 payload 01\n";
    QTest::newRow("device gone") << QStringList{"--vanish-on", "controller:WriteDataToVexbus"} << QStringList{"write", "0a"} << 1
                                 << " was lost before the controller answered writing 1 byte(s) to the bus.\n"
                                 << "id 2 payload 01 0a\n";
}

void TestVexbusctl::commandsReportTheirOutcome()
{
    QFETCH(QStringList, emulatorArguments);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, request);

    std::unique_ptr<Emulator> emulator = startEmulator(emulatorArguments);
    QVERIFY(emulator);
    const ToolResult result = vexbusctl(QStringList{"--port", emulator->path()} + arguments);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    QVERIFY2((exitCode == 0 ? result.out : result.err).endsWith(output), qPrintable(result.describe()));
    // The bytes of the request as the controller received them.
    QTRY_VERIFY2(emulator->log().contains(request), qPrintable(emulator->log()));
    // A reset is done when the controller came back and answered again.
    if (arguments.first() == QLatin1String("reset")) {
        const QString log = emulator->log();
        const int booted = log.indexOf(QStringLiteral("booted into controller mode"));
        QVERIFY2(booted > log.indexOf(request), qPrintable(log));
        QVERIFY2(log.indexOf(QStringLiteral("GetFirmware (0x01) id 3 ")) > booted, qPrintable(log));
    }
}

void TestVexbusctl::silentControllerIsReported()
{
    std::unique_ptr<Emulator> emulator = startEmulator({"--silent"});
    QVERIFY(emulator);
    const ToolResult result = vexbusctl({"--port", emulator->path(), "--timeout", "1", "status"});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(QStringLiteral("vexbusctl: the controller at %1 did not answer within 1 s").arg(emulator->path())),
             qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
}

void TestVexbusctl::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("no command") << QStringList() << "Usage:";
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << "unknown command \"frobnicate\"";
    QTest::newRow("write not hex") << QStringList{"write", "zz"} << "usage: write HEX";
    QTest::newRow("write too long") << QStringList{"write", QString(512, QLatin1Char('a'))} << "a frame holds at most 255 bytes, this one 256";
    QTest::newRow("unknown button") << QStringList{"press", "ixo", "open"}
                                    << "unknown ixo button \"open\"; the buttons are: intermediate, program, plus, minus";
    QTest::newRow("press too long") << QStringList{"press", "ixo", "plus", "--ms", "70000"} << "--ms takes 0 to 65535 milliseconds";
    QTest::newRow("port and serial") << QStringList{"--port", "/dev/null", "--serial", "A1", "status"} << "either --port or --serial";
    QTest::newRow("server without online") << QStringList{"update", "image.cyacd", "--server", "https://127.0.0.1"}
                                           << "--pre-release, --server, --ca-certificate and --force go with --online";
    QTest::newRow("unknown option") << QStringList{"--bogus", "status"} << "Unknown option 'bogus'.";
    QTest::newRow("record without adapter") << QStringList{"--record", "session.trace", "list"}
                                            << "--record records the traffic with an adapter; list has none";
}

void TestVexbusctl::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const ToolResult result = vexbusctl(arguments);
    QVERIFY2(result.exitCode == 2, qPrintable(result.describe()));
    QVERIFY2((result.err + result.out).contains(message), qPrintable(result.describe()));
}

void TestVexbusctl::portProblemsAreExplained_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing") << "/dev/vexbus-does-not-exist" << "no adapter at /dev/vexbus-does-not-exist: the path does not exist.";
    QTest::newRow("no terminal") << "/dev/null" << "/dev/null is not a serial port or terminal device.";
    QTest::newRow("in use") << "emulator" << "is in use: another program holds its lock (find it with: fuser -v ";
    QTest::newRow("not permitted") << "forbidden"
                                   << "permission denied on %1 (owner root, group dialout, mode 0660). "
                                      "Add your user to the group \"dialout\" (sudo usermod -aG dialout $USER) and log in again.";
}

void TestVexbusctl::portProblemsAreExplained()
{
    QFETCH(QString, port);
    QFETCH(QString, message);

    if (port == QLatin1String("forbidden")) {
        // A tty of group dialout, and a user who is not in it.
        if (::geteuid() != 0)
            QSKIP("needs root to run vexbusctl as another user");
        const struct group *dialout = ::getgrnam("dialout");
        QVERIFY(dialout);
        std::unique_ptr<Emulator> emulator = startEmulator();
        QVERIFY(emulator);
        const QByteArray path = QFile::encodeName(emulator->path());
        QCOMPARE(::chown(path.constData(), 0, dialout->gr_gid), 0);
        QCOMPARE(::chmod(path.constData(), 0660), 0);
        const ToolResult result = runTool(QStringLiteral("setpriv"), {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                                  VEXBUSCTL, "--port", emulator->path(), "status"});
        QVERIFY2(result.exitCode == 3, qPrintable(result.describe()));
        QVERIFY2(result.err.contains(QStringLiteral("vexbusctl: ") + message.arg(emulator->path())), qPrintable(result.describe()));
        return;
    }

    std::unique_ptr<Emulator> emulator;
    QSerialPort holder;
    if (port == QLatin1String("emulator")) {
        emulator = startEmulator();
        QVERIFY(emulator);
        port = emulator->path();
        // Another program has the port open.
        holder.setPortName(port);
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
    }

    const ToolResult result = vexbusctl({"--port", port, "status"});
    QVERIFY2(result.exitCode == 3, qPrintable(result.describe()));
    const QString expected = QStringLiteral("vexbusctl: ") + (emulator ? port + QLatin1Char(' ') : QString()) + message;
    QVERIFY2(result.err.contains(expected), qPrintable(result.describe()));
}

void TestVexbusctl::adaptersFromUdev()
{
    const QString umockdevRun = QStringLiteral(UMOCKDEV_RUN);
    const ToolResult text = runTool(umockdevRun, {"--device", QStringLiteral(MOCKED_ADAPTER), "--", VEXBUSCTL, "list"});
    QVERIFY2(text.exitCode == 0, qPrintable(text.describe()));
    QVERIFY2(QRegularExpression(QStringLiteral("\n/dev/ttyUSB0 +DEMO0001 +0403:6001 +FTDI FT232R USB UART\n")).match(text.out).hasMatch(),
             qPrintable(text.out));

    // Without --port the one adapter is taken; without any, none is found.
    const ToolResult none = runTool(umockdevRun, {"--", VEXBUSCTL, "status"});
    QVERIFY2(none.exitCode == 3, qPrintable(none.describe()));
    QVERIFY2(none.err.contains(QStringLiteral("vexbusctl: no adapter found: udev lists no tty of a USB device 0403:6001 or 04b4:f139.")),
             qPrintable(none.err));
}

void TestVexbusctl::monitorPrintsFramesUntilInterrupted()
{
    // The frames carry a running number from 0, so a lost one shows.
    std::unique_ptr<Emulator> emulator = startEmulator({"--bus-traffic", "50"});
    QVERIFY(emulator);

    QProcess monitor;
    monitor.start(QStringLiteral(VEXBUSCTL), {"--port", emulator->path(), "--json", "monitor"});
    QVERIFY(monitor.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += monitor.readAllStandardOutput()).count("\"frame\"") >= 3, 10000);

    ::kill(pid_t(monitor.processId()), SIGINT);
    QVERIFY(waitForFinished(&monitor, 5000));
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), 0);
    out += monitor.readAllStandardOutput();

    const QList<QJsonObject> events = jsonLines(QString::fromUtf8(out));
    QList<QJsonObject> frames;
    bool available = false;
    for (const QJsonObject &event : events) {
        QVERIFY(QDateTime::fromString(event.value("time").toString(), Qt::ISODateWithMs).isValid());
        if (event.value("event").toString() == QLatin1String("frame"))
            frames << event;
        if (event.value("event").toString() == QLatin1String("available"))
            available = event.value("firmwareVersion").toString() == QLatin1String("1.4.12");
    }
    QVERIFY2(available, out.constData());
    QVERIFY2(frames.count() >= 3, out.constData());
    for (int i = 0; i < frames.count(); ++i)
        QCOMPARE(frames.at(i).value("data").toString(), QStringLiteral("%1").arg(i, 4, 16, QLatin1Char('0')));
    QVERIFY(monitor.readAllStandardError().contains(QStringLiteral("%1 frame(s) received").arg(frames.count()).toUtf8()));
}

void TestVexbusctl::monitorStopsAfterCount_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<int>("count");
    QTest::newRow("frames after start-up") << "50" << 2;
    // Frames that arrive while the adapter still initialises reach the
    // count before the status notification's line is due.
    QTest::newRow("count reached during start-up") << "1000" << 1;
}

void TestVexbusctl::monitorStopsAfterCount()
{
    QFETCH(QString, rate);
    QFETCH(int, count);

    std::unique_ptr<Emulator> emulator = startEmulator({"--bus-traffic", rate, "--bus-frame", "f00d"});
    QVERIFY(emulator);
    const ToolResult result = vexbusctl({"--port", emulator->path(), "monitor", "--count", QString::number(count)});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    const QStringList frames = result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).filter(QStringLiteral(" frame "));
    QCOMPARE(frames.count(), count);
    for (const QString &line : frames)
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} frame  f0 0d$")).match(line).hasMatch(),
                 qPrintable(line));
    QVERIFY2(QRegularExpression(QStringLiteral("status led on, bus synchronized, initialized, available, type holtrane\n"))
                     .match(result.out).hasMatch(),
             qPrintable(result.out));
    if (count == 1)
        return;

    // Stopped before it got them, a counted monitor did not do its job.
    std::unique_ptr<Emulator> quiet = startEmulator();
    QVERIFY(quiet);
    QProcess monitor;
    monitor.start(QStringLiteral(VEXBUSCTL), {"--port", quiet->path(), "monitor", "--count", "5"});
    QVERIFY(monitor.waitForStarted());
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += monitor.readAllStandardError()).contains("monitoring"), 10000);
    ::kill(pid_t(monitor.processId()), SIGTERM);
    QVERIFY(waitForFinished(&monitor, 5000));
    QCOMPARE(monitor.exitCode(), 130);
}

void TestVexbusctl::updateFromFileShowsProgress()
{
    std::unique_ptr<Emulator> emulator = startEmulator({"--version-after-update", "1.5.0"});
    QVERIFY(emulator);
    const ToolResult result = vexbusctl({"--port", emulator->path(), "update", sampleFirmware}, 60000);
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));

    const QStringList lines = result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.first(), QStringLiteral("updating %1 from firmware 1.4.12 with %2 (128 rows)").arg(emulator->path(), sampleFirmware));
    QCOMPARE(lines.last(), QStringLiteral("ok: the controller runs firmware 1.5.0"));
    // Without a terminal: one plain line at every tenth of the way, rising.
    const QRegularExpression progress(QStringLiteral("^progress (\\d+\\.\\d)% \\((\\d+)/128 rows, [\\d.]+ K?i?B/s\\)$"));
    QList<double> percentages;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = progress.match(line);
        if (match.hasMatch())
            percentages << match.captured(1).toDouble();
    }
    QVERIFY2(percentages.count() >= 10, qPrintable(result.out));
    QVERIFY(std::is_sorted(percentages.cbegin(), percentages.cend()));
    QVERIFY2(result.out.contains(QStringLiteral("progress 100.0% (128/128 rows")), qPrintable(result.out));
    QTRY_VERIFY2(emulator->log().contains(QStringLiteral("128 rows programmed, application valid")), qPrintable(emulator->log()));

    // On a terminal (script gives it one) the bar is redrawn in place and
    // its line ends before the next message.
    const QString command = QStringLiteral("%1 --port %2 update %3").arg(VEXBUSCTL, emulator->path(), sampleFirmware);
    const ToolResult terminal = runTool(QStringLiteral("script"), {"-qec", command, "/dev/null"}, 60000);
    QVERIFY2(terminal.exitCode == 0, qPrintable(terminal.describe()));
    QVERIFY2(!terminal.out.contains(QStringLiteral("progress ")), qPrintable(terminal.out));
    const QRegularExpression bar(QStringLiteral("\r\\[#{30}\\] 100\\.0%  128/128 rows  [\\d.]+ K?i?B/s  0:00 left\x1b\\[K\r?\n"
                                                "image written; waiting for the controller to restart"));
    QVERIFY2(bar.match(terminal.out).hasMatch(), qPrintable(terminal.out));
    QVERIFY2(terminal.out.contains(QStringLiteral("\r[###---------------------------]  10.")), qPrintable(terminal.out));
}

void TestVexbusctl::updateRecoversControllerInBootloader()
{
    // As after an interrupted update: only the bootloader answers.
    std::unique_ptr<Emulator> emulator = startEmulator({"--start-in-bootloader", "--version-after-update", "1.5.0"});
    QVERIFY(emulator);
    const ToolResult result = vexbusctl({"--port", emulator->path(), "--timeout", "3", "update", sampleFirmware}, 60000);
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(QStringLiteral("the controller at %1 does not answer; trying its bootloader directly")
                                         .arg(emulator->path())),
             qPrintable(result.describe()));
    QVERIFY2(result.out.endsWith(QStringLiteral("ok: the controller runs firmware 1.5.0\n")), qPrintable(result.describe()));
}

void TestVexbusctl::failedUpdatesAreReported_data()
{
    QTest::addColumn<QStringList>("emulatorArguments");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing image") << QStringList() << "/nonexistent/image.cyacd" << "vexbusctl: no image file at /nonexistent/image.cyacd.";
    QTest::newRow("bad row") << QStringList() << "123456780000\n:000022000401020304D0\n000023000405060708BF\n"
                             << ", line 3: not a flash row";
    QTest::newRow("bad row checksum") << QStringList() << "123456780000\n:000022000401020304D1\n"
                                      << ", line 2: the row's checksum does not match its bytes.";
    QTest::newRow("bootloader refused") << QStringList{"--command-error", "controller:StartBootloader=6"} << QString()
                                        << "vexbusctl: the controller refused to start its bootloader; nothing was written.";
    QTest::newRow("row does not verify") << QStringList{"--wrong-verify-row", "0x30"} << QString()
                                         << "vexbusctl: the update failed at ";
    QTest::newRow("device gone") << QStringList{"--vanish-on", "bootloader:ProgramRow:5"} << QString()
                                 << "vexbusctl: the update failed at ";
}

void TestVexbusctl::failedUpdatesAreReported()
{
    QFETCH(QStringList, emulatorArguments);
    QFETCH(QString, image);
    QFETCH(QString, message);

    QString imagePath = sampleFirmware;
    if (image.startsWith(QLatin1Char('/'))) {
        imagePath = image;
    } else if (!image.isEmpty()) {
        imagePath = m_dir.filePath(QStringLiteral("broken.cyacd"));
        QFile file(imagePath);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(image.toLatin1());
    }

    std::unique_ptr<Emulator> emulator = startEmulator(emulatorArguments);
    QVERIFY(emulator);
    const ToolResult result = vexbusctl({"--port", emulator->path(), "--json", "update", imagePath}, 60000);
    QVERIFY2(result.exitCode == 1, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(message), qPrintable(result.describe()));

    // Standard output stays JSON; an update that started ends with its outcome.
    const QList<QJsonObject> events = jsonLines(result.out);
    QVERIFY2(events.count() == result.out.count(QLatin1Char('\n')), qPrintable(result.out));
    if (!events.isEmpty()) {
        QCOMPARE(events.first().value("event").toString(), QStringLiteral("started"));
        QCOMPARE(events.last().value("event").toString(), QStringLiteral("finished"));
        QCOMPARE(events.last().value("success").toBool(true), false);
        QVERIFY(result.err.contains(events.last().value("error").toString()));
    }
    QCOMPARE(events.isEmpty(), imagePath != sampleFirmware);
}

bool TestVexbusctl::startReleaseServer(NivoraTest::HttpsServer *server)
{
    QFile sample(sampleFirmware);
    server->setCertificate(m_certificate);
    server->setRootDirectory(m_dir.filePath(QStringLiteral("www")));
    return sample.open(QIODevice::ReadOnly) && server->listenOnLoopback()
            && server->publishRelease(QStringLiteral("/firmware/nivora-vexbususb"), QStringLiteral("vexbus-adapter-1.5.0.cyacd"),
                                      sample.readAll(), 1, 5, 0);
}

void TestVexbusctl::updateFromReleaseServer()
{
    NivoraTest::HttpsServer server;
    QVERIFY(startReleaseServer(&server));
    const QString baseUrl = server.url(QStringLiteral("/firmware/nivora-vexbususb"));
    const QStringList releaseArguments{"--server", baseUrl, "--ca-certificate", m_certificateFile};

    const ToolResult check = vexbusctl(QStringList{"--json", "check-update"} + releaseArguments);
    QVERIFY2(check.exitCode == 0, qPrintable(check.describe()));
    const QList<QJsonObject> objects = jsonLines(check.out);
    QCOMPARE(objects.count(), 1);
    QCOMPARE(objects.first().value("version").toString(), QStringLiteral("1.5.0"));
    QCOMPARE(objects.first().value("fileName").toString(), QStringLiteral("vexbus-adapter-1.5.0.cyacd"));
    QCOMPARE(objects.first().value("verified").toBool(), true);
    QCOMPARE(objects.first().value("rowCount").toInt(), 128);

    std::unique_ptr<Emulator> emulator = startEmulator({"--version-after-update", "1.5.0"});
    QVERIFY(emulator);
    const ToolResult update = vexbusctl(QStringList{"--port", emulator->path(), "--json", "update", "--online"} + releaseArguments, 60000);
    QVERIFY2(update.exitCode == 0, qPrintable(update.describe()));
    const QList<QJsonObject> events = jsonLines(update.out);
    QVERIFY2(!events.isEmpty(), qPrintable(update.out));
    QCOMPARE(events.first().value("version").toString(), QStringLiteral("1.5.0"));
    QCOMPARE(events.last().value("event").toString(), QStringLiteral("finished"));
    QCOMPARE(events.last().value("previousFirmwareVersion").toString(), QStringLiteral("1.4.12"));
    QCOMPARE(events.last().value("firmwareVersion").toString(), QStringLiteral("1.5.0"));
    QCOMPARE(events.last().value("updated").toBool(), true);

    // The controller runs the release now: nothing to write.
    const int logged = emulator->log().size();
    const ToolResult again = vexbusctl(QStringList{"--port", emulator->path(), "update", "--online"} + releaseArguments, 60000);
    QVERIFY2(again.exitCode == 0, qPrintable(again.describe()));
    QVERIFY2(again.out.endsWith(QStringLiteral("ok: the controller runs firmware 1.5.0 already; nothing to do (--force writes it again)\n")),
             qPrintable(again.describe()));
    QTest::qWait(200);
    QVERIFY2(!emulator->log().mid(logged).contains(QStringLiteral("StartBootloader")), qPrintable(emulator->log().mid(logged)));
}

void TestVexbusctl::releaseServerProblems_data()
{
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("message");

    QTest::newRow("untrusted certificate") << "untrusted" << "Could not get the release description: SSL handshake failed";
    QTest::newRow("no release") << "missing" << "Could not get the release description: ";
    QTest::newRow("image changed") << "changed" << "The downloaded firmware file does not match the MD5 sum of the release";
}

void TestVexbusctl::releaseServerProblems()
{
    QFETCH(QString, problem);
    QFETCH(QString, message);

    NivoraTest::HttpsServer server;
    QVERIFY(startReleaseServer(&server));
    const QString directory = m_dir.filePath(QStringLiteral("www/firmware/nivora-vexbususb"));
    if (problem == QLatin1String("missing"))
        QVERIFY(QFile::remove(directory + QStringLiteral("/release.json")));
    if (problem == QLatin1String("changed")) {
        QFile imageFile(directory + QStringLiteral("/vexbus-adapter-1.5.0.cyacd"));
        QVERIFY(imageFile.open(QIODevice::Append));
        imageFile.write(":00002400040102030400\n");
        // A verified copy from an earlier run would spare the download.
        QDir(m_dir.filePath(QStringLiteral("cache"))).removeRecursively();
    }

    QStringList arguments{"check-update", "--server", server.url(QStringLiteral("/firmware/nivora-vexbususb"))};
    if (problem != QLatin1String("untrusted"))
        arguments << "--ca-certificate" << m_certificateFile;

    const ToolResult result = vexbusctl(arguments);
    QVERIFY2(result.exitCode == 1, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(message), qPrintable(result.describe()));
}

void TestVexbusctl::emulatorLinkAndCleanExit()
{
    const QString link = m_dir.filePath(QStringLiteral("vexbus0"));
    std::unique_ptr<Emulator> emulator = startEmulator({"--link", link});
    QVERIFY(emulator);
    QCOMPARE(QFileInfo(link).symLinkTarget(), emulator->path());

    // The link names the adapter as well as the tty does.
    const ToolResult status = vexbusctl({"--port", link, "--json", "status"});
    QVERIFY2(status.exitCode == 0, qPrintable(status.describe()));
    QCOMPARE(jsonLines(status.out).value(0).value("firmwareVersion").toString(), QStringLiteral("1.4.12"));

    ::kill(pid_t(emulator->process()->processId()), SIGINT);
    QVERIFY(waitForFinished(emulator->process(), 5000));
    QCOMPARE(emulator->process()->exitStatus(), QProcess::NormalExit);
    QCOMPARE(emulator->process()->exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());

    const ToolResult bad = runTool(QStringLiteral(VEXBUS_EMULATOR), {"--firmware-version", "1.x"});
    QCOMPARE(bad.exitCode, 2);
    QVERIFY2(bad.err.contains(QStringLiteral("--firmware-version")), qPrintable(bad.err));
}

void TestVexbusctl::emulatorDropsWhatComesWhileClosed()
{
    // A client that leaves before its answer comes...
    std::unique_ptr<Emulator> emulator = startEmulator({"--response-delay", "500"});
    QVERIFY(emulator);
    QProcess leaving;
    leaving.start(QStringLiteral(VEXBUSCTL), {"--port", emulator->path(), "status"});
    QVERIFY(leaving.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(emulator->log().contains(QStringLiteral("GetFirmware (0x01) id 0")), 10000);
    leaving.kill();
    QVERIFY(waitForFinished(&leaving, 5000));
    QTRY_VERIFY(emulator->log().contains(QStringLiteral("hang-up")));
    QTest::qWait(700);

    // ...leaves nothing in the line for the next one.
    const ToolResult next = vexbusctl({"--port", emulator->path(), "--json", "status"});
    QVERIFY2(next.exitCode == 0, qPrintable(next.describe()));
    QVERIFY2(!next.err.contains(QStringLiteral("Unhandled packet")), qPrintable(next.describe()));
}

QTEST_GUILESS_MAIN(TestVexbusctl)
#include "tst_vexbusctl.moc"
