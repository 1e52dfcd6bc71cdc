// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "slipcodec.h"

namespace NivoraVexbusUsbEmulator {

quint8 SlipCodec::checksum(const QByteArray &packet)
{
    quint8 sum = 0;
    for (char byte : packet)
        sum ^= static_cast<quint8>(byte);
    return sum;
}

QByteArray SlipCodec::encodeFrame(const QByteArray &packet)
{
    return encodeFrame(packet, checksum(packet));
}

QByteArray SlipCodec::encodeFrame(const QByteArray &packet, quint8 checksum)
{
    QByteArray frame;
    frame.reserve(packet.size() * 2 + 4);
    frame.append(static_cast<char>(SpecialByteEnd));
    frame.append(escape(packet));
    frame.append(escape(QByteArray(1, static_cast<char>(checksum))));
    frame.append(static_cast<char>(SpecialByteEnd));
    return frame;
}

QByteArray SlipCodec::escape(const QByteArray &bytes)
{
    QByteArray escaped;
    escaped.reserve(bytes.size());
    for (char byte : bytes) {
        const quint8 value = static_cast<quint8>(byte);
        if (value == SpecialByteEnd) {
            escaped.append(static_cast<char>(SpecialByteEsc));
            escaped.append(static_cast<char>(SpecialByteTransposedEnd));
        } else if (value == SpecialByteEsc) {
            escaped.append(static_cast<char>(SpecialByteEsc));
            escaped.append(static_cast<char>(SpecialByteTransposedEsc));
        } else {
            escaped.append(byte);
        }
    }
    return escaped;
}

} // namespace NivoraVexbusUsbEmulator
