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

quint16 BootloaderPacket::checksum(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return 0;
    quint16 sum = 0;
    for (char byte : bytes)
        sum = static_cast<quint16>(sum + static_cast<quint8>(byte));
    return static_cast<quint16>(0x10000 - sum);
}

QByteArray BootloaderPacket::build(quint8 code, const QByteArray &data)
{
    return build(code, data, checksum(header(code, data)));
}

QByteArray BootloaderPacket::build(quint8 code, const QByteArray &data, quint16 checksum)
{
    QByteArray bytes = header(code, data);
    appendLittleEndian16(&bytes, checksum);
    bytes.append(static_cast<char>(EndByte));
    return bytes;
}

} // namespace NivoraVexbusUsbEmulator
