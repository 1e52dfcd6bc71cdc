// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "simulatedflash.h"

namespace NivoraVexbusUsbEmulator {

SimulatedFlash::SimulatedFlash()
{
    setRowRange(0, 0x0022, 0x00FF);
}

void SimulatedFlash::setRowRange(quint8 arrayId, quint16 firstRow, quint16 lastRow)
{
    m_ranges.insert(arrayId, qMakePair(firstRow, lastRow));
}

void SimulatedFlash::removeArray(quint8 arrayId)
{
    m_ranges.remove(arrayId);
    const quint32 begin = key(arrayId, 0);
    auto it = m_rows.lowerBound(begin);
    while (it != m_rows.end() && (it.key() >> 16) == arrayId)
        it = m_rows.erase(it);
}

bool SimulatedFlash::hasArray(quint8 arrayId) const
{
    return m_ranges.contains(arrayId);
}

quint16 SimulatedFlash::firstRow(quint8 arrayId) const
{
    return m_ranges.value(arrayId).first;
}

quint16 SimulatedFlash::lastRow(quint8 arrayId) const
{
    return m_ranges.value(arrayId).second;
}

bool SimulatedFlash::containsRow(quint8 arrayId, quint16 rowNumber) const
{
    return hasArray(arrayId) && rowNumber >= firstRow(arrayId) && rowNumber <= lastRow(arrayId);
}

void SimulatedFlash::writeRow(quint8 arrayId, quint16 rowNumber, const QByteArray &data)
{
    m_rows.insert(key(arrayId, rowNumber), data);
}

void SimulatedFlash::eraseRow(quint8 arrayId, quint16 rowNumber)
{
    m_rows.remove(key(arrayId, rowNumber));
}

void SimulatedFlash::erase()
{
    m_rows.clear();
}

bool SimulatedFlash::isProgrammed(quint8 arrayId, quint16 rowNumber) const
{
    return m_rows.contains(key(arrayId, rowNumber));
}

QByteArray SimulatedFlash::row(quint8 arrayId, quint16 rowNumber) const
{
    return m_rows.value(key(arrayId, rowNumber));
}

QList<quint16> SimulatedFlash::programmedRows(quint8 arrayId) const
{
    QList<quint16> rows;
    for (auto it = m_rows.lowerBound(key(arrayId, 0)); it != m_rows.end() && (it.key() >> 16) == arrayId; ++it)
        rows.append(static_cast<quint16>(it.key() & 0xFFFF));
    return rows;
}

quint32 SimulatedFlash::rowsPerArray() const
{
    if (m_rowsPerArray > 0)
        return m_rowsPerArray;
    return m_ranges.isEmpty() ? 0 : quint32(m_ranges.first().second) + 1;
}

quint64 SimulatedFlash::size() const
{
    return m_ranges.isEmpty() ? 0 : (quint64(m_ranges.lastKey()) + 1) * rowsPerArray() * quint64(qMax(0, dataSize()));
}

QByteArray SimulatedFlash::read(quint64 address, quint64 length) const
{
    return readSpace(address, length, 0, dataSize());
}

QByteArray SimulatedFlash::readConfig(quint64 index, quint64 length) const
{
    return readSpace(index, length, dataSize(), m_configSize);
}

// Reads a space made of the bytes offset to offset + size of every row.
QByteArray SimulatedFlash::readSpace(quint64 position, quint64 length, int offset, int size) const
{
    QByteArray bytes;
    if (m_ranges.isEmpty() || size <= 0 || offset < 0)
        return bytes;
    const quint64 end = qMin(position + length, (quint64(m_ranges.lastKey()) + 1) * rowsPerArray() * quint64(size));
    while (position < end) {
        const quint64 globalRow = position / quint64(size);
        const int inRow = int(position % quint64(size));
        const int count = int(qMin<quint64>(quint64(size - inRow), end - position));
        QByteArray data = m_rows.value(key(quint8(globalRow / rowsPerArray()), quint16(globalRow % rowsPerArray())));
        data = data.mid(offset + inRow, count);
        bytes.append(data);
        bytes.append(QByteArray(count - data.size(), '\0'));
        position += quint64(count);
    }
    return bytes;
}

quint8 SimulatedFlash::rowChecksum(const QByteArray &data)
{
    quint8 sum = 0;
    for (char byte : data)
        sum = static_cast<quint8>(sum + static_cast<quint8>(byte));
    return static_cast<quint8>(0x100 - sum);
}

} // namespace NivoraVexbusUsbEmulator
