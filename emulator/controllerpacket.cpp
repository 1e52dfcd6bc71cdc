// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "controllerpacket.h"

namespace NivoraVexbusUsbEmulator {

// Button presses carry their data bytes and then the duration as 16 bits.
static constexpr int kDurationSize = 2;

QByteArray ControllerPacket::response(quint8 command, quint8 packetId, quint8 error, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.reserve(payload.size() + 3);
    bytes.append(static_cast<char>(command));
    bytes.append(static_cast<char>(packetId));
    bytes.append(static_cast<char>(error));
    bytes.append(payload);
    return bytes;
}

QByteArray ControllerPacket::notification(quint8 code, quint8 packetId, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.reserve(payload.size() + 2);
    bytes.append(static_cast<char>(code));
    bytes.append(static_cast<char>(packetId));
    bytes.append(payload);
    return bytes;
}

static ControllerPacket::Error expectSize(const QByteArray &payload, int size)
{
    return payload.size() == size ? ControllerPacket::ErrorNoError : ControllerPacket::ErrorDataSize;
}

static ControllerPacket::Error validateBusWrite(const QByteArray &payload)
{
    if (payload.isEmpty())
        return ControllerPacket::ErrorDataSize;
    // The length byte holds only the low 8 bits of the frame's length.
    const quint8 announced = static_cast<quint8>(payload.at(0));
    const quint8 actual = static_cast<quint8>(payload.size() - 1);
    return announced == actual ? ControllerPacket::ErrorNoError : ControllerPacket::ErrorInvalidMessageFormat;
}

ControllerPacket::Error ControllerPacket::validateRequest(quint8 command, const QByteArray &payload)
{
    switch (command) {
    case CommandGetFirmware:
    case CommandSoftReset:
    case CommandStartBootloader:
    case CommandGetControllerStatus:
        return expectSize(payload, 0);
    case CommandSetIxoModuleBuffer:
    case CommandSetRemoteServiceModuleBuffer:
        return expectSize(payload, 2 + kDurationSize);
    case CommandSetWallPanelModuleBuffer:
        // Its data part has no fixed size; at least one byte must precede the duration.
        return payload.size() > kDurationSize ? ErrorNoError : ErrorDataSize;
    case CommandPressAppConnectorModuleButton:
        return expectSize(payload, 1 + kDurationSize);
    case CommandEnableAppConnectorParameterHandling:
        return expectSize(payload, 1);
    case CommandWriteDataToVexbus:
        return validateBusWrite(payload);
    default:
        return ErrorUnknownCommand;
    }
}

} // namespace NivoraVexbusUsbEmulator
