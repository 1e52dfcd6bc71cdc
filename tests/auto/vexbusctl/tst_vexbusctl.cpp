// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbusctl against vexbus-emulator, both as processes on a real
// pseudo-terminal: what a person sees, what a script parses, and the exit
// codes. Releases are published with vexbus-release on a local HTTPS server
// in this process.
#include "httpsserver.h"
#include "toolprocess.h"

#include <algorithm>

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

void addColumns()
{
    QTest::addColumn<QStringList>("emulatorArguments");
    // vexbusctl's, after --port and the emulator's tty, unless they start with the program to run.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    // Patterns of stdout, stderr and the requests that the emulator logs.
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("request");
}

void addRow(const char *name, const QStringList &emulatorArguments, const QStringList &arguments, int exitCode,
            const QString &output, const QString &error = QString(), const QString &request = QString())
{
    QTest::newRow(name) << emulatorArguments << arguments << exitCode << output << error << request;
}

} // namespace

class TestVexbusctl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commandsReportTheirOutcome_data();
    void commandsReportTheirOutcome() { runRow(); }
    void refusalsAreExplained_data();
    void refusalsAreExplained() { runRow(); }
    void updateFromFile_data();
    void updateFromFile() { runRow(); }
    void checkUpdate_data();
    void checkUpdate() { runRow(); }
    void updateOnline_data();
    void updateOnline() { runRow(); }
    void portHeldElsewhereIsExplained();
    void monitorStopsAfterCount_data();
    void monitorStopsAfterCount() { runRow(); }
    void monitorEndsOnSignal_data();
    void monitorEndsOnSignal();

private:
    // Runs the row's command line on its emulator. The arguments and the
    // patterns name the emulator's tty PORT, the test's folder DIR, the
    // release server SERVER and the sample image SAMPLE.
    void runRow();
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    NivoraTest::HttpsServer m_server;
};

void TestVexbusctl::initTestCase()
{
    // The tools' firmware cache goes to a place of the test's own.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path(QStringLiteral("cache"))));
    // The tools are told the certificate with --ca-certificate DIR/server.crt.
    QString error;
    QVERIFY2(m_server.start(m_dir.path(), path(QStringLiteral("www")), &error, false), qPrintable(error));

    const ToolResult keygen = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE), {"keygen", path("publisher")});
    QVERIFY2(keygen.exitCode == 0, qPrintable(keygen.describe()));
    QCOMPARE(QFileInfo(path("publisher.key")).permissions() & 0x0077, QFile::Permissions());
    QCOMPARE(NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE), {"keygen", path("publisher")}).exitCode, 1);
    const QString image = path(QStringLiteral("www/firmware/nivora-vexbususb/vexbus-adapter-1.5.0.cyacd"));
    QVERIFY(QDir().mkpath(QFileInfo(image).path()) && QFile::copy(sampleFirmware, image));
    const ToolResult write = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE),
                                                 {"write", image, "--release-version", "1.5.0", "--key", path("publisher.key")});
    QVERIFY2(write.exitCode == 0, qPrintable(write.describe()));
    // A broken image, as a file below the server's root.
    QVERIFY(m_server.publish(QStringLiteral("/bad-row.cyacd"), "123456780000\n:000022000401020304D0\n000023000405060708BF\n"));

    // A newer signed release in its own folder, and an unsigned one whose
    // hardware name would write lines and clear the screen.
    const QString newer = path(QStringLiteral("www/firmware/newer/vexbus-adapter-1.6.0.cyacd"));
    QVERIFY(QDir().mkpath(QFileInfo(newer).path()) && QFile::copy(sampleFirmware, newer));
    const ToolResult writeNewer = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE),
                                                      {"write", newer, "--release-version", "1.6.0", "--key", path("publisher.key")});
    QVERIFY2(writeNewer.exitCode == 0, qPrintable(writeNewer.describe()));
    const QByteArray sample = NivoraTest::readFile(sampleFirmware);
    QVERIFY(m_server.publish(QStringLiteral("/firmware/hostile/release.json"),
                             NivoraTest::releaseDescription(QStringLiteral("image.cyacd"), sample,
                                                            {{"hardware", "adapter\nSignature:          verified\x1b[2J"}})));
    QVERIFY(m_server.publish(QStringLiteral("/firmware/hostile/image.cyacd"), sample));
    // A trace name that is a link to a file of someone else's.
    QFile victim(path(QStringLiteral("victim.txt")));
    QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write("victim\n") == 7);
    QVERIFY(QFile::link(path(QStringLiteral("victim.txt")), path(QStringLiteral("linked.trace"))));
}

