// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_BOOTLOADERPACKETPARSER_H
#define NIVORAVEXBUSUSBEMULATOR_BOOTLOADERPACKETPARSER_H

#include <QByteArray>
#include <QList>

namespace NivoraVexbusUsbEmulator {

// Reassembles the host's command packets from the byte stream, as the
// bootloader does: bytes before a start byte are skipped, the length field
// says where the packet ends, and a packet whose end byte is not there or
// whose checksum is wrong is reported as such, so that it gets an error
// status instead of being acted on.
class BootloaderPacketParser
{
public:
    enum Result { ResultOk, ResultInvalidLength, ResultChecksumError };

    struct Packet {
        Result result = ResultOk;
        quint8 command = 0;
        QByteArray data;
    };

    // Longest command data the bootloader's 300-byte packet buffer takes
    // with the packet's seven framing bytes; a longer length field is
    // rejected at once rather than waited for.
    static constexpr int MaximumDataSize = 293;

    QList<Packet> feed(const QByteArray &bytes);
    void reset();

    // The checksum the chip's bootloader was built with (BootloaderPacket::ChecksumType).
    quint8 checksumType() const { return m_checksumType; }
    void setChecksumType(quint8 type) { m_checksumType = type; }

    // Bytes skipped while waiting for a start byte.
    int skippedBytes() const { return m_skippedBytes; }

private:
    void appendByte(char byte, QList<Packet> *packets);
    Packet finishPacket() const;

    QByteArray m_buffer;
    int m_dataSize = -1;
    int m_skippedBytes = 0;
    quint8 m_checksumType = 0;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_BOOTLOADERPACKETPARSER_H
