// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_CONTROLLERSTATUS_H
#define NIVORAVEXBUSUSBEMULATOR_CONTROLLERSTATUS_H

#include <QByteArray>

namespace NivoraVexbusUsbEmulator {

// What the controller reports in its status response and its status-changed
// notification: LED mode, bus status flags and bus type, one byte each.
class ControllerStatus
{
public:
    enum StatusFlag : quint8 {
        StatusFlagSynchronized = 0x01,
        StatusFlagInitialized = 0x02,
        StatusFlagAvailable = 0x04
    };

    ControllerStatus() = default;
    ControllerStatus(quint8 ledMode, quint8 statusFlags, quint8 busType);

    quint8 ledMode() const { return m_ledMode; }
    void setLedMode(quint8 ledMode) { m_ledMode = ledMode; }
    quint8 statusFlags() const { return m_statusFlags; }
    void setStatusFlags(quint8 statusFlags) { m_statusFlags = statusFlags; }
    quint8 busType() const { return m_busType; }
    void setBusType(quint8 busType) { m_busType = busType; }

    QByteArray toPayload() const;

    bool operator==(const ControllerStatus &other) const;
    bool operator!=(const ControllerStatus &other) const { return !(*this == other); }

private:
    // A controller on a healthy bus: LED on, synchronized, initialized and
    // available, first bus type.
    quint8 m_ledMode = 1;
    quint8 m_statusFlags = StatusFlagSynchronized | StatusFlagInitialized | StatusFlagAvailable;
    quint8 m_busType = 1;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_CONTROLLERSTATUS_H
