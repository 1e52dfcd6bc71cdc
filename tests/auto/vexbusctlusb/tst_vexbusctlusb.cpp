// vexbusctl as a child process on a mocked USB adapter: the port is found
// through udev by itself or by serial number, and the USB identity of the
// port shows in the status.
#include "testplatform.h"
#include "toolprocess.h"
#include "vexbusemulator.h"

#include <QJsonDocument>
#include <QJsonObject>
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
};

void TestVexbusctlUsb::findsTheAdapter_data()
{
    QTest::addColumn<QStringList>("selection");

    QTest::newRow("the only one") << QStringList();
    QTest::newRow("by serial number prefix") << QStringList{"--serial", "A5X"};
    QTest::newRow("by port") << QStringList{"--port", "/dev/ttyUSB0"};
}

void TestVexbusctlUsb::findsTheAdapter()
{
    QFETCH(QStringList, selection);

    TestPlatform platform;
    platform.addAdapter(QStringLiteral("A5XK1234"));
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

QTEST_GUILESS_MAIN(TestVexbusctlUsb)
#include "tst_vexbusctlusb.moc"
