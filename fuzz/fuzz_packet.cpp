// The packet parser on the bytes of one frame: a response or notification
// parsed from them gives its fields back, and built again from those
// fields, the same bytes.

#include "fuzzcheck.h"
#include "link/nivoravexbususbpacket.h"

using namespace NivoraVexbusUsb;

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const NivoraVexbusUsbPacket packet(bytes);
    QString text;
    QDebug(&text) << packet;
    FUZZ_CHECK(packet.packetData() == bytes);
    FUZZ_CHECK(packet.isValid() == (size >= 2 && data[0] != NivoraVexbusUsbUtils::CommandInvalid));
    if (!packet.isValid())
        return 0;

    FUZZ_CHECK(packet.type() != NivoraVexbusUsbPacket::TypeRequest);
    QByteArray fields = packet.payload();
    if (packet.type() == NivoraVexbusUsbPacket::TypeResponse && size > 2)
        fields.prepend(static_cast<char>(packet.error()));
    const NivoraVexbusUsbPacket rebuilt(packet.command(), packet.packetId(), fields, packet.type());
    FUZZ_CHECK(rebuilt.packetData() == bytes);
    return 0;
}
