// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_SIMULATEDFLASH_H
#define NIVORAVEXBUSUSBEMULATOR_SIMULATEDFLASH_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>

namespace NivoraVexbusUsbEmulator {

// The flash of the emulated controller, as the bootloader sees it: per flash
// array a range of row numbers, the size of every row, and the bytes last
// programmed into each row. A row that was never programmed holds no bytes
// and reads as zeros, as erased PSoC flash does.
//
// A row may end in configuration bytes, as on PSoC 3 and PSoC 5LP with ECC
// disabled: 256 data bytes and 32 configuration bytes, one for every 8 data
// bytes. The data bytes make up the flash's address space; the configuration
// bytes lie beside it in a space of their own, byte i of it belonging to the
// data bytes from address 8 * i.
class SimulatedFlash
{
public:
    // Array 0 with rows 0x0022 to 0x00FF of 64 bytes, a small PSoC part
    // whose bootloader occupies the rows below.
    SimulatedFlash();

    static constexpr int DefaultRowSize = 64;
    // The bytes of every row; the bootloader programs whole rows only.
    int rowSize() const { return m_rowSize; }
    void setRowSize(int size) { m_rowSize = size; }
    // The configuration bytes at the end of every row (0: none).
    int configSize() const { return m_configSize; }
    void setConfigSize(int size) { m_configSize = size; }
    int dataSize() const { return m_rowSize - m_configSize; }
    // Rows of every array in the address space; 0 derives them from the
    // lowest array's last row.
    void setRowsPerArray(quint32 rows) { m_rowsPerArray = rows; }

    void setRowRange(quint8 arrayId, quint16 firstRow, quint16 lastRow);
    void removeArray(quint8 arrayId);
    bool hasArray(quint8 arrayId) const;
    // The arrays with a row range, ascending.
    QList<quint8> arrays() const { return m_ranges.keys(); }
    quint16 firstRow(quint8 arrayId) const;
    quint16 lastRow(quint8 arrayId) const;
    bool containsRow(quint8 arrayId, quint16 rowNumber) const;

    void writeRow(quint8 arrayId, quint16 rowNumber, const QByteArray &data);
    void eraseRow(quint8 arrayId, quint16 rowNumber);
    // Erases every row; the row ranges stay.
    void erase();

    bool isProgrammed(quint8 arrayId, quint16 rowNumber) const;
    QByteArray row(quint8 arrayId, quint16 rowNumber) const;
    // Programmed row numbers of one array, ascending.
    QList<quint16> programmedRows(quint8 arrayId) const;
    int programmedRowCount() const { return m_rows.size(); }

    // The flash as one address space, as the chip maps it: every array
    // holds rowsPerArray() rows (unless set, from 0 to the last row of the
    // lowest array), so a byte's address is (array * rowsPerArray() + row) *
    // dataSize() + offset. Rows never programmed read as zeros; the space
    // ends with the highest array (size() bytes), and read() returns nothing
    // of what lies beyond it.
    quint32 rowsPerArray() const;
    quint64 size() const;
    QByteArray read(quint64 address, quint64 length) const;
    // The configuration bytes in the same way: byte index of the space is
    // byte index % configSize() of the row index / configSize().
    QByteArray readConfig(quint64 index, quint64 length) const;

    // The checksum the bootloader reports for a row: the two's complement of
    // the 8-bit sum of its data bytes.
    static quint8 rowChecksum(const QByteArray &data);

private:
    static quint32 key(quint8 arrayId, quint16 rowNumber) { return (quint32(arrayId) << 16) | rowNumber; }

    QMap<quint8, QPair<quint16, quint16>> m_ranges;
    QByteArray readSpace(quint64 position, quint64 length, int offset, int size) const;

    QMap<quint32, QByteArray> m_rows;
    int m_rowSize = DefaultRowSize;
    int m_configSize = 0;
    quint32 m_rowsPerArray = 0;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_SIMULATEDFLASH_H
