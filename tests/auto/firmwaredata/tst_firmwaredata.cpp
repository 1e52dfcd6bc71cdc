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

QString debugText(const FirmwareData &firmware)
{
    QString text;
    QDebug(&text).nospace() << firmware;
    return text;
}

} // namespace

class TestFirmwareData : public QObject
{
    Q_OBJECT

private slots:
    void checksum_data();
    void checksum();
    void readFirmwareAsciiData_data();
    void readFirmwareAsciiData();

    void row_data();
    void row();
    void rowTextForm();

    void image_data();
    void image();
    void imageFromFile();
    void equality();
    void reparseWithoutClearAppendsRows();
    void clearKeepsName();
    void imageTextFormAndMetaType();
};

void TestFirmwareData::checksum_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("expected");

    QTest::newRow("sum of digits") << QByteArray("123456789") << int(BootloaderUtils::ChecksumTypeSum) << 0xFE23;
    QTest::newRow("crc of digits") << QByteArray("123456789") << int(BootloaderUtils::ChecksumTypeCrc) << 0x6E90;
    QTest::newRow("sum of abc") << QByteArray("abc") << int(BootloaderUtils::ChecksumTypeSum) << 0xFEDA;
    QTest::newRow("crc of abc") << QByteArray("abc") << int(BootloaderUtils::ChecksumTypeCrc) << 0x259E;
    QTest::newRow("other type") << QByteArray("123456789") << 7 << 0xFFFF;
    QTest::newRow("no data, sum") << QByteArray() << int(BootloaderUtils::ChecksumTypeSum) << 0;
    QTest::newRow("no data, crc") << QByteArray() << int(BootloaderUtils::ChecksumTypeCrc) << 0;
    QTest::newRow("no data, other type") << QByteArray() << 7 << 0;
    // The sum runs in 16 bits: 0x102 bytes of 0xff add up to 0x100fe.
    QTest::newRow("sum wraps") << QByteArray(0x102, '\xff') << int(BootloaderUtils::ChecksumTypeSum) << 0xFF02;
    QTest::newRow("enter bootloader") << QByteArray::fromHex("01380000") << int(BootloaderUtils::ChecksumTypeSum) << 0xFFC7;
}

void TestFirmwareData::checksum()
{
    QFETCH(QByteArray, data);
    QFETCH(int, type);
    QFETCH(int, expected);
    QCOMPARE(int(BootloaderUtils::calculateChecksum(data, static_cast<BootloaderUtils::ChecksumType>(type))), expected);
}

void TestFirmwareData::readFirmwareAsciiData_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("upper case") << QByteArray("0AFF") << QByteArray::fromHex("0aff");
    QTest::newRow("lower case") << QByteArray("0aff") << QByteArray::fromHex("0aff");
    QTest::newRow("colon and blanks skipped") << QByteArray(":01 02") << QByteArray::fromHex("0102");
    QTest::newRow("ends at NUL") << QByteArray("0102\0" "0304", 9) << QByteArray::fromHex("0102");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestFirmwareData::readFirmwareAsciiData()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, bytes);
    QCOMPARE(BootloaderUtils::readFirmwareAsciiData(line).toHex(), bytes.toHex());
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
    QTest::newRow("lower case, array 1") << QByteArray(":01012300020a0bc4") << true << 0x0123 << QByteArray::fromHex("0a0b")
                                         << ((0xc4 + 0x01 + 0x23 + 0x01 + 0x02) & 0xFF) << QString();
    // A wrong checksum byte parses; only the device's verify answer shows it.
    QTest::newRow("wrong checksum byte") << QByteArray(":000022000401020304FF") << true << 0x22 << QByteArray::fromHex("01020304")
                                         << ((0xFF + 0x22 + 0x04) & 0xFF) << QString();
    QTest::newRow("empty") << QByteArray() << false << 0 << QByteArray() << 0
                           << "^Error processing firmware file row. No data provided.$";
    QTest::newRow("no colon") << QByteArray("000022000401020304D0") << false << 0 << QByteArray() << 0
                              << "^Error processing firmware file row. The row does not start with \":\"$";
    QTest::newRow("too short") << QByteArray(":0000220004") << false << 0 << QByteArray() << 0
                               << "^Error processing firmware file row. The row size is to small: 5$";
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