void TestVexbusctl::runRow()
{
    QFETCH(QStringList, emulatorArguments);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, error);
    QFETCH(QString, request);

    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QHash<QString, QString> names{{"DIR", m_dir.path()}, {"SAMPLE", sampleFirmware}, {"SERVER", m_server.url(QStringLiteral("/firmware"))},
                                  {"KEYDIR", RELEASE_KEY_DIRECTORY}, {"VEXBUSCTL", VEXBUSCTL}, {"VEXBUS_RELEASE", VEXBUS_RELEASE},
                                  {"VEXBUS_EMULATOR", VEXBUS_EMULATOR}};
    // Longer names first: DIR is part of KEYDIR, and a hash has no order.
    auto expand = [&names](QString text, bool pattern) {
        QStringList keys = names.keys();
        std::sort(keys.begin(), keys.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
        for (const QString &key : keys)
            text.replace(key, pattern ? QRegularExpression::escape(names.value(key)) : names.value(key));
        return text;
    };
    for (QString &argument : emulatorArguments)
        argument = expand(argument, false);
    QVERIFY(emulator.start(emulatorArguments));
    names.insert(QStringLiteral("PORT"), emulator.path());

    const QHash<QString, QString> programs{{"vexbusctl", VEXBUSCTL}, {"umockdev-run", UMOCKDEV_RUN}};
    // "terminal" runs the rest of the line on a pseudo-terminal.
    const bool onTerminal = arguments.value(0) == QLatin1String("terminal");
    if (onTerminal)
        arguments.removeFirst();
    if (!programs.contains(arguments.value(0)) && arguments.value(0) != QLatin1String("sh"))
        arguments = QStringList{"vexbusctl", "--port", "PORT"} + arguments;
    for (QString &argument : arguments) {
        argument = expand(argument, false);
        const QString program = argument.section(QLatin1Char(' '), 0, 0);
        argument.replace(0, program.size(), programs.value(program, program));
    }
    // A verified copy from an earlier case would spare the download.
    QDir(path(QStringLiteral("cache"))).removeRecursively();
    const QString program = arguments.takeFirst();
    const ToolResult result = onTerminal ? NivoraTest::runOnTerminal(program, arguments, 60000) : NivoraTest::runTool(program, arguments, 60000);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    QVERIFY2(QRegularExpression(expand(output, true)).match(result.out).hasMatch(), qPrintable(result.describe()));
    // A controller that restarts announces itself while the adapter's first
    // version request may already be on the line; that request is aborted and
    // its late answer logged as unhandled. On a slow run (sanitizers) this
    // happens after an update; it says nothing about the case itself.
    QString err = result.err;
    err.remove(QRegularExpression(QStringLiteral("^\\[VexbusUsbTraffic\\] warning: Unhandled packet received: Packet\\(Response, "
                                                 "NivoraVexbusUsb::NivoraVexbusUsbUtils::CommandGetFirmware, [^\n]*\n"),
                                  QRegularExpression::MultilineOption));
    QVERIFY2(QRegularExpression(expand(error, true)).match(err).hasMatch(), qPrintable(result.describe()));
    const QRegularExpression received(expand(request, true));
    QTRY_VERIFY2(received.match(emulator.log()).hasMatch(), qPrintable(emulator.log()));
    // Ctrl-C ends the emulator cleanly, and a link it made goes with it.
    QCOMPARE(emulator.stop(), 0);
    QVERIFY(!QFileInfo(path(QStringLiteral("vexbus0"))).isSymLink());
}

