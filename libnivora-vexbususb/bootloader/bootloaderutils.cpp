// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/bootloaderutils.h"
#include "bootloader/bootloaderresponsedecoder.h"

namespace NivoraVexbusUsb {

QByteArray BootloaderUtils::readFirmwareAsciiData(const QByteArray &data)
{
    if (data.isEmpty())
        return QByteArray();

    const int end = data.indexOf('\0');
    return QByteArray::fromHex(end < 0 ? data : data.left(end));
}

namespace {

quint16 sumChecksum(const QByteArray &data)
{
    quint16 sum = 0;
    for (const char byte : data)
        sum = static_cast<quint16>(sum + static_cast<quint8>(byte));
    return static_cast<quint16>(1 + ~sum);
}

// CRC-16/X-25, handed out with its two bytes swapped.
quint16 crcChecksum(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (const char byte : data) {
        quint8 value = static_cast<quint8>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            if ((crc ^ value) & 0x0001)
                crc = static_cast<quint16>((crc >> 1) ^ 0x8408);
            else
                crc = static_cast<quint16>(crc >> 1);
            value = static_cast<quint8>(value >> 1);
        }
    }
    crc = static_cast<quint16>(~crc);
    return static_cast<quint16>((crc << 8) | (crc >> 8));
}

} // namespace

quint16 BootloaderUtils::calculateChecksum(const QByteArray &data, ChecksumType type)
{
    if (data.isEmpty())
        return 0;

    switch (type) {
    case ChecksumTypeSum:
        return sumChecksum(data);
    case ChecksumTypeCrc:
        return crcChecksum(data);
    default:
        return 0xFFFF;
    }
}

QByteArray BootloaderUtils::commandPacket(BootloaderCommand command, const QByteArray &data)
{
    QByteArray packet;
    packet.append(static_cast<char>(BootloaderResponseDecoder::startByte));
    packet.append(static_cast<char>(command));
    packet.append(static_cast<char>(data.size() & 0xFF));
    packet.append(static_cast<char>((data.size() >> 8) & 0xFF));
    packet.append(data);
    const quint16 checksum = calculateChecksum(packet, ChecksumTypeSum);
    packet.append(static_cast<char>(checksum & 0xFF));
    packet.append(static_cast<char>(checksum >> 8));
    packet.append(static_cast<char>(BootloaderResponseDecoder::endByte));
    return packet;
}

} // namespace NivoraVexbusUsb
