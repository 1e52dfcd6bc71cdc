#include "link/nivoravexbususbpacket.h"

#include <QtTest>

using namespace NivoraVexbusUsb;

Q_DECLARE_METATYPE(NivoraVexbusUsb::NivoraVexbusUsbPacket::Type)

namespace {

const char shortDataWarning[] = "The given data for the packet is to short.";

QString textForm(const NivoraVexbusUsbPacket &packet, bool quoted = true)
{
    QString text;
    QDebug debug(&text);
    if (!quoted)
        debug.noquote();
    debug << packet;
    return text;
}

} // namespace

class TestNivoraVexbusUsbPacket : public QObject
{
    Q_OBJECT

private slots:
    void defaultPacket();

    void parse_data();
    void parse();

    void build_data();
    void build();

    void textForm_data();
    void textForm();
    void textFormKeepsStreamState();
};

void TestNivoraVexbusUsbPacket::defaultPacket()
{
    const NivoraVexbusUsbPacket packet;
    QCOMPARE(packet.type(), NivoraVexbusUsbPacket::TypeRequest);
    QCOMPARE(packet.command(), static_cast<unsigned char>(0xFF));
    QCOMPARE(packet.packetId(), static_cast<unsigned char>(0));
    QCOMPARE(packet.error(), NivoraVexbusUsbUtils::ErrorUnknwonError);
    QVERIFY(packet.payload().isEmpty());
    QVERIFY(packet.packetData().isEmpty());
    QVERIFY(!packet.isValid());
}

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
    QTest::newRow("response without payload") << QByteArray::fromHex("040300") << NivoraVexbusUsbPacket::TypeResponse
                                              << 0x04 << 3 << 0 << QByteArray() << true;
    // 0xF0 is the highest response code, not a notification.
    QTest::newRow("0xf0 is a response") << QByteArray::fromHex("f007") << NivoraVexbusUsbPacket::TypeResponse
                                        << 0xF0 << 7 << 0 << QByteArray() << true;
    QTest::newRow("two-byte response reads as success") << QByteArray::fromHex("0105") << NivoraVexbusUsbPacket::TypeResponse
                                                        << 0x01 << 5 << 0 << QByteArray() << true;
    QTest::newRow("notification") << QByteArray::fromHex("f300a0b1") << NivoraVexbusUsbPacket::TypeNotification
                                  << 0xF3 << 0 << 0xFF << QByteArray::fromHex("a0b1") << true;
    QTest::newRow("0xf1 is a notification") << QByteArray::fromHex("f1ff") << NivoraVexbusUsbPacket::TypeNotification
                                            << 0xF1 << 0xFF << 0xFF << QByteArray() << true;
    QTest::newRow("0xff notification is not valid") << QByteArray::fromHex("ff01") << NivoraVexbusUsbPacket::TypeNotification
                                                    << 0xFF << 1 << 0xFF << QByteArray() << false;
    QTest::newRow("single byte") << QByteArray::fromHex("01") << NivoraVexbusUsbPacket::TypeRequest
                                 << 0xFF << 0 << 0xFF << QByteArray() << false;
    QTest::newRow("no byte") << QByteArray() << NivoraVexbusUsbPacket::TypeRequest
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
        QTest::ignoreMessage(QtWarningMsg, shortDataWarning);

    const NivoraVexbusUsbPacket packet(data);
    QCOMPARE(packet.type(), type);
    QCOMPARE(int(packet.command()), command);
    QCOMPARE(int(packet.packetId()), packetId);
    QCOMPARE(int(packet.error()), error);
    QCOMPARE(packet.payload().toHex(), payload.toHex());
    QCOMPARE(packet.packetData().toHex(), data.toHex());
    QCOMPARE(packet.isValid(), valid);
}

void TestNivoraVexbusUsbPacket::build_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("packetId");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<NivoraVexbusUsbPacket::Type>("type");
    QTest::addColumn<QByteArray>("packetData");
    QTest::addColumn<bool>("valid");

    QTest::newRow("request without payload") << 0x04 << 3 << QByteArray() << NivoraVexbusUsbPacket::TypeRequest
                                             << QByteArray::fromHex("0403") << true;
    QTest::newRow("request with payload") << 0x10 << 0xFE << QByteArray::fromHex("801800c8")
                                          << NivoraVexbusUsbPacket::TypeRequest
                                          << QByteArray::fromHex("10fe801800c8") << true;
    // The type does not change the bytes: no error byte for a response.
    QTest::newRow("response from fields") << 0x01 << 5 << QByteArray::fromHex("3132") << NivoraVexbusUsbPacket::TypeResponse
                                          << QByteArray::fromHex("01053132") << true;
    QTest::newRow("notification from fields") << 0xF3 << 0 << QByteArray::fromHex("a0") << NivoraVexbusUsbPacket::TypeNotification
                                              << QByteArray::fromHex("f300a0") << true;
    QTest::newRow("invalid command") << 0xFF << 1 << QByteArray() << NivoraVexbusUsbPacket::TypeRequest
                                     << QByteArray::fromHex("ff01") << false;
    QTest::newRow("invalid command with payload") << 0xFF << 1 << QByteArray::fromHex("0102")
                                                  << NivoraVexbusUsbPacket::TypeRequest
                                                  << QByteArray::fromHex("ff010102") << false;
}