void TestVexbusctl::commandsReportTheirOutcome_data()
{
    addColumns();
    const QStringList busComingUp{"--firmware-version", "2.3.4", "--led-mode", "2", "--status-flags", "5", "--bus-type", "2"};
    addRow("status", busComingUp, {"status"}, 0,
           "^Port:               PORT\nFirmware version:   2.3.4\nLED mode:           blink-slow\nBus type:           kvt\n"
           "Bus synchronized:   yes\nBus initialized:    no\nBus available:      yes\nSerial port:        pts/\\d+, 115200 baud\n",
           "^$", "GetControllerStatus \\(0x04\\) id 1 payload -\n");
    // The emulator's link names the adapter as well as its tty does.
    addRow("status through a link", QStringList{"--link", "DIR/vexbus0"} + busComingUp, {"vexbusctl", "--port", "DIR/vexbus0", "--json", "status"}, 0,
           "^{\"available\":true,\"controllerInBootloader\":false,\"firmwareVersion\":\"2.3.4\",\"ledMode\":\"blink-slow\",\"port\":\"PORT\",\"serialPort\":{\"baudrate\":115200,"
           "\"description\":\"\",\"manufacturer\":\"\",\"name\":\"pts/\\d+\",\"productIdentifier\":\"\",\"serialNumber\":\"\",\"systemLocation\":\"PORT\","
           "\"vendorIdentifier\":\"\"},\"vexbusAvailable\":true,\"vexbusInitialized\":false,\"vexbusSynchronized\":true,\"vexbusType\":\"kvt\"}\n$");
    addRow("write", {}, {"write", "0a 1b:2c"}, 0, "^ok: wrote 3 byte\\(s\\) to the bus\n$", "^$", "id 2 payload 03 0a 1b 2c\n");
    addRow("press ixo", {}, {"press", "ixo", "program", "--ms", "300"}, 0, "^ok: pressed ixo button program for 300 ms\n$", "^$",
           "id 2 payload 80 18 01 2c\n");
    addRow("press app", {}, {"press", "app", "intermediate-position-2"}, 0, "^ok: pressed app button intermediate-position-2 for 200 ms\n$",
           "^$", "id 2 payload 03 00 c8\n");
    // A reset is done when the controller came back and answered again.
    addRow("reset", {}, {"reset"}, 0, "^reset acknowledged; waiting for the controller to restart\nok: the controller restarted with firmware 1.4.12\n$",
           "^$", "SoftReset \\(0x02\\) id 2 payload -\n.* booted into controller mode.*\n.* GetFirmware \\(0x01\\) id 3 ");
    // The reasons are the library's sentences, passed on as they are.
    addRow("refused", {"--command-error", "controller:0x41=9"}, {"app-params", "on"}, 1, "^$",
           "\nvexbusctl: switching app connector parameter handling on failed at PORT: The controller refused the request "
           "CommandEnableAppConnectorParameterHandling with error code 9 \\(ErrorVexbusNotAvailable\\): the controller has no bus; "
           "check the adapter's connection to the bus\\.\n$",
           "id 2 payload 01\n");
    addRow("refused as JSON", {"--command-error", "controller:0x41=9"}, {"--json", "app-params", "on"}, 1,
           "^\\{\"command\":\"app-params\",\"controllerError\":\"vexbus-not-available\",\"enabled\":true,\"error\":\"ErrorInterfaceError\","
           "\"message\":\"The controller refused the request CommandEnableAppConnectorParameterHandling with error code 9 "
           "\\(ErrorVexbusNotAvailable\\): [^\"]+\",\"port\":\"PORT\",\"success\":false\\}\n$",
           "vexbusctl: switching app connector parameter handling on failed at PORT: ", "id 2 payload 01\n");
    addRow("device gone", {"--vanish-on", "controller:WriteDataToVexbus"}, {"write", "0a"}, 1, "^$",
           "\nvexbusctl: writing 1 byte\\(s\\) to the bus failed at PORT: The request CommandWriteDataToVexbus was given up before "
           "the controller answered: ", "id 2 payload 01 0a\n");
    addRow("silent controller", {"--silent"}, {"--timeout", "1", "status"}, 1, "^$",
           "vexbusctl: the controller at PORT did not answer within 1 s: ", "GetFirmware \\(0x01\\) id 0 ");
    // After three unanswered attempts the adapter asks whether the bootloader answers.
    addRow("controller in its bootloader", {"--start-in-bootloader"}, {"--timeout", "9", "status"}, 1,
           "\nIn bootloader:      yes\n$",
           "\nvexbusctl: the controller at PORT does not answer, but its bootloader does: an update was interrupted\\. ",
           "EnterBootloader \\(0x38\\)[^\n]*\n[^\n]*SyncBootloader \\(0x35\\)");
}

