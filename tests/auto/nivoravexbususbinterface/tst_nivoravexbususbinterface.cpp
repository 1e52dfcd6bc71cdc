// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbinterface.h"
#include "logging/nivoravexbususblogging.h"
#include "testplatform.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace NivoraVexbusUsb;
using NivoraTest::TestPlatform;
using NivoraTest::ignoreWarnings;

Q_DECLARE_METATYPE(QList<QByteArray>)
// Only for QSignalSpy; the library itself passes packets in direct calls.
Q_DECLARE_METATYPE(NivoraVexbusUsb::NivoraVexbusUsbPacket)

namespace {

// A two-byte response (command 0x01, id 5) in its frame: the last frame of
// every receive case, so that "nothing happened" is observed, not guessed.
const QByteArray sentinelFrame = QByteArray::fromHex("c0010504c0");
const QByteArray sentinelPacket = QByteArray::fromHex("0105");

const QString device0 = QStringLiteral("ttyUSB0");
const QString removedWarning = QStringLiteral("^Serial port device \"/dev/ttyUSB0\" removed.$");

} // namespace

class TestNivoraVexbusUsbInterface : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendPacket_data();
    void sendPacket();

    void receive_data();
    void receive();

    void findPort_data();
    void findPort();

    void followsAdapterToNewNode();
    void pluggedDeviceNotTaken_data();
    void pluggedDeviceNotTaken();

private:
    // Creates the interface in port mode on /dev/ttyUSB0 (serial number
    // prefix "ABC" for the other mode) and connects it.
    void connectPortMode();
    // Creates the interface for /dev/ttyUSB0 or the serial number prefix "ABC".
    void createInterface(int watchMode);

    std::unique_ptr<TestPlatform> m_platform;
    std::unique_ptr<NivoraVexbusUsbInterface> m_interface;
};

void TestNivoraVexbusUsbInterface::init()
{
    qRegisterMetaType<NivoraVexbusUsbPacket>();
    m_platform.reset(new TestPlatform);
}

void TestNivoraVexbusUsbInterface::cleanup()
{
    m_interface.reset();
    m_platform.reset();
}

void TestNivoraVexbusUsbInterface::connectPortMode()
{
    m_platform->addAdapter(QStringLiteral("ABC123"));
    createInterface(NivoraVexbusUsbInterface::WatchModePort);
    QVERIFY(m_interface->enable());
    QVERIFY(m_interface->connected());
}

void TestNivoraVexbusUsbInterface::createInterface(int watchMode)
{
    m_interface.reset(new NivoraVexbusUsbInterface(nullptr));
    m_interface->setWatchMode(static_cast<NivoraVexbusUsbInterface::WatchMode>(watchMode));
    m_interface->setPortName(QStringLiteral("/dev/ttyUSB0"));
    m_interface->setSerialNumber(QStringLiteral("ABC"));
}

void TestNivoraVexbusUsbInterface::sendPacket_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("packetId");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<bool>("bytesLogged");

    // Each frame twice: encoded in one pass, and byte by byte with the
    // traffic category's debug output on.
    for (const bool logged : {false, true}) {
        const char *suffix = logged ? ", bytes logged" : "";
        QTest::addRow("no payload%s", suffix) << 0x01 << 5 << QByteArray() << QByteArray::fromHex("c0010504c0") << logged;
        QTest::addRow("escaped end and escape%s", suffix) << 0xA0 << 7 << QByteArray::fromHex("c0db")
                                                          << QByteArray::fromHex("c0a007dbdcdbddbcc0") << logged;
        QTest::addRow("payload%s", suffix) << 0x01 << 5 << QByteArray::fromHex("00312e30")
                                           << QByteArray::fromHex("c0010500312e302bc0") << logged;
        // The checksum itself is escaped like any packet byte: 10 d0 xor = c0.
        QTest::addRow("escaped checksum%s", suffix) << 0x10 << 0xD0 << QByteArray() << QByteArray::fromHex("c010d0dbdcc0")
                                                    << logged;
    }
}

