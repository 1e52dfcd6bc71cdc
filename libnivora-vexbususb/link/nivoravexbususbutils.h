// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBUTILS_H
#define NIVORAVEXBUSUSBUTILS_H

#include "nivoravexbususb_export.h"

#include <QObject>

namespace NivoraVexbusUsb {

/**
 * @brief The vocabulary of the adapter protocol: command, error and
 * notification codes, LED modes, bus types and bus status flags.
 *
 * The class has no instances; its meta-object makes the enumerations print
 * by name in log output.
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbUtils
{
    Q_GADGET

public:
    /// Command code of a request and of its response (one byte on the wire).
    enum Command {
        CommandGetFirmware = 0x01,
        CommandSoftReset = 0x02,
        CommandStartBootloader = 0x03,
        CommandGetControllerStatus = 0x04,
        CommandSetIxoModuleBuffer = 0x10,
        CommandSetWallPanelModuleBuffer = 0x20,
        CommandSetRemoteServiceModuleBuffer = 0x30,
        CommandPressAppConnectorModuleButton = 0x40,
        CommandEnableAppConnectorParameterHandling = 0x41,
        CommandWriteDataToVexbus = 0xA0,
        CommandInvalid = 0xFF
    };
    Q_ENUM(Command)

    /**
     * Result code that the controller puts into a response (one byte on the
     * wire). The names are part of the public interface as they are spelled.
     */
    enum Error {
        ErrorNoError = 0,
        ErrorInvalidProtocol = 1,
        ErrorDataInconsitant = 2,
        ErrorBufferOverflow = 3,
        ErrorVexbusBufferOverflow = 4,
        ErrorInvalidMessageFormat = 5,
        ErrorUnknownCommand = 6,
        ErrorDataSize = 7,
        ErrorInvalidVexbusProtocol = 8,
        ErrorVexbusNotAvailable = 9,
        ErrorUnknwonError = 0xFF
    };
    Q_ENUM(Error)

    /**
     * Code of a notification, a packet that the controller sends of its own
     * accord; notification codes are the bytes above 0xF0.
     */
    enum Notitifaction {
        NotificationControllerReady = 0xF1,
        NotificationControllerStatusChanged = 0xF2,
        NotificationVexbusData = 0xF3,
        NotificationErrorOccurred = 0xF4,
        NotificationDebugMessage = 0xFE,
        NotificationInvalid = 0xFF
    };
    Q_ENUM(Notitifaction)

    /// What the adapter's LED shows, as the controller status reports it.
    enum LedMode {
        LedModeOff = 0,
        LedModeOn = 1,
        LedModeBlinkSlow = 2,
        LedModeBlinkFast = 3,
        LedModeDoubleBlink = 4,
        LedModeUnknown = 0xFF
    };
    Q_ENUM(LedMode)

    /// The kind of Vexbus the controller found on its RS485 line.
    enum VexbusType {
        VexbusTypeUnknown = 0,
        VexbusTypeHoltrane = 1,
        VexbusTypeKvt = 2
    };
    Q_ENUM(VexbusType)

    /// One bit of the controller status's bus flag byte.
    enum VexbusStatusFlag {
        VexbusStatusUnknown = 0x00,
        VexbusStatusSynchronized = 0x01,
        VexbusStatusInitialized = 0x02,
        VexbusStatusAvailable = 0x04
    };
    /// The bus flag byte of the controller status: VexbusStatusFlag bits or-ed.
    Q_DECLARE_FLAGS(VexbusStatusFlags, VexbusStatusFlag)
    Q_FLAG(VexbusStatusFlags)

    /// The class only holds enumerations.
    NivoraVexbusUsbUtils() = delete;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(NivoraVexbusUsbUtils::VexbusStatusFlags)

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBUTILS_H