void TestVexbusctl::refusalsAreExplained_data()
{
    addColumns();
    addRow("no command", {}, {"vexbusctl"}, 2, "^Usage: ", "^$");
    addRow("write not hex", {}, {"write", "zz"}, 2, "^$", "vexbusctl: usage: write HEX");
    addRow("write too long", {}, {"write", QString(512, QLatin1Char('a'))}, 2, "^$", "a frame holds at most 255 bytes, this one 256 ");
    addRow("unknown button", {}, {"press", "ixo", "open"}, 2, "^$",
           "unknown ixo button \"open\"; the buttons are: intermediate, program, plus, minus ");
    addRow("press too long", {}, {"press", "ixo", "plus", "--ms", "70000"}, 2, "^$", "--ms takes 0 to 65535 milliseconds ");
    addRow("port and serial", {}, {"--serial", "A1", "status"}, 2, "^$", "give either --port or --serial, not both ");
    addRow("server without online", {}, {"update", "image.cyacd", "--server", "https://127.0.0.1"}, 2, "^$",
           "--pre-release, --server, --ca-certificate and --force go with --online ");
    addRow("record without adapter", {}, {"--record", "DIR/session.trace", "list"}, 2, "^$",
           "--record records the traffic with an adapter; list has none ");
    // Nothing is sent when the trace cannot be written: the port is not even opened.
    addRow("record into a missing folder", {}, {"--record", "DIR/missing/session.trace", "status"}, 1, "^$",
           "Could not open the traffic record file \"DIR/missing/session.trace\"[\\s\\S]*"
           "cannot record the serial traffic into DIR/missing/session.trace\\.", "^(?![\\s\\S]*GetFirmware)");
    // A trace holds images and bus frames: it goes through no link and is
    // its owner's alone, also when it replaces an older file.
    addRow("record through a link", {}, {"--record", "DIR/linked.trace", "status"}, 1, "^$",
           "Could not open the traffic record file \"DIR/linked.trace\" \"it is a symbolic link\"[\\s\\S]*"
           "cannot record the serial traffic into DIR/linked.trace\\.", "^(?![\\s\\S]*GetFirmware)");
    addRow("traces are their owner's", {}, {"sh", "-c", "umask 022 && : > DIR/old.trace && chmod 644 DIR/old.trace "
           "&& VEXBUSCTL --port PORT --record DIR/old.trace status > /dev/null && VEXBUSCTL --port PORT --record DIR/new.trace "
           "status > /dev/null && stat -c %a DIR/old.trace DIR/new.trace"}, 0, "^600\n600\n$", "^$");
    addRow("flash saved through a link", {}, {"sh", "-c", "ln -s DIR/flash-victim DIR/flash.link; VEXBUS_EMULATOR --save-flash "
           "DIR/flash.link --link DIR/vexbus1 > /dev/null & while [ ! -e DIR/vexbus1 ]; do sleep 0.1; done; kill -INT $!; wait $!; echo $?; "
           "[ -e DIR/flash-victim ] || echo untouched"}, 0, "^1\nuntouched\n$", "cannot save the flash in DIR/flash.link: it is a symbolic link\n");
    // The image is not read to learn that it is larger than any image.
    addRow("image above the limit", {}, {"sh", "-c", "truncate -s 100M DIR/huge.cyacd && VEXBUSCTL --port PORT update DIR/huge.cyacd"}, 1,
           "^$", "vexbusctl: The image file DIR/huge.cyacd is longer than the limit of 16777216 bytes\\.\n$");
    // A key that cannot be used writes no release beside an old signature.
    for (const char *key : {"missing.key", "server.crt"}) {
        addRow(qPrintable(QStringLiteral("release written with %1").arg(QLatin1String(key))), {},
               {"sh", "-c", QStringLiteral("mkdir DIR/%1.d && cp SAMPLE DIR/%1.d/image.cyacd && VEXBUS_RELEASE write DIR/%1.d/image.cyacd "
                                           "--release-version 1.6.0 --key DIR/%1; echo $?; ls DIR/%1.d").arg(QLatin1String(key))},
               0, "^1\nimage.cyacd\n$", QStringLiteral("^vexbus-release: (cannot read DIR/missing.key|DIR/server.crt: not an Ed25519 private key)"));
    }
    addRow("missing port", {}, {"vexbusctl", "--port", "/dev/vexbus-does-not-exist", "status"}, 3, "^$",
           "vexbusctl: no adapter at /dev/vexbus-does-not-exist: the path does not exist\\. ");
    addRow("port not a terminal", {}, {"vexbusctl", "--port", "/dev/null", "status"}, 3, "^$",
           "vexbusctl: /dev/null is not a serial port or terminal device\\.\n$");
    addRow("udev lists none", {}, {"umockdev-run", "--", "vexbusctl", "status"}, 3, "^$",
           "vexbusctl: no adapter found: udev lists no tty of a USB device 0403:6001 or 04b4:f139\\. ");
    // The recording that the demo runs vexbusctl on.
    addRow("demo adapter listed", {}, {"umockdev-run", "--device", MOCKED_ADAPTER, "--", "vexbusctl", "list"}, 0,
           "\n/dev/ttyUSB0     DEMO0001         0403:6001  FTDI FT232R USB UART\n$", "^$");
}

