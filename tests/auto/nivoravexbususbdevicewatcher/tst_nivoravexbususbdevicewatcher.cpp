#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "testplatform.h"

#include <QLoggingCategory>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace NivoraVexbusUsb;
using NivoraTest::TestPlatform;
using DeviceInfo = NivoraVexbusUsbDeviceWatcher::DeviceInfo;

// Only for QSignalSpy; the library itself passes device infos in direct calls.
Q_DECLARE_METATYPE(NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo)

namespace {

const char watcherCategory[] = "VexbusUsbDeviceWatcher";

// The watcher's debug lines are part of what it reports; the test records
// them while the rest of the library stays at the test suite's log level.
QStringList s_watcherDebugLines;
QtMessageHandler s_previousHandler = nullptr;
QLoggingCategory::CategoryFilter s_previousFilter = nullptr;

void enableWatcherDebug(QLoggingCategory *category)
{
    if (s_previousFilter)
        s_previousFilter(category);
    if (qstrcmp(category->categoryName(), watcherCategory) == 0)
        category->setEnabled(QtDebugMsg, true);
}

void recordWatcherDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg && qstrcmp(context.category, watcherCategory) == 0) {
        s_watcherDebugLines.append(message);
        return;
    }
    s_previousHandler(type, context, message);
}

QStringList sortedPaths(const QList<DeviceInfo> &deviceInfos)
{
    QStringList paths;
    for (const DeviceInfo &deviceInfo : deviceInfos)
        paths.append(deviceInfo.devicePath);
    paths.sort();
    return paths;
}

DeviceInfo deviceInfoAt(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<DeviceInfo>();
}

} // namespace

class TestNivoraVexbusUsbDeviceWatcher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptyPlatform();
    void initialEnumerationByIdentity_data();
    void initialEnumerationByIdentity();
    void initialEnumerationOfSeveralDevices();

    void pluggedDevicesAreAdded_data();
    void pluggedDevicesAreAdded();
    void duplicateAddEmitsNothing();
    void removeOfUnknownDeviceEmitsNothing();
    void otherActionsAreIgnored_data();
    void otherActionsAreIgnored();
    void removedInfoComesFromTheEvent();
    void replugAfterRemove();

private:
    // Plugs a device that the test waits for, so that a test observes that
    // an earlier event changed nothing instead of guessing how long to wait.
    void plugSentinel(QSignalSpy &addedSpy);

    std::unique_ptr<TestPlatform> m_platform;
    std::unique_ptr<NivoraVexbusUsbDeviceWatcher> m_watcher;
};

void TestNivoraVexbusUsbDeviceWatcher::initTestCase()
{
    // Registered under the name that the signals' signatures use.
    qRegisterMetaType<DeviceInfo>("NivoraVexbusUsbDeviceWatcher::DeviceInfo");
    s_previousFilter = QLoggingCategory::installFilter(enableWatcherDebug);
    s_previousHandler = qInstallMessageHandler(recordWatcherDebug);
}

void TestNivoraVexbusUsbDeviceWatcher::init()
{
    s_watcherDebugLines.clear();
    m_platform.reset(new TestPlatform);
}

void TestNivoraVexbusUsbDeviceWatcher::cleanup()
{
    m_watcher.reset();
    m_platform.reset();
}

void TestNivoraVexbusUsbDeviceWatcher::plugSentinel(QSignalSpy &addedSpy)
{
    const int count = addedSpy.count();
    m_platform->plug(QStringLiteral("SENTINEL"), QStringLiteral("ttyUSB9"));
    QTRY_COMPARE(addedSpy.count(), count + 1);
    QCOMPARE(deviceInfoAt(addedSpy, count).devicePath, QStringLiteral("/dev/ttyUSB9"));
}

void TestNivoraVexbusUsbDeviceWatcher::emptyPlatform()
{
    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);
    QVERIFY(m_watcher->deviceInfos().isEmpty());
    QCOMPARE(s_watcherDebugLines, QStringList({
        QStringLiteral("Load initial list of available serial ports..."),
        QStringLiteral("Nivora Vexbus USB adapter device watcher initialized successfully."),
        QStringLiteral("There are currently no nivora Vexbus USB adapter connected.")}));
}

void TestNivoraVexbusUsbDeviceWatcher::initialEnumerationByIdentity_data()
{
    QTest::addColumn<QString>("vendorId");
    QTest::addColumn<QString>("productId");
    QTest::addColumn<bool>("listed");

    QTest::newRow("FTDI adapter") << "0403" << "6001" << true;
    QTest::newRow("Cypress adapter") << "04b4" << "f139" << true;
    QTest::newRow("FTDI vendor, other product") << "0403" << "ffff" << true;
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
    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);

    const QList<DeviceInfo> deviceInfos = m_watcher->deviceInfos();
    QCOMPARE(deviceInfos.count(), listed ? 1 : 0);
    if (listed) {
        QCOMPARE(deviceInfos.first().devicePath, QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(deviceInfos.first().serialNumber, QStringLiteral("ABC123"));
        QVERIFY(s_watcherDebugLines.contains(
            QStringLiteral("[+] \"/dev/ttyUSB0\" \"FTDI\" \"FT232R\\\\x20USB\\\\x20UART\" \"ABC123\"")));
    } else {
        QCOMPARE(s_watcherDebugLines.last(), QStringLiteral("There are currently no nivora Vexbus USB adapter connected."));
    }
}