void TestNivoraVexbusUsbInterface::sendPacket()
{
    QFETCH(int, command);
    QFETCH(int, packetId);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, wire);
    QFETCH(bool, bytesLogged);

    // QT_LOGGING_RULES outranks setFilterRules(): the category is switched directly.
    auto &traffic = const_cast<QLoggingCategory &>(dcVexbusUsbInterfaceTraffic());
    const bool wasLogged = traffic.isDebugEnabled();
    traffic.setEnabled(QtDebugMsg, bytesLogged);
    connectPortMode();
    QSignalSpy bytesWrittenSpy(m_interface->serialPort(), &QIODevice::bytesWritten);
    m_interface->sendPacket(NivoraVexbusUsbPacket(static_cast<unsigned char>(command),
                                                  static_cast<unsigned char>(packetId), payload));
    traffic.setEnabled(QtDebugMsg, wasLogged);
    const QByteArray written = NivoraTest::readFromFd(m_platform->masterFd(device0), wire.size());
    QCOMPARE(written.toHex(), wire.toHex());
    // A receiver of bytesWritten() learns of the frame's bytes.
    QTRY_COMPARE(bytesWrittenSpy.count(), 1);
    QCOMPARE(bytesWrittenSpy.first().first().toLongLong(), qint64(wire.size()));
}

void TestNivoraVexbusUsbInterface::receive_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<QByteArray>>("expectedData");
    QTest::addColumn<int>("expectedPackets");
    QTest::addColumn<QString>("expectedWarning");

    const QByteArray versionFrame = QByteArray::fromHex("c0010500312e302bc0");
    const QByteArray versionPacket = QByteArray::fromHex("010500312e30");

    QTest::newRow("whole frame") << QList<QByteArray>{versionFrame} << QList<QByteArray>{versionPacket} << 1 << QString();

    QList<QByteArray> bytes;
    for (const char byte : versionFrame)
        bytes.append(QByteArray(1, byte));
    QTest::newRow("byte by byte") << bytes << QList<QByteArray>{versionPacket} << 1 << QString();

    QTest::newRow("two frames in one write") << QList<QByteArray>{versionFrame + versionFrame}
                                             << QList<QByteArray>{versionPacket, versionPacket} << 2 << QString();
    // The short frame's checksum holds: its length alone rejects it.
    QTest::newRow("empty and short frames") << QList<QByteArray>{QByteArray::fromHex("c0c0c00101c0")}
                                            << QList<QByteArray>{} << 0 << QString();
    QTest::newRow("wrong checksum") << QList<QByteArray>{QByteArray::fromHex("c0010500ffc0")} << QList<QByteArray>{} << 0
                                    << QStringLiteral("^Received packet with invalid CRC value: Buffer: \"010500ff\" "
                                                      "calculated CRC: \"0x04\" != \"0xff\" . Discard data...$");
    QTest::newRow("escaped delimiter") << QList<QByteArray>{QByteArray::fromHex("c0dbdc0500c5c0")}
                                       << QList<QByteArray>{QByteArray::fromHex("c00500")} << 1 << QString();
    QTest::newRow("double escape prefix") << QList<QByteArray>{QByteArray::fromHex("c00105dbdbdcc4c0")}
                                          << QList<QByteArray>{QByteArray::fromHex("0105c0")} << 1 << QString();
    QTest::newRow("bad escape") << QList<QByteArray>{QByteArray::fromHex("c001db410500c0")} << QList<QByteArray>{} << 0
                                << QStringLiteral("^SLIP protocol violation. Received unexpected stuffed byte. Discard data...$");
    QTest::newRow("no valid packet") << QList<QByteArray>{QByteArray::fromHex("c0ff01fec0")}
                                     << QList<QByteArray>{QByteArray::fromHex("ff01")} << 0
                                     << QStringLiteral("^Could not create valid packet from received data \"ff01\" Discard data...$");
    QTest::newRow("notification") << QList<QByteArray>{QByteArray::fromHex("c0f300dbdc33c0")}
                                  << QList<QByteArray>{QByteArray::fromHex("f300c0")} << 1 << QString();
    // Bytes before the first delimiter belong to the first frame.
    QTest::newRow("no opening delimiter") << QList<QByteArray>{QByteArray::fromHex("010504c0")}
                                          << QList<QByteArray>{QByteArray::fromHex("0105")} << 1 << QString();
    // 4096 bytes, packet and checksum, is the largest frame; one byte more
    // is refused, also where the bytes are taken in bulk.
    const QByteArray largestPacket = QByteArray::fromHex("010500") + QByteArray(4092, '\x11');
    QTest::newRow("largest frame") << QList<QByteArray>{"\xc0" + largestPacket + "\x04\xc0"} << QList<QByteArray>{largestPacket} << 1
                                   << QString();
    QTest::newRow("one byte over") << QList<QByteArray>{"\xc0" + largestPacket + "\x11\x15\xc0"} << QList<QByteArray>{} << 0
                                   << QStringLiteral("^Received frame exceeds 4096 bytes without a delimiter");
    // Escaped bytes count after un-escaping; the skip ends at the delimiter
    // that opens the next frame, which then arrives intact.
    QTest::newRow("oversized frame") << QList<QByteArray>{QByteArray(1, '\xc0') + QByteArray(3000, '\x11'),
                                                          QByteArray(3000, '\x22') + QByteArray::fromHex("dbdc")}
                                     << QList<QByteArray>{} << 0
                                     << QStringLiteral("^Received frame exceeds 4096 bytes without a delimiter");
}

