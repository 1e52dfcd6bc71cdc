// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbclient.h"
#include "link/nivoravexbususbinterface.h"
#include "logging/nivoravexbususblogging.h"

#include <QTimer>

namespace NivoraVexbusUsb {

NivoraVexbusUsbClient::NivoraVexbusUsbClient(NivoraVexbusUsbInterface *interface, QObject *parent) :
    QObject(parent),
    m_interface(interface)
{
    connect(m_interface, &NivoraVexbusUsbInterface::packetReceived, this, &NivoraVexbusUsbClient::onInterfacePacketReceived);
    connect(m_interface, &NivoraVexbusUsbInterface::connectedChanged, this, &NivoraVexbusUsbClient::onInterfaceConnectedChanged);
}

NivoraVexbusUsbClient::~NivoraVexbusUsbClient() = default;

int NivoraVexbusUsbClient::responseTimeout() const
{
    return m_responseTimeout;
}

void NivoraVexbusUsbClient::setResponseTimeout(int responseTimeout)
{
    if (responseTimeout < 1) {
        qCWarning(dcVexbusUsbTraffic()) << "Ignoring the response time-out of" << responseTimeout
                                        << "ms: a request needs at least 1 ms to be answered.";
        return;
    }

    if (m_responseTimeout == responseTimeout)
        return;

    m_responseTimeout = responseTimeout;
    emit responseTimeoutChanged(m_responseTimeout);
}

NivoraVexbusUsbReply *NivoraVexbusUsbClient::sendRequest(NivoraVexbusUsbUtils::Command command, const QByteArray &payload)
{
    // A request written into a closed port is lost; saying so at once beats
    // a time-out that tells the same later.
    if (!m_interface->connected()) {
        return refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorNotAvailable,
                             QStringLiteral("The port to the adapter is not open; nothing was sent. Plug the adapter in "
                                            "and start it."));
    }

    const NivoraVexbusUsbPacket packet(static_cast<unsigned char>(command), m_nextPacketId++, payload,
                                       NivoraVexbusUsbPacket::TypeRequest);
    NivoraVexbusUsbReply *reply = createReply(packet);
    m_replies.insert(reply->packetId(), reply);
    m_interface->sendPacket(reply->requestPacket());
    reply->startWait(m_responseTimeout);
    return reply;
}

NivoraVexbusUsbReply *NivoraVexbusUsbClient::refuseRequest(NivoraVexbusUsbUtils::Command command, const QByteArray &payload,
                                                           NivoraVexbusUsbReply::Error error, const QString &errorString)
{
    NivoraVexbusUsbReply *reply = createReply(NivoraVexbusUsbPacket(static_cast<unsigned char>(command), 0, payload,
                                                                    NivoraVexbusUsbPacket::TypeRequest));
    // Later, so that the caller can connect to finished() first.
    QTimer::singleShot(0, reply, [reply, error, errorString]() { reply->setError(error, errorString); });
    return reply;
}

void NivoraVexbusUsbClient::abortRequests()
{
    const QList<QPointer<NivoraVexbusUsbReply>> pending = m_replies.values();
    for (const QPointer<NivoraVexbusUsbReply> &reply : pending) {
        if (reply)
            reply->abort();
    }
}

int NivoraVexbusUsbClient::pendingRequestCount() const
{
    return m_replies.count();
}

NivoraVexbusUsbReply *NivoraVexbusUsbClient::createReply(const NivoraVexbusUsbPacket &requestPacket)
{
    auto *reply = new NivoraVexbusUsbReply(requestPacket, this);
    connect(reply, &NivoraVexbusUsbReply::finished, this, [this, reply]() { onReplyFinished(reply); });
    connect(reply, &NivoraVexbusUsbReply::finished, reply, &NivoraVexbusUsbReply::deleteLater);
    return reply;
}

void NivoraVexbusUsbClient::onReplyFinished(NivoraVexbusUsbReply *reply)
{
    // After 256 requests an id comes round again while its first request may
    // still be pending; the entry then belongs to the newer reply and stays.
    auto it = m_replies.find(reply->packetId());
    if (it != m_replies.end() && it.value() == reply)
        m_replies.erase(it);
}

void NivoraVexbusUsbClient::onInterfacePacketReceived(const NivoraVexbusUsbPacket &packet)
{
    if (packet.type() == NivoraVexbusUsbPacket::TypeNotification)
        return;

    const QPointer<NivoraVexbusUsbReply> reply = m_replies.take(packet.packetId());
    if (!reply) {
        qCWarning(dcVexbusUsbTraffic()) << "Unhandled packet received:" << packet;
        return;
    }

    qCDebug(dcVexbusUsbTraffic()) << "Reply response received for request" << reply->requestPacket();
    reply->setFinished(packet);
}

void NivoraVexbusUsbClient::onInterfaceConnectedChanged(bool connected)
{
    if (!connected)
        abortRequests();
}

} // namespace NivoraVexbusUsb
