// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_QML_REPLY_H
#define NIVORA_QML_REPLY_H

#include "link/nivoravexbususbreply.h"

#include <QObject>

class QDBusPendingCall;

// A command given from QML, in-process or through vexbusd, and once it
// ended its outcome in the library's vocabulary. It stays alive while it
// runs; once finished, QML's garbage collector takes it when no script
// holds it any more.
class Reply : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isFinished READ isFinished NOTIFY finished)
    Q_PROPERTY(NivoraVexbusUsb::NivoraVexbusUsbReply::Error error READ error NOTIFY finished)
    Q_PROPERTY(QString errorString READ errorString NOTIFY finished)

public:
    explicit Reply(QObject *owner);

    // Follows the library's reply to its end.
    static Reply *following(NivoraVexbusUsb::NivoraVexbusUsbReply *reply, QObject *owner);
    // Follows a call to vexbusd to its answer.
    static Reply *following(const QDBusPendingCall &call, QObject *owner);
    // The library's error for an error that vexbusd answers with.
    static NivoraVexbusUsb::NivoraVexbusUsbReply::Error errorFromService(const QString &errorName);

    bool isFinished() const { return m_finished; }
    NivoraVexbusUsb::NivoraVexbusUsbReply::Error error() const { return m_error; }
    QString errorString() const { return m_errorString; }

    // Ends the reply on the next turn of the event loop, so that a handler
    // connected right after the call sees it.
    void finishLater(NivoraVexbusUsb::NivoraVexbusUsbReply::Error error, const QString &errorString);
    void finish(NivoraVexbusUsb::NivoraVexbusUsbReply::Error error, const QString &errorString);

signals:
    void finished();

private:
    bool m_finished = false;
    NivoraVexbusUsb::NivoraVexbusUsbReply::Error m_error = NivoraVexbusUsb::NivoraVexbusUsbReply::ErrorNoError;
    QString m_errorString;
};

// Hands an object that QML received from an invokable to the garbage
// collector once nothing in C++ needs it any more.
void releaseToQml(QObject *object);

#endif // NIVORA_QML_REPLY_H
