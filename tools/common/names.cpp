// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "names.h"

using NivoraVexbusUsb::FirmwareUpdate;
using NivoraVexbusUsb::NivoraVexbusUsbAdapter;
using NivoraVexbusUsb::NivoraVexbusUsbUtils;

namespace Names {

template<>
const QList<Row<NivoraVexbusUsbAdapter::State>> &table()
{
    static const QList<Row<NivoraVexbusUsbAdapter::State>> rows{
        {NivoraVexbusUsbAdapter::StateUnconnected, "unconnected"},
        {NivoraVexbusUsbAdapter::StateConnecting, "connecting"},
        {NivoraVexbusUsbAdapter::StateConnected, "connected"},
        {NivoraVexbusUsbAdapter::StateConnectingBootloader, "connecting-bootloader"},
        {NivoraVexbusUsbAdapter::StateConnectedBootloader, "connected-bootloader"},
    };
    return rows;
}

template<>
const QList<Row<FirmwareUpdate::Phase>> &table()
{
    static const QList<Row<FirmwareUpdate::Phase>> rows{
        {FirmwareUpdate::PhaseIdle, "idle"},
        {FirmwareUpdate::PhasePreparing, "preparing"},
        {FirmwareUpdate::PhaseStartingBootloader, "starting-bootloader"},
        {FirmwareUpdate::PhaseWaitingForBootloader, "waiting-for-bootloader"},
        {FirmwareUpdate::PhaseCheckingChip, "checking-chip"},
        {FirmwareUpdate::PhaseWriting, "writing"},
        {FirmwareUpdate::PhaseVerifyingApplication, "verifying-application"},
        {FirmwareUpdate::PhaseRestarting, "restarting"},
        {FirmwareUpdate::PhaseDone, "done"},
        {FirmwareUpdate::PhaseFailed, "failed"},
    };
    return rows;
}

template<>
const QList<Row<FirmwareUpdate::Error>> &table()
{
    static const QList<Row<FirmwareUpdate::Error>> rows{
        {FirmwareUpdate::ErrorNone, "none"},
        {FirmwareUpdate::ErrorImageUnreadable, "image-unreadable"},
        {FirmwareUpdate::ErrorImageInvalid, "image-invalid"},
        {FirmwareUpdate::ErrorImageTooLarge, "image-too-large"},
        {FirmwareUpdate::ErrorNoRelease, "no-release"},
        {FirmwareUpdate::ErrorReleaseNotAuthenticated, "release-not-authenticated"},
        {FirmwareUpdate::ErrorWrongChip, "wrong-chip"},
        {FirmwareUpdate::ErrorImageDoesNotFitFlash, "image-does-not-fit-flash"},
        {FirmwareUpdate::ErrorBootloaderRefused, "bootloader-refused"},
        {FirmwareUpdate::ErrorBootloaderNotAnswering, "bootloader-not-answering"},
        {FirmwareUpdate::ErrorRowRejected, "row-rejected"},
        {FirmwareUpdate::ErrorRowVerificationFailed, "row-verification-failed"},
        {FirmwareUpdate::ErrorApplicationChecksumInvalid, "application-checksum-invalid"},
        {FirmwareUpdate::ErrorPortLost, "port-lost"},
        {FirmwareUpdate::ErrorTimedOut, "timed-out"},
        {FirmwareUpdate::ErrorStoppedByApplication, "stopped-by-application"},
        {FirmwareUpdate::ErrorUpdateRunning, "update-running"},
    };
    return rows;
}

template<>
const QList<Row<NivoraVexbusUsbUtils::LedMode>> &table()
{
    static const QList<Row<NivoraVexbusUsbUtils::LedMode>> rows{
        {NivoraVexbusUsbUtils::LedModeOff, "off"},
        {NivoraVexbusUsbUtils::LedModeOn, "on"},
        {NivoraVexbusUsbUtils::LedModeBlinkSlow, "blink-slow"},
        {NivoraVexbusUsbUtils::LedModeBlinkFast, "blink-fast"},
        {NivoraVexbusUsbUtils::LedModeDoubleBlink, "double-blink"},
        {NivoraVexbusUsbUtils::LedModeUnknown, "unknown"},
    };
    return rows;
}

template<>
const QList<Row<NivoraVexbusUsbUtils::VexbusType>> &table()
{
    static const QList<Row<NivoraVexbusUsbUtils::VexbusType>> rows{
        {NivoraVexbusUsbUtils::VexbusTypeUnknown, "unknown"},
        {NivoraVexbusUsbUtils::VexbusTypeHoltrane, "holtrane"},
        {NivoraVexbusUsbUtils::VexbusTypeKvt, "kvt"},
    };
    return rows;
}

// The controller's result codes, as vexbusctl has always printed them,
// misspellings of the protocol's own names included.
template<>
const QList<Row<NivoraVexbusUsbUtils::Error>> &table()
{
    static const QList<Row<NivoraVexbusUsbUtils::Error>> rows{
        {NivoraVexbusUsbUtils::ErrorNoError, "no-error"},
        {NivoraVexbusUsbUtils::ErrorInvalidProtocol, "invalid-protocol"},
        {NivoraVexbusUsbUtils::ErrorDataInconsitant, "data-inconsitant"},
        {NivoraVexbusUsbUtils::ErrorBufferOverflow, "buffer-overflow"},
        {NivoraVexbusUsbUtils::ErrorVexbusBufferOverflow, "vexbus-buffer-overflow"},
        {NivoraVexbusUsbUtils::ErrorInvalidMessageFormat, "invalid-message-format"},
        {NivoraVexbusUsbUtils::ErrorUnknownCommand, "unknown-command"},
        {NivoraVexbusUsbUtils::ErrorDataSize, "data-size"},
        {NivoraVexbusUsbUtils::ErrorInvalidVexbusProtocol, "invalid-vexbus-protocol"},
        {NivoraVexbusUsbUtils::ErrorVexbusNotAvailable, "vexbus-not-available"},
        {NivoraVexbusUsbUtils::ErrorUnknwonError, "unknwon-error"},
    };
    return rows;
}

template<>
const QList<Row<NivoraVexbusUsbAdapter::IxoModuleButton>> &table()
{
    static const QList<Row<NivoraVexbusUsbAdapter::IxoModuleButton>> rows{
        {NivoraVexbusUsbAdapter::IxoModuleButtonNone, "none"},
        {NivoraVexbusUsbAdapter::IxoModuleButtonIntermediate, "intermediate"},
        {NivoraVexbusUsbAdapter::IxoModuleButtonProgram, "program"},
        {NivoraVexbusUsbAdapter::IxoModuleButtonPlus, "plus"},
        {NivoraVexbusUsbAdapter::IxoModuleButtonMinus, "minus"},
    };
    return rows;
}

template<>
const QList<Row<NivoraVexbusUsbAdapter::RemoteServiceModuleButton>> &table()
{
    static const QList<Row<NivoraVexbusUsbAdapter::RemoteServiceModuleButton>> rows{
        {NivoraVexbusUsbAdapter::RemoteServiceModuleButtonNone, "none"},
        {NivoraVexbusUsbAdapter::RemoteServiceModuleButtonPlus, "plus"},
        {NivoraVexbusUsbAdapter::RemoteServiceModuleButtonMinus, "minus"},
        {NivoraVexbusUsbAdapter::RemoteServiceModuleButtonPlusMinus, "plus-minus"},
        {NivoraVexbusUsbAdapter::RemoteServiceModuleButtonProgram, "program"},
        {NivoraVexbusUsbAdapter::RemoteServiceModuleButtonExecute, "execute"},
        {NivoraVexbusUsbAdapter::RemoteServiceModuleButtonExit, "exit"},
    };
    return rows;
}

template<>
const QList<Row<NivoraVexbusUsbAdapter::AppConnectorModuleButton>> &table()
{
    static const QList<Row<NivoraVexbusUsbAdapter::AppConnectorModuleButton>> rows{
        {NivoraVexbusUsbAdapter::AppConnectorModuleButtonNone, "none"},
        {NivoraVexbusUsbAdapter::AppConnectorModuleButtonClose, "close"},
        {NivoraVexbusUsbAdapter::AppConnectorModuleButtonIntermediatePosition1, "intermediate-position-1"},
        {NivoraVexbusUsbAdapter::AppConnectorModuleButtonIntermediatePosition2, "intermediate-position-2"},
        {NivoraVexbusUsbAdapter::AppConnectorModuleButtonIntermediatePosition3, "intermediate-position-3"},
        {NivoraVexbusUsbAdapter::AppConnectorModuleButtonIntermediatePosition4, "intermediate-position-4"},
        {NivoraVexbusUsbAdapter::AppConnectorModuleButtonOpen, "open"},
        {NivoraVexbusUsbAdapter::AppConnectorModuleButtonHalt, "halt"},
    };
    return rows;
}

namespace {

// The buttons of a module as (value, name), without the "none" button.
template<typename Enum>
QList<QPair<int, QString>> pressable()
{
    QList<QPair<int, QString>> buttons;
    for (const Row<Enum> &row : table<Enum>()) {
        if (row.value != 0)
            buttons.append({static_cast<int>(row.value), QLatin1String(row.name)});
    }
    return buttons;
}

QList<QPair<int, QString>> buttonsOf(Module module)
{
    switch (module) {
    case Module::Ixo:
        return pressable<NivoraVexbusUsbAdapter::IxoModuleButton>();
    case Module::RemoteService:
        return pressable<NivoraVexbusUsbAdapter::RemoteServiceModuleButton>();
    case Module::AppConnector:
        return pressable<NivoraVexbusUsbAdapter::AppConnectorModuleButton>();
    }
    return {};
}

} // namespace

bool moduleFromName(const QString &name, Module *module)
{
    for (Module candidate : {Module::Ixo, Module::RemoteService, Module::AppConnector}) {
        if (moduleName(candidate) == name) {
            *module = candidate;
            return true;
        }
    }
    return false;
}

QString moduleName(Module module)
{
    switch (module) {
    case Module::Ixo:
        return QStringLiteral("ixo");
    case Module::RemoteService:
        return QStringLiteral("remote");
    case Module::AppConnector:
        return QStringLiteral("app");
    }
    return QString();
}

QString buttonName(Module module, int button)
{
    for (const auto &entry : buttonsOf(module)) {
        if (entry.first == button)
            return entry.second;
    }
    return button == 0 ? QStringLiteral("none") : QString::number(button);
}

QStringList buttonNames(Module module)
{
    QStringList names;
    for (const auto &entry : buttonsOf(module))
        names.append(entry.second);
    return names;
}

int buttonFromName(Module module, const QString &name)
{
    for (const auto &entry : buttonsOf(module)) {
        if (entry.second == name)
            return entry.first;
    }
    return -1;
}

} // namespace Names
