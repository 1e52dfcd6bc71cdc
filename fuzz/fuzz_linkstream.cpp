// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The link's receive stream: bytes as the adapter's tty delivers them go
// through the frame decoder as the interface reads them. The packet parser
// the interface hands every frame to has its own target (fuzz_packet).

#include "fuzzcheck.h"
#include "link/nivoravexbususbframedecoder.h"
#include "link/nivoravexbususbinterface.h"

using namespace NivoraVexbusUsb;

namespace {

constexpr char end = '\xC0';

// The frame as the adapter sends it, from the wire format: delimiters, the
// escaped packet bytes and the escaped XOR checksum. The escape byte is
// replaced first, as the escapes of a delimiter contain it.
QByteArray frameOnWire(const QByteArray &packet)
{
    char checksum = 0;
    for (const char byte : packet)
        checksum ^= byte;
    QByteArray body = packet + checksum;
    return end + body.replace('\xDB', "\xDB\xDD").replace(end, "\xDB\xDC") + end;
}

// The frame the decoder closed: a sound one, cut where a delimiter came.
// A frame handed on carried a checksum over exactly these bytes: sent again
// as the adapter sends it, it decodes to itself.
QByteArray checkFrame(const NivoraVexbusUsbFrameDecoder &decoder, char closingByte)
{
    FUZZ_CHECK(closingByte == end);
    const QByteArray frame = decoder.frame();
    FUZZ_CHECK(frame.size() >= 2 && frame.size() < NivoraVexbusUsbInterface::maximumFrameSize);
    NivoraVexbusUsbFrameDecoder again;
    bool decodedAgain = false;
    for (const char byte : frameOnWire(frame))
        decodedAgain = again.processByte(static_cast<unsigned char>(byte));
    FUZZ_CHECK(decodedAgain && again.frame() == frame);
    return frame;
}

} // namespace

// The interface reads in bulk (processBytes); the byte-wise path must cut
// the same frames from the same stream.
FUZZ_TARGET(input)
{
    NivoraVexbusUsbFrameDecoder bytewise;
    QList<QByteArray> bytewiseFrames;
    for (const char byte : input) {
        if (bytewise.processByte(static_cast<unsigned char>(byte)))
            bytewiseFrames.append(checkFrame(bytewise, byte));
        FUZZ_CHECK(bytewise.bufferSize() <= NivoraVexbusUsbInterface::maximumFrameSize);
    }

    NivoraVexbusUsbFrameDecoder bulk;
    QList<QByteArray> bulkFrames;
    for (int position = 0; position < input.size();) {
        bool closed = false;
        const int taken = bulk.processBytes(input.constData() + position, input.size() - position, &closed);
        FUZZ_CHECK(taken > 0 && taken <= input.size() - position);
        FUZZ_CHECK(bulk.bufferSize() <= NivoraVexbusUsbInterface::maximumFrameSize);
        position += taken;
        if (closed)
            bulkFrames.append(checkFrame(bulk, input.at(position - 1)));
    }
    FUZZ_CHECK(bulkFrames == bytewiseFrames);
    FUZZ_CHECK(bytewiseFrames.size() <= input.count(end));
}
