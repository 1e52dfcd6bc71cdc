// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBREPLY_H
#define NIVORAVEXBUSUSBREPLY_H

#include "nivoravexbususb_export.h"
#include "link/nivoravexbususbpacket.h"

#include <QObject>
#include <QTimer>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbAdapter;

/**
 * @brief One request sent to the adapter, waiting for its response under a
 * time-out of 2000 ms.
 *
 * finished() is emitted once when the response arrived, the time-out
 * passed or the request was aborted; the owner deletes the reply with
 * deleteLater() afterwards, never inside its finished() handler.
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbReply : public QObject
{
    Q_OBJECT

public:
    /// How the request ended.
    enum Error {
        ErrorNoError = 0,        ///< the response arrived and reports success
        ErrorInterfaceError = 1, ///< the response arrived with an error code of the controller
        ErrorTimeout = 2,        ///< no response within 2000 ms of startWait()
        ErrorAborted = 3         ///< abort() was called, for example because the link went down
    };
    Q_ENUM(Error)

    /// A reply for the given request; its time-out runs from startWait().
    explicit NivoraVexbusUsbReply(const NivoraVexbusUsbPacket &requestPacket, QObject *parent = nullptr);

    /// The request as it was sent.
    NivoraVexbusUsbPacket requestPacket() const;
    /// The response once it arrived; an invalid packet before and without one.
    NivoraVexbusUsbPacket responsePacket() const;
    /// The packet id of the request, which its response carries too.
    unsigned char packetId() const;
    /// How the request ended; ErrorNoError while it waits.
    Error error() const;

    /// Starts the 2000 ms time-out, once the request is written to the port.
    void startWait();
    /// Ends the wait with ErrorAborted and emits finished().
    void abort();
    /// Ends the wait, with ErrorInterfaceError when the stored response
    /// carries an error code of the controller, and emits finished().
    void setFinished();

signals:
    /// Emitted once when the request ended; see error() for how.
    void finished();

private slots:
    void onTimeout();

private:
    // The adapter stores the received response before calling setFinished().
    friend class NivoraVexbusUsbAdapter;

    NivoraVexbusUsbPacket m_requestPacket;
    NivoraVexbusUsbPacket m_responsePacket;
    Error m_error = ErrorNoError;
    QTimer m_timer;
    int m_timeout = 2000;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBREPLY_H
