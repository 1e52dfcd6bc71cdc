#include "bootloader/bootloaderresponsedecoder.h"

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QtTest>

using namespace NivoraVexbusUsb;

namespace {

// The bootloader's 16-bit two's-complement sum over the bytes before it.
QByteArray withChecksum(QByteArray packet)
{
    quint16 sum = 0;
    for (const char byte : packet)
        sum = static_cast<quint16>(sum + static_cast<quint8>(byte));
    sum = static_cast<quint16>(-sum);
    return packet.append(static_cast<char>(sum & 0xFF)).append(static_cast<char>(sum >> 8)).append('\x17');
}

const QByteArray soundResponse = QByteArray::fromHex("01000000ffff17");

// Partial responses nested inside each other: a start byte every four
// bytes, each announcing a length that ends where the first one ends (below
// 256, so that no length byte reads as a start byte).
QByteArray nestedPartialResponses(int outerLength)
{
    QByteArray bytes(outerLength + 8, '\0');
    for (int offset = 0; offset + 4 <= outerLength; offset += 4) {
        const int length = outerLength - offset - (offset ? 1 : 0);
        bytes[offset] = '\x01';
        bytes[offset + 2] = static_cast<char>(length);
    }
    return bytes;
}

} // namespace

class TestBootloaderResponseDecoder : public QObject
{
    Q_OBJECT

private slots:
    void reassembles_data();
    void reassembles();
};

void TestBootloaderResponseDecoder::reassembles_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("packets");
    QTest::addColumn<QStringList>("warnings");
    // Rows whose warnings go by the hundred run with them turned off.
    QTest::addColumn<bool>("quiet");

    const QString discarding = QStringLiteral("^Discarding malformed bootloader response");
    QTest::newRow("response inside a malformed one")
        << QByteArray::fromHex("01000300") + soundResponse << QList<QByteArray>{soundResponse} << QStringList{discarding} << false;
    QTest::newRow("announced length above the limit")
        << QByteArray::fromHex("01000005") + soundResponse << QList<QByteArray>{soundResponse}
        << QStringList{QStringLiteral("^Bootloader response announces 1280 payload bytes, more than the limit of 1024 bytes.$"), discarding} << false;
    const QByteArray largest = withChecksum(QByteArray::fromHex("01000004") + QByteArray(1024, '\x17'));
    QTest::newRow("announced length at the limit") << largest << QList<QByteArray>{largest} << QStringList() << false;
    QTest::newRow("nested partial responses")
        << nestedPartialResponses(250) + soundResponse << QList<QByteArray>{soundResponse} << QStringList() << true;
}

void TestBootloaderResponseDecoder::reassembles()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, packets);
    QFETCH(QStringList, warnings);
    QFETCH(bool, quiet);

    if (quiet)
        QLoggingCategory::setFilterRules(QStringLiteral("VexbusUsbBootloaderTraffic.warning=false"));
    for (const QString &warning : warnings)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));

    BootloaderResponseDecoder decoder;
    QList<QByteArray> received;
    for (const char byte : stream) {
        decoder.processByte(static_cast<unsigned char>(byte));
        QVERIFY(decoder.bufferSize() <= BootloaderResponseDecoder::maximumPayloadSize + BootloaderResponseDecoder::packetOverhead);
        while (decoder.hasPacket())
            received.append(decoder.takePacket());
    }
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(received, packets);
    QCOMPARE(decoder.bufferSize(), 0);
}

QTEST_GUILESS_MAIN(TestBootloaderResponseDecoder)
#include "tst_bootloaderresponsedecoder.moc"
