// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The bootloader's data as pure functions: checksums, image rows and files,
// and responses reassembled from the bytes read.
#include "bootloader/bootloaderresponsedecoder.h"
#include "bootloader/bootloaderutils.h"
#include "bootloader/firmwaredata.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace NivoraVexbusUsb;

namespace {

const QByteArray header = "123456780000";
const QByteArray row22 = ":000022000401020304D0";
const QByteArray row23 = ":000023000405060708BF";
const QByteArray soundResponse = QByteArray::fromHex("01000000ffff17");

} // namespace

class TestBootloaderData : public QObject
{
    Q_OBJECT

private slots:
    void checksum_data();
    void checksum();

    void row_data();
    void row();

    void image_data();
    void image();
    void imageFromFile();
    void equality();
    void reassembles_data();
    void reassembles();
};

void TestBootloaderData::checksum_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("expected");

    QTest::newRow("sum of digits") << QByteArray("123456789") << int(BootloaderUtils::ChecksumTypeSum) << 0xFE23;
    QTest::newRow("crc of digits") << QByteArray("123456789") << int(BootloaderUtils::ChecksumTypeCrc) << 0x6E90;
    QTest::newRow("other type") << QByteArray("123456789") << 7 << 0xFFFF;
    // The sum runs in 16 bits: 0x102 bytes of 0xff add up to 0x100fe.
    QTest::newRow("sum wraps") << QByteArray(0x102, '\xff') << int(BootloaderUtils::ChecksumTypeSum) << 0xFF02;
}

void TestBootloaderData::checksum()
{
    QFETCH(QByteArray, data);
    QFETCH(int, type);
    QFETCH(int, expected);
    QCOMPARE(int(BootloaderUtils::calculateChecksum(data, static_cast<BootloaderUtils::ChecksumType>(type))), expected);
}

void TestBootloaderData::row_data()
{
    QTest::addColumn<QByteArray>("line");
    // Empty for an invalid row.
    QTest::addColumn<QByteArray>("rowData");
    QTest::addColumn<int>("arrayId");
    QTest::addColumn<int>("rowNumber");
    QTest::addColumn<int>("verifyChecksum");
    QTest::addColumn<QString>("warning");

    const QByteArray data = QByteArray::fromHex("01020304");
    QTest::newRow("worked example") << row22 << data << 0 << 0x22 << 0xF6 << QString();
    QTest::newRow("array 1, row above 255") << QByteArray(":010123000401020304CD") << data << 1 << 0x123 << 0xF6 << QString();
    // A wrong checksum byte parses; only the device's verify answer shows it.
    QTest::newRow("wrong checksum byte") << QByteArray(":000022000401020304FF") << data << 0 << 0x22 << 0x25 << QString();
    QTest::newRow("stray characters skipped") << QByteArray(":00 0022 0004 01020304 D0") << data << 0 << 0x22 << 0xF6 << QString();
    QTest::newRow("empty") << QByteArray() << QByteArray() << 0 << 0 << 0 << "^Error processing firmware file row. No data provided.$";
    QTest::newRow("no colon") << QByteArray("000022000401020304D0") << QByteArray() << 0 << 0 << 0
                              << "^Error processing firmware file row. The row does not start with \":\"$";
    QTest::newRow("length disagrees") << QByteArray(":000022000501020304D0") << QByteArray() << 0 << 0 << 0
                                      << "^Error processing firmware file row. The size does not match the row size.$";
    QTest::newRow("no data bytes") << QByteArray(":0000220000DE") << QByteArray() << 0 << 0 << 0 << QString();
}

void TestBootloaderData::row()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, rowData);
    QFETCH(int, arrayId);
    QFETCH(int, rowNumber);
    QFETCH(int, verifyChecksum);
    QFETCH(QString, warning);

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    const FirmwareDataRow row(line);
    QCOMPARE(row.isValid(), !rowData.isEmpty());
    if (rowData.isEmpty())
        return;
    QCOMPARE(row.rowData().toHex(), rowData.toHex());
    QCOMPARE(int(row.arrayId()), arrayId);
    QCOMPARE(int(row.rowNumber()), rowNumber);
    QCOMPARE(int(row.verifyChecksum()), verifyChecksum);
}