void TestNivoraVexbusUsbDeviceWatcher::initialEnumerationOfSeveralDevices()
{
    m_platform->addAdapter(QStringLiteral("FTDI01"), QStringLiteral("ttyUSB0"), QStringLiteral("0403"), QStringLiteral("6001"));
    m_platform->addAdapter(QStringLiteral("CY0002"), QStringLiteral("ttyACM0"), QStringLiteral("04b4"), QStringLiteral("f139"));
    m_platform->addAdapter(QStringLiteral("MIXED3"), QStringLiteral("ttyUSB1"), QStringLiteral("0403"), QStringLiteral("ffff"));
    m_platform->addAdapter(QStringLiteral("OTHER4"), QStringLiteral("ttyUSB2"), QStringLiteral("1234"), QStringLiteral("5678"));
    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);

    const QList<DeviceInfo> deviceInfos = m_watcher->deviceInfos();
    QCOMPARE(sortedPaths(deviceInfos),
             QStringList({QStringLiteral("/dev/ttyACM0"), QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyUSB1")}));
    for (const DeviceInfo &deviceInfo : deviceInfos) {
        const QString expectedSerial = deviceInfo.devicePath == QLatin1String("/dev/ttyACM0") ? QStringLiteral("CY0002")
                                     : deviceInfo.devicePath == QLatin1String("/dev/ttyUSB0") ? QStringLiteral("FTDI01")
                                                                                              : QStringLiteral("MIXED3");
        QCOMPARE(deviceInfo.serialNumber, expectedSerial);
    }
    QVERIFY(!s_watcherDebugLines.contains(QStringLiteral("There are currently no nivora Vexbus USB adapter connected.")));
}

void TestNivoraVexbusUsbDeviceWatcher::pluggedDevicesAreAdded_data()
{
    QTest::addColumn<QString>("vendorId");
    QTest::addColumn<QString>("productId");

    QTest::newRow("FTDI adapter") << "0403" << "6001";
    // Events are not filtered by identity: any tty device counts.
    QTest::newRow("other device") << "1234" << "5678";
}

void TestNivoraVexbusUsbDeviceWatcher::pluggedDevicesAreAdded()
{
    QFETCH(QString, vendorId);
    QFETCH(QString, productId);

    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);
    QSignalSpy addedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded);
    QSignalSpy removedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved);

    m_platform->plug(QStringLiteral("XYZ789"), QStringLiteral("ttyUSB1"), vendorId, productId);
    QVERIFY(addedSpy.wait());
    QCOMPARE(addedSpy.count(), 1);
    QCOMPARE(deviceInfoAt(addedSpy, 0).devicePath, QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(deviceInfoAt(addedSpy, 0).serialNumber, QStringLiteral("XYZ789"));
    QCOMPARE(m_watcher->deviceInfos().count(), 1);
    QCOMPARE(m_watcher->deviceInfos().first().serialNumber, QStringLiteral("XYZ789"));
    QVERIFY(s_watcherDebugLines.contains(QStringLiteral("[+] \"/dev/ttyUSB1\" \"XYZ789\"")));

    m_platform->unplug(QStringLiteral("ttyUSB1"));
    QVERIFY(removedSpy.wait());
    QCOMPARE(removedSpy.count(), 1);
    QCOMPARE(deviceInfoAt(removedSpy, 0).devicePath, QStringLiteral("/dev/ttyUSB1"));
    QVERIFY(m_watcher->deviceInfos().isEmpty());
    QVERIFY(s_watcherDebugLines.contains(QStringLiteral("[-] \"/dev/ttyUSB1\" \"XYZ789\"")));
    QCOMPARE(addedSpy.count(), 1);
}

void TestNivoraVexbusUsbDeviceWatcher::duplicateAddEmitsNothing()
{
    m_platform->addAdapter(QStringLiteral("ABC123"), QStringLiteral("ttyUSB0"));
    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);
    QSignalSpy addedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded);

    // The stored entry stays as it was found, even if the event differs.
    m_platform->setProperty(QStringLiteral("ttyUSB0"), QStringLiteral("ID_SERIAL_SHORT"), QStringLiteral("OTHER"));
    m_platform->sendEvent(QStringLiteral("ttyUSB0"), QStringLiteral("add"));
    plugSentinel(addedSpy);

    QCOMPARE(addedSpy.count(), 1);
    QVERIFY(s_watcherDebugLines.contains(QStringLiteral("[+] \"/dev/ttyUSB0\" \"OTHER\"")));
    const QList<DeviceInfo> deviceInfos = m_watcher->deviceInfos();
    QCOMPARE(deviceInfos.count(), 2);
    const auto stored = std::find_if(deviceInfos.cbegin(), deviceInfos.cend(), [](const DeviceInfo &deviceInfo) {
        return deviceInfo.devicePath == QLatin1String("/dev/ttyUSB0");
    });
    QVERIFY(stored != deviceInfos.cend());
    QCOMPARE(stored->serialNumber, QStringLiteral("ABC123"));
}

