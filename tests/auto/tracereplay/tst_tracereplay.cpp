// A vexbusctl session recorded against vexbus-emulator with --record, then
// played back by vexbus-emulator --replay into a fresh vexbusctl run, which
// must print the same; and a request that the trace does not hold reported
// as a mismatch.
#include "toolprocess.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using NivoraTest::EmulatorProcess;
using NivoraTest::ToolResult;
using NivoraTest::runTool;

namespace {

ToolResult vexbusctl(const QString &port, const QStringList &arguments)
{
    return runTool(QStringLiteral(VEXBUSCTL), QStringList{"--port", port, "--json"} + arguments, 60000);
}

// The output without what differs between two runs: the tty (by its path
// and by its name, "pts/N") and the clock.
QString comparable(QString out, const QString &port)
{
    static const QRegularExpression time(QStringLiteral("\"time\":\"[^\"]*\",?"));
    const QString name = QLatin1Char('"') + port.mid(int(qstrlen("/dev/"))) + QLatin1Char('"');
    return out.replace(port, QStringLiteral("PORT")).replace(name, QStringLiteral("\"NAME\"")).remove(time);
}

} // namespace

class TestTraceReplay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void replayReproducesSession_data();
    void replayReproducesSession();
    void differentRequestIsMismatch();
    void unwritableTraceIsRefused();
    void malformedTraceIsRefused_data();
    void malformedTraceIsRefused();

private:
    QString record(const QStringList &emulatorArguments, const QStringList &arguments, ToolResult *result);

    QTemporaryDir m_dir;
};

// Runs vexbusctl against the emulator, recording; returns the trace's path.
QString TestTraceReplay::record(const QStringList &emulatorArguments, const QStringList &arguments, ToolResult *result)
{
    const QString trace = m_dir.filePath(QStringLiteral("%1-%2.trace").arg(QTest::currentTestFunction(), QTest::currentDataTag()));
    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    if (!emulator.start(emulatorArguments))
        return QString();
    *result = vexbusctl(emulator.path(), QStringList{"--record", trace} + arguments);
    result->out = comparable(result->out, emulator.path());
    return emulator.stop() == 0 ? trace : QString();
}

void TestTraceReplay::replayReproducesSession_data()
{
    QTest::addColumn<QStringList>("emulatorArguments");
    QTest::addColumn<QStringList>("arguments");
    // Lines the trace must hold.
    QTest::addColumn<QStringList>("traceLines");

    const QString linkOpen = QStringLiteral("\"event\":\"open\",\"port\":\"link\"");
    // The firmware request with packet id 0, and its answer: version 1.4.12.
    const QString firmwareRequest = QStringLiteral("\"bytes\":\"c0010001c0\",\"direction\":\"out\",\"port\":\"link\"");
    const QString firmwareResponse = QStringLiteral("\"bytes\":\"c00100000104");
    QTest::newRow("status") << QStringList() << QStringList{"status"}
                            << QStringList{linkOpen, firmwareRequest, firmwareResponse};
    QTest::newRow("monitor") << QStringList{"--bus-traffic", "20", "--bus-frame", "f00d"}
                             << QStringList{"monitor", "--count", "3"} << QStringList{"\"direction\":\"in\"", "f00d"};
    QTest::newRow("command") << QStringList() << QStringList{"write", "0a1b2c"} << QStringList{"0a1b2c"};
    QTest::newRow("update") << QStringList{"--version-after-update", "1.5.0"} << QStringList{"update", SAMPLE_FIRMWARE}
                            << QStringList{"\"event\":\"open\",\"port\":\"bootloader\"", "\"direction\":\"in\",\"port\":\"bootloader\""};
}

