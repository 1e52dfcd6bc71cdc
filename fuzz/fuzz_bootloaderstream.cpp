// The bootloader's response stream: bytes as the tty delivers them are
// reassembled, and every response the decoder hands on is checked as the
// bootloader handler checks it.

#include "fuzzcheck.h"
#include "bootloader/bootloaderresponsedecoder.h"

using namespace NivoraVexbusUsb;

namespace {

int announcedLength(const QByteArray &packet)
{
    return static_cast<unsigned char>(packet.at(2)) | (static_cast<unsigned char>(packet.at(3)) << 8);
}

} // namespace

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BootloaderResponseDecoder decoder;
    for (size_t i = 0; i < size; ++i) {
        decoder.processByte(data[i]);
        FUZZ_CHECK(decoder.bufferSize() <= BootloaderResponseDecoder::maximumPayloadSize + BootloaderResponseDecoder::packetOverhead);
        while (decoder.hasPacket()) {
            const QByteArray packet = decoder.takePacket();
            FUZZ_CHECK(packet.size() >= BootloaderResponseDecoder::packetOverhead);
            FUZZ_CHECK(static_cast<unsigned char>(packet.at(0)) == BootloaderResponseDecoder::startByte);
            FUZZ_CHECK(static_cast<unsigned char>(packet.at(packet.size() - 1)) == BootloaderResponseDecoder::endByte);
            const int length = announcedLength(packet);
            FUZZ_CHECK(length <= BootloaderResponseDecoder::maximumPayloadSize);
            FUZZ_CHECK(packet.size() == length + BootloaderResponseDecoder::packetOverhead);

            unsigned char status = 0;
            QByteArray payload;
            if (!BootloaderResponseDecoder::parse(packet, &status, &payload))
                continue;
            FUZZ_CHECK(status == static_cast<unsigned char>(packet.at(1)));
            FUZZ_CHECK(payload == packet.mid(4, length));
            QString text;
            QDebug(&text) << BootloaderStatus{status};
            FUZZ_CHECK(!text.isEmpty());
        }
    }
    return 0;
}
