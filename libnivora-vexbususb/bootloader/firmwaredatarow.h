// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef FIRMWAREDATAROW_H
#define FIRMWAREDATAROW_H

#include "nivoravexbususb_export.h"

#include <QByteArray>
#include <QDebug>
#include <QSharedDataPointer>

namespace NivoraVexbusUsb {

class FirmwareDataRowPrivate;
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
    /// Copies share the data until one of them changes.
    FirmwareDataRow(const FirmwareDataRow &other);
    /// Takes the data of @p other, which is left for assignment or destruction only.
    FirmwareDataRow(FirmwareDataRow &&other) noexcept;
    /// Shares the data of @p other.
    FirmwareDataRow &operator=(const FirmwareDataRow &other);
    /// Takes the data of @p other, which is left for assignment or destruction only.
    FirmwareDataRow &operator=(FirmwareDataRow &&other) noexcept;
    /// Releases this copy's share of the data.
    ~FirmwareDataRow();

    /// The row's line as it stands in the image.
    QByteArray data() const;
    /// The row's data bytes.
    QByteArray rowData() const;
    /// The flash array the row belongs to.
    quint8 arrayId() const;
    /// The row's number within its array.
    quint16 rowNumber() const;
    /// The number of data bytes the line announces.
    quint16 rowSize() const;
    /// The line's checksum byte.
    quint8 checksum() const;
    /// What the bootloader reports for the row once it is programmed.
    quint8 verifyChecksum() const;

    /// True when the line parsed into at least one data byte.
    bool isValid() const;

private:
    Q_DECL_HIDDEN void parse();

    QSharedDataPointer<FirmwareDataRowPrivate> d;
};

/// Writes array, row number and data size, for example FirmwareDataRow(Array: 0, Row number: 34, Size: 4).
NIVORAVEXBUSUSB_EXPORT QDebug operator<<(QDebug debug, const FirmwareDataRow &row);

} // namespace NivoraVexbusUsb

#endif // FIRMWAREDATAROW_H
