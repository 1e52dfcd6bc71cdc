// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBFRAMEDECODER_H
#define NIVORAVEXBUSUSBFRAMEDECODER_H

#include <QByteArray>

class QLoggingCategory;

namespace NivoraVexbusUsb {

// The receiving half of the adapter's framing: undoes the SLIP escaping of
// the byte stream, checks the XOR checksum at each delimiter and hands out
// the packet bytes of every sound frame. A plain value of the library's
// inside, kept apart from the serial port so that it runs on its own under
// a fuzzer or a benchmark; the interface feeds it every byte it reads.
class NivoraVexbusUsbFrameDecoder
{
public:
    NivoraVexbusUsbFrameDecoder();

    // Takes one received byte. True when the byte closed a frame whose
    // checksum is right; frame() then holds its packet bytes.
    bool processByte(unsigned char byte);

    // Takes bytes, one by one as processByte() does, up to and including
    // the first one that closes a sound frame, and returns how many it
    // took; frameClosed tells whether one did. Without per-byte traffic
    // logging, the bytes inside a frame cost a store and an XOR each.
    int processBytes(const char *data, int size, bool *frameClosed);

    // The packet bytes of the last sound frame, without the checksum.
    QByteArray frame() const { return m_frame; }

    // Bytes of the frame being received; never more than
    // maximumFrameSize: the bytes of a longer
    // frame are skipped up to the next delimiter.
    int bufferSize() const { return m_size; }

    // Forgets the frame being received and any pending escape.
    void reset();

    static unsigned char calculateCrc(const QByteArray &data);

    // The special bytes of SLIP framing (RFC 1055); the interface's
    // ProtocolByte publishes the same values.
    enum SpecialByte : unsigned char { End = 0xC0, Esc = 0xDB, TransposedEnd = 0xDC, TransposedEsc = 0xDD };
    // The largest frame of the adapter (packet bytes and checksum); the
    // interface publishes it as its maximumFrameSize.
    static constexpr int maximumFrameSize = 4096;
    // The largest frame and one byte more, which shows an overflow.
    static constexpr int maximumBufferSize = maximumFrameSize + 1;

private:
    bool processFrameEnd();
    void store(unsigned char byte)
    {
        m_buffer[m_size++] = byte;
        m_check ^= byte;
    }
    QByteArray buffer() const;

    // The frame being received, in place: every byte costs a store, not an
    // allocation. One byte more than the largest frame shows an overflow.
    unsigned char m_buffer[maximumBufferSize];
    int m_size = 0;
    // The XOR of the frame's bytes so far, its checksum byte included.
    unsigned char m_check = 0;
    QByteArray m_frame;
    // Looked up once; whether it logs is still asked for every byte.
    const QLoggingCategory *m_traffic;
    bool m_escaped = false;
    // Set while the bytes of an oversized frame are skipped.
    bool m_overflow = false;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBFRAMEDECODER_H
