// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef FIRMWAREDATAROW_H
#define FIRMWAREDATAROW_H

#include "nivoravexbususb_export.h"

#include <QByteArray>
#include <QDebug>

namespace NivoraVexbusUsb {

/**
 * @brief One flash row of a firmware image, a copyable value.
 *
 * The row's line is ":" followed by the hexadecimal digits of array ID
 * (1 byte), row number (2 bytes), data length (2 bytes), the data and a
 * checksum byte.
 */
class NIVORAVEXBUSUSB_EXPORT FirmwareDataRow
{
public:
    /// Parses one row line; a malformed line gives an invalid row.
    explicit FirmwareDataRow(const QByteArray &data);

    /// The row's line as it stands in the image.
    QByteArray data() const { return m_data; }
    /// The row's data bytes.
    QByteArray rowData() const { return m_rowData; }
    /// The flash array the row belongs to.
    quint8 arrayId() const { return m_arrayId; }
    /// The row's number within its array.
    quint16 rowNumber() const { return m_rowNumber; }
    /// The number of data bytes the line announces.
    quint16 rowSize() const { return m_rowSize; }
    /// The line's checksum byte.
    quint8 checksum() const { return m_checksum; }
    /// What the bootloader reports for the row once it is programmed.
    quint8 verifyChecksum() const { return m_verifyChecksum; }

    /// True when the line parsed into at least one data byte.
    bool isValid() const;

private:
    void parse();

    QByteArray m_data;
    QByteArray m_rowData;
    quint8 m_arrayId = 0;
    quint16 m_rowNumber = 0;
    quint16 m_rowSize = 0;
    quint8 m_checksum = 0;
    quint8 m_verifyChecksum = 0;
    bool m_valid = false;
};

/// Writes array, row number and data size, for example FirmwareDataRow(Array: 0, Row number: 34, Size: 4).
NIVORAVEXBUSUSB_EXPORT QDebug operator<<(QDebug debug, const FirmwareDataRow &row);

} // namespace NivoraVexbusUsb

#endif // FIRMWAREDATAROW_H