void TestTraceReplay::replayReproducesSession()
{
    QFETCH(QStringList, emulatorArguments);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, traceLines);

    ToolResult recorded;
    const QString trace = record(emulatorArguments, arguments, &recorded);
    QVERIFY2(!trace.isEmpty() && recorded.exitCode == 0, qPrintable(recorded.describe()));
    QFile file(trace);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY2(text.startsWith(QLatin1String("{\"time\":0.000,\"event\":\"start\",\"format\":\"nivora-vexbususb-trace\"")), qPrintable(text.left(200)));
    for (const QString &line : traceLines)
        QVERIFY2(text.contains(line), qPrintable(line));

    EmulatorProcess replay(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(replay.start({"--replay", trace}));
    const ToolResult replayed = vexbusctl(replay.path(), arguments);
    QCOMPARE(replayed.exitCode, recorded.exitCode);
    QCOMPARE(comparable(replayed.out, replay.path()), recorded.out);
    QTRY_VERIFY2(replay.log().contains(QStringLiteral("replay of %1 complete").arg(trace)), qPrintable(replay.log()));
    QCOMPARE(replay.stop(), 0);
}

void TestTraceReplay::differentRequestIsMismatch()
{
    ToolResult recorded;
    const QString trace = record(QStringList(), {"write", "0a1b2c"}, &recorded);
    QVERIFY2(!trace.isEmpty() && recorded.exitCode == 0, qPrintable(recorded.describe()));

    EmulatorProcess replay(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(replay.start({"--replay", trace}));
    const ToolResult replayed = vexbusctl(replay.path(), {"--timeout", "1", "write", "0a1bff"});
    QCOMPARE(replayed.exitCode, 1);
    // The write (command a0, packet id 2 after the two requests of the
    // init, length 3) is recorded with 2c as its last byte.
    QVERIFY(NivoraTest::waitForFinished(replay.process(), 5000));
    QCOMPARE(replay.process()->exitCode(), 1);
    QVERIFY2(replay.log().contains(QRegularExpression(
                 QStringLiteral("replay of .*: the request at line \\d+ differs at byte 6: "
                                "expected c0a002030a1b2c9cc0, received c0a002030a1bff4fc0"))),
             qPrintable(replay.log()));
}

void TestTraceReplay::unwritableTraceIsRefused()
{
    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start(QStringList()));
    const QString trace = m_dir.filePath(QStringLiteral("missing/session.trace"));
    const ToolResult result = runTool(QStringLiteral(VEXBUSCTL), {"--port", emulator.path(), "--record", trace, "status"});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(QStringLiteral("Could not open the traffic record file \"%1\"").arg(trace)), qPrintable(result.err));
    QVERIFY2(result.err.contains(QStringLiteral("cannot record the serial traffic into %1.").arg(trace)), qPrintable(result.err));
    // Nothing was sent: the port was not even opened.
    QVERIFY2(!emulator.log().contains(QStringLiteral("GetFirmware")), qPrintable(emulator.log()));
}

void TestTraceReplay::malformedTraceIsRefused_data()
{
    QTest::addColumn<QByteArray>("secondLine");
    QTest::addColumn<QString>("message");

    QTest::newRow("odd hex") << QByteArray(R"({"time":1.5,"bytes":"c001c","direction":"out","port":"link"})")
                             << "line 2: the bytes are not hex digits, two a byte";
    QTest::newRow("no time") << QByteArray(R"({"bytes":"c0","direction":"in","port":"link"})")
                             << "line 2: not a JSON object with a time";
    QTest::newRow("unknown direction") << QByteArray(R"({"time":1.5,"bytes":"c0","direction":"up","port":"link"})")
                                       << "line 2: neither an event (start, open, close) nor bytes in a direction (out, in)";
}

void TestTraceReplay::malformedTraceIsRefused()
{
    QFETCH(QByteArray, secondLine);
    QFETCH(QString, message);

    const QString trace = m_dir.filePath(QStringLiteral("malformed.trace"));
    QFile file(trace);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(R"({"time":0.000,"event":"start","format":"nivora-vexbususb-trace","version":1})" "\n" + secondLine + "\n");
    file.close();
    const ToolResult result = runTool(QStringLiteral(VEXBUS_EMULATOR), {"--replay", trace});
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(QStringLiteral("--replay: %1, %2").arg(trace, message)), qPrintable(result.describe()));
}

QTEST_GUILESS_MAIN(TestTraceReplay)
#include "tst_tracereplay.moc"
