// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/firmwaredatarow.h"
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
    m_data(data)
{
    parse();
}

void FirmwareDataRow::parse()
{
    if (m_data.isEmpty()) {
        qCWarning(dcVexbusUsbBootloader()) << "Error processing firmware file row. No data provided.";
        return;
    }

    if (m_data.at(0) != ':') {
        qCWarning(dcVexbusUsbBootloader()) << "Error processing firmware file row. The row does not start with \":\"";
        return;
    }

    const QByteArray bytes = BootloaderUtils::readFirmwareAsciiData(m_data.mid(1));
    if (bytes.size() <= rowHeaderSize) {
        qCWarning(dcVexbusUsbBootloader()) << "Error processing firmware file row. The row size is to small:" << bytes.size();
        return;
    }

    m_arrayId = static_cast<quint8>(bytes.at(0));
    m_rowNumber = bigEndian16(bytes, 1);
    m_rowSize = bigEndian16(bytes, 3);
    if (m_rowSize != bytes.size() - rowOverhead) {
        qCWarning(dcVexbusUsbBootloader()) << "Error processing firmware file row. The size does not match the row size.";
        return;
    }

    m_rowData = bytes.mid(rowHeaderSize, m_rowSize);
    m_checksum = static_cast<quint8>(bytes.at(bytes.size() - 1));
    const int size = m_rowData.size();
    m_verifyChecksum = static_cast<quint8>(m_checksum + m_arrayId + (m_rowNumber & 0xFF) + (m_rowNumber >> 8)
                                           + (size & 0xFF) + ((size >> 8) & 0xFF));
    m_valid = true;
}

bool FirmwareDataRow::isValid() const
{
    return !m_data.isEmpty() && !m_rowData.isEmpty() && m_valid;
}

QDebug operator<<(QDebug debug, const FirmwareDataRow &row)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "FirmwareDataRow(" << "Array: " << static_cast<int>(row.arrayId()) << ", " << "Row number: " << row.rowNumber()
                    << ", Size: " << row.rowData().size() << ")";
    return debug;
}

} // namespace NivoraVexbusUsb
