// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbpacket.h"
#include "logging/nivoravexbususblogging.h"

#include <cstring>

namespace NivoraVexbusUsb {

namespace {
// Codes above this value are notifications; 0xF0 itself is a response.
constexpr unsigned char notificationThreshold = 0xF0;
}

NivoraVexbusUsbPacket::NivoraVexbusUsbPacket(unsigned char command, unsigned char packetId,
                                             const QByteArray &payload, NivoraVexbusUsbPacket::Type type) :
    m_type(type),
    m_command(command),
    m_packetId(packetId)
{
    // Sized once and filled: appends cost a call and a check each.
    m_packetData = QByteArray(2 + payload.size(), Qt::Uninitialized);
    char *data = m_packetData.data();
    data[0] = static_cast<char>(command);
    data[1] = static_cast<char>(packetId);
    if (!payload.isEmpty())
        std::memcpy(data + 2, payload.constData(), size_t(payload.size()));
}

NivoraVexbusUsbPacket::NivoraVexbusUsbPacket(const QByteArray &data) :
    m_packetData(data)
{
    if (data.size() < 2) {
        qCWarning(dcVexbusUsbInterface()) << "The given data for the packet is to short.";
        return;
    }

    m_command = static_cast<unsigned char>(data.at(0));
    m_packetId = static_cast<unsigned char>(data.at(1));

    if (m_command > notificationThreshold) {
        m_type = TypeNotification;
        return;
    }

    m_type = TypeResponse;
    // A response of two bytes carries no error byte and reads as success.
    m_error = data.size() > 2 ? static_cast<NivoraVexbusUsbUtils::Error>(static_cast<unsigned char>(data.at(2)))
                              : NivoraVexbusUsbUtils::ErrorNoError;
    m_payloadOffset = 3;
}

QByteArray NivoraVexbusUsbPacket::payload() const
{
    return m_payloadOffset < m_packetData.size() ? m_packetData.mid(m_payloadOffset) : QByteArray();
}

bool NivoraVexbusUsbPacket::isValid() const
{
    return m_command != NivoraVexbusUsbUtils::CommandInvalid && m_packetData.size() >= 2;
}

QDebug operator<<(QDebug debug, const NivoraVexbusUsbPacket &packet)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "Packet(";
    switch (packet.type()) {
    case NivoraVexbusUsbPacket::TypeRequest:
        debug << "Request, " << static_cast<NivoraVexbusUsbUtils::Command>(packet.command());
        break;
    case NivoraVexbusUsbPacket::TypeResponse:
        debug << "Response, " << static_cast<NivoraVexbusUsbUtils::Command>(packet.command());
        break;
    case NivoraVexbusUsbPacket::TypeNotification:
        debug << "Notification, " << static_cast<NivoraVexbusUsbUtils::Notitifaction>(packet.command());
        break;
    }
    debug << ", " << "id: " << QString("0x%1").arg(packet.packetId(), 2, 16, QLatin1Char('0'));
    debug << " (" << static_cast<int>(packet.packetId()) << ")";
    if (packet.type() == NivoraVexbusUsbPacket::TypeResponse)
        debug << ", " << packet.error();
    const QByteArray payload = packet.payload();
    if (!payload.isEmpty())
        debug << ", " << payload.toHex();
    debug << ")";
    return debug;
}

} // namespace NivoraVexbusUsb
