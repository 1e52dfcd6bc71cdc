// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbusctl as a child process on mocked USB adapters: the port is found
// through udev by itself or by serial number, several adapters need a
// choice, and the USB identity of the port shows in the status.
#include "testplatform.h"
#include "toolprocess.h"
#include "vexbusemulator.h"

#include <csignal>

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

using NivoraTest::TestPlatform;
using NivoraTest::ToolResult;

class TestVexbusctlUsb : public QObject
{
    Q_OBJECT

private slots:
    void choosesTheAdapter_data();
    void choosesTheAdapter();
    void watchReportsArrivalsAndRemovals();
};

void TestVexbusctlUsb::choosesTheAdapter_data()
{
    QTest::addColumn<QStringList>("serialNumbers"); // of ttyUSB0, an FTDI adapter, and ttyUSB1, a Cypress one
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // on stdout after success, else on stderr

    const QString status = QStringLiteral("\"port\":\"/dev/ttyUSB0\",\"serialPort\":{\"baudrate\":115200,\"description\":\"\","
                                          "\"manufacturer\":\"\",\"name\":\"ttyUSB0\",\"productIdentifier\":\"6001\",\"serialNumber\":\"A5XK1234\","
                                          "\"systemLocation\":\"/dev/ttyUSB0\",\"vendorIdentifier\":\"0403\"},");
    const QStringList one{"A5XK1234"};
    const QStringList two{"A5XK1234", "A5XK9999"};
    const QString listed = QStringLiteral("udev lists: /dev/ttyUSB0 (serial number A5XK1234), /dev/ttyUSB1 (serial number A5XK9999).\n");
    QTest::newRow("the only one") << one << QStringList{"--json", "status"} << 0 << status;
    QTest::newRow("by serial number prefix") << two << QStringList{"--serial", "A5XK1", "--json", "status"} << 0 << status;
    QTest::newRow("by port") << two << QStringList{"--port", "/dev/ttyUSB0", "--json", "status"} << 0 << status;
    // The link that the package's udev rule makes for each adapter.
    QTest::newRow("by its udev link") << one << QStringList{"--port", "/dev/vexbus/by-serial/A5XK1234", "--json", "status"} << 0 << status;
    QTest::newRow("listed") << two << QStringList{"list"} << 0
                            << "\n/dev/ttyUSB0     A5XK1234         0403:6001  -\n"
                               "/dev/ttyUSB1     A5XK9999         04b4:f139  -\n";
    QTest::newRow("several") << two << QStringList{"status"} << 2
                             << "vexbusctl: several adapters found; choose one with --port PATH or --serial PREFIX. " + listed;
    // A prefix that fits both picks neither.
    QTest::newRow("ambiguous prefix") << two << QStringList{"--serial", "A5XK", "status"} << 2
                                      << "vexbusctl: several adapters have a serial number starting with \"A5XK\"; give more of it. " + listed;
    QTest::newRow("unknown prefix") << two << QStringList{"--serial", "B", "status"} << 3
                                    << "vexbusctl: no adapter with a serial number starting with \"B\" among the serial ports the system lists. "
                                       + listed;
}

void TestVexbusctlUsb::choosesTheAdapter()
{
    QFETCH(QStringList, serialNumbers);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    TestPlatform platform;
    platform.addAdapter(serialNumbers.value(0));
    if (serialNumbers.count() > 1)
        platform.addAdapter(serialNumbers.at(1), QStringLiteral("ttyUSB1"), QStringLiteral("04b4"), QStringLiteral("f139"));
    QVERIFY(platform.addLink(QStringLiteral("/dev/vexbus/by-serial/A5XK1234"), QStringLiteral("ttyUSB0")));
    // The emulator answers from this process's event loop while the tool runs.
    NivoraVexbusUsbEmulator::VexbusEmulator emulator;
    QVERIFY(emulator.attach(platform.masterFd(QStringLiteral("ttyUSB0"))));

    const ToolResult result = NivoraTest::runTool(QStringLiteral(VEXBUSCTL), arguments);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    QVERIFY2((exitCode == 0 ? result.out : result.err).contains(output), qPrintable(result.describe()));
}

void TestVexbusctlUsb::watchReportsArrivalsAndRemovals()
{
    TestPlatform platform;
    platform.addAdapter(QStringLiteral("A5XK1234"));

    QProcess watch;
    watch.start(QStringLiteral(VEXBUSCTL), {"--json", "list", "--watch"});
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
    const QRegularExpression lines(QStringLiteral("^\\{\"adapters\":\\[\\{[^{}]*\"devicePath\":\"/dev/ttyUSB0\"[^{}]*\\}\\]\\}\n"
                                                  "\\{\"devicePath\":\"/dev/ttyUSB1\",\"event\":\"added\",\"serialNumber\":\"C3PO0042\",\"time\":\"[^\"]+\"\\}\n"
                                                  "\\{\"devicePath\":\"/dev/ttyUSB1\",\"event\":\"removed\",[^\n]*\\}\n$"));
    QVERIFY2(lines.match(QString::fromUtf8(out)).hasMatch(), out.constData());
}

QTEST_GUILESS_MAIN(TestVexbusctlUsb)
#include "tst_vexbusctlusb.moc"
