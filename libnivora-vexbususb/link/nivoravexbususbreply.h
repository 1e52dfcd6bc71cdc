// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBREPLY_H
#define NIVORAVEXBUSUSBREPLY_H

#include "nivoravexbususb_export.h"
#include "link/nivoravexbususbpacket.h"
#include "link/nivoravexbususbutils.h"

#include <QObject>
#include <QScopedPointer>
#include <QString>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbReplyPrivate;

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

    /// A reply for the given request, which the owner that sends it finishes.
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

    /// Ends the wait with ErrorAborted and emits finished().
    void abort();

signals:
    /// Emitted once when the request ended; see error() for how.
    void finished();

protected:
    /// Ends the wait when its time has passed.
    void timerEvent(QTimerEvent *event) override;

private:
    Q_DECLARE_PRIVATE(NivoraVexbusUsbReply)
    const QScopedPointer<NivoraVexbusUsbReplyPrivate> d_ptr;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBREPLY_H
