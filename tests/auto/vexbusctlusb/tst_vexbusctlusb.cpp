// vexbusctl as a child process on a mocked USB adapter: the port is found
// through udev by itself or by serial number, and the USB identity of the
// port shows in the status.
#include "testplatform.h"
#include "vexbusemulator.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>
#include <QtTest>

using NivoraTest::TestPlatform;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

struct ToolResult
{
    int exitCode = -1;
    QString out;
    QString err;
};

// The emulator answers from this process's event loop while the tool runs.
ToolResult vexbusctl(const QStringList &arguments)
{
    QProcess process;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    process.start(QStringLiteral(VEXBUSCTL), arguments);
    timer.start(30000);
    loop.exec();

    ToolResult result;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

QString describe(const ToolResult &result)
{
    return QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3").arg(result.exitCode).arg(result.out, result.err);
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
    QVERIFY2(result.exitCode == 0, qPrintable(describe(result)));
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
    platform.addAdapter(QStringLiteral("B7QQ0001"), QStringLiteral("ttyUSB1"), QStringLiteral("04b4"), QStringLiteral("f139"));

    const ToolResult result = vexbusctl({"status"});
    QVERIFY2(result.exitCode == 2, qPrintable(describe(result)));
    QVERIFY2(result.err.contains(QStringLiteral("vexbusctl: several adapters found; choose one with --port PATH or --serial PREFIX. "
                                                "udev lists: /dev/ttyUSB0 (serial number A5XK1234), /dev/ttyUSB1 (serial number B7QQ0001).")),
             qPrintable(result.err));
}

QTEST_GUILESS_MAIN(TestVexbusctlUsb)
#include "tst_vexbusctlusb.moc"