void TestVexbusctl::updateFromFile_data()
{
    addColumns();
    QString written = QStringLiteral("bootloader port open; writing 129 rows\n");
    // Without a terminal, one plain line at every tenth of the way.
    for (const char *step : {"0.1% (0", "10.1% (13", "20.0% (25", "30.1% (38", "40.1% (51", "50.0% (64", "60.1% (77", "70.0% (90",
                             "80.1% (103", "90.1% (116", "100.0% (129"})
        written += QRegularExpression::escape(QStringLiteral("progress %1/129 rows, ").arg(QLatin1String(step))) + "[\\d.]+ K?i?B/s\\)\n";
    written += QStringLiteral("image written; waiting for the controller to restart\nok: the controller runs firmware 1.5.0\n$");
    const QString programmed = QStringLiteral("129 rows programmed, application valid");
    addRow("written", {"--version-after-update", "1.5.0"}, {"update", "SAMPLE"}, 0,
           "^updating PORT from firmware 1.4.12 with SAMPLE \\(129 rows\\)\nthe controller reboots into its bootloader; connecting in 3 s\n" + written,
           "^$", programmed);
    // On a terminal the bar is redrawn in place and its line ends before the next message.
    // Standard error shares the terminal: on a slow run the late answer
    // described in runRow() may be logged before the restart message.
    const QString lateAnswer = QStringLiteral("(\\[VexbusUsbTraffic\\] warning: Unhandled packet received: [^\r\n]*CommandGetFirmware[^\r\n]*\r\n)?");
    const QString bar = QStringLiteral("(\r\\[#*-*\\] +\\d+\\.\\d%  \\d+/129 rows  [\\d.]+ K?i?B/s  (\\d+:\\d\\d|--:--) left\x1b\\[K)*");
    addRow("on a terminal", {"--version-after-update", "1.5.0"}, {"terminal", "vexbusctl", "--port", "PORT", "update", "SAMPLE"}, 0,
           QStringLiteral("writing 129 rows\r\n%1\r\\[###-{27}\\]  10\\.[^\r]*%1\r\\[#{30}\\] 100\\.0%  129/129 rows  [\\d.]+ K?i?B/s  0:00 left\x1b\\[K\r\n"
                          "%2image written; waiting for the controller to restart\r\n").arg(bar, lateAnswer), "", programmed);
    // As after an interrupted update: only the bootloader answers.
    addRow("controller in its bootloader", {"--start-in-bootloader", "--version-after-update", "1.5.0"}, {"--timeout", "3", "update", "SAMPLE"}, 0,
           "^updating PORT from firmware - with SAMPLE \\(129 rows\\)\nconnecting to the bootloader in 3 s\n" + written,
           "\nthe controller at PORT does not answer; trying its bootloader directly", programmed);
    // The library reads the image and names what is wrong, before any adapter is opened.
    addRow("missing image", {}, {"--json", "update", "/nonexistent/image.cyacd"}, 1,
           "^{\"error\":\"ErrorImageUnreadable\",\"event\":\"finished\",\"message\":\"There is no image file at /nonexistent/image\\.cyacd\\.\",\"success\":false}\n$",
           "vexbusctl: There is no image file at /nonexistent/image\\.cyacd\\.\n$", "^(?![\\s\\S]*GetFirmware)");
    addRow("bad row", {}, {"update", "DIR/www/bad-row.cyacd"}, 1, "^$",
           "\nvexbusctl: The image file DIR/www/bad-row\\.cyacd is invalid: line 3 is not a flash row \\(");
    // Standard output stays JSON; a failed update ends with its error, for
    // scripts as the last event.
    const QString started = QStringLiteral("^{\"event\":\"started\",\"image\":\"SAMPLE\",\"port\":\"PORT\",\"previousFirmwareVersion\":\"1.4.12\",\"rowCount\":129}\n");
    const QString writing = started + QStringLiteral("{\"event\":\"bootloader-starting\"}\n{\"event\":\"writing\"}\n({\"event\":\"progress\",.*\n)*");
    auto addFailure = [](const char *name, const QStringList &emulatorArguments, const QString &before, const QString &error, const QString &message) {
        addRow(name, emulatorArguments, {"--json", "update", "SAMPLE"}, 1,
               before + "{\"error\":\"" + error + "\",\"event\":\"finished\",\"message\":\"" + message + "\",\"success\":false}\n$",
               "\nvexbusctl: " + message + "\n$");
    };
    addFailure("bootloader refused", {"--command-error", "controller:StartBootloader=6"}, started, "ErrorBootloaderRefused",
               "The controller refused to start its bootloader with error ErrorUnknownCommand \\(6\\); nothing was written\\.");
    addFailure("row does not verify", {"--wrong-verify-row", "0x30"}, writing, "ErrorRowVerificationFailed",
               "Row 0x30 of array 0 does not verify: the bootloader reads checksum 0x\\w\\w where the image expects 0x\\w\\w; "
               "the controller stays in its bootloader\\.");
    addFailure("device gone", {"--vanish-on", "bootloader:ProgramRow:5"}, writing, "ErrorPortLost",
               "The serial port \\S+ of the bootloader was lost \\([^\\n]*\\) at row 0x\\w+ of array 0; the controller stays in its bootloader\\.");
    // Every row verifies, but the bootloader holds the application invalid:
    // no version that answers afterwards makes that a success.
    addFailure("application invalid", {"--invalid-application", "--version-after-update", "1.5.0"}, writing, "ErrorApplicationChecksumInvalid",
               "The application checksum does not verify: the bootloader holds the written application invalid \\(answer 0x00\\)\\.");
}

