// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The bootloader's response stream: bytes as the tty delivers them are
// reassembled, and every response the decoder hands on is checked as the
// bootloader handler checks it.

#include "fuzzcheck.h"
#include "bootloader/bootloaderresponsedecoder.h"

using namespace NivoraVexbusUsb;
using Decoder = BootloaderResponseDecoder;

FUZZ_TARGET(input)
{
    Decoder decoder;
    for (const char byte : input) {
        decoder.processByte(static_cast<unsigned char>(byte));
        FUZZ_CHECK(decoder.bufferSize() <= Decoder::maximumPayloadSize + Decoder::packetOverhead);
        while (decoder.hasPacket()) {
            const QByteArray packet = decoder.takePacket();
            FUZZ_CHECK(packet.size() >= Decoder::packetOverhead);
            FUZZ_CHECK(static_cast<unsigned char>(packet.at(0)) == Decoder::startByte);
            FUZZ_CHECK(static_cast<unsigned char>(packet.at(packet.size() - 1)) == Decoder::endByte);
            // The announced payload length, little-endian after the status.
            const int length = static_cast<unsigned char>(packet.at(2)) | (static_cast<unsigned char>(packet.at(3)) << 8);
            FUZZ_CHECK(length <= Decoder::maximumPayloadSize);
            FUZZ_CHECK(packet.size() == length + Decoder::packetOverhead);

            unsigned char status = 0;
            QByteArray payload;
            if (!Decoder::parse(packet, &status, &payload))
                continue;
            FUZZ_CHECK(status == static_cast<unsigned char>(packet.at(1)));
            FUZZ_CHECK(payload == packet.mid(4, length));
            FUZZ_CHECK(!debugText(BootloaderStatus{status}).isEmpty());
        }
    }
}