void TestNivoraVexbusUsbInterface::receive()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<QByteArray>, expectedData);
    QFETCH(int, expectedPackets);
    QFETCH(QString, expectedWarning);

    connectPortMode();
    QSignalSpy dataSpy(m_interface.get(), &NivoraVexbusUsbInterface::dataReceived);
    QSignalSpy packetSpy(m_interface.get(), &NivoraVexbusUsbInterface::packetReceived);
    ignoreWarnings({expectedWarning});

    const int masterFd = m_platform->masterFd(device0);
    for (const QByteArray &chunk : chunks) {
        QVERIFY(NivoraTest::writeToFd(masterFd, chunk));
        if (chunks.size() > 1)
            QTest::qWait(2);
    }
    QVERIFY(NivoraTest::writeToFd(masterFd, sentinelFrame));

    expectedData.append(sentinelPacket);
    QTRY_COMPARE(dataSpy.count(), expectedData.count());
    for (int i = 0; i < expectedData.count(); ++i)
        QCOMPARE(dataSpy.at(i).at(0).toByteArray().toHex(), expectedData.at(i).toHex());
    QCOMPARE(packetSpy.count(), expectedPackets + 1);
}

void TestNivoraVexbusUsbInterface::findPort_data()
{
    QTest::addColumn<int>("watchMode");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("warning");

    QTest::newRow("serial number prefix") << int(NivoraVexbusUsbInterface::WatchModeSerialNumber) << "XYZ" << true << QString();
    QTest::newRow("prefix is case-sensitive") << int(NivoraVexbusUsbInterface::WatchModeSerialNumber) << "xyz" << false
                                              << "^Could not find any serial port with serial number \"xyz\"$";
}

void TestNivoraVexbusUsbInterface::findPort()
{
    QFETCH(int, watchMode);
    QFETCH(QString, key);
    QFETCH(bool, found);
    QFETCH(QString, warning);

    m_platform->addAdapter(QStringLiteral("ABC123"), device0);
    m_platform->addAdapter(QStringLiteral("XYZ789"), QStringLiteral("ttyUSB1"));
    createInterface(watchMode);
    if (watchMode == NivoraVexbusUsbInterface::WatchModePort)
        m_interface->setPortName(key);
    else
        m_interface->setSerialNumber(key);

    ignoreWarnings({warning});
    QSignalSpy connectedSpy(m_interface.get(), &NivoraVexbusUsbInterface::connectedChanged);
    QVERIFY(m_interface->enable());
    QCOMPARE(m_interface->connected(), found);
    QCOMPARE(connectedSpy.count(), found ? 1 : 0);
    if (found)
        QCOMPARE(m_interface->serialPort()->portName(), QStringLiteral("ttyUSB1"));
    // Each mode ignores the other mode's key, and finding a port by serial
    // number does not rename the interface's port.
    QCOMPARE(m_interface->portName(), watchMode == NivoraVexbusUsbInterface::WatchModePort ? key : QStringLiteral("/dev/ttyUSB0"));
}

