// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef BOOTLOADERRESPONSEDECODER_H
#define BOOTLOADERRESPONSEDECODER_H

#include <QByteArray>
#include <QDebug>
#include <QList>

namespace NivoraVexbusUsb {

// Reassembles the bootloader's responses from the serial byte stream: a
// start byte, a status byte, a 16-bit little-endian payload length, the
// payload, a 16-bit checksum and an end byte, nothing escaped. A response
// whose end byte is not where its length says is discarded and the search
// starts again at the next start byte inside it. A plain value of the
// library's inside, fed by the bootloader handler and runnable on its own
// under a fuzzer or a benchmark.
class BootloaderResponseDecoder
{
public:
    // No response of the bootloader carries more than a few bytes; an
    // announced payload beyond this is no response, and waiting for its
    // bytes would hold up every response after it.
    static constexpr int maximumPayloadSize = 1024;
    // Start byte, status, two length bytes, two checksum bytes and end byte.
    static constexpr int packetOverhead = 7;
    static constexpr unsigned char startByte = 0x01;
    static constexpr unsigned char endByte = 0x17;

    // Takes one received byte; a response it completed waits in
    // takePacket(). Several may complete at once when a discarded response
    // held whole ones.
    void processByte(unsigned char byte);

    bool hasPacket() const { return !m_packets.isEmpty(); }
    // The oldest complete response, start and end byte included.
    QByteArray takePacket() { return m_packets.takeFirst(); }

    // Bytes of the response being assembled; never more than
    // maximumPayloadSize + packetOverhead.
    int bufferSize() const { return m_buffer.size(); }

    // Forgets the response being assembled and those not yet taken.
    void reset();

    // Checks the frame and the checksum of one complete response; on
    // success stores its status byte and payload.
    static bool parse(const QByteArray &packet, unsigned char *status, QByteArray *payload);

private:
    void assemble(unsigned char byte, bool received);
    void resynchronise();

    QByteArray m_buffer;
    int m_packetSize = -1;
    QList<QByteArray> m_packets;
    // Bytes of a discarded response that are read again after it.
    QByteArray m_replay;
    int m_replayPosition = 0;
};

// A status byte as the log shows it: by name where the protocol gives one,
// otherwise as its number, since the enumeration holds no other values.
struct BootloaderStatus
{
    unsigned char value;
};

QDebug operator<<(QDebug debug, BootloaderStatus status);

} // namespace NivoraVexbusUsb

#endif // BOOTLOADERRESPONSEDECODER_H
