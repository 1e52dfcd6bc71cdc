// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "flashimage.h"
#include "applicationmetadata.h"
#include "bootloaderemulation.h"

#include <QRegularExpression>

namespace NivoraVexbusUsbEmulator {

// Silicon ID, revision and checksum type.
static constexpr int kImageHeaderSize = 6;
// Array ID, row number and data length before the data, checksum after it.
static constexpr int kRowOverhead = 6;

static bool isHex(const QByteArray &text)
{
    static const QRegularExpression hexDigits(QStringLiteral("^([0-9A-Fa-f]{2})+$"));
    return hexDigits.match(QString::fromLatin1(text)).hasMatch();
}

static quint32 bigEndian(const QByteArray &bytes, int offset, int size)
{
    quint32 value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | static_cast<quint8>(bytes.at(offset + i));
    return value;
}

bool FlashImage::fail(int line, const QString &message)
{
    m_errorString = QStringLiteral("line %1: %2").arg(line).arg(message);
    return false;
}

bool FlashImage::parse(const QByteArray &text)
{
    rows.clear();
    const QList<QByteArray> lines = text.split('\n');
    const QByteArray headerText = lines.first().trimmed();
    if (headerText.size() != 2 * kImageHeaderSize || !isHex(headerText))
        return fail(1, QStringLiteral("the header is not 12 hex digits (silicon ID, revision, checksum type)"));
    const QByteArray header = QByteArray::fromHex(headerText);
    siliconId = bigEndian(header, 0, 4);
    siliconRevision = static_cast<quint8>(header.at(4));
    checksumType = static_cast<quint8>(header.at(5));

    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        if (!line.startsWith(':') || !isHex(line.mid(1)))
            return fail(i + 1, QStringLiteral("not a row (':' and hex digits)"));
        const QByteArray bytes = QByteArray::fromHex(line.mid(1));
        if (bytes.size() <= kRowOverhead || int(bigEndian(bytes, 3, 2)) != bytes.size() - kRowOverhead)
            return fail(i + 1, QStringLiteral("the row's length does not match its bytes"));
        quint8 sum = 0;
        for (char byte : bytes)
            sum = static_cast<quint8>(sum + static_cast<quint8>(byte));
        if (sum != 0)
            return fail(i + 1, QStringLiteral("the row's checksum does not match its bytes"));
        Row row;
        row.arrayId = static_cast<quint8>(bytes.at(0));
        row.rowNumber = static_cast<quint16>(bigEndian(bytes, 1, 2));
        row.data = bytes.mid(5, bytes.size() - kRowOverhead);
        rows.append(row);
    }
    if (rows.isEmpty())
        return fail(lines.size(), QStringLiteral("the image holds no rows"));
    m_errorString.clear();
    return true;
}

FlashImage FlashImage::fromFlash(const BootloaderEmulation &bootloader, quint8 checksumType)
{
    FlashImage image;
    image.siliconId = bootloader.siliconId();
    image.siliconRevision = bootloader.siliconRevision();
    image.checksumType = checksumType;
    const SimulatedFlash &flash = bootloader.flash();
    for (quint8 arrayId : flash.arrays()) {
        for (quint16 rowNumber : flash.programmedRows(arrayId))
            image.rows.append(Row{arrayId, rowNumber, flash.row(arrayId, rowNumber)});
    }
    return image;
}

QByteArray FlashImage::toText() const
{
    QByteArray header;
    for (int shift = 24; shift >= 0; shift -= 8)
        header.append(static_cast<char>((siliconId >> shift) & 0xFF));
    header.append(static_cast<char>(siliconRevision));
    header.append(static_cast<char>(checksumType));
    QByteArray text = header.toHex().toUpper() + '\n';

    for (const Row &row : rows) {
        QByteArray bytes;
        bytes.append(static_cast<char>(row.arrayId));
        bytes.append(static_cast<char>(row.rowNumber >> 8));
        bytes.append(static_cast<char>(row.rowNumber & 0xFF));
        bytes.append(static_cast<char>((row.data.size() >> 8) & 0xFF));
        bytes.append(static_cast<char>(row.data.size() & 0xFF));
        bytes.append(row.data);
        quint8 sum = 0;
        for (char byte : bytes)
            sum = static_cast<quint8>(sum + static_cast<quint8>(byte));
        bytes.append(static_cast<char>(0x100 - sum));
        text += ':' + bytes.toHex().toUpper() + '\n';
    }
    return text;
}