// In port mode the adapter's own test unplugs and replugs its port; in
// serial number mode the adapter may come back under another node, and the
// interface follows it there.
void TestNivoraVexbusUsbInterface::followsAdapterToNewNode()
{
    const QString replugged = QStringLiteral("ttyUSB3");
    connectPortMode();
    m_interface->setWatchMode(NivoraVexbusUsbInterface::WatchModeSerialNumber);
    QSignalSpy connectedSpy(m_interface.get(), &NivoraVexbusUsbInterface::connectedChanged);
    QSignalSpy portNameSpy(m_interface.get(), &NivoraVexbusUsbInterface::portNameChanged);

    ignoreWarnings({removedWarning});
    m_platform->unplug(device0);
    QTRY_COMPARE(connectedSpy.count(), 1);
    QCOMPARE(connectedSpy.at(0).at(0).toBool(), false);
    QVERIFY(!m_interface->serialPort()->isOpen());

    m_platform->plug(QStringLiteral("ABC123"), replugged);
    QTRY_COMPARE(connectedSpy.count(), 2);
    QCOMPARE(connectedSpy.at(1).at(0).toBool(), true);
    QCOMPARE(portNameSpy.count(), 1);
    QCOMPARE(m_interface->portName(), NivoraTest::TestPlatform::devicePath(replugged));
    QCOMPARE(m_interface->serialPort()->portName(), replugged);

    // The link carries frames again after the reconnection.
    QSignalSpy dataSpy(m_interface.get(), &NivoraVexbusUsbInterface::dataReceived);
    QVERIFY(NivoraTest::writeToFd(m_platform->masterFd(replugged), sentinelFrame));
    QTRY_COMPARE(dataSpy.count(), 1);
}

void TestNivoraVexbusUsbInterface::pluggedDeviceNotTaken_data()
{
    QTest::addColumn<int>("watchMode");
    QTest::addColumn<bool>("disabled");
    QTest::addColumn<QString>("warning");

    const int port = NivoraVexbusUsbInterface::WatchModePort;
    const int serialNumber = NivoraVexbusUsbInterface::WatchModeSerialNumber;
    QTest::newRow("port mode, other device") << port << false
                                             << "^Device showed up but we are waiting for \"/dev/ttyUSB0\"$";
    QTest::newRow("serial number mode, other device") << serialNumber << false
                                                      << "^Device showed up but we are watching for \"ABC\"$";
    QTest::newRow("port mode, disabled") << port << true
                                         << "^Not connecting to \"/dev/ttyUSB0\" because the interface is disabled$";
    QTest::newRow("serial number mode, disabled") << serialNumber << true
                                                  << "^Not connecting to \"/dev/ttyUSB0\" \"ABC\" because the interface is disabled$";
}

void TestNivoraVexbusUsbInterface::pluggedDeviceNotTaken()
{
    QFETCH(int, watchMode);
    QFETCH(bool, disabled);
    QFETCH(QString, warning);

    if (disabled) {
        // Our adapter, back after the interface was disabled.
        connectPortMode();
        m_interface->setWatchMode(static_cast<NivoraVexbusUsbInterface::WatchMode>(watchMode));
        m_interface->disable();
        QVERIFY(!m_interface->connected());
        QVERIFY(!m_interface->serialPort()->isOpen());
        ignoreWarnings({removedWarning});
        m_platform->unplug(device0);
    } else {
        createInterface(watchMode);
        // Serial numbers are compared case-sensitively.
        ignoreWarnings({QStringLiteral("^Could not find any serial port")});
        m_interface->enable();
    }

    // The watcher's signal reaches the interface before this counter,
    // connected later: once it counts, the interface has seen the device.
    auto *watcher = m_interface->findChild<NivoraVexbusUsbDeviceWatcher *>();
    QVERIFY(watcher);
    int added = 0;
    connect(watcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded, this, [&added]() { ++added; });
    ignoreWarnings({warning});
    if (disabled)
        m_platform->plug(QStringLiteral("ABC123"), device0);
    else
        m_platform->plug(QStringLiteral("abc123"), QStringLiteral("ttyUSB2"));
    QTRY_COMPARE(added, 1);
    QVERIFY(!m_interface->connected());
    QVERIFY(!m_interface->serialPort()->isOpen());
    QCOMPARE(m_interface->portName(), QStringLiteral("/dev/ttyUSB0"));
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbInterface)
#include "tst_nivoravexbususbinterface.moc"
