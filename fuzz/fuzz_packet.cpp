// The packet parser on the bytes of one frame: a response or notification
// parsed from them gives its fields back, and built again from those
// fields, the same bytes.

#include "fuzzcheck.h"
#include "link/nivoravexbususbpacket.h"

using namespace NivoraVexbusUsb;

FUZZ_TARGET(bytes)
{
    const NivoraVexbusUsbPacket packet(bytes);
    debugText(packet);
    FUZZ_CHECK(packet.packetData() == bytes);
    FUZZ_CHECK(packet.isValid() == (bytes.size() >= 2 && static_cast<unsigned char>(bytes.at(0)) != NivoraVexbusUsbUtils::CommandInvalid));
    if (!packet.isValid())
        return;

    FUZZ_CHECK(packet.type() != NivoraVexbusUsbPacket::TypeRequest);
    QByteArray fields = packet.payload();
    if (packet.type() == NivoraVexbusUsbPacket::TypeResponse && bytes.size() > 2)
        fields.prepend(static_cast<char>(packet.error()));
    const NivoraVexbusUsbPacket rebuilt(packet.command(), packet.packetId(), fields, packet.type());
    FUZZ_CHECK(rebuilt.packetData() == bytes);
}
