// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The reply's state, and the calls with which its owner ends it: the
// library's own, not installed.

#ifndef NIVORAVEXBUSUSBREPLY_P_H
#define NIVORAVEXBUSUSBREPLY_P_H

#include "link/nivoravexbususbreply.h"

#include <QBasicTimer>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbClient;

class NivoraVexbusUsbReplyPrivate
{
    Q_DECLARE_PUBLIC(NivoraVexbusUsbReply)

public:
    NivoraVexbusUsbReplyPrivate(NivoraVexbusUsbReply *q, const NivoraVexbusUsbPacket &requestPacket);

    static NivoraVexbusUsbReplyPrivate *get(NivoraVexbusUsbReply *reply) { return reply->d_func(); }

    /// Starts the time-out of @p timeout ms, once the request is written to the port.
    void startWait(int timeout = NivoraVexbusUsbReply::defaultTimeout);
    /**
     * Ends the wait with the controller's response: ErrorNoError, or
     * ErrorInterfaceError when it carries an error code of the controller;
     * an invalid packet is no response and ends the reply with ErrorAborted.
     * Emits finished().
     */
    void setFinished(const NivoraVexbusUsbPacket &responsePacket);
    /// Ends the wait with the response stored before.
    void setFinished();
    /// Ends the wait with @p error and the sentence @p errorString, and
    /// emits finished(); for an owner that could not send the request.
    void setError(NivoraVexbusUsbReply::Error error, const QString &errorString);
    void onTimeout();
    void finish(NivoraVexbusUsbReply::Error error, const QString &errorString = QString());

    NivoraVexbusUsbReply *const q_ptr;
    NivoraVexbusUsbPacket requestPacket;
    NivoraVexbusUsbPacket responsePacket;
    NivoraVexbusUsbReply::Error error = NivoraVexbusUsbReply::ErrorNoError;
    QString errorString;
    bool finished = false;
    // The wait of startWait(); a client's replies share their client's timer instead.
    QBasicTimer timer;
    int timeout = NivoraVexbusUsbReply::defaultTimeout;
    // The client that sent the request, its entry in the client's table and
    // the end of its wait on the client's clock; the library deletes the
    // replies of a client after finished(). The client keeps its replies in
    // a list of its own rather than as children, and deletes them when it
    // goes: a reply never outlives its client.
    NivoraVexbusUsbClient *client = nullptr;
    NivoraVexbusUsbReply *previousOfClient = nullptr;
    NivoraVexbusUsbReply *nextOfClient = nullptr;
    qint64 deadlineNs = 0;
    bool deleteWhenFinished = false;
    // Set while finish() calls out, so that it learns of its own deletion.
    bool *deletedFlag = nullptr;
    // What the client's owner gave with the request, for the client's hook.
    const void *hookContext = nullptr;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBREPLY_P_H
