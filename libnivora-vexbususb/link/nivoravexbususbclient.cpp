// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbclient.h"
#include "link/nivoravexbususbinterface.h"
#include "logging/nivoravexbususblogging.h"

#include <QTimer>
#include <QTimerEvent>
#include <QVarLengthArray>

#include <limits>

namespace NivoraVexbusUsb {

NivoraVexbusUsbClient::NivoraVexbusUsbClient(NivoraVexbusUsbInterface *interface, QObject *parent) :
    QObject(parent),
    m_interface(interface)
{
    connect(m_interface, &NivoraVexbusUsbInterface::packetReceived, this, &NivoraVexbusUsbClient::onInterfacePacketReceived);
    connect(m_interface, &NivoraVexbusUsbInterface::connectedChanged, this, &NivoraVexbusUsbClient::onInterfaceConnectedChanged);
    m_clock.start();
}

NivoraVexbusUsbClient::~NivoraVexbusUsbClient()
{
    // Each one leaves the list as it goes.
    while (m_firstReply)
        delete m_firstReply;
}

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

NivoraVexbusUsbReply *NivoraVexbusUsbClient::sendRequest(NivoraVexbusUsbUtils::Command command, const QByteArray &payload,
                                                         const void *hookContext)
{
    // A request written into a closed port is lost; saying so at once beats
    // a time-out that tells the same later.
    if (!m_interface->connected()) {
        return refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorNotAvailable,
                             QStringLiteral("The port to the adapter is not open; nothing was sent. Plug the adapter in "
                                            "and start it."), hookContext);
    }

    const NivoraVexbusUsbPacket packet(static_cast<unsigned char>(command), m_nextPacketId++, payload,
                                       NivoraVexbusUsbPacket::TypeRequest);
    NivoraVexbusUsbReply *reply = createReply(packet);
    reply->m_hookContext = hookContext;
    NivoraVexbusUsbReply *&entry = m_replies[reply->packetId()];
    if (entry) {
        // After 256 requests an id comes round again while its first request
        // may still be pending; the entry then belongs to the newer reply,
        // and the older one waits out its time on its own timer.
        NivoraVexbusUsbReply *older = entry;
        const qint64 leftNs = older->m_deadlineNs - m_clock.nsecsElapsed();
        older->m_timer.start(int(qMax<qint64>(0, (leftNs + 999999) / 1000000)), Qt::PreciseTimer, older);
    } else {
        ++m_pendingCount;
    }
    entry = reply;
    m_interface->sendPacket(reply->requestPacket());
    if (!reply->m_finished) {
        reply->m_timeout = m_responseTimeout;
        reply->m_deadlineNs = m_clock.nsecsElapsed() + qint64(m_responseTimeout) * 1000000;
        scheduleTimeout(reply->m_deadlineNs);
    }
    return reply;
}

NivoraVexbusUsbReply *NivoraVexbusUsbClient::refuseRequest(NivoraVexbusUsbUtils::Command command, const QByteArray &payload,
                                                           NivoraVexbusUsbReply::Error error, const QString &errorString,
                                                           const void *hookContext)
{
    NivoraVexbusUsbReply *reply = createReply(NivoraVexbusUsbPacket(static_cast<unsigned char>(command), 0, payload,
                                                                    NivoraVexbusUsbPacket::TypeRequest));
    reply->m_hookContext = hookContext;
    // Later, so that the caller can connect to finished() first.
    QTimer::singleShot(0, reply, [reply, error, errorString]() { reply->setError(error, errorString); });
    return reply;
}

void NivoraVexbusUsbClient::abortRequests()
{
    // The pending replies of now: a receiver of one's finished() may send
    // new requests, which are not aborted, or end others.
    QVarLengthArray<NivoraVexbusUsbReply *, 16> pending;
    for (NivoraVexbusUsbReply *reply : m_replies) {
        if (reply)
            pending.append(reply);
    }
    for (NivoraVexbusUsbReply *reply : pending) {
        if (m_replies[reply->packetId()] == reply)
            reply->abort();
    }
}

void NivoraVexbusUsbClient::setReplyFinishedHook(QObject *receiver, ReplyFinishedHook hook)
{
    m_hookReceiver = hook ? receiver : nullptr;
    m_hook = hook;
}

