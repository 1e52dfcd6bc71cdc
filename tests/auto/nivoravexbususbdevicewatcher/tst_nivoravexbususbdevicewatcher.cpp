#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "testplatform.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace NivoraVexbusUsb;
using NivoraTest::TestPlatform;
using DeviceInfo = NivoraVexbusUsbDeviceWatcher::DeviceInfo;

// Only for QSignalSpy; the library itself passes device infos in direct calls.
Q_DECLARE_METATYPE(NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo)

namespace {

DeviceInfo deviceInfoAt(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<DeviceInfo>();
}

QString serialNumberOf(const NivoraVexbusUsbDeviceWatcher &watcher, const QString &devicePath)
{
    for (const DeviceInfo &deviceInfo : watcher.deviceInfos()) {
        if (deviceInfo.devicePath == devicePath)
            return deviceInfo.serialNumber;
    }
    return QString();
}

} // namespace

class TestNivoraVexbusUsbDeviceWatcher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void initialEnumerationByIdentity_data();
    void initialEnumerationByIdentity();
    void pluggedDevicesAreAddedAndRemoved_data();
    void pluggedDevicesAreAddedAndRemoved();
    void eventsThatChangeNothing_data();
    void eventsThatChangeNothing();

private:
    std::unique_ptr<TestPlatform> m_platform;
    std::unique_ptr<NivoraVexbusUsbDeviceWatcher> m_watcher;
};

void TestNivoraVexbusUsbDeviceWatcher::initTestCase()
{
    // Registered under the name that the signals' signatures use.
    qRegisterMetaType<DeviceInfo>("NivoraVexbusUsbDeviceWatcher::DeviceInfo");
}

void TestNivoraVexbusUsbDeviceWatcher::init()
{
    m_platform.reset(new TestPlatform);
}

void TestNivoraVexbusUsbDeviceWatcher::cleanup()
{
    m_watcher.reset();
    m_platform.reset();
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

    m_platform->addAdapter(QStringLiteral("ABC123"), QStringLiteral("ttyUSB0"), vendorId, productId);
    m_platform->addAdapter(QStringLiteral("FTDI01"), QStringLiteral("ttyUSB1"));
    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);

    QCOMPARE(m_watcher->deviceInfos().count(), listed ? 2 : 1);
    QCOMPARE(serialNumberOf(*m_watcher, QStringLiteral("/dev/ttyUSB0")), listed ? QStringLiteral("ABC123") : QString());
    QCOMPARE(serialNumberOf(*m_watcher, QStringLiteral("/dev/ttyUSB1")), QStringLiteral("FTDI01"));
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

    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);
    QSignalSpy addedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded);
    QSignalSpy removedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved);

    m_platform->plug(QStringLiteral("XYZ789"), QStringLiteral("ttyUSB1"), vendorId, productId);
    QVERIFY(addedSpy.wait());
    QCOMPARE(deviceInfoAt(addedSpy, 0).devicePath, QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(deviceInfoAt(addedSpy, 0).serialNumber, QStringLiteral("XYZ789"));
    QCOMPARE(serialNumberOf(*m_watcher, QStringLiteral("/dev/ttyUSB1")), QStringLiteral("XYZ789"));

    m_platform->unplug(QStringLiteral("ttyUSB1"));
    QVERIFY(removedSpy.wait());
    QCOMPARE(deviceInfoAt(removedSpy, 0).devicePath, QStringLiteral("/dev/ttyUSB1"));
    QVERIFY(m_watcher->deviceInfos().isEmpty());
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
    QTest::newRow("bind") << "bind" << false;
    QTest::newRow("unbind of a known device") << "unbind" << true;
}

void TestNivoraVexbusUsbDeviceWatcher::eventsThatChangeNothing()
{
    QFETCH(QString, action);
    QFETCH(bool, known);

    m_platform->addAdapter(QStringLiteral("ABC123"), QStringLiteral("ttyUSB0"),
                           known ? QStringLiteral("0403") : QStringLiteral("1234"),
                           known ? QStringLiteral("6001") : QStringLiteral("5678"));
    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);
    QSignalSpy addedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded);
    QSignalSpy removedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved);

    m_platform->setProperty(QStringLiteral("ttyUSB0"), QStringLiteral("ID_SERIAL_SHORT"), QStringLiteral("OTHER"));
    if (action == QLatin1String("remove"))
        m_platform->unplug(QStringLiteral("ttyUSB0"));
    else
        m_platform->sendEvent(QStringLiteral("ttyUSB0"), action);
    // A device the test waits for shows that the event before it was handled.
    m_platform->plug(QStringLiteral("SENTINEL"), QStringLiteral("ttyUSB9"));
    QTRY_COMPARE(addedSpy.count(), 1);
    QCOMPARE(deviceInfoAt(addedSpy, 0).devicePath, QStringLiteral("/dev/ttyUSB9"));

    QCOMPARE(removedSpy.count(), 0);
    QCOMPARE(m_watcher->deviceInfos().count(), known ? 2 : 1);
    QCOMPARE(serialNumberOf(*m_watcher, QStringLiteral("/dev/ttyUSB0")), known ? QStringLiteral("ABC123") : QString());
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbDeviceWatcher)
#include "tst_nivoravexbususbdevicewatcher.moc"
