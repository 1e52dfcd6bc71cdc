// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloaderpacketparser.h"
#include "bootloaderpacket.h"

namespace NivoraVexbusUsbEmulator {

static constexpr int kPacketHeaderSize = 4;

QList<BootloaderPacketParser::Packet> BootloaderPacketParser::feed(const QByteArray &bytes)
{
    QList<Packet> packets;
    for (char byte : bytes)
        appendByte(byte, &packets);
    return packets;
}

void BootloaderPacketParser::reset()
{
    m_buffer.clear();
    m_dataSize = -1;
}

void BootloaderPacketParser::appendByte(char byte, QList<Packet> *packets)
{
    if (m_buffer.isEmpty() && static_cast<quint8>(byte) != BootloaderPacket::StartByte) {
        ++m_skippedBytes;
        return;
    }
    m_buffer.append(byte);
    if (m_buffer.size() == kPacketHeaderSize) {
        m_dataSize = static_cast<quint8>(m_buffer.at(2)) | (static_cast<quint8>(m_buffer.at(3)) << 8);
        if (m_dataSize > MaximumDataSize) {
            Packet packet;
            packet.result = ResultInvalidLength;
            packet.command = static_cast<quint8>(m_buffer.at(1));
            packets->append(packet);
            reset();
            return;
        }
    }
    if (m_dataSize < 0 || m_buffer.size() < m_dataSize + BootloaderPacket::OverheadSize)
        return;
    packets->append(finishPacket());
    reset();
}

BootloaderPacketParser::Packet BootloaderPacketParser::finishPacket() const
{
    Packet packet;
    packet.command = static_cast<quint8>(m_buffer.at(1));
    // A length field that disagrees with the bytes sent shows as a missing
    // end byte where the length says the packet ends.
    if (static_cast<quint8>(m_buffer.back()) != BootloaderPacket::EndByte) {
        packet.result = ResultInvalidLength;
        return packet;
    }
    const int checksumOffset = kPacketHeaderSize + m_dataSize;
    const quint16 received = static_cast<quint8>(m_buffer.at(checksumOffset))
            | (static_cast<quint8>(m_buffer.at(checksumOffset + 1)) << 8);
    if (received != BootloaderPacket::checksum(m_buffer.left(checksumOffset), m_checksumType)) {
        packet.result = ResultChecksumError;
        return packet;
    }
    packet.data = m_buffer.mid(kPacketHeaderSize, m_dataSize);
    return packet;
}

} // namespace NivoraVexbusUsbEmulator
