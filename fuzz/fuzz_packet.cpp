// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The packet parser on the bytes of one frame, as the interface hands on
// every frame it decodes: a response or notification parsed from them gives
// its fields from where the frame format puts them, and built again from
// those fields, the same bytes.

#include "fuzzcheck.h"
#include "link/nivoravexbususbpacket.h"

using namespace NivoraVexbusUsb;

FUZZ_TARGET(bytes)
{
    const NivoraVexbusUsbPacket packet(bytes);
    const QString text = debugText(packet);
    FUZZ_CHECK(packet.packetData() == bytes);
    const unsigned char command = bytes.isEmpty() ? 0 : static_cast<unsigned char>(bytes.at(0));
    FUZZ_CHECK(packet.isValid() == (bytes.size() >= 2 && command != NivoraVexbusUsbUtils::CommandInvalid));
    if (!packet.isValid())
        return;

    // Notifications have codes above 0xF0 and no error byte.
    const bool notification = command > 0xF0;
    FUZZ_CHECK(packet.type() == (notification ? NivoraVexbusUsbPacket::TypeNotification : NivoraVexbusUsbPacket::TypeResponse));
    FUZZ_CHECK(packet.packetId() == static_cast<unsigned char>(bytes.at(1)));
    FUZZ_CHECK(packet.payload() == bytes.mid(notification ? 2 : 3));
    // The error byte follows the packet id; a response of two bytes has none
    // and reads as success.
    const int error = notification ? int(NivoraVexbusUsbUtils::ErrorUnknwonError)
                                   : bytes.size() > 2 ? static_cast<unsigned char>(bytes.at(2)) : int(NivoraVexbusUsbUtils::ErrorNoError);
    FUZZ_CHECK(packet.error() == error);
    FUZZ_CHECK(text.startsWith(QLatin1String("Packet(")));
    QByteArray fields = packet.payload();
    if (!notification && bytes.size() > 2)
        fields.prepend(static_cast<char>(packet.error()));
    const NivoraVexbusUsbPacket rebuilt(packet.command(), packet.packetId(), fields, packet.type());
    FUZZ_CHECK(rebuilt.packetData() == bytes);
}
