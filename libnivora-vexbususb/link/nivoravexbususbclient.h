// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBCLIENT_H
#define NIVORAVEXBUSUSBCLIENT_H

#include "nivoravexbususb_export.h"
#include "link/nivoravexbususbpacket.h"
#include "link/nivoravexbususbreply.h"
#include "link/nivoravexbususbutils.h"

#include <QObject>
#include <QScopedPointer>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbClientPrivate;
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
    NivoraVexbusUsbReply *sendRequest(NivoraVexbusUsbUtils::Command command, const QByteArray &payload = QByteArray());

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

private:
    Q_DECLARE_PRIVATE(NivoraVexbusUsbClient)
    const QScopedPointer<NivoraVexbusUsbClientPrivate> d_ptr;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBCLIENT_H
