// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The client's table of pending replies, and what only the library's own
// owner of a client calls: refusals and the hook that learns every outcome
// first. Not installed.

#ifndef NIVORAVEXBUSUSBCLIENT_P_H
#define NIVORAVEXBUSUSBCLIENT_P_H

#include "link/nivoravexbususbclient.h"

#include <QBasicTimer>
#include <QElapsedTimer>

#include <array>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbClientPrivate
{
    Q_DECLARE_PUBLIC(NivoraVexbusUsbClient)

public:
    NivoraVexbusUsbClientPrivate(NivoraVexbusUsbClient *q, NivoraVexbusUsbInterface *interface);

    static NivoraVexbusUsbClientPrivate *get(NivoraVexbusUsbClient *client) { return client->d_func(); }

    /// sendRequest() with a context for the hook.
    NivoraVexbusUsbReply *sendRequest(NivoraVexbusUsbUtils::Command command, const QByteArray &payload,
                                      const void *hookContext);
    /**
     * Returns the reply of a request that its owner will not send: it
     * finishes with @p error and @p errorString on the next turn of the event
     * loop, and its request takes no packet id.
     */
    NivoraVexbusUsbReply *refuseRequest(NivoraVexbusUsbUtils::Command command, const QByteArray &payload,
                                        NivoraVexbusUsbReply::Error error, const QString &errorString,
                                        const void *hookContext = nullptr);

    /**
     * A function told of a reply's outcome just before the reply emits
     * finished(): @p receiver as given to setReplyFinishedHook(), @p context
     * as given with the request.
     */
    using ReplyFinishedHook = void (*)(QObject *receiver, NivoraVexbusUsbReply *reply, const void *context);
    /**
     * Calls @p hook for every reply whose request was sent or refused with a
     * hook context, before any receiver of the reply's finished() runs: the
     * owner of the client learns every outcome first, at the cost of a call
     * instead of a connection per request. A null @p hook removes it; the
     * owner removes it before it goes.
     */
    void setReplyFinishedHook(QObject *receiver, ReplyFinishedHook hook);

    /**
     * The client's owner hands it the interface's responses itself, with
     * onInterfacePacketReceived(), rather than through a connection to
     * packetReceived().
     */
    void takePacketsFromOwner();

    NivoraVexbusUsbReply *createReply(const NivoraVexbusUsbPacket &requestPacket, const void *hookContext);
    // Leaves the table: the reply finished, or goes while it waits.
    void takeReply(NivoraVexbusUsbReply *reply);
    void unlinkReply(NivoraVexbusUsbReply *reply);
    void scheduleTimeout(qint64 deadlineNs);
    void callReplyFinishedHook(NivoraVexbusUsbReply *reply);
    void onTimeoutTimer();
    void onInterfacePacketReceived(const NivoraVexbusUsbPacket &packet);

    NivoraVexbusUsbClient *const q_ptr;
    NivoraVexbusUsbInterface *const interface;
    int responseTimeout = NivoraVexbusUsbReply::defaultTimeout;
    unsigned char nextPacketId = 0;
    // The pending replies by packet id: a request costs no allocation and
    // no guard object of its own. A reply leaves its entry when it finishes
    // or is deleted.
    std::array<NivoraVexbusUsbReply *, 256> replies = {};
    int pendingCount = 0;
    // Every reply not yet deleted, pending or finished: as children they
    // would cost each request a ChildAdded and a ChildRemoved event.
    NivoraVexbusUsbReply *firstReply = nullptr;
    // One timer for the time-outs of all replies, set for the earliest;
    // a request that ends before it needs no timer of its own.
    QElapsedTimer clock;
    QObject *hookReceiver = nullptr;
    ReplyFinishedHook hook = nullptr;
    QMetaObject::Connection packetConnection;
    QBasicTimer timeoutTimer;
    qint64 timeoutTimerDeadlineNs = 0;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBCLIENT_P_H
