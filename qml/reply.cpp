// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "reply.h"

#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QHash>
#include <QJSEngine>
#include <QQmlEngine>
#include <QTimer>

using NivoraVexbusUsb::NivoraVexbusUsbReply;

void releaseToQml(QObject *object)
{
    // Without a script's handle (none was taken, or it was collected while
    // the request ran) nobody would ever delete it.
    if (!qjsEngine(object)) {
        object->deleteLater();
        return;
    }
    object->setParent(nullptr);
    QQmlEngine::setObjectOwnership(object, QQmlEngine::JavaScriptOwnership);
}

Reply::Reply(QObject *owner)
    : QObject(owner)
{
    // Owned by its adapter while it runs: a script that drops its handle
    // before the end must not take the outcome with it.
    QQmlEngine::setObjectOwnership(this, QQmlEngine::CppOwnership);
}

Reply *Reply::following(NivoraVexbusUsbReply *reply, QObject *owner)
{
    auto *result = new Reply(owner);
    // The library deletes its reply after finished(); the outcome is copied.
    connect(reply, &NivoraVexbusUsbReply::finished, result, [result, reply]() {
        result->finish(reply->error(), reply->errorString());
    });
    return result;
}

Reply *Reply::following(const QDBusPendingCall &call, QObject *owner)
{
    auto *result = new Reply(owner);
    auto *watcher = new QDBusPendingCallWatcher(call, result);
    connect(watcher, &QDBusPendingCallWatcher::finished, result, [result, watcher]() {
        watcher->deleteLater();
        if (watcher->isError())
            result->finish(errorFromService(watcher->error().name()), watcher->error().message());
        else
            result->finish(NivoraVexbusUsbReply::ErrorNoError, QString());
    });
    return result;
}

NivoraVexbusUsbReply::Error Reply::errorFromService(const QString &errorName)
{
    // vexbusd's documented errors, and what the bus itself answers for a
    // service that does not answer or is gone.
    static const QHash<QString, NivoraVexbusUsbReply::Error> errors{
        {QStringLiteral("org.nivora.Vexbus1.Error.Timeout"), NivoraVexbusUsbReply::ErrorTimeout},
        {QStringLiteral("org.nivora.Vexbus1.Error.ControllerError"), NivoraVexbusUsbReply::ErrorInterfaceError},
        {QStringLiteral("org.nivora.Vexbus1.Error.NotAvailable"), NivoraVexbusUsbReply::ErrorNotAvailable},
        // The adapter is lent to another program: not available to this one.
        {QStringLiteral("org.nivora.Vexbus1.Error.Inhibited"), NivoraVexbusUsbReply::ErrorNotAvailable},
        {QStringLiteral("org.nivora.Vexbus1.Error.InvalidArgument"), NivoraVexbusUsbReply::ErrorInvalidArgument},
        {QStringLiteral("org.nivora.Vexbus1.Error.NotInhibited"), NivoraVexbusUsbReply::ErrorInvalidArgument},
        {QStringLiteral("org.nivora.Vexbus1.Error.UpdateRunning"), NivoraVexbusUsbReply::ErrorUpdateRunning},
        {QStringLiteral("org.nivora.Vexbus1.Error.Aborted"), NivoraVexbusUsbReply::ErrorAborted},
        {QStringLiteral("org.freedesktop.DBus.Error.NoReply"), NivoraVexbusUsbReply::ErrorTimeout},
        {QStringLiteral("org.freedesktop.DBus.Error.Timeout"), NivoraVexbusUsbReply::ErrorTimeout},
    };
    return errors.value(errorName, NivoraVexbusUsbReply::ErrorNotAvailable);
}

void Reply::finishLater(NivoraVexbusUsbReply::Error error, const QString &errorString)
{
    QTimer::singleShot(0, this, [this, error, errorString]() { finish(error, errorString); });
}

void Reply::finish(NivoraVexbusUsbReply::Error error, const QString &errorString)
{
    if (m_finished)
        return;
    m_finished = true;
    m_error = error;
    m_errorString = errorString;
    releaseToQml(this);
    emit finished();
}