void TestVexbusctl::checkUpdate_data()
{
    addColumns();
    const QStringList check{"check-update", "--server", "SERVER/nivora-vexbususb", "--ca-certificate", "DIR/server.crt"};
    addRow("as JSON", {}, check + QStringList{"--json", "--trusted-key", "DIR/publisher.pub"}, 0,
           "^{\"authenticated\":true,\"fileName\":\"vexbus-adapter-1.5.0.cyacd\",\"hardware\":\"vexbus-usb-adapter\",\"preRelease\":false,"
           "\"releaseDate\":\"[^\"]+Z\",\"rowCount\":129,\"server\":\"SERVER/nivora-vexbususb\",\"signingKey\":\"[0-9a-f]{16}\","
           "\"signingKeyFile\":\"DIR/publisher.pub\",\"verified\":true,\"version\":\"1.5.0\"}\n$", "^$");
    addRow("no key", {}, check, 0, "\nSignature:          not checked, no trusted key \\(--trusted-key FILE\\)\n", "The release is not authenticated");
    addRow("not a key", {}, check + QStringList{"--trusted-key", "DIR/server.crt"}, 2, "^$",
           "vexbusctl: --trusted-key DIR/server.crt: not a readable Ed25519 public key in PEM ");
    addRow("untrusted certificate", {}, check.mid(0, 3), 1, "^$", "Could not get the release description: SSL handshake failed");
    addRow("server over http", {}, {"check-update", "--server", "http://127.0.0.1:1/firmware"}, 2, "^$",
           "\nvexbusctl: --server http://127\\.0\\.0\\.1:1/firmware: only https:// URLs are taken\n$");
    // A key of the key directory that cannot be read is not skipped.
    addRow("broken key in the key directory", {}, {"sh", "-c", "mkdir -p KEYDIR && echo junk > KEYDIR/zz-broken.pub && VEXBUSCTL "
           + check.mid(0, 5).join(QLatin1Char(' ')) + "; status=$?; rm KEYDIR/zz-broken.pub; exit $status"}, 2, "^$",
           "^vexbusctl: KEYDIR/zz-broken\\.pub: not a readable Ed25519 public key in PEM; repair or remove this file of the key directory\\.?\n$");
    // What the server says shows escaped, in the text form; JSON escapes it anyway.
    addRow("text of the server escaped", {}, {"check-update", "--server", "SERVER/hostile", "--ca-certificate", "DIR/server.crt"}, 0,
           "\n" + QRegularExpression::escape(QStringLiteral("Hardware:           adapter\\x0aSignature:          verified\\x1b[2J")) + "\n");
}

