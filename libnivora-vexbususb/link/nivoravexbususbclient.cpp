// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbclient.h"
#include "link/nivoravexbususbclient_p.h"
#include "link/nivoravexbususbinterface.h"
#include "link/nivoravexbususbreply_p.h"
#include "logging/nivoravexbususblogging.h"

#include <QTimer>
#include <QTimerEvent>
#include <QVarLengthArray>

#include <limits>

namespace NivoraVexbusUsb {

NivoraVexbusUsbClientPrivate::NivoraVexbusUsbClientPrivate(NivoraVexbusUsbClient *q, NivoraVexbusUsbInterface *interface) :
    q_ptr(q),
    interface(interface)
{
}

NivoraVexbusUsbClient::NivoraVexbusUsbClient(NivoraVexbusUsbInterface *interface, QObject *parent) :
    QObject(parent),
    d_ptr(new NivoraVexbusUsbClientPrivate(this, interface))
{
    Q_D(NivoraVexbusUsbClient);
    d->packetConnection = connect(interface, &NivoraVexbusUsbInterface::packetReceived, this,
                                  [d](const NivoraVexbusUsbPacket &packet) { d->onInterfacePacketReceived(packet); });
    connect(interface, &NivoraVexbusUsbInterface::connectedChanged, this, [this](bool connected) {
        if (!connected)
            abortRequests();
    });
    d->clock.start();
}

NivoraVexbusUsbClient::~NivoraVexbusUsbClient()
{
    Q_D(NivoraVexbusUsbClient);
    // Each one leaves the list as it goes.
    while (d->firstReply)
        delete d->firstReply;
}

int NivoraVexbusUsbClient::responseTimeout() const
{
    Q_D(const NivoraVexbusUsbClient);
    return d->responseTimeout;
}

void NivoraVexbusUsbClient::setResponseTimeout(int responseTimeout)
{
    Q_D(NivoraVexbusUsbClient);
    if (responseTimeout < 1) {
        qCWarning(dcVexbusUsbTraffic()) << "Ignoring the response time-out of" << responseTimeout
                                        << "ms: a request needs at least 1 ms to be answered.";
        return;
    }

    if (d->responseTimeout == responseTimeout)
        return;

    d->responseTimeout = responseTimeout;
    emit responseTimeoutChanged(d->responseTimeout);
}

NivoraVexbusUsbReply *NivoraVexbusUsbClient::sendRequest(NivoraVexbusUsbUtils::Command command, const QByteArray &payload)
{
    Q_D(NivoraVexbusUsbClient);
    return d->sendRequest(command, payload, nullptr);
}

NivoraVexbusUsbReply *NivoraVexbusUsbClientPrivate::sendRequest(NivoraVexbusUsbUtils::Command command,
                                                                const QByteArray &payload, const void *hookContext)
{
    // A request written into a closed port is lost; saying so at once beats
    // a time-out that tells the same later.
    if (!interface->connected()) {
        return refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorNotAvailable,
                             QStringLiteral("The port to the adapter is not open; nothing was sent. Plug the adapter in "
                                            "and start it."), hookContext);
    }

    const NivoraVexbusUsbPacket packet(static_cast<unsigned char>(command), nextPacketId++, payload,
                                       NivoraVexbusUsbPacket::TypeRequest);
    NivoraVexbusUsbReply *reply = createReply(packet, hookContext);
    NivoraVexbusUsbReplyPrivate *r = NivoraVexbusUsbReplyPrivate::get(reply);
    NivoraVexbusUsbReply *&entry = replies[packet.packetId()];
    if (entry) {
        // After 256 requests an id comes round again while its first request
        // may still be pending; the entry then belongs to the newer reply,
        // and the older one waits out its time on its own timer.
        NivoraVexbusUsbReplyPrivate *older = NivoraVexbusUsbReplyPrivate::get(entry);
        const qint64 leftNs = older->deadlineNs - clock.nsecsElapsed();
        older->timer.start(int(qMax<qint64>(0, (leftNs + 999999) / 1000000)), Qt::PreciseTimer, entry);
    } else {
        ++pendingCount;
    }
    entry = reply;
    interface->sendPacket(r->requestPacket);
    if (!r->finished) {
        r->timeout = responseTimeout;
        r->deadlineNs = clock.nsecsElapsed() + qint64(responseTimeout) * 1000000;
        scheduleTimeout(r->deadlineNs);
    }
    return reply;
}

NivoraVexbusUsbReply *NivoraVexbusUsbClientPrivate::refuseRequest(NivoraVexbusUsbUtils::Command command,
                                                                  const QByteArray &payload,
                                                                  NivoraVexbusUsbReply::Error error,
                                                                  const QString &errorString, const void *hookContext)
{
    NivoraVexbusUsbReply *reply = createReply(NivoraVexbusUsbPacket(static_cast<unsigned char>(command), 0, payload,
                                                                    NivoraVexbusUsbPacket::TypeRequest), hookContext);
    // Later, so that the caller can connect to finished() first.
    QTimer::singleShot(0, reply, [reply, error, errorString]() {
        NivoraVexbusUsbReplyPrivate::get(reply)->setError(error, errorString);
    });
    return reply;
}

void NivoraVexbusUsbClient::abortRequests()
{
    Q_D(NivoraVexbusUsbClient);
    // The pending replies of now: a receiver of one's finished() may send
    // new requests, which are not aborted, or end others.
    QVarLengthArray<NivoraVexbusUsbReply *, 16> pending;
    for (NivoraVexbusUsbReply *reply : d->replies) {
        if (reply)
            pending.append(reply);
    }
    for (NivoraVexbusUsbReply *reply : pending) {
        if (d->replies[reply->packetId()] == reply)
            reply->abort();
    }
}

