// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "testplatform.h"

#include <QSignalSpy>
#include <QtTest>

using namespace NivoraVexbusUsb;
using NivoraTest::TestPlatform;
using DeviceInfo = NivoraVexbusUsbDeviceWatcher::DeviceInfo;

// Only for QSignalSpy; the library itself passes device infos in direct calls.
Q_DECLARE_METATYPE(NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo)

namespace {

// The devices that the watcher lists, as "path=serial number", in its order.
QStringList listedDevices(const NivoraVexbusUsbDeviceWatcher &watcher)
{
    QStringList devices;
    for (const DeviceInfo &deviceInfo : watcher.deviceInfos())
        devices.append(deviceInfo.devicePath + QLatin1Char('=') + deviceInfo.serialNumber);
    devices.sort();
    return devices;
}

QString pathAt(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<DeviceInfo>().devicePath;
}

} // namespace

class TestNivoraVexbusUsbDeviceWatcher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void initialEnumerationByIdentity_data();
    void initialEnumerationByIdentity();
    void pluggedDevicesAreAddedAndRemoved_data();
    void pluggedDevicesAreAddedAndRemoved();
    void eventsThatChangeNothing_data();
    void eventsThatChangeNothing();
};

void TestNivoraVexbusUsbDeviceWatcher::initTestCase()
{
    // Registered under the name that the signals' signatures use.
    qRegisterMetaType<DeviceInfo>("NivoraVexbusUsbDeviceWatcher::DeviceInfo");
}

void TestNivoraVexbusUsbDeviceWatcher::initialEnumerationByIdentity_data()
{
    QTest::addColumn<QString>("vendorId");
    QTest::addColumn<QString>("productId");
    QTest::addColumn<bool>("listed");

    QTest::newRow("FTDI adapter") << "0403" << "6001" << true;
    QTest::newRow("Cypress vendor, other product") << "04b4" << "0001" << true;
    QTest::newRow("other vendor, FTDI product") << "1234" << "6001" << true;
    QTest::newRow("other vendor, Cypress product") << "1234" << "f139" << true;
    QTest::newRow("other device") << "1234" << "5678" << false;
    // udev compares the identities as text.
    QTest::newRow("upper-case identities") << "04B4" << "F139" << false;
}

void TestNivoraVexbusUsbDeviceWatcher::initialEnumerationByIdentity()
{
    QFETCH(QString, vendorId);
    QFETCH(QString, productId);
    QFETCH(bool, listed);

    TestPlatform platform;
    platform.addAdapter(QStringLiteral("ABC123"), QStringLiteral("ttyUSB0"), vendorId, productId);
    platform.addAdapter(QStringLiteral("FTDI01"), QStringLiteral("ttyUSB1"));
    const NivoraVexbusUsbDeviceWatcher watcher;
    QStringList expected{QStringLiteral("/dev/ttyUSB1=FTDI01")};
    if (listed)
        expected.prepend(QStringLiteral("/dev/ttyUSB0=ABC123"));
    QCOMPARE(listedDevices(watcher), expected);
}

void TestNivoraVexbusUsbDeviceWatcher::pluggedDevicesAreAddedAndRemoved_data()
{
    QTest::addColumn<QString>("vendorId");
    QTest::addColumn<QString>("productId");

    QTest::newRow("FTDI adapter") << "0403" << "6001";
    // Events are not filtered by identity: any tty device counts.
    QTest::newRow("other device") << "1234" << "5678";
}

void TestNivoraVexbusUsbDeviceWatcher::pluggedDevicesAreAddedAndRemoved()
{
    QFETCH(QString, vendorId);
    QFETCH(QString, productId);

    TestPlatform platform;
    NivoraVexbusUsbDeviceWatcher watcher;
    QSignalSpy addedSpy(&watcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded);
    QSignalSpy removedSpy(&watcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved);

    platform.plug(QStringLiteral("XYZ789"), QStringLiteral("ttyUSB1"), vendorId, productId);
    QVERIFY(addedSpy.wait());
    QCOMPARE(pathAt(addedSpy, 0), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(addedSpy.at(0).at(0).value<DeviceInfo>().serialNumber, QStringLiteral("XYZ789"));
    QCOMPARE(listedDevices(watcher), QStringList{QStringLiteral("/dev/ttyUSB1=XYZ789")});

    platform.unplug(QStringLiteral("ttyUSB1"));
    QVERIFY(removedSpy.wait());
    QCOMPARE(pathAt(removedSpy, 0), QStringLiteral("/dev/ttyUSB1"));
    QVERIFY(watcher.deviceInfos().isEmpty());
    QCOMPARE(addedSpy.count(), 1);
    QCOMPARE(removedSpy.count(), 1);
}

void TestNivoraVexbusUsbDeviceWatcher::eventsThatChangeNothing_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("known");

    // The stored entry stays as it was found, even if the event differs.
    QTest::newRow("add of a known device") << "add" << true;
    QTest::newRow("remove of an unknown device") << "remove" << false;
    QTest::newRow("change of a known device") << "change" << true;
    QTest::newRow("unbind of a known device") << "unbind" << true;
}

void TestNivoraVexbusUsbDeviceWatcher::eventsThatChangeNothing()
{
    QFETCH(QString, action);
    QFETCH(bool, known);

    TestPlatform platform;
    platform.addAdapter(QStringLiteral("ABC123"), QStringLiteral("ttyUSB0"), known ? QStringLiteral("0403") : QStringLiteral("1234"),
                        known ? QStringLiteral("6001") : QStringLiteral("5678"));
    NivoraVexbusUsbDeviceWatcher watcher;
    QSignalSpy addedSpy(&watcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded);
    QSignalSpy removedSpy(&watcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved);

    platform.setProperty(QStringLiteral("ttyUSB0"), QStringLiteral("ID_SERIAL_SHORT"), QStringLiteral("OTHER"));
    if (action == QLatin1String("remove"))
        platform.unplug(QStringLiteral("ttyUSB0"));
    else
        platform.sendEvent(QStringLiteral("ttyUSB0"), action);
    // A device the test waits for shows that the event before it was handled.
    platform.plug(QStringLiteral("SENTINEL"), QStringLiteral("ttyUSB9"));
    QTRY_COMPARE(addedSpy.count(), 1);
    QCOMPARE(pathAt(addedSpy, 0), QStringLiteral("/dev/ttyUSB9"));
    QCOMPARE(removedSpy.count(), 0);
    QStringList expected{QStringLiteral("/dev/ttyUSB9=SENTINEL")};
    if (known)
        expected.prepend(QStringLiteral("/dev/ttyUSB0=ABC123"));
    QCOMPARE(listedDevices(watcher), expected);
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbDeviceWatcher)
#include "tst_nivoravexbususbdevicewatcher.moc"