void TestVexbusctl::updateOnline_data()
{
    addColumns();
    const QStringList update{"--json", "update", "--online", "--server", "SERVER/nivora-vexbususb", "--ca-certificate", "DIR/server.crt",
                             "--trusted-key", "DIR/publisher.pub"};
    // The release is checked with the publisher's key before anything else.
    const QString authenticated = QStringLiteral("^{\"authenticated\":true,\"fileName\":\"vexbus-adapter-1.5.0.cyacd\",.*\n");
    const QString programmed = QStringLiteral("129 rows programmed, application valid");
    addRow("newer", {"--version-after-update", "1.5.0"}, update, 0, authenticated + "(.*\n)*{\"event\":\"finished\",\"firmwareVersion\":\"1.5.0\","
           "\"previousFirmwareVersion\":\"1.4.12\",\"success\":true,\"updated\":true}\n$", "^$", programmed);
    // Written, but the controller comes back with its old version: no success.
    addRow("old version after the update", {}, update, 1, authenticated + "(.*\n)*{\"error\":\"VersionMismatch\",\"event\":\"finished\","
           "\"message\":\"the image was written, but the controller came back with firmware 1\\.4\\.12 instead of the release's 1\\.5\\.0\\.\",\"success\":false}\n$",
           "^vexbusctl: the image was written, but the controller came back with firmware 1\\.4\\.12 instead of the release's 1\\.5\\.0\\.\n$", programmed);
    addRow("the same", {"--firmware-version", "1.5.0"}, update.mid(1), 0,
           "\nok: the controller runs firmware 1.5.0 already; nothing to do \\(--force writes it again\\)\n$", "^$");
    addRow("older", {"--firmware-version", "1.6.0"}, update, 1, authenticated + "$",
           "vexbusctl: the release 1.5.0 is older than the firmware 1.6.0 that the controller runs; "
           "nothing written \\(--allow-older writes it anyway\\)\n$");
    // Allowed, the older release goes to the controller, and forced, the
    // same one (which is not older); the controller's refusal to start its
    // bootloader ends the case early.
    const auto refusedAtBootloader = [&authenticated](const QString &version) {
        return authenticated + "{\"event\":\"started\",\"image\":\"[^\"]+\",\"port\":\"PORT\",\"previousFirmwareVersion\":\"" + version
               + "\",\"rowCount\":129}\n{\"error\":\"ErrorBootloaderRefused\",\"event\":\"finished\",\"message\":\"The controller refused to "
                 "start its bootloader with error ErrorUnknownCommand \\(6\\); nothing was written\\.\",\"success\":false}\n$";
    };
    const QStringList refusing{"--command-error", "controller:StartBootloader=6"};
    addRow("older allowed", QStringList{"--firmware-version", "1.6.0"} + refusing, update + QStringList{"--allow-older"}, 1,
           refusedAtBootloader("1.6.0"), "", "StartBootloader \\(0x");
    addRow("the same forced", QStringList{"--firmware-version", "1.5.0"} + refusing, update + QStringList{"--force"}, 1,
           refusedAtBootloader("1.5.0"), "", "StartBootloader \\(0x");
    // A release older than one this gateway took before replays an old
    // signature: refused, unless allowed.
    const QString tookNewer = QStringLiteral("VEXBUSCTL check-update --server SERVER/newer --ca-certificate DIR/server.crt "
                                             "--trusted-key DIR/publisher.pub > /dev/null && VEXBUSCTL --port PORT ");
    addRow("older than a release taken before", refusing, {"sh", "-c", tookNewer + update.join(QLatin1Char(' '))}, 1, "^$",
           "\nvexbusctl: release server SERVER/nivora-vexbususb: The release was refused: it is older than release 1\\.6\\.0 of "
           "[^,]+, the newest accepted before\\.\n$");
    addRow("older than a release taken before, allowed", refusing, {"sh", "-c", tookNewer + update.join(QLatin1Char(' ')) + " --allow-older"},
           1, refusedAtBootloader("1.4.12"), "", "StartBootloader \\(0x");
}

