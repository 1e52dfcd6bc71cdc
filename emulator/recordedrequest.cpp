// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "recordedrequest.h"

namespace NivoraVexbusUsbEmulator {

RecordedRequest::RecordedRequest(Protocol protocol, quint8 command, quint8 packetId, const QByteArray &payload,
                                 qint64 timestamp)
    : m_protocol(protocol), m_command(command), m_packetId(packetId), m_payload(payload), m_timestamp(timestamp)
{
}

} // namespace NivoraVexbusUsbEmulator
