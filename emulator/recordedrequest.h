// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_RECORDEDREQUEST_H
#define NIVORAVEXBUSUSBEMULATOR_RECORDEDREQUEST_H

#include <QByteArray>
#include <QMetaType>

namespace NivoraVexbusUsbEmulator {

// One request as the emulator received it, kept for tests to inspect: an
// adapter-protocol request in controller mode (with its packet id) or a
// bootloader command packet in bootloader mode (packet id 0).
class RecordedRequest
{
public:
    enum Protocol { ProtocolController, ProtocolBootloader };

    RecordedRequest() = default;
    RecordedRequest(Protocol protocol, quint8 command, quint8 packetId, const QByteArray &payload, qint64 timestamp);

    Protocol protocol() const { return m_protocol; }
    quint8 command() const { return m_command; }
    quint8 packetId() const { return m_packetId; }
    // The request's payload (controller) or command data (bootloader).
    QByteArray payload() const { return m_payload; }
    // Milliseconds on the emulator's monotonic clock (VexbusEmulator::elapsed()).
    qint64 timestamp() const { return m_timestamp; }

private:
    Protocol m_protocol = ProtocolController;
    quint8 m_command = 0;
    quint8 m_packetId = 0;
    QByteArray m_payload;
    qint64 m_timestamp = 0;
};

} // namespace NivoraVexbusUsbEmulator

Q_DECLARE_METATYPE(NivoraVexbusUsbEmulator::RecordedRequest)

#endif // NIVORAVEXBUSUSBEMULATOR_RECORDEDREQUEST_H
