// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "applicationmetadata.h"

namespace NivoraVexbusUsbEmulator {

static quint32 littleEndian(const QByteArray &bytes, int offset, int size)
{
    quint32 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<quint8>(bytes.at(offset + i));
    return value;
}

static void putLittleEndian(QByteArray *bytes, int offset, quint32 value, int size)
{
    for (int i = 0; i < size; ++i)
        (*bytes)[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

ApplicationMetadata ApplicationMetadata::fromRow(const QByteArray &row, int dataSize)
{
    ApplicationMetadata metadata;
    if (dataSize < 0)
        dataSize = row.size();
    if (dataSize < Size || row.size() < dataSize)
        return metadata;
    const QByteArray bytes = row.mid(offsetInRow(dataSize), Size);
    metadata.checksum = static_cast<quint8>(bytes.at(ChecksumOffset));
    metadata.entryAddress = littleEndian(bytes, EntryAddressOffset, 4);
    metadata.bootloaderLastRow = static_cast<quint16>(littleEndian(bytes, BootloaderLastRowOffset, 2));
    metadata.length = littleEndian(bytes, LengthOffset, 4);
    metadata.active = static_cast<quint8>(bytes.at(ActiveOffset));
    metadata.verified = static_cast<quint8>(bytes.at(VerifiedOffset));
    return metadata;
}

QByteArray ApplicationMetadata::toRow(int rowSize, int dataSize) const
{
    if (dataSize < 0)
        dataSize = rowSize;
    QByteArray bytes(Size, '\0');
    bytes[ChecksumOffset] = static_cast<char>(checksum);
    putLittleEndian(&bytes, EntryAddressOffset, entryAddress, 4);
    putLittleEndian(&bytes, BootloaderLastRowOffset, bootloaderLastRow, 2);
    putLittleEndian(&bytes, LengthOffset, length, 4);
    bytes[ActiveOffset] = static_cast<char>(active);
    bytes[VerifiedOffset] = static_cast<char>(verified);
    return QByteArray(qMax(0, offsetInRow(dataSize)), '\0') + bytes + QByteArray(qMax(0, rowSize - dataSize), '\0');
}

quint8 ApplicationMetadata::applicationChecksum(const QByteArray &application)
{
    quint8 sum = 0;
    for (char byte : application)
        sum = static_cast<quint8>(sum + static_cast<quint8>(byte));
    return static_cast<quint8>(0x100 - sum);
}

bool ApplicationMetadata::validates(const QByteArray &application, const QByteArray &configuration) const
{
    // Blank flash, erased (0x00) or never written (0xFF), is no application
    // whatever its checksum.
    bool programmed = false;
    for (char byte : application) {
        if (byte != '\0' && byte != '\xFF') {
            programmed = true;
            break;
        }
    }
    return programmed && applicationChecksum(application + configuration) == checksum;
}

} // namespace NivoraVexbusUsbEmulator
