#ifndef NIVORAVEXBUSUSBFRAMEDECODER_H
#define NIVORAVEXBUSUSBFRAMEDECODER_H

#include <QByteArray>

namespace NivoraVexbusUsb {

// The receiving half of the adapter's framing: undoes the SLIP escaping of
// the byte stream, checks the XOR checksum at each delimiter and hands out
// the packet bytes of every sound frame. A plain value of the library's
// inside, kept apart from the serial port so that it runs on its own under
// a fuzzer or a benchmark; the interface feeds it every byte it reads.
class NivoraVexbusUsbFrameDecoder
{
public:
    // Takes one received byte. True when the byte closed a frame whose
    // checksum is right; frame() then holds its packet bytes.
    bool processByte(unsigned char byte);

    // The packet bytes of the last sound frame, without the checksum.
    QByteArray frame() const { return m_frame; }

    // Bytes of the frame being received; never more than
    // NivoraVexbusUsbInterface::maximumFrameSize: the bytes of a longer
    // frame are skipped up to the next delimiter.
    int bufferSize() const { return m_buffer.size(); }

    // Forgets the frame being received and any pending escape.
    void reset();

    static unsigned char calculateCrc(const QByteArray &data);

private:
    bool processFrameEnd();

    QByteArray m_buffer;
    QByteArray m_frame;
    bool m_escaped = false;
    // Set while the bytes of an oversized frame are skipped.
    bool m_overflow = false;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBFRAMEDECODER_H