void TestNivoraVexbusUsbDeviceWatcher::removeOfUnknownDeviceEmitsNothing()
{
    // Present at construction but not one of the adapter's identities.
    m_platform->addAdapter(QStringLiteral("ABC123"), QStringLiteral("ttyUSB0"), QStringLiteral("1234"),
                           QStringLiteral("5678"));
    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);
    QVERIFY(m_watcher->deviceInfos().isEmpty());
    QSignalSpy addedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded);
    QSignalSpy removedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved);

    m_platform->unplug(QStringLiteral("ttyUSB0"));
    plugSentinel(addedSpy);

    QCOMPARE(removedSpy.count(), 0);
    QVERIFY(s_watcherDebugLines.contains(QStringLiteral("[-] \"/dev/ttyUSB0\" \"ABC123\"")));
    QCOMPARE(sortedPaths(m_watcher->deviceInfos()), QStringList({QStringLiteral("/dev/ttyUSB9")}));
}

void TestNivoraVexbusUsbDeviceWatcher::otherActionsAreIgnored_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("known");

    QTest::newRow("change of a known device") << "change" << true;
    QTest::newRow("change of an unknown device") << "change" << false;
    QTest::newRow("bind") << "bind" << false;
    QTest::newRow("unbind of a known device") << "unbind" << true;
}

void TestNivoraVexbusUsbDeviceWatcher::otherActionsAreIgnored()
{
    QFETCH(QString, action);
    QFETCH(bool, known);

    m_platform->addAdapter(QStringLiteral("ABC123"), QStringLiteral("ttyUSB0"),
                           known ? QStringLiteral("0403") : QStringLiteral("1234"),
                           known ? QStringLiteral("6001") : QStringLiteral("5678"));
    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);
    QCOMPARE(m_watcher->deviceInfos().count(), known ? 1 : 0);
    QSignalSpy addedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded);
    QSignalSpy removedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved);

    m_platform->sendEvent(QStringLiteral("ttyUSB0"), action);
    plugSentinel(addedSpy);

    QCOMPARE(addedSpy.count(), 1);
    QCOMPARE(removedSpy.count(), 0);
    QCOMPARE(m_watcher->deviceInfos().count(), known ? 2 : 1);
    QVERIFY(!s_watcherDebugLines.contains(QStringLiteral("[+] \"/dev/ttyUSB0\" \"ABC123\"")));
    QVERIFY(!s_watcherDebugLines.contains(QStringLiteral("[-] \"/dev/ttyUSB0\" \"ABC123\"")));
}

void TestNivoraVexbusUsbDeviceWatcher::removedInfoComesFromTheEvent()
{
    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);
    QSignalSpy addedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded);
    QSignalSpy removedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved);
    m_platform->plug(QStringLiteral("ABC123"), QStringLiteral("ttyUSB0"));
    QVERIFY(addedSpy.wait());

    m_platform->setProperty(QStringLiteral("ttyUSB0"), QStringLiteral("ID_SERIAL_SHORT"), QStringLiteral("FROMEVENT"));
    m_platform->unplug(QStringLiteral("ttyUSB0"));
    QVERIFY(removedSpy.wait());
    QCOMPARE(deviceInfoAt(removedSpy, 0).devicePath, QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(deviceInfoAt(removedSpy, 0).serialNumber, QStringLiteral("FROMEVENT"));
    QVERIFY(m_watcher->deviceInfos().isEmpty());
}

void TestNivoraVexbusUsbDeviceWatcher::replugAfterRemove()
{
    m_platform->addAdapter(QStringLiteral("ABC123"), QStringLiteral("ttyUSB0"));
    m_watcher.reset(new NivoraVexbusUsbDeviceWatcher);
    QSignalSpy addedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded);
    QSignalSpy removedSpy(m_watcher.get(), &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved);

    m_platform->unplug(QStringLiteral("ttyUSB0"));
    QVERIFY(removedSpy.wait());
    QCOMPARE(deviceInfoAt(removedSpy, 0).serialNumber, QStringLiteral("ABC123"));

    m_platform->plug(QStringLiteral("NEW456"), QStringLiteral("ttyUSB0"));
    QVERIFY(addedSpy.wait());
    QCOMPARE(deviceInfoAt(addedSpy, 0).serialNumber, QStringLiteral("NEW456"));
    QCOMPARE(m_watcher->deviceInfos().count(), 1);
    QCOMPARE(m_watcher->deviceInfos().first().serialNumber, QStringLiteral("NEW456"));
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbDeviceWatcher)
#include "tst_nivoravexbususbdevicewatcher.moc"
