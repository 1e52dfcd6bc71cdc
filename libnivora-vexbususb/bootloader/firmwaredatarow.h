#ifndef FIRMWAREDATAROW_H
#define FIRMWAREDATAROW_H

#include "nivoravexbususb_export.h"

#include <QByteArray>
#include <QDebug>

namespace NivoraVexbusUsb {

// One flash row of a firmware image: ":" followed by the hexadecimal digits
// of array ID, row number, data length, data and checksum.
class NIVORAVEXBUSUSB_EXPORT FirmwareDataRow
{
public:
    explicit FirmwareDataRow(const QByteArray &data);

    QByteArray data() const { return m_data; }
    QByteArray rowData() const { return m_rowData; }
    quint8 arrayId() const { return m_arrayId; }
    quint16 rowNumber() const { return m_rowNumber; }
    quint16 rowSize() const { return m_rowSize; }
    quint8 checksum() const { return m_checksum; }
    // What the bootloader reports for the row once it is programmed.
    quint8 verifyChecksum() const { return m_verifyChecksum; }

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

NIVORAVEXBUSUSB_EXPORT QDebug operator<<(QDebug debug, const FirmwareDataRow &row);

} // namespace NivoraVexbusUsb

#endif // FIRMWAREDATAROW_H