void NivoraVexbusUsbClient::callReplyFinishedHook(NivoraVexbusUsbReply *reply)
{
    if (m_hook && reply->m_hookContext)
        m_hook(m_hookReceiver, reply, reply->m_hookContext);
}

int NivoraVexbusUsbClient::pendingRequestCount() const
{
    return m_pendingCount;
}

NivoraVexbusUsbReply *NivoraVexbusUsbClient::createReply(const NivoraVexbusUsbPacket &requestPacket)
{
    auto *reply = new NivoraVexbusUsbReply(requestPacket);
    reply->m_client = this;
    reply->m_deleteWhenFinished = true;
    reply->m_nextOfClient = m_firstReply;
    if (m_firstReply)
        m_firstReply->m_previousOfClient = reply;
    m_firstReply = reply;
    return reply;
}

void NivoraVexbusUsbClient::onReplyFinished(NivoraVexbusUsbReply *reply)
{
    takeReply(reply);
}

void NivoraVexbusUsbClient::forgetReply(NivoraVexbusUsbReply *reply)
{
    takeReply(reply);
}

void NivoraVexbusUsbClient::takeReply(NivoraVexbusUsbReply *reply)
{
    // An older reply whose id came round again no longer has the entry.
    NivoraVexbusUsbReply *&entry = m_replies[reply->packetId()];
    if (entry != reply)
        return;
    entry = nullptr;
    --m_pendingCount;
}

void NivoraVexbusUsbClient::unlinkReply(NivoraVexbusUsbReply *reply)
{
    if (reply->m_previousOfClient)
        reply->m_previousOfClient->m_nextOfClient = reply->m_nextOfClient;
    else
        m_firstReply = reply->m_nextOfClient;
    if (reply->m_nextOfClient)
        reply->m_nextOfClient->m_previousOfClient = reply->m_previousOfClient;
}

void NivoraVexbusUsbClient::scheduleTimeout(qint64 deadlineNs)
{
    // The timer stays set for the earliest deadline; a later one waits until
    // it fires. A precise timer never fires early, so the time-out passes
    // no sooner than it should.
    if (m_timeoutTimer.isActive() && m_timeoutTimerDeadlineNs <= deadlineNs)
        return;
    const qint64 leftNs = qMax<qint64>(0, deadlineNs - m_clock.nsecsElapsed());
    const qint64 leftMs = (leftNs + 999999) / 1000000;
    m_timeoutTimerDeadlineNs = deadlineNs;
    m_timeoutTimer.start(int(qMin<qint64>(leftMs, std::numeric_limits<int>::max())), Qt::PreciseTimer, this);
}

void NivoraVexbusUsbClient::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timeoutTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_timeoutTimer.stop();

    const qint64 now = m_clock.nsecsElapsed();
    QVarLengthArray<NivoraVexbusUsbReply *, 16> due;
    for (NivoraVexbusUsbReply *reply : m_replies) {
        if (reply && reply->m_deadlineNs <= now)
            due.append(reply);
    }
    // Receivers of finished() may end or send other requests meanwhile:
    // each reply is ended only while it still has its entry.
    for (NivoraVexbusUsbReply *reply : due) {
        if (m_replies[reply->packetId()] == reply)
            reply->onTimeout();
    }

    qint64 earliest = std::numeric_limits<qint64>::max();
    for (NivoraVexbusUsbReply *reply : m_replies) {
        if (reply)
            earliest = qMin(earliest, reply->m_deadlineNs);
    }
    if (earliest != std::numeric_limits<qint64>::max())
        scheduleTimeout(earliest);
}

void NivoraVexbusUsbClient::onInterfacePacketReceived(const NivoraVexbusUsbPacket &packet)
{
    if (packet.type() == NivoraVexbusUsbPacket::TypeNotification)
        return;

    NivoraVexbusUsbReply *reply = m_replies[packet.packetId()];
    if (!reply) {
        qCWarning(dcVexbusUsbTraffic()) << "Unhandled packet received:" << packet;
        return;
    }
    takeReply(reply);

    qCDebug(dcVexbusUsbTraffic()) << "Reply response received for request" << reply->requestPacket();
    reply->setFinished(packet);
}

void NivoraVexbusUsbClient::onInterfaceConnectedChanged(bool connected)
{
    if (!connected)
        abortRequests();
}

} // namespace NivoraVexbusUsb
