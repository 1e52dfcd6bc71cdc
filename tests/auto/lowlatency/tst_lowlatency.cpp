// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// Low latency on the adapter's port: the interface and the bootloader handler
// ask the tty's driver for it when they open the port and give the earlier
// setting back when they close it, and carry on where the driver does not
// offer it. The driver is a mocked FTDI adapter whose serial ioctls umockdev
// hands to the test.

#include "serialdriver.h"
#include "testplatform.h"

#include <bootloader/bootloaderhandler.h>
#include <link/nivoravexbususbinterface.h>

#include <QSignalSpy>
#include <QtTest>

#include <linux/serial.h>

using namespace NivoraVexbusUsb;
using NivoraTest::SerialDriver;

class TestLowLatency : public QObject
{
    Q_OBJECT

private slots:
    void lowLatencyWhileOpen_data();
    void lowLatencyWhileOpen();
};

static constexpr int kBootAutoconf = 0x10000000;
static constexpr int kSkipTest = 0x40;

void TestLowLatency::lowLatencyWhileOpen_data()
{
    QTest::addColumn<bool>("bootloader");
    QTest::addColumn<int>("driver");
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("flagsWhileOpen");
    QTest::addColumn<int>("settingsChanged");

    const int flags = kBootAutoconf | kSkipTest;
    const int lowLatency = flags | ASYNC_LOW_LATENCY;
    for (const bool bootloader : {false, true}) {
        const char *opener = bootloader ? "bootloader handler" : "interface";
        QTest::addRow("%s, driver sets it", opener) << bootloader << int(SerialDriver::Accepts) << flags << lowLatency << 2;
        QTest::addRow("%s, driver refuses", opener) << bootloader << int(SerialDriver::RefusesSettings) << flags << flags << 0;
        QTest::addRow("%s, no serial driver", opener) << bootloader << int(SerialDriver::NoSerialIoctls) << flags << flags << 0;
        // A setting that was there before the port opened stays after it closes.
        QTest::addRow("%s, already low latency", opener) << bootloader << int(SerialDriver::Accepts) << lowLatency << lowLatency << 0;
    }
}

void TestLowLatency::lowLatencyWhileOpen()
{
    QFETCH(bool, bootloader);
    QFETCH(int, driver);
    QFETCH(int, flags);
    QFETCH(int, flagsWhileOpen);
    QFETCH(int, settingsChanged);

    NivoraTest::TestPlatform platform;
    const QString path = platform.addAdapter(QStringLiteral("A5XK0001"));
    SerialDriver serialDriver(&platform, QStringLiteral("ttyUSB0"), SerialDriver::Behaviour(driver), flags);
    QVERIFY(serialDriver.isAttached());

    if (bootloader) {
        BootloaderHandler handler;
        QSignalSpy connected(&handler, &BootloaderHandler::connectedChanged);
        handler.setPortName(path);
        handler.setBaudrate(115200);
        handler.setFirmwareData(FirmwareData(QByteArray("123456780000\n:000022000401020304D0\n")));
        handler.start();
        QCOMPARE(connected.value(0).value(0).toBool(), true);
        QCOMPARE(serialDriver.flags(), flagsWhileOpen);
        handler.stop();
    } else {
        NivoraVexbusUsbInterface link(nullptr);
        link.setPortName(path);
        link.enable();
        QVERIFY(link.connected());
        QCOMPARE(serialDriver.flags(), flagsWhileOpen);
        link.disable();
    }
    QCOMPARE(serialDriver.flags(), flags);
    QCOMPARE(serialDriver.settingsChanged(), settingsChanged);
}

QTEST_MAIN(TestLowLatency)
#include "tst_lowlatency.moc"
