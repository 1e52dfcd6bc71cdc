// vexbusctl as a child process on a mocked USB adapter: the port is found
// through udev by itself or by serial number, and the USB identity of the
// port shows in the status.
#include "testplatform.h"
#include "toolprocess.h"
#include "vexbusemulator.h"

#include <csignal>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

using NivoraTest::TestPlatform;
using NivoraTest::ToolResult;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

// The emulator answers from this process's event loop while the tool runs.
ToolResult vexbusctl(const QStringList &arguments)
{
    return NivoraTest::runTool(QStringLiteral(VEXBUSCTL), arguments);
}

} // namespace

class TestVexbusctlUsb : public QObject
{
    Q_OBJECT

private slots:
    void findsTheAdapter_data();
    void findsTheAdapter();
    void severalAdaptersNeedAChoice();
    void watchReportsArrivalsAndRemovals();
};

void TestVexbusctlUsb::findsTheAdapter_data()
{
    QTest::addColumn<QStringList>("selection");

    QTest::newRow("the only one") << QStringList();
    QTest::newRow("by serial number prefix") << QStringList{"--serial", "A5X"};
    QTest::newRow("by port") << QStringList{"--port", "/dev/ttyUSB0"};
    // The link that the package's udev rule makes for each adapter.
    QTest::newRow("by its udev link") << QStringList{"--port", "/dev/vexbus/by-serial/A5XK1234"};
}

void TestVexbusctlUsb::findsTheAdapter()
{
    QFETCH(QStringList, selection);

    TestPlatform platform;
    platform.addAdapter(QStringLiteral("A5XK1234"));
    QVERIFY(platform.addLink(QStringLiteral("/dev/vexbus/by-serial/A5XK1234"), QStringLiteral("ttyUSB0")));
    VexbusEmulator emulator;
    QVERIFY(emulator.attach(platform.masterFd(QStringLiteral("ttyUSB0"))));

    const ToolResult result = vexbusctl(selection + QStringList{"--json", "status"});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    const QJsonObject status = QJsonDocument::fromJson(result.out.toUtf8()).object();
    QCOMPARE(status.value("port").toString(), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(status.value("firmwareVersion").toString(), QStringLiteral("1.4.12"));
    const QJsonObject serialPort = status.value("serialPort").toObject();
    QCOMPARE(serialPort.value("serialNumber").toString(), QStringLiteral("A5XK1234"));
    QCOMPARE(serialPort.value("vendorIdentifier").toString(), QStringLiteral("0403"));
    QCOMPARE(serialPort.value("productIdentifier").toString(), QStringLiteral("6001"));
}

void TestVexbusctlUsb::severalAdaptersNeedAChoice()
{
    TestPlatform platform;
    platform.addAdapter(QStringLiteral("A5XK1234"));
    platform.addAdapter(QStringLiteral("A5XK9999"), QStringLiteral("ttyUSB1"), QStringLiteral("04b4"), QStringLiteral("f139"));

    const QString listed = QStringLiteral("udev lists: /dev/ttyUSB0 (serial number A5XK1234), /dev/ttyUSB1 (serial number A5XK9999).");
    const ToolResult result = vexbusctl({"status"});
    QVERIFY2(result.exitCode == 2, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(QStringLiteral("vexbusctl: several adapters found; choose one with --port PATH or --serial PREFIX. ")
                                 + listed),
             qPrintable(result.err));

    // A prefix that fits both picks neither.
    const ToolResult ambiguous = vexbusctl({"--serial", "A5XK", "status"});
    QVERIFY2(ambiguous.exitCode == 2, qPrintable(ambiguous.describe()));
    QVERIFY2(ambiguous.err.contains(QStringLiteral("vexbusctl: several adapters have a serial number starting with \"A5XK\"; "
                                                   "give more of it. ") + listed),
             qPrintable(ambiguous.err));
}

void TestVexbusctlUsb::watchReportsArrivalsAndRemovals()
{
    TestPlatform platform;
    platform.addAdapter(QStringLiteral("A5XK1234"));

    QProcess watch;
    watch.start(QStringLiteral(VEXBUSCTL), {"--json", "list", "--watch"});
    QVERIFY(watch.waitForStarted());
    QByteArray out;
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += watch.readAllStandardError()).contains("watching for adapters"), 10000);

    platform.plug(QStringLiteral("C3PO0042"), QStringLiteral("ttyUSB1"));
    QTRY_VERIFY_WITH_TIMEOUT((out += watch.readAllStandardOutput()).contains("\"added\""), 10000);
    platform.unplug(QStringLiteral("ttyUSB1"));
    QTRY_VERIFY_WITH_TIMEOUT((out += watch.readAllStandardOutput()).contains("\"removed\""), 10000);

    ::kill(pid_t(watch.processId()), SIGINT);
    QVERIFY(NivoraTest::waitForFinished(&watch, 5000));
    QCOMPARE(watch.exitCode(), 0);
    out += watch.readAllStandardOutput();

    const QList<QByteArray> lines = out.trimmed().split('\n');
    QCOMPARE(lines.count(), 3);
    const QJsonObject initial = QJsonDocument::fromJson(lines.at(0)).object();
    QCOMPARE(initial.value("adapters").toArray().count(), 1);
    const QJsonObject added = QJsonDocument::fromJson(lines.at(1)).object();
    QCOMPARE(added.value("event").toString(), QStringLiteral("added"));
    QCOMPARE(added.value("devicePath").toString(), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(added.value("serialNumber").toString(), QStringLiteral("C3PO0042"));
    const QJsonObject removed = QJsonDocument::fromJson(lines.at(2)).object();
    QCOMPARE(removed.value("event").toString(), QStringLiteral("removed"));
    QCOMPARE(removed.value("devicePath").toString(), QStringLiteral("/dev/ttyUSB1"));
}

QTEST_GUILESS_MAIN(TestVexbusctlUsb)
#include "tst_vexbusctlusb.moc"
