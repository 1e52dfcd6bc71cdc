// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBREPLY_H
#define NIVORAVEXBUSUSBREPLY_H

#include "nivoravexbususb_export.h"
#include "link/nivoravexbususbpacket.h"
#include "link/nivoravexbususbutils.h"

#include <QBasicTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbClient;

/**
 * @brief One request to the adapter's controller and, once it ended, its
 * outcome.
 *
 * Every command of the adapter object returns the reply of its request.
 * The reply emits finished() exactly once: when the response arrived, when
 * the time-out passed, when the request was aborted, or, for a request that
 * could not be sent at all, on the next turn of the event loop after the
 * command returned (never from within the command, so a connection made
 * right after the call sees it). Then error(), errorString(),
 * controllerError() and payload() tell the outcome.
 *
 * The reply is owned by the library, which deletes it with deleteLater()
 * after finished() has been emitted: read it in a slot connected to
 * finished() and keep no pointer to it afterwards. Do not delete it
 * yourself.
 *
 * @code
 * NivoraVexbusUsbReply *reply = adapter->resetController();
 * connect(reply, &NivoraVexbusUsbReply::finished, this, [reply]() {
 *     if (reply->error() != NivoraVexbusUsbReply::ErrorNoError)
 *         qWarning() << reply->error() << reply->errorString();
 * });
 * @endcode
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbReply : public QObject
{
    Q_OBJECT

public:
    /// How the request ended.
    enum Error {
        ErrorNoError = 0,         ///< the response arrived and reports success
        ErrorInterfaceError = 1,  ///< the response arrived with an error code of the controller; see controllerError()
        ErrorTimeout = 2,         ///< no response within the response time-out
        ErrorAborted = 3,         ///< the request was given up before a response came, for example because the port closed
        ErrorNotAvailable = 4,    ///< not sent: the adapter is not available (port closed, controller not initialised)
        ErrorInvalidArgument = 5, ///< not sent: an argument cannot be carried by the request, for example a frame too long
        ErrorUpdateRunning = 6    ///< not sent: a firmware update holds the adapter
    };
    Q_ENUM(Error)

    /// The response time-out, in ms, unless the owner starts the wait with another.
    static constexpr int defaultTimeout = 2000;

    /// A reply for the given request; its time-out runs from startWait().
    explicit NivoraVexbusUsbReply(const NivoraVexbusUsbPacket &requestPacket, QObject *parent = nullptr);
    /// A reply deleted while it waits is forgotten by its client; it does not finish.
    ~NivoraVexbusUsbReply() override;

    /// The request as it was sent, or would have been for a request that was not sent.
    NivoraVexbusUsbPacket requestPacket() const;
    /// The response once it arrived; an invalid packet before and without one.
    NivoraVexbusUsbPacket responsePacket() const;
    /// The packet id of the request, which its response carries too.
    unsigned char packetId() const;

    /// True once finished() has been emitted.
    bool isFinished() const;
    /// How the request ended; ErrorNoError while it waits.
    Error error() const;
    /**
     * What went wrong, as a sentence a person can act on; it names the
     * controller's error code for ErrorInterfaceError. Empty while the reply
     * waits and for ErrorNoError.
     */
    QString errorString() const;
    /// The error code of the controller's response; ErrorNoError also when no response arrived.
    NivoraVexbusUsbUtils::Error controllerError() const;
    /// The data of the controller's response (for example the three version
    /// bytes of CommandGetFirmware); empty without a response.
    QByteArray payload() const;

    /// Starts the time-out of @p timeout ms, once the request is written to the port.
    void startWait(int timeout = defaultTimeout);
    /// Ends the wait with ErrorAborted and emits finished().
    void abort();
    /**
     * Ends the wait with the controller's response: ErrorNoError, or
     * ErrorInterfaceError when it carries an error code of the controller;
     * an invalid packet is no response and ends the reply with ErrorAborted.
     * Emits finished().
     */
    void setFinished(const NivoraVexbusUsbPacket &responsePacket);
    /// Ends the wait with the response stored before, as
    /// setFinished(responsePacket()) does.
    void setFinished();
    /// Ends the wait with @p error and the sentence @p errorString, and
    /// emits finished(); for an owner that could not send the request.
    void setError(Error error, const QString &errorString);

signals:
    /// Emitted once when the request ended; see error() for how.
    void finished();

protected:
    /// Ends the wait started by startWait() when its time has passed.
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onTimeout();

private:
    friend class NivoraVexbusUsbClient;

    void finish(Error error, const QString &errorString = QString());

    NivoraVexbusUsbPacket m_requestPacket;
    NivoraVexbusUsbPacket m_responsePacket;
    Error m_error = ErrorNoError;
    QString m_errorString;
    bool m_finished = false;
    // The wait of startWait(); a client's replies share their client's timer instead.
    QBasicTimer m_timer;
    int m_timeout = defaultTimeout;
    // The client that sent the request, its entry in the client's table and
    // the end of its wait on the client's clock; the library deletes the
    // replies of a client after finished(). The client keeps its replies in
    // a list of its own rather than as children, and deletes them when it
    // goes: a reply never outlives its client.
    NivoraVexbusUsbClient *m_client = nullptr;
    NivoraVexbusUsbReply *m_previousOfClient = nullptr;
    NivoraVexbusUsbReply *m_nextOfClient = nullptr;
    qint64 m_deadlineNs = 0;
    bool m_deleteWhenFinished = false;
    // What the client's owner gave with the request, for the client's hook.
    const void *m_hookContext = nullptr;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBREPLY_H
