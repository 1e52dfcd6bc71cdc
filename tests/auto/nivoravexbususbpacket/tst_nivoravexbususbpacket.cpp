#include "link/nivoravexbususbpacket.h"

#include <QtTest>

using namespace NivoraVexbusUsb;

Q_DECLARE_METATYPE(NivoraVexbusUsb::NivoraVexbusUsbPacket::Type)

class TestNivoraVexbusUsbPacket : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TestNivoraVexbusUsbPacket::parse_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<NivoraVexbusUsbPacket::Type>("type");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("packetId");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("valid");

    QTest::newRow("response with payload") << QByteArray::fromHex("0105003132") << NivoraVexbusUsbPacket::TypeResponse
                                           << 0x01 << 5 << 0 << QByteArray::fromHex("3132") << true;
    QTest::newRow("response with error") << QByteArray::fromHex("1009057f") << NivoraVexbusUsbPacket::TypeResponse
                                         << 0x10 << 9 << 5 << QByteArray::fromHex("7f") << true;
    // 0xF0 is the highest response code, not a notification.
    QTest::newRow("0xf0 is a response") << QByteArray::fromHex("f007") << NivoraVexbusUsbPacket::TypeResponse
                                        << 0xF0 << 7 << 0 << QByteArray() << true;
    QTest::newRow("two-byte response reads as success") << QByteArray::fromHex("0105") << NivoraVexbusUsbPacket::TypeResponse
                                                        << 0x01 << 5 << 0 << QByteArray() << true;
    QTest::newRow("notification") << QByteArray::fromHex("f300a0b1") << NivoraVexbusUsbPacket::TypeNotification
                                  << 0xF3 << 0 << 0xFF << QByteArray::fromHex("a0b1") << true;
    QTest::newRow("0xff notification is not valid") << QByteArray::fromHex("ff01") << NivoraVexbusUsbPacket::TypeNotification
                                                    << 0xFF << 1 << 0xFF << QByteArray() << false;
    QTest::newRow("single byte") << QByteArray::fromHex("01") << NivoraVexbusUsbPacket::TypeRequest
                                 << 0xFF << 0 << 0xFF << QByteArray() << false;
}

void TestNivoraVexbusUsbPacket::parse()
{
    QFETCH(QByteArray, data);
    QFETCH(NivoraVexbusUsbPacket::Type, type);
    QFETCH(int, command);
    QFETCH(int, packetId);
    QFETCH(int, error);
    QFETCH(QByteArray, payload);
    QFETCH(bool, valid);

    if (data.size() < 2)
        QTest::ignoreMessage(QtWarningMsg, "The given data for the packet is to short.");

    const NivoraVexbusUsbPacket packet(data);
    QCOMPARE(packet.type(), type);
    QCOMPARE(int(packet.command()), command);
    QCOMPARE(int(packet.packetId()), packetId);
    QCOMPARE(int(packet.error()), error);
    QCOMPARE(packet.payload().toHex(), payload.toHex());
    QCOMPARE(packet.packetData().toHex(), data.toHex());
    QCOMPARE(packet.isValid(), valid);
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbPacket)
#include "tst_nivoravexbususbpacket.moc"