void TestBootloaderData::image_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("siliconId");
    QTest::addColumn<int>("siliconRev");
    QTest::addColumn<int>("checksumType");
    QTest::addColumn<QStringList>("warnings");

    const int id = 0x12345678;
    QTest::newRow("two rows") << header + "\n" + row22 + "\n" + row23 << true << 2 << id << 0 << 0 << QStringList();
    QTest::newRow("header only") << header << false << 0 << id << 0 << 0 << QStringList();
    QTest::newRow("negative silicon id") << QByteArray("F23456780101\n") + row22 << true << 1 << int(0xF2345678) << 1 << 1 << QStringList();
    QTest::newRow("header without checksum type") << QByteArray("1234567801\n") + row22 << true << 1 << id << 1 << 0 << QStringList();
    QTest::newRow("revision 0xff") << QByteArray("12345678FF00\n") + row22 << false << 1 << id << 0xFF << 0 << QStringList();
    // The line number counts the blank lines of the text.
    QTest::newRow("bad row after blank line") << header + "\n" + row22 + "\n\n:0000" + "\n" + row23 << false << 1 << id << 0 << 0
                                              << QStringList{"^Error processing firmware file row. The row size is to small: 2$",
                                                              "^The firmware file contains invalid row data at line 4$"};
    // A row without data bytes is invalid without a warning of its own.
    QTest::newRow("row without data") << header + "\n:0000220000DE\n" + row22 << false << 0 << id << 0 << 0
                                      << QStringList{"^The firmware file contains invalid row data at line 2$"};
}

void TestBootloaderData::image()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(int, rows);
    QFETCH(int, siliconId);
    QFETCH(int, siliconRev);
    QFETCH(int, checksumType);
    QFETCH(QStringList, warnings);

    for (const QString &warning : warnings)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    const FirmwareData firmware(text);
    QCOMPARE(firmware.isValid(), valid);
    QCOMPARE(firmware.rows().count(), rows);
    QCOMPARE(firmware.siliconId(), siliconId);
    QCOMPARE(int(firmware.siliconRev()), siliconRev);
    QCOMPARE(int(firmware.checksumType()), checksumType);
}

void TestBootloaderData::imageFromFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.cyacd"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    // Blank lines are no rows: the image grown to the limit is still valid,
    // one byte more is refused before it is parsed.
    file.write(header + "\n" + row22 + "\n");
    file.write(QByteArray(FirmwareData::maximumFileSize - file.size(), '\n'));
    file.close();
    const FirmwareData atLimit(path);
    QVERIFY(atLimit.isValid());
    QCOMPARE(atLimit.fileName(), path);

    QVERIFY(file.open(QIODevice::Append));
    file.write("\n");
    file.close();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^The firmware file \".*image.cyacd\" is longer than the limit of 16777216 bytes.$")));
    QVERIFY(FirmwareData(path).data().isEmpty());
}

void TestBootloaderData::equality()
{
    // The name counts, the version does not.
    FirmwareData first(header + "\n" + row22), second(first);
    first.setApplicationVersion(QStringLiteral("1.0.0"));
    QVERIFY(first == second);
    second.setName(QStringLiteral("other"));
    QVERIFY(first != second);
    QVERIFY(FirmwareData(header + "\n" + row23) != first);
}

void TestBootloaderData::reassembles_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("packets");
    QTest::addColumn<QStringList>("warnings");

    const QString discarding = QStringLiteral("^Discarding malformed bootloader response");
    QTest::newRow("response inside a malformed one")
        << QByteArray::fromHex("01000300") + soundResponse << QList<QByteArray>{soundResponse} << QStringList{discarding};
    QTest::newRow("announced length above the limit")
        << QByteArray::fromHex("01000005") + soundResponse << QList<QByteArray>{soundResponse}
        << QStringList{QStringLiteral("^Bootloader response announces 1280 payload bytes, more than the limit of 1024 bytes.$"), discarding};
    const QByteArray largest = QByteArray::fromHex("01000004" + QByteArray("17").repeated(1024) + "fba317");
    QTest::newRow("announced length at the limit") << largest << QList<QByteArray>{largest} << QStringList();
}

void TestBootloaderData::reassembles()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, packets);
    QFETCH(QStringList, warnings);

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
    QCOMPARE(received, packets);
    QCOMPARE(decoder.bufferSize(), 0);
}

QTEST_GUILESS_MAIN(TestBootloaderData)
#include "tst_bootloaderdata.moc"
