#ifndef NIVORAVEXBUSUSBUTILS_H
#define NIVORAVEXBUSUSBUTILS_H

#include "nivoravexbususb_export.h"

#include <QObject>

namespace NivoraVexbusUsb {

// The vocabulary of the adapter protocol. The class has no instances; its
// meta-object makes the enumerations print by name.
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbUtils
{
    Q_GADGET

public:
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

    // The names below are part of the public interface as they are spelled.
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

    enum Notitifaction {
        NotificationControllerReady = 0xF1,
        NotificationControllerStatusChanged = 0xF2,
        NotificationVexbusData = 0xF3,
        NotificationErrorOccurred = 0xF4,
        NotificationDebugMessage = 0xFE,
        NotificationInvalid = 0xFF
    };
    Q_ENUM(Notitifaction)

    enum LedMode {
        LedModeOff = 0,
        LedModeOn = 1,
        LedModeBlinkSlow = 2,
        LedModeBlinkFast = 3,
        LedModeDoubleBlink = 4,
        LedModeUnknown = 0xFF
    };
    Q_ENUM(LedMode)

    enum VexbusType {
        VexbusTypeUnknown = 0,
        VexbusTypeHoltrane = 1,
        VexbusTypeKvt = 2
    };
    Q_ENUM(VexbusType)

    enum VexbusStatusFlag {
        VexbusStatusUnknown = 0x00,
        VexbusStatusSynchronized = 0x01,
        VexbusStatusInitialized = 0x02,
        VexbusStatusAvailable = 0x04
    };
    Q_DECLARE_FLAGS(VexbusStatusFlags, VexbusStatusFlag)
    Q_FLAG(VexbusStatusFlags)

    NivoraVexbusUsbUtils() = delete;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(NivoraVexbusUsbUtils::VexbusStatusFlags)

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBUTILS_H
