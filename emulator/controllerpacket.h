// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_CONTROLLERPACKET_H
#define NIVORAVEXBUSUSBEMULATOR_CONTROLLERPACKET_H

#include <QByteArray>
#include <QObject>

namespace NivoraVexbusUsbEmulator {

// The packets of the adapter protocol as the controller sees them: requests
// are [command][packet id][payload], responses [command][packet id][error]
// [payload], notifications [code > 0xF0][packet id][payload]. The checksum
// and the frame around them are SlipCodec's.
class ControllerPacket
{
    Q_GADGET
public:
    enum Command : quint8 {
        CommandGetFirmware = 0x01,
        CommandSoftReset = 0x02,
        CommandStartBootloader = 0x03,
        CommandGetControllerStatus = 0x04,
        CommandSetIxoModuleBuffer = 0x10,
        CommandSetWallPanelModuleBuffer = 0x20,
        CommandSetRemoteServiceModuleBuffer = 0x30,
        CommandPressAppConnectorModuleButton = 0x40,
        CommandEnableAppConnectorParameterHandling = 0x41,
        CommandWriteDataToVexbus = 0xA0
    };
    Q_ENUM(Command)

    enum Error : quint8 {
        ErrorNoError = 0,
        ErrorInvalidProtocol = 1,
        ErrorDataInconsistent = 2,
        ErrorBufferOverflow = 3,
        ErrorVexbusBufferOverflow = 4,
        ErrorInvalidMessageFormat = 5,
        ErrorUnknownCommand = 6,
        ErrorDataSize = 7,
        ErrorInvalidVexbusProtocol = 8,
        ErrorVexbusNotAvailable = 9,
        ErrorUnknownError = 0xFF
    };
    Q_ENUM(Error)

    enum Notification : quint8 {
        NotificationControllerReady = 0xF1,
        NotificationControllerStatusChanged = 0xF2,
        NotificationVexbusData = 0xF3,
        NotificationErrorOccurred = 0xF4,
        NotificationDebugMessage = 0xFE
    };
    Q_ENUM(Notification)

    ControllerPacket() = delete;

    static QByteArray response(quint8 command, quint8 packetId, quint8 error, const QByteArray &payload = QByteArray());
    static QByteArray notification(quint8 code, quint8 packetId, const QByteArray &payload = QByteArray());

    // The error a careful firmware gives for a request payload that does not
    // fit the command's layout; ErrorNoError when it fits, ErrorUnknownCommand
    // for a command it does not know.
    static Error validateRequest(quint8 command, const QByteArray &payload);
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_CONTROLLERPACKET_H
