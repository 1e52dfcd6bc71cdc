// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/bootloaderresponsedecoder.h"
#include "bootloader/bootloaderutils.h"
#include "logging/bytetext.h"
#include "logging/nivoravexbususblogging.h"

#include <QMetaEnum>

namespace NivoraVexbusUsb {

namespace {

int lengthAt(const QByteArray &bytes, int offset)
{
    return static_cast<unsigned char>(bytes.at(offset)) | (static_cast<unsigned char>(bytes.at(offset + 1)) << 8);
}

} // namespace

void BootloaderResponseDecoder::reset()
{
    m_buffer.clear();
    m_packetSize = -1;
    m_packets.clear();
    m_replay.clear();
    m_replayPosition = 0;
}

void BootloaderResponseDecoder::processByte(unsigned char byte)
{
    if (dcVexbusUsbBootloaderTraffic().isDebugEnabled())
        qCDebug(dcVexbusUsbBootloaderTraffic()) << "<--" << byteText(byte);

    assemble(byte, true);
    // A loop, not a recursion: a device can nest partial responses inside
    // each other as deep as it likes.
    while (m_replayPosition < m_replay.size())
        assemble(static_cast<unsigned char>(m_replay.at(m_replayPosition++)), false);
    m_replay.clear();
    m_replayPosition = 0;
}

void BootloaderResponseDecoder::assemble(unsigned char byte, bool received)
{
    if (m_buffer.isEmpty()) {
        if (byte != startByte) {
            // Bytes read again were reported when they first came.
            if (received) {
                qCWarning(dcVexbusUsbBootloaderTraffic()) << "The buffer is empty and received byte which is not 0x01 (start packet byte). Reject byte"
                                                          << byteText(byte);
            }
            return;
        }
        qCDebug(dcVexbusUsbBootloaderTraffic()) << "Packet start byte received...";
        m_packetSize = -1;
    }

    m_buffer.append(static_cast<char>(byte));
    if (m_buffer.size() >= 4 && m_packetSize < 0) {
        m_packetSize = lengthAt(m_buffer, 2);
        qCDebug(dcVexbusUsbBootloaderTraffic()) << "Packet size available" << m_packetSize;
        if (m_packetSize > maximumPayloadSize) {
            qCWarning(dcVexbusUsbBootloaderTraffic()) << "Bootloader response announces" << m_packetSize
                                                      << "payload bytes, more than the limit of" << maximumPayloadSize << "bytes.";
            resynchronise();
            return;
        }
    }

    if (m_packetSize < 0)
        return;

    if (byte == endByte && m_buffer.size() == m_packetSize + packetOverhead) {
        m_packets.append(m_buffer);
        m_buffer.clear();
        m_packetSize = -1;
        return;
    }

    // The end byte was not where the length said: this is no response, and
    // waiting on would swallow every later one.
    if (m_buffer.size() > m_packetSize + packetOverhead)
        resynchronise();
}

void BootloaderResponseDecoder::resynchronise()
{
    qCWarning(dcVexbusUsbBootloaderTraffic()) << "Discarding malformed bootloader response" << m_buffer.toHex()
                                              << "and resynchronising on the next start byte.";
    // The next response may already have begun inside the discarded bytes;
    // they are read again before the bytes still waiting.
    const int next = m_buffer.indexOf(static_cast<char>(startByte), 1);
    const QByteArray rest = next < 0 ? QByteArray() : m_buffer.mid(next);
    m_buffer.clear();
    m_packetSize = -1;
    if (rest.isEmpty())
        return;

    m_replay = rest + m_replay.mid(m_replayPosition);
    m_replayPosition = 0;
}

bool BootloaderResponseDecoder::parse(const QByteArray &packet, unsigned char *status, QByteArray *payload)
{
    if (packet.size() < packetOverhead || static_cast<unsigned char>(packet.at(0)) != startByte
        || static_cast<unsigned char>(packet.at(packet.size() - 1)) != endByte) {
        qCWarning(dcVexbusUsbBootloader()) << "Received data with invalid packet format.";
        return false;
    }

    const int length = lengthAt(packet, 2);
    if (packet.size() != length + packetOverhead) {
        qCWarning(dcVexbusUsbBootloader()) << "Received data with invalid packet format.";
        return false;
    }

    const quint16 received = static_cast<quint16>(lengthAt(packet, 4 + length));
    const quint16 calculated = BootloaderUtils::calculateChecksum(packet.left(packet.size() - 3), BootloaderUtils::ChecksumTypeSum);
    if (received != calculated) {
        qCWarning(dcVexbusUsbBootloader()) << "Invalid message CRC value" << received << "!=" << calculated;
        return false;
    }

    *status = static_cast<unsigned char>(packet.at(1));
    *payload = packet.mid(4, length);
    return true;
}

QDebug operator<<(QDebug debug, BootloaderStatus status)
{
    if (QMetaEnum::fromType<BootloaderUtils::BootloaderError>().valueToKey(status.value))
        return debug << static_cast<BootloaderUtils::BootloaderError>(status.value);

    QDebugStateSaver saver(debug);
    debug.nospace() << "BootloaderError(" << static_cast<int>(status.value) << ")";
    return debug;
}

} // namespace NivoraVexbusUsb
