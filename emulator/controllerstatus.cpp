// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "controllerstatus.h"

namespace NivoraVexbusUsbEmulator {

ControllerStatus::ControllerStatus(quint8 ledMode, quint8 statusFlags, quint8 busType)
    : m_ledMode(ledMode), m_statusFlags(statusFlags), m_busType(busType)
{
}

QByteArray ControllerStatus::toPayload() const
{
    QByteArray payload;
    payload.append(static_cast<char>(m_ledMode));
    payload.append(static_cast<char>(m_statusFlags));
    payload.append(static_cast<char>(m_busType));
    return payload;
}

bool ControllerStatus::operator==(const ControllerStatus &other) const
{
    return m_ledMode == other.m_ledMode && m_statusFlags == other.m_statusFlags && m_busType == other.m_busType;
}

} // namespace NivoraVexbusUsbEmulator
