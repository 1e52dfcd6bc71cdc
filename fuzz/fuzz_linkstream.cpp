// The link's receive stream: bytes as the adapter's tty delivers them go
// through the frame decoder, and every frame it hands on through the packet
// parser, as the interface does.

#include "fuzzcheck.h"
#include "link/nivoravexbususbframedecoder.h"
#include "link/nivoravexbususbinterface.h"
#include "link/nivoravexbususbpacket.h"

using namespace NivoraVexbusUsb;

namespace {

constexpr unsigned char end = 0xC0;
constexpr unsigned char escape = 0xDB;

// The frame as the adapter sends it, from the wire format: delimiters, the
// escaped packet bytes and the escaped XOR checksum.
QByteArray frameOnWire(const QByteArray &packet)
{
    unsigned char checksum = 0;
    QByteArray wire(1, static_cast<char>(end));
    auto put = [&wire](unsigned char byte) {
        if (byte == end)
            wire.append(static_cast<char>(escape)).append('\xDC');
        else if (byte == escape)
            wire.append(static_cast<char>(escape)).append('\xDD');
        else
            wire.append(static_cast<char>(byte));
    };
    for (const char byte : packet) {
        checksum ^= static_cast<unsigned char>(byte);
        put(static_cast<unsigned char>(byte));
    }
    put(checksum);
    return wire.append(static_cast<char>(end));
}

void checkPacket(const QByteArray &frame)
{
    const NivoraVexbusUsbPacket packet(frame);
    FUZZ_CHECK(packet.packetData() == frame);
    const unsigned char command = static_cast<unsigned char>(frame.at(0));
    FUZZ_CHECK(packet.isValid() == (command != NivoraVexbusUsbUtils::CommandInvalid));
    if (!packet.isValid())
        return;

    const bool notification = command > 0xF0;
    FUZZ_CHECK((packet.type() == NivoraVexbusUsbPacket::TypeNotification) == notification);
    FUZZ_CHECK(packet.packetId() == static_cast<unsigned char>(frame.at(1)));
    FUZZ_CHECK(packet.payload() == frame.mid(notification ? 2 : 3));
    QString text;
    QDebug(&text) << packet;
    FUZZ_CHECK(text.startsWith(QLatin1String("Packet(")));
}

// The frame the decoder closed: a sound one, cut where a delimiter came.
void checkFrame(const NivoraVexbusUsbFrameDecoder &decoder, unsigned char closingByte)
{
    FUZZ_CHECK(closingByte == end);
    const QByteArray frame = decoder.frame();
    FUZZ_CHECK(frame.size() >= 2 && frame.size() < NivoraVexbusUsbInterface::maximumFrameSize);
    // A frame handed on carried a checksum over exactly these bytes: sent
    // again as the adapter sends it, it decodes to itself.
    NivoraVexbusUsbFrameDecoder again;
    bool decodedAgain = false;
    for (const char byte : frameOnWire(frame))
        decodedAgain = again.processByte(static_cast<unsigned char>(byte));
    FUZZ_CHECK(decodedAgain && again.frame() == frame);
    checkPacket(frame);
}

} // namespace

FUZZ_QUIET_INITIALIZE()

// The interface reads in bulk (processBytes); the byte-wise path must cut
// the same frames from the same stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    NivoraVexbusUsbFrameDecoder bulk;
    NivoraVexbusUsbFrameDecoder bytewise;
    QList<QByteArray> bulkFrames;
    QList<QByteArray> bytewiseFrames;
    size_t delimiters = 0;
    for (size_t i = 0; i < size; ++i) {
        delimiters += data[i] == end;
        if (bytewise.processByte(data[i])) {
            checkFrame(bytewise, data[i]);
            bytewiseFrames.append(bytewise.frame());
        }
        FUZZ_CHECK(bytewise.bufferSize() <= NivoraVexbusUsbInterface::maximumFrameSize);
    }

    const char *bytes = reinterpret_cast<const char *>(data);
    int position = 0;
    while (position < static_cast<int>(size)) {
        bool closed = false;
        const int taken = bulk.processBytes(bytes + position, static_cast<int>(size) - position, &closed);
        FUZZ_CHECK(taken > 0 && taken <= static_cast<int>(size) - position);
        FUZZ_CHECK(bulk.bufferSize() <= NivoraVexbusUsbInterface::maximumFrameSize);
        position += taken;
        if (closed) {
            checkFrame(bulk, data[position - 1]);
            bulkFrames.append(bulk.frame());
        }
    }
    FUZZ_CHECK(bulkFrames == bytewiseFrames);
    FUZZ_CHECK(static_cast<size_t>(bytewiseFrames.size()) <= delimiters);
    return 0;
}