void NivoraVexbusUsbClientPrivate::takePacketsFromOwner()
{
    QObject::disconnect(packetConnection);
}

void NivoraVexbusUsbClientPrivate::setReplyFinishedHook(QObject *receiver, ReplyFinishedHook hook)
{
    hookReceiver = hook ? receiver : nullptr;
    this->hook = hook;
}

void NivoraVexbusUsbClientPrivate::callReplyFinishedHook(NivoraVexbusUsbReply *reply)
{
    const void *context = NivoraVexbusUsbReplyPrivate::get(reply)->hookContext;
    if (hook && context)
        hook(hookReceiver, reply, context);
}

int NivoraVexbusUsbClient::pendingRequestCount() const
{
    Q_D(const NivoraVexbusUsbClient);
    return d->pendingCount;
}

NivoraVexbusUsbReply *NivoraVexbusUsbClientPrivate::createReply(const NivoraVexbusUsbPacket &requestPacket,
                                                                const void *hookContext)
{
    auto *reply = new NivoraVexbusUsbReply(requestPacket);
    NivoraVexbusUsbReplyPrivate *r = NivoraVexbusUsbReplyPrivate::get(reply);
    r->client = q_ptr;
    r->hookContext = hookContext;
    r->deleteWhenFinished = true;
    r->nextOfClient = firstReply;
    if (firstReply)
        NivoraVexbusUsbReplyPrivate::get(firstReply)->previousOfClient = reply;
    firstReply = reply;
    return reply;
}

void NivoraVexbusUsbClientPrivate::takeReply(NivoraVexbusUsbReply *reply)
{
    // An older reply whose id came round again no longer has the entry.
    NivoraVexbusUsbReply *&entry = replies[reply->packetId()];
    if (entry != reply)
        return;
    entry = nullptr;
    --pendingCount;
}

void NivoraVexbusUsbClientPrivate::unlinkReply(NivoraVexbusUsbReply *reply)
{
    NivoraVexbusUsbReplyPrivate *r = NivoraVexbusUsbReplyPrivate::get(reply);
    if (r->previousOfClient)
        NivoraVexbusUsbReplyPrivate::get(r->previousOfClient)->nextOfClient = r->nextOfClient;
    else
        firstReply = r->nextOfClient;
    if (r->nextOfClient)
        NivoraVexbusUsbReplyPrivate::get(r->nextOfClient)->previousOfClient = r->previousOfClient;
}

void NivoraVexbusUsbClientPrivate::scheduleTimeout(qint64 deadlineNs)
{
    // The timer stays set for the earliest deadline; a later one waits until
    // it fires. A precise timer never fires early, so the time-out passes
    // no sooner than it should.
    if (timeoutTimer.isActive() && timeoutTimerDeadlineNs <= deadlineNs)
        return;
    const qint64 leftNs = qMax<qint64>(0, deadlineNs - clock.nsecsElapsed());
    const qint64 leftMs = (leftNs + 999999) / 1000000;
    timeoutTimerDeadlineNs = deadlineNs;
    timeoutTimer.start(int(qMin<qint64>(leftMs, std::numeric_limits<int>::max())), Qt::PreciseTimer, q_ptr);
}

void NivoraVexbusUsbClient::timerEvent(QTimerEvent *event)
{
    Q_D(NivoraVexbusUsbClient);
    if (event->timerId() != d->timeoutTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    d->onTimeoutTimer();
}

void NivoraVexbusUsbClientPrivate::onTimeoutTimer()
{
    timeoutTimer.stop();

    const qint64 now = clock.nsecsElapsed();
    QVarLengthArray<NivoraVexbusUsbReply *, 16> due;
    for (NivoraVexbusUsbReply *reply : replies) {
        if (reply && NivoraVexbusUsbReplyPrivate::get(reply)->deadlineNs <= now)
            due.append(reply);
    }
    // Receivers of finished() may end or send other requests meanwhile:
    // each reply is ended only while it still has its entry.
    for (NivoraVexbusUsbReply *reply : due) {
        if (replies[reply->packetId()] == reply)
            NivoraVexbusUsbReplyPrivate::get(reply)->onTimeout();
    }

    qint64 earliest = std::numeric_limits<qint64>::max();
    for (NivoraVexbusUsbReply *reply : replies) {
        if (reply)
            earliest = qMin(earliest, NivoraVexbusUsbReplyPrivate::get(reply)->deadlineNs);
    }
    if (earliest != std::numeric_limits<qint64>::max())
        scheduleTimeout(earliest);
}

void NivoraVexbusUsbClientPrivate::onInterfacePacketReceived(const NivoraVexbusUsbPacket &packet)
{
    if (packet.type() == NivoraVexbusUsbPacket::TypeNotification)
        return;

    NivoraVexbusUsbReply *reply = replies[packet.packetId()];
    if (!reply) {
        qCWarning(dcVexbusUsbTraffic()) << "Unhandled packet received:" << packet;
        return;
    }
    takeReply(reply);

    qCDebug(dcVexbusUsbTraffic()) << "Reply response received for request" << reply->requestPacket();
    NivoraVexbusUsbReplyPrivate::get(reply)->setFinished(packet);
}

} // namespace NivoraVexbusUsb
