// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_SLIPCODEC_H
#define NIVORAVEXBUSUSBEMULATOR_SLIPCODEC_H

#include <QByteArray>

namespace NivoraVexbusUsbEmulator {

// The frame of the adapter protocol: packet bytes followed by a one-byte XOR
// checksum, SLIP-escaped (RFC 1055) and delimited by 0xC0 on both sides.
// Pure functions, so that the emulator's framing can be checked on its own.
class SlipCodec
{
public:
    enum SpecialByte : quint8 {
        SpecialByteEnd = 0xC0,
        SpecialByteEsc = 0xDB,
        SpecialByteTransposedEnd = 0xDC,
        SpecialByteTransposedEsc = 0xDD
    };

    SlipCodec() = delete;

    // XOR of all bytes, starting from 0.
    static quint8 checksum(const QByteArray &packet);

    // Delimiter, escaped packet bytes, escaped checksum, delimiter.
    static QByteArray encodeFrame(const QByteArray &packet);
    // The same frame with the given checksum byte instead of the right one;
    // used to inject corrupted responses.
    static QByteArray encodeFrame(const QByteArray &packet, quint8 checksum);

    // Escapes 0xC0 and 0xDB; other bytes pass unchanged.
    static QByteArray escape(const QByteArray &bytes);
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_SLIPCODEC_H