void TestVexbusctl::monitorStopsAfterCount_data()
{
    addColumns();
    // The counted frames and no other, among the adapter's status lines.
    const QString frame = QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} frame  f0 0d\n((?!.*frame).*\n)*");
    const QString status = QStringLiteral("^(?=[\\s\\S]* status led on, bus synchronized, initialized, available, type holtrane\n)((?!.*frame).*\n)*");
    addRow("after start-up", {"--bus-traffic", "50", "--bus-frame", "f00d"}, {"monitor", "--count", "2"}, 0, status + frame + frame + "$",
           "^monitoring PORT \\(firmware 1.4.12\\); press Ctrl-C to stop\n2 frame\\(s\\) received\n$");
    // Frames that arrive while the adapter still initialises reach the
    // count before the status notification's line is due.
    addRow("count reached during start-up", {"--bus-traffic", "1000", "--bus-frame", "f00d"}, {"monitor", "--count", "1"}, 0, status + frame + "$",
           "\n1 frame\\(s\\) received\n$");
    // The emulator's frames carry a running number from 0, so a lost one shows.
    const QString time = QStringLiteral("\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\"");
    QString frames;
    for (const char *data : {"0000", "0001", "0002"})
        frames += QStringLiteral("{\"data\":\"%1\",\"event\":\"frame\",%2}\n((?!.*frame).*\n)*").arg(QLatin1String(data), time);
    addRow("as JSON", {"--bus-traffic", "50"}, {"--json", "monitor", "--count", "3"}, 0,
           "^(?=[\\s\\S]*\n\\{\"event\":\"available\",\"firmwareVersion\":\"1.4.12\"," + time + "\\}\n)((?!.*frame).*\n)*" + frames + "$",
           "\n3 frame\\(s\\) received\n$");
}

void TestVexbusctl::portHeldElsewhereIsExplained()
{
    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start({}));
    const QStringList status{"--port", emulator.path(), "status"};
    {
        QSerialPort holder(emulator.path());
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
        const ToolResult inUse = NivoraTest::runTool(QStringLiteral(VEXBUSCTL), status);
        QVERIFY2(inUse.exitCode == 3 && inUse.err.endsWith(QStringLiteral("\nvexbusctl: %1 is in use: another program holds its lock "
                                                                            "(find it with: fuser -v %1).\n").arg(emulator.path())), qPrintable(inUse.describe()));
    }

    // A tty of group dialout, and a user who is not in it.
    if (::geteuid() != 0)
        QSKIP("needs root to run vexbusctl as another user");
    // A build tree under a folder that only its owner may enter (a clone in
    // a mktemp -d folder) keeps the other user from the tool and its library.
    const QStringList otherUser{"--reuid=65534", "--regid=65534", "--clear-groups"};
    const ToolResult reachable = NivoraTest::runTool(QStringLiteral("setpriv"), otherUser + QStringList{VEXBUSCTL, "--version"});
    if (reachable.exitCode != 0)
        QSKIP("another user cannot run this build's vexbusctl: its tree lies under a folder only its owner may enter");
    const struct group *dialout = ::getgrnam("dialout");
    const QByteArray tty = QFile::encodeName(emulator.path());
    QVERIFY(dialout && ::chown(tty.constData(), 0, dialout->gr_gid) == 0 && ::chmod(tty.constData(), 0660) == 0);
    const ToolResult denied = NivoraTest::runTool(QStringLiteral("setpriv"), otherUser + QStringList{VEXBUSCTL} + status);
    QVERIFY2(denied.exitCode == 3 && denied.err.endsWith(QStringLiteral("vexbusctl: permission denied on %1 (owner root, group dialout, mode 0660). "
                                                                  "Add your user to the group \"dialout\" (sudo usermod -aG dialout $USER) "
                                                                  "and log in again.\n").arg(emulator.path())), qPrintable(denied.describe()));
}

void TestVexbusctl::monitorEndsOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QStringList>("count");
    QTest::addColumn<int>("exitCode");
    // Without a count, an interrupted monitor has done its job; with one it
    // did not reach, it has not.
    QTest::newRow("Ctrl-C") << int(SIGINT) << QStringList() << 0;
    QTest::newRow("terminated before the count") << int(SIGTERM) << QStringList{"--count", "100000"} << 130;
}

void TestVexbusctl::monitorEndsOnSignal()
{
    QFETCH(int, signal);
    QFETCH(QStringList, count);
    QFETCH(int, exitCode);

    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start({"--bus-traffic", "50"}));
    QProcess monitor;
    monitor.start(QStringLiteral(VEXBUSCTL), QStringList{"--port", emulator.path(), "monitor"} + count);
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += monitor.readAllStandardOutput()).count(" frame ") >= 3, 10000);
    ::kill(pid_t(monitor.processId()), signal);
    QVERIFY(NivoraTest::waitForFinished(&monitor, 5000));
    QVERIFY(monitor.exitStatus() == QProcess::NormalExit && monitor.exitCode() == exitCode);
    out += monitor.readAllStandardOutput();
    const QByteArray received = "\n" + QByteArray::number(out.count(" frame ")) + " frame(s) received\n";
    QVERIFY2(exitCode || monitor.readAllStandardError().contains(received), received.constData());
}

QTEST_GUILESS_MAIN(TestVexbusctl)
#include "tst_vexbusctl.moc"