void TestNivoraVexbusUsbPacket::build()
{
    QFETCH(int, command);
    QFETCH(int, packetId);
    QFETCH(QByteArray, payload);
    QFETCH(NivoraVexbusUsbPacket::Type, type);
    QFETCH(QByteArray, packetData);
    QFETCH(bool, valid);

    const NivoraVexbusUsbPacket packet(static_cast<unsigned char>(command), static_cast<unsigned char>(packetId),
                                       payload, type);
    QCOMPARE(packet.type(), type);
    QCOMPARE(int(packet.command()), command);
    QCOMPARE(int(packet.packetId()), packetId);
    QCOMPARE(packet.error(), NivoraVexbusUsbUtils::ErrorUnknwonError);
    QCOMPARE(packet.payload().toHex(), payload.toHex());
    QCOMPARE(packet.packetData().toHex(), packetData.toHex());
    QCOMPARE(packet.isValid(), valid);

    // A copy is the same value.
    const NivoraVexbusUsbPacket copy = packet;
    QCOMPARE(copy.packetData(), packet.packetData());
    QCOMPARE(copy.type(), packet.type());
}

void TestNivoraVexbusUsbPacket::textForm_data()
{
    QTest::addColumn<NivoraVexbusUsbPacket>("packet");
    QTest::addColumn<bool>("quoted");
    QTest::addColumn<QString>("text");

    // The debug stream's own separator follows the packet's closing ")".
    QTest::newRow("request without payload")
        << NivoraVexbusUsbPacket(0x01, 10, QByteArray()) << true
        << "Packet(Request, NivoraVexbusUsb::NivoraVexbusUsbUtils::CommandGetFirmware, id: \"0x0a\" (10)) ";
    QTest::newRow("request with payload")
        << NivoraVexbusUsbPacket(0x10, 0xC8, QByteArray::fromHex("801800c8")) << true
        << "Packet(Request, NivoraVexbusUsb::NivoraVexbusUsbUtils::CommandSetIxoModuleBuffer, id: \"0xc8\" (200), "
           "\"801800c8\") ";
    QTest::newRow("response without payload")
        << NivoraVexbusUsbPacket(QByteArray::fromHex("040300")) << true
        << "Packet(Response, NivoraVexbusUsb::NivoraVexbusUsbUtils::CommandGetControllerStatus, id: \"0x03\" (3), "
           "NivoraVexbusUsb::NivoraVexbusUsbUtils::ErrorNoError) ";
    QTest::newRow("response with error and payload")
        << NivoraVexbusUsbPacket(QByteArray::fromHex("a00f05abcd")) << true
        << "Packet(Response, NivoraVexbusUsb::NivoraVexbusUsbUtils::CommandWriteDataToVexbus, id: \"0x0f\" (15), "
           "NivoraVexbusUsb::NivoraVexbusUsbUtils::ErrorInvalidMessageFormat, \"abcd\") ";
    QTest::newRow("notification with payload")
        << NivoraVexbusUsbPacket(QByteArray::fromHex("f300a0b1")) << true
        << "Packet(Notification, NivoraVexbusUsb::NivoraVexbusUsbUtils::NotificationVexbusData, id: \"0x00\" (0), "
           "\"a0b1\") ";
    QTest::newRow("notification without payload")
        << NivoraVexbusUsbPacket(QByteArray::fromHex("f1ff")) << true
        << "Packet(Notification, NivoraVexbusUsb::NivoraVexbusUsbUtils::NotificationControllerReady, id: \"0xff\" (255)) ";
    // Codes without a name print as the enumeration with the number.
    QTest::newRow("unnamed command and error")
        << NivoraVexbusUsbPacket(QByteArray::fromHex("05012a")) << true
        << "Packet(Response, NivoraVexbusUsb::NivoraVexbusUsbUtils::Command(5), id: \"0x01\" (1), "
           "NivoraVexbusUsb::NivoraVexbusUsbUtils::Error(42)) ";
    QTest::newRow("unquoted")
        << NivoraVexbusUsbPacket(QByteArray::fromHex("0105003132")) << false
        << "Packet(Response, NivoraVexbusUsb::NivoraVexbusUsbUtils::CommandGetFirmware, id: 0x05 (5), "
           "NivoraVexbusUsb::NivoraVexbusUsbUtils::ErrorNoError, 3132) ";
}

void TestNivoraVexbusUsbPacket::textForm()
{
    QFETCH(NivoraVexbusUsbPacket, packet);
    QFETCH(bool, quoted);
    QFETCH(QString, text);

    QCOMPARE(::textForm(packet, quoted), text);
}

void TestNivoraVexbusUsbPacket::textFormKeepsStreamState()
{
    // The packet's own no-space mode ends with it: the pieces around it are
    // still separated by blanks.
    QString text;
    QDebug(&text) << "before" << NivoraVexbusUsbPacket(0x02, 1, QByteArray()) << "after";
    QCOMPARE(text, QStringLiteral("before Packet(Request, NivoraVexbusUsb::NivoraVexbusUsbUtils::CommandSoftReset, "
                                  "id: \"0x01\" (1)) after "));
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbPacket)
#include "tst_nivoravexbususbpacket.moc"
