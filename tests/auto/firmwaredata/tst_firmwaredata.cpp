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

} // namespace

class TestFirmwareData : public QObject
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
};

void TestFirmwareData::checksum_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("expected");

    QTest::newRow("sum of digits") << QByteArray("123456789") << int(BootloaderUtils::ChecksumTypeSum) << 0xFE23;
    QTest::newRow("crc of digits") << QByteArray("123456789") << int(BootloaderUtils::ChecksumTypeCrc) << 0x6E90;
    QTest::newRow("other type") << QByteArray("123456789") << 7 << 0xFFFF;
    QTest::newRow("no data, sum") << QByteArray() << int(BootloaderUtils::ChecksumTypeSum) << 0;
    // The sum runs in 16 bits: 0x102 bytes of 0xff add up to 0x100fe.
    QTest::newRow("sum wraps") << QByteArray(0x102, '\xff') << int(BootloaderUtils::ChecksumTypeSum) << 0xFF02;
}

void TestFirmwareData::checksum()
{
    QFETCH(QByteArray, data);
    QFETCH(int, type);
    QFETCH(int, expected);
    QCOMPARE(int(BootloaderUtils::calculateChecksum(data, static_cast<BootloaderUtils::ChecksumType>(type))), expected);
}

void TestFirmwareData::row_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("rowNumber");
    QTest::addColumn<QByteArray>("rowData");
    QTest::addColumn<int>("verifyChecksum");
    QTest::addColumn<QString>("warning");

    QTest::newRow("worked example") << row22 << true << 0x22 << QByteArray::fromHex("01020304") << 0xF6 << QString();
    // A wrong checksum byte parses; only the device's verify answer shows it.
    QTest::newRow("wrong checksum byte") << QByteArray(":000022000401020304FF") << true << 0x22 << QByteArray::fromHex("01020304")
                                         << ((0xFF + 0x22 + 0x04) & 0xFF) << QString();
    QTest::newRow("empty") << QByteArray() << false << 0 << QByteArray() << 0
                           << "^Error processing firmware file row. No data provided.$";
    QTest::newRow("no colon") << QByteArray("000022000401020304D0") << false << 0 << QByteArray() << 0
                              << "^Error processing firmware file row. The row does not start with \":\"$";
    QTest::newRow("length disagrees") << QByteArray(":000022000501020304D0") << false << 0x22 << QByteArray() << 0
                                      << "^Error processing firmware file row. The size does not match the row size.$";
    QTest::newRow("no data bytes") << QByteArray(":0000220000DE") << false << 0x22 << QByteArray() << 0 << QString();
    QTest::newRow("stray characters skipped") << QByteArray(":00 0022 0004 01020304 D0") << true << 0x22
                                              << QByteArray::fromHex("01020304") << 0xF6 << QString();
}

void TestFirmwareData::row()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, valid);
    QFETCH(int, rowNumber);
    QFETCH(QByteArray, rowData);
    QFETCH(int, verifyChecksum);
    QFETCH(QString, warning);

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    const FirmwareDataRow row(line);
    QCOMPARE(row.isValid(), valid);
    QCOMPARE(row.data(), line);
    QCOMPARE(int(row.rowNumber()), rowNumber);
    QCOMPARE(row.rowData().toHex(), rowData.toHex());
    if (valid)
        QCOMPARE(int(row.verifyChecksum()), verifyChecksum);
}

void TestFirmwareData::image_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("siliconId");
    QTest::addColumn<int>("siliconRev");
    QTest::addColumn<int>("checksumType");
    QTest::addColumn<QString>("warning");

    const int id = 0x12345678;
    QTest::newRow("two rows") << header + "\n" + row22 + "\n" + row23 << true << 2 << id << 0 << 0 << QString();
    QTest::newRow("header only") << header << false << 0 << id << 0 << 0 << QString();
    QTest::newRow("negative silicon id") << QByteArray("F23456780101\n") + row22 << true << 1 << int(0xF2345678) << 1 << 1 << QString();
    QTest::newRow("header without checksum type") << QByteArray("1234567801\n") + row22 << true << 1 << id << 1 << 0 << QString();
    QTest::newRow("revision 0xff") << QByteArray("12345678FF00\n") + row22 << false << 1 << id << 0xFF << 0 << QString();
    // The line number counts the blank lines of the text.
    QTest::newRow("bad row after blank line") << header + "\n" + row22 + "\n\n:0000" + "\n" + row23 << false << 1 << id << 0 << 0
                                              << "^The firmware file contains invalid row data at line 4$";
    QTest::newRow("row without data") << header + "\n:0000220000DE\n" + row22 << false << 0 << id << 0 << 0
                                      << "^The firmware file contains invalid row data at line 2$";
}

void TestFirmwareData::image()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(int, rows);
    QFETCH(int, siliconId);
    QFETCH(int, siliconRev);
    QFETCH(int, checksumType);
    QFETCH(QString, warning);

    // A row without data bytes is invalid without a warning of its own.
    if (!warning.isEmpty() && !text.contains(":0000220000"))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Error processing firmware file row")));
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    const FirmwareData firmware(text);
    QCOMPARE(firmware.isValid(), valid);
    QCOMPARE(firmware.rows().count(), rows);
    QCOMPARE(firmware.siliconId(), siliconId);
    QCOMPARE(int(firmware.siliconRev()), siliconRev);
    QCOMPARE(int(firmware.checksumType()), checksumType);
    QCOMPARE(firmware.data(), text);
}

void TestFirmwareData::imageFromFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.cyacd"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(header + "\n" + row22 + "\n");
    file.close();

    const FirmwareData firmware(path);
    QVERIFY(firmware.isValid());
    QCOMPARE(firmware.fileName(), path);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Could not open file \".*missing.cyacd\"")));
    const FirmwareData missing(dir.filePath(QStringLiteral("missing.cyacd")));
    QVERIFY(!missing.isValid());
    QVERIFY(missing.data().isEmpty());

    // Blank lines are no rows: the same image grown to the limit is still
    // valid, one byte more is refused before it is parsed.
    QVERIFY(file.open(QIODevice::Append));
    file.write(QByteArray(FirmwareData::maximumFileSize - file.size(), '\n'));
    file.close();
    QVERIFY(FirmwareData(path).isValid());
    QVERIFY(file.open(QIODevice::Append));
    file.write("\n");
    file.close();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^The firmware file \".*image.cyacd\" is longer than the limit of 16777216 bytes.$")));
    const FirmwareData large(path);
    QVERIFY(!large.isValid());
    QVERIFY(large.data().isEmpty());
}

void TestFirmwareData::equality()
{
    FirmwareData first(header + "\n" + row22);
    FirmwareData second(header + "\n" + row22);
    first.setApplicationVersion(QStringLiteral("1.0.0"));
    second.setApplicationVersion(QStringLiteral("2.0.0"));
    QVERIFY(first == second);

    second.setName(QStringLiteral("other"));
    QVERIFY(first != second);
    QVERIFY(FirmwareData(header + "\n" + row23) != first);
}

QTEST_GUILESS_MAIN(TestFirmwareData)
#include "tst_firmwaredata.moc"
