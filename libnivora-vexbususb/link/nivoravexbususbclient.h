// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBCLIENT_H
#define NIVORAVEXBUSUSBCLIENT_H

#include "nivoravexbususb_export.h"
#include "link/nivoravexbususbpacket.h"
#include "link/nivoravexbususbreply.h"
#include "link/nivoravexbususbutils.h"

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>

#include <array>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbInterface;

/**
 * @brief The request/response side of the link: numbers the requests,
 * keeps their replies until the responses come, and ends each reply by its
 * response, its time-out or the closing of the port.
 *
 * The client owns its replies, as QModbusClient does: each one is deleted
 * with deleteLater() after its finished(). Requests go out through the
 * interface given at construction; notifications of the controller pass by
 * the client (the interface's packetReceived() carries them to whoever
 * handles them).
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbClient : public QObject
{
    Q_OBJECT
    /// How long, in ms, a request waits for its response; 2000 by default.
    /// Longer for links slower than a USB cable, such as a serial bridge over a wide-area network.
    Q_PROPERTY(int responseTimeout READ responseTimeout WRITE setResponseTimeout NOTIFY responseTimeoutChanged)

public:
    /// A client that sends through @p interface (not owned; it must outlive the client).
    explicit NivoraVexbusUsbClient(NivoraVexbusUsbInterface *interface, QObject *parent = nullptr);
    /// Pending replies go with the client, without finishing.
    ~NivoraVexbusUsbClient() override;

    /// See the responseTimeout property.
    int responseTimeout() const;
    /// Sets the response time-out in ms for the requests sent from now on;
    /// a value below 1 is refused with a warning.
    void setResponseTimeout(int responseTimeout);

    /**
     * Sends a request with the next packet id and returns its reply, which
     * waits responseTimeout() ms for the response. On a closed port nothing
     * is sent and the reply finishes with ErrorNotAvailable on the next turn
     * of the event loop.
     */
    NivoraVexbusUsbReply *sendRequest(NivoraVexbusUsbUtils::Command command, const QByteArray &payload = QByteArray(),
                                      const void *hookContext = nullptr);
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
    /// Ends every pending reply with ErrorAborted; the port's closing does so by itself.
    void abortRequests();
    /// The number of requests that wait for their response.
    int pendingRequestCount() const;

signals:
    /// Emitted when the responseTimeout property changed.
    void responseTimeoutChanged(int responseTimeout);

protected:
    /// Ends the replies whose time-out has passed.
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onInterfacePacketReceived(const NivoraVexbusUsb::NivoraVexbusUsbPacket &packet);
    void onInterfaceConnectedChanged(bool connected);

private:
    friend class NivoraVexbusUsbReply;

    NivoraVexbusUsbReply *createReply(const NivoraVexbusUsbPacket &requestPacket);
    void onReplyFinished(NivoraVexbusUsbReply *reply);
    void forgetReply(NivoraVexbusUsbReply *reply);
    void takeReply(NivoraVexbusUsbReply *reply);
    void unlinkReply(NivoraVexbusUsbReply *reply);
    void scheduleTimeout(qint64 deadlineNs);
    void callReplyFinishedHook(NivoraVexbusUsbReply *reply);

    NivoraVexbusUsbInterface *m_interface = nullptr;
    int m_responseTimeout = NivoraVexbusUsbReply::defaultTimeout;
    unsigned char m_nextPacketId = 0;
    // The pending replies by packet id: a request costs no allocation and
    // no guard object of its own. A reply leaves its entry when it finishes
    // or is deleted.
    std::array<NivoraVexbusUsbReply *, 256> m_replies = {};
    int m_pendingCount = 0;
    // Every reply not yet deleted, pending or finished: as children they
    // would cost each request a ChildAdded and a ChildRemoved event.
    NivoraVexbusUsbReply *m_firstReply = nullptr;
    // One timer for the time-outs of all replies, set for the earliest;
    // a request that ends before it needs no timer of its own.
    QElapsedTimer m_clock;
    QObject *m_hookReceiver = nullptr;
    ReplyFinishedHook m_hook = nullptr;
    QBasicTimer m_timeoutTimer;
    qint64 m_timeoutTimerDeadlineNs = 0;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBCLIENT_H