void TestFirmwareData::rowTextForm()
{
    QString text;
    QDebug(&text) << FirmwareDataRow(row22);
    QCOMPARE(text, QStringLiteral("FirmwareDataRow(Array: 0, Row number: 34, Size: 4) "));
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
    QTest::newRow("CR LF and trailing newline") << header + "\r\n" + row22 + "\r\n" + row23 + "\r\n" << true << 2 << id << 0 << 0 << QString();
    QTest::newRow("blanks around lines") << " " + header + "\t\n  " + row22 + "  \n" << true << 1 << id << 0 << 0 << QString();
    QTest::newRow("empty data") << QByteArray() << false << 0 << 0 << 0 << 0 << QString();
    QTest::newRow("header only") << header << false << 0 << id << 0 << 0 << QString();
    QTest::newRow("negative silicon id") << QByteArray("F23456780101\n") + row22 << true << 1 << int(0xF2345678) << 1 << 1 << QString();
    QTest::newRow("header without checksum type") << QByteArray("1234567801\n") + row22 << true << 1 << id << 1 << 0 << QString();
    QTest::newRow("silicon id zero") << QByteArray("000000000000\n") + row22 << false << 1 << 0 << 0 << 0 << QString();
    QTest::newRow("revision 0xff") << QByteArray("12345678FF00\n") + row22 << false << 1 << id << 0xFF << 0 << QString();
    QTest::newRow("checksum type 0xff") << QByteArray("1234567800FF\n") + row22 << false << 1 << id << 0 << 0xFF << QString();
    QTest::newRow("checksum type 2") << QByteArray("123456780002\n") + row22 << true << 1 << id << 0 << 2 << QString();
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

    QVERIFY(FirmwareData() == FirmwareData());
    QVERIFY(FirmwareData(header + "\n" + row23) != first);
}

void TestFirmwareData::reparseWithoutClearAppendsRows()
{
    FirmwareData firmware(header + "\n" + row22);
    firmware.setData(header + "\n" + row22);
    QCOMPARE(firmware.rows().count(), 2);

    firmware.clear();
    firmware.setData(header + "\n" + row22);
    QCOMPARE(firmware.rows().count(), 1);
}

void TestFirmwareData::clearKeepsName()
{
    FirmwareData firmware(header + "\n" + row22);
    firmware.setName(QStringLiteral("image"));
    firmware.clear();
    QVERIFY(!firmware.isValid());
    QVERIFY(firmware.data().isEmpty());
    QVERIFY(firmware.rows().isEmpty());
    QCOMPARE(firmware.siliconId(), 0);
    QCOMPARE(int(firmware.siliconRev()), 0xFF);
    QCOMPARE(firmware.checksumType(), BootloaderUtils::ChecksumTypeUnknown);
    QCOMPARE(firmware.name(), QStringLiteral("image"));
}

void TestFirmwareData::imageTextFormAndMetaType()
{
    FirmwareData firmware(header + "\n" + row22 + "\n" + row23);
    firmware.setName(QStringLiteral("demo"));
    firmware.setApplicationVersion(QStringLiteral("1.5.0"));
    QCOMPARE(debugText(firmware), QStringLiteral("FirmwareData(\"demo\", Version: \"1.5.0\", Silicon ID: 305419896, Silicon Rev: 0, Row count: 2)"));

    QCOMPARE(QMetaType::type("FirmwareData"), qMetaTypeId<FirmwareData>());
    const QVariant variant = QVariant::fromValue(firmware);
    QVERIFY(variant.value<FirmwareData>() == firmware);

    const QMetaObject &meta = FirmwareData::staticMetaObject;
    const QMetaProperty siliconId = meta.property(meta.indexOfProperty("siliconId"));
    QVERIFY(siliconId.isConstant());
    QCOMPARE(siliconId.readOnGadget(&firmware).toInt(), 0x12345678);
    QCOMPARE(meta.property(meta.indexOfProperty("siliconRev")).readOnGadget(&firmware).toInt(), 0);
}

QTEST_GUILESS_MAIN(TestFirmwareData)
#include "tst_firmwaredata.moc"
