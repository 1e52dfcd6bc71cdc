// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloaderpacket.h"

namespace NivoraVexbusUsbEmulator {

static void appendLittleEndian16(QByteArray *bytes, quint16 value)
{
    bytes->append(static_cast<char>(value & 0xFF));
    bytes->append(static_cast<char>(value >> 8));
}

static QByteArray header(quint8 code, const QByteArray &data)
{
    QByteArray bytes;
    bytes.reserve(data.size() + BootloaderPacket::OverheadSize);
    bytes.append(static_cast<char>(BootloaderPacket::StartByte));
    bytes.append(static_cast<char>(code));
    appendLittleEndian16(&bytes, static_cast<quint16>(data.size()));
    bytes.append(data);
    return bytes;
}

static quint16 crc16(const QByteArray &bytes)
{
    quint16 crc = 0xFFFF;
    for (char byte : bytes) {
        quint8 bits = static_cast<quint8>(byte);
        for (int i = 0; i < 8; ++i) {
            crc = ((crc ^ bits) & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
            bits >>= 1;
        }
    }
    crc = static_cast<quint16>(~crc);
    return static_cast<quint16>((crc << 8) | (crc >> 8));
}

quint16 BootloaderPacket::checksum(const QByteArray &bytes, quint8 type)
{
    if (bytes.isEmpty())
        return 0;
    if (type == ChecksumCrc)
        return crc16(bytes);
    quint16 sum = 0;
    for (char byte : bytes)
        sum = static_cast<quint16>(sum + static_cast<quint8>(byte));
    return static_cast<quint16>(0x10000 - sum);
}

QByteArray BootloaderPacket::build(quint8 code, const QByteArray &data, ChecksumType type)
{
    return build(code, data, checksum(header(code, data), type));
}

QByteArray BootloaderPacket::build(quint8 code, const QByteArray &data, quint16 checksum)
{
    QByteArray bytes = header(code, data);
    appendLittleEndian16(&bytes, checksum);
    bytes.append(static_cast<char>(EndByte));
    return bytes;
}

} // namespace NivoraVexbusUsbEmulator