void FlashImage::appendMetadataRow(quint8 arrayId, quint16 rowNumber)
{
    if (rows.isEmpty())
        return;
    const int rowSize = rows.constFirst().data.size();
    QByteArray application;
    for (const Row &row : qAsConst(rows))
        application += row.data;
    ApplicationMetadata metadata;
    metadata.checksum = ApplicationMetadata::applicationChecksum(application);
    metadata.entryAddress = quint32(rows.constFirst().rowNumber) * quint32(rowSize);
    metadata.bootloaderLastRow = static_cast<quint16>(rows.constFirst().rowNumber - 1);
    metadata.length = quint32(application.size());
    rows.append(Row{arrayId, rowNumber, metadata.toRow(rowSize)});
}

QMap<quint8, QPair<quint16, quint16>> FlashImage::rowRanges() const
{
    QMap<quint8, QPair<quint16, quint16>> ranges;
    for (const Row &row : rows) {
        auto range = ranges.find(row.arrayId);
        if (range == ranges.end()) {
            ranges.insert(row.arrayId, qMakePair(row.rowNumber, row.rowNumber));
        } else {
            range->first = qMin(range->first, row.rowNumber);
            range->second = qMax(range->second, row.rowNumber);
        }
    }
    return ranges;
}

QString FlashImage::unmodelledChip() const
{
    // PSoC 3 and PSoC 5LP number their EEPROM as arrays 0x40 to 0x7F.
    static constexpr quint8 kFirstEepromArray = 0x40;
    static constexpr quint8 kLastEepromArray = 0x7F;
    if (rows.isEmpty())
        return QString();
    const int rowSize = rows.constFirst().data.size();
    for (const Row &row : rows) {
        if (row.arrayId >= kFirstEepromArray && row.arrayId <= kLastEepromArray)
            return QStringLiteral("EEPROM rows (array 0x%1)").arg(row.arrayId, 2, 16, QLatin1Char('0'));
        if (row.data.size() != rowSize)
            return QStringLiteral("rows of %1 and of %2 bytes (the emulator models one row size)").arg(rowSize).arg(row.data.size());
    }
    if (rowSize != ConfigRowSize)
        return QString();

    // The chip keeps its metadata in the last row of its last array; the
    // image's last row is that row.
    const auto ranges = rowRanges();
    const Row &last = rows.constLast();
    if (last.rowNumber != ConfigRowsPerArray - 1 || last.arrayId != ranges.lastKey() || ranges.last().second >= ConfigRowsPerArray)
        return QStringLiteral("rows of 288 bytes in arrays of other than 256 rows (PSoC 3 and PSoC 5LP keep 256 rows an array "
                              "and the metadata in row 255 of the last; the image's last row is %1:%2)")
                .arg(last.arrayId).arg(last.rowNumber);
    // The application starts in the row after the bootloader's last row,
    // which the metadata names: little-endian on PSoC 5LP, big-endian on
    // the 8051 of PSoC 3.
    const ApplicationMetadata metadata = ApplicationMetadata::fromRow(last.data, ConfigRowSize - ConfigRowConfigSize);
    const quint32 firstRow = quint32(rows.constFirst().arrayId) * ConfigRowsPerArray + rows.constFirst().rowNumber;
    const quint16 swapped = quint16((metadata.bootloaderLastRow >> 8) | (metadata.bootloaderLastRow << 8));
    if (firstRow > 0 && metadata.bootloaderLastRow != firstRow - 1 && swapped == firstRow - 1)
        return QStringLiteral("metadata in big-endian order, as PSoC 3 keeps it (the emulator models the PSoC 5LP layout)");
    return QString();
}

} // namespace NivoraVexbusUsbEmulator
