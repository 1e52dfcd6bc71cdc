// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/firmwaredatarow.h"
#include "bootloader/firmwaredatarow_p.h"
#include "bootloader/bootloaderutils.h"
#include "logging/nivoravexbususblogging.h"

namespace NivoraVexbusUsb {

namespace {
// Array ID, row number and data length before the data, checksum after it.
constexpr int rowHeaderSize = 5;
constexpr int rowOverhead = rowHeaderSize + 1;

quint16 bigEndian16(const QByteArray &bytes, int offset)
{
    return static_cast<quint16>((static_cast<quint8>(bytes.at(offset)) << 8) | static_cast<quint8>(bytes.at(offset + 1)));
}
}

FirmwareDataRow::FirmwareDataRow(const QByteArray &data) :
    d(new FirmwareDataRowPrivate)
{
    d->data = data;
    parse();
}

void FirmwareDataRow::parse()
{
    if (d->data.isEmpty()) {
        qCWarning(dcVexbusUsbBootloader()) << "Error processing firmware file row. No data provided.";
        return;
    }

    if (d->data.at(0) != ':') {
        qCWarning(dcVexbusUsbBootloader()) << "Error processing firmware file row. The row does not start with \":\"";
        return;
    }

    const QByteArray bytes = BootloaderUtils::readFirmwareAsciiData(d->data.mid(1));
    if (bytes.size() <= rowHeaderSize) {
        qCWarning(dcVexbusUsbBootloader()) << "Error processing firmware file row. The row size is to small:" << bytes.size();
        return;
    }

    d->arrayId = static_cast<quint8>(bytes.at(0));
    d->rowNumber = bigEndian16(bytes, 1);
    d->rowSize = bigEndian16(bytes, 3);
    if (d->rowSize != bytes.size() - rowOverhead) {
        qCWarning(dcVexbusUsbBootloader()) << "Error processing firmware file row. The size does not match the row size.";
        return;
    }

    d->rowData = bytes.mid(rowHeaderSize, d->rowSize);
    d->checksum = static_cast<quint8>(bytes.at(bytes.size() - 1));
    const int size = d->rowData.size();
    d->verifyChecksum = static_cast<quint8>(d->checksum + d->arrayId + (d->rowNumber & 0xFF) + (d->rowNumber >> 8)
                                           + (size & 0xFF) + ((size >> 8) & 0xFF));
    d->valid = true;
}

bool FirmwareDataRow::isValid() const
{
    return !d->data.isEmpty() && !d->rowData.isEmpty() && d->valid;
}

QDebug operator<<(QDebug debug, const FirmwareDataRow &row)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "FirmwareDataRow(" << "Array: " << static_cast<int>(row.arrayId()) << ", " << "Row number: " << row.rowNumber()
                    << ", Size: " << row.rowData().size() << ")";
    return debug;
}

FirmwareDataRow::FirmwareDataRow(const FirmwareDataRow &other) = default;
FirmwareDataRow::FirmwareDataRow(FirmwareDataRow &&other) noexcept = default;
FirmwareDataRow &FirmwareDataRow::operator=(const FirmwareDataRow &other) = default;
FirmwareDataRow &FirmwareDataRow::operator=(FirmwareDataRow &&other) noexcept = default;
FirmwareDataRow::~FirmwareDataRow() = default;

QByteArray FirmwareDataRow::data() const
{
    return d->data;
}

QByteArray FirmwareDataRow::rowData() const
{
    return d->rowData;
}

quint8 FirmwareDataRow::arrayId() const
{
    return d->arrayId;
}

quint16 FirmwareDataRow::rowNumber() const
{
    return d->rowNumber;
}

quint16 FirmwareDataRow::rowSize() const
{
    return d->rowSize;
}

quint8 FirmwareDataRow::checksum() const
{
    return d->checksum;
}

quint8 FirmwareDataRow::verifyChecksum() const
{
    return d->verifyChecksum;
}

} // namespace NivoraVexbusUsb
