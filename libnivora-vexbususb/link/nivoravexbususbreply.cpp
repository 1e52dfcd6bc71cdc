// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbreply.h"
#include "link/nivoravexbususbreply_p.h"
#include "link/nivoravexbususbclient_p.h"

#include <QMetaEnum>
#include <QTimerEvent>

namespace NivoraVexbusUsb {

namespace {

QString commandName(unsigned char command)
{
    const char *name = QMetaEnum::fromType<NivoraVexbusUsbUtils::Command>().valueToKey(command);
    return name ? QString::fromLatin1(name) : QStringLiteral("0x%1").arg(command, 2, 16, QLatin1Char('0'));
}

// What the person reading the sentence can do about each code.
QString controllerErrorAdvice(NivoraVexbusUsbUtils::Error error)
{
    switch (error) {
    case NivoraVexbusUsbUtils::ErrorInvalidProtocol:
        return QStringLiteral("the controller speaks another protocol version; update its firmware");
    case NivoraVexbusUsbUtils::ErrorDataInconsitant:
        return QStringLiteral("the request's data contradict each other; check the command's arguments");
    case NivoraVexbusUsbUtils::ErrorBufferOverflow:
        return QStringLiteral("the controller's buffer is full; send the command again later");
    case NivoraVexbusUsbUtils::ErrorVexbusBufferOverflow:
        return QStringLiteral("the controller's bus buffer is full; send the command again once the bus is quieter");
    case NivoraVexbusUsbUtils::ErrorInvalidMessageFormat:
        return QStringLiteral("the controller could not read the request; check the command's arguments");
    case NivoraVexbusUsbUtils::ErrorUnknownCommand:
        return QStringLiteral("the controller's firmware does not know this command; update its firmware");
    case NivoraVexbusUsbUtils::ErrorDataSize:
        return QStringLiteral("the request's data have a size the controller does not take; check the command's arguments");
    case NivoraVexbusUsbUtils::ErrorInvalidVexbusProtocol:
        return QStringLiteral("the frame does not follow the bus protocol; check the frame's bytes");
    case NivoraVexbusUsbUtils::ErrorVexbusNotAvailable:
        return QStringLiteral("the controller has no bus; check the adapter's connection to the bus");
    default:
        return QStringLiteral("the controller gave no reason");
    }
}

} // namespace

NivoraVexbusUsbReplyPrivate::NivoraVexbusUsbReplyPrivate(NivoraVexbusUsbReply *q, const NivoraVexbusUsbPacket &requestPacket) :
    q_ptr(q),
    requestPacket(requestPacket)
{
}

NivoraVexbusUsbReply::NivoraVexbusUsbReply(const NivoraVexbusUsbPacket &requestPacket, QObject *parent) :
    QObject(parent),
    d_ptr(new NivoraVexbusUsbReplyPrivate(this, requestPacket))
{
}

NivoraVexbusUsbReply::~NivoraVexbusUsbReply()
{
    Q_D(NivoraVexbusUsbReply);
    if (d->deletedFlag)
        *d->deletedFlag = true;
    // A reply deleted while it waits leaves no dangling entry in its client's table.
    if (d->client) {
        NivoraVexbusUsbClientPrivate *client = NivoraVexbusUsbClientPrivate::get(d->client);
        if (!d->finished)
            client->takeReply(this);
        client->unlinkReply(this);
    }
}

NivoraVexbusUsbPacket NivoraVexbusUsbReply::requestPacket() const
{
    Q_D(const NivoraVexbusUsbReply);
    return d->requestPacket;
}

NivoraVexbusUsbPacket NivoraVexbusUsbReply::responsePacket() const
{
    Q_D(const NivoraVexbusUsbReply);
    return d->responsePacket;
}

unsigned char NivoraVexbusUsbReply::packetId() const
{
    Q_D(const NivoraVexbusUsbReply);
    return d->requestPacket.packetId();
}

bool NivoraVexbusUsbReply::isFinished() const
{
    Q_D(const NivoraVexbusUsbReply);
    return d->finished;
}

NivoraVexbusUsbReply::Error NivoraVexbusUsbReply::error() const
{
    Q_D(const NivoraVexbusUsbReply);
    return d->error;
}

QString NivoraVexbusUsbReply::errorString() const
{
    Q_D(const NivoraVexbusUsbReply);
    return d->errorString;
}

NivoraVexbusUsbUtils::Error NivoraVexbusUsbReply::controllerError() const
{
    Q_D(const NivoraVexbusUsbReply);
    return d->responsePacket.isValid() ? d->responsePacket.error() : NivoraVexbusUsbUtils::ErrorNoError;
}

QByteArray NivoraVexbusUsbReply::payload() const
{
    Q_D(const NivoraVexbusUsbReply);
    return d->responsePacket.payload();
}

void NivoraVexbusUsbReplyPrivate::startWait(int timeout)
{
    Q_Q(NivoraVexbusUsbReply);
    if (finished)
        return;

    this->timeout = timeout;
    // A coarse timer may fire up to 5 % early, and a controller that answers
    // within its time-out must not be taken for a silent one.
    timer.start(timeout, Qt::PreciseTimer, q);
}

void NivoraVexbusUsbReply::timerEvent(QTimerEvent *event)
{
    Q_D(NivoraVexbusUsbReply);
    if (event->timerId() != d->timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    d->timer.stop();
    d->onTimeout();
}

void NivoraVexbusUsbReply::abort()
{
    Q_D(NivoraVexbusUsbReply);
    d->finish(ErrorAborted, QStringLiteral("The request %1 was given up before the controller answered: the port to the "
                                           "adapter closed or the adapter started over. Send the command again once the "
                                           "adapter is available.").arg(commandName(d->requestPacket.command())));
}

void NivoraVexbusUsbReplyPrivate::setFinished(const NivoraVexbusUsbPacket &responsePacket)
{
    if (finished)
        return;

    this->responsePacket = responsePacket;
    setFinished();
}

void NivoraVexbusUsbReplyPrivate::setFinished()
{
    // Finishing without a response is no success: nothing tells that the
    // controller carried the request out.
    if (!responsePacket.isValid()) {
        finish(NivoraVexbusUsbReply::ErrorAborted,
               QStringLiteral("The request %1 ended without a valid response of the controller. Send the "
                              "command again.").arg(commandName(requestPacket.command())));
        return;
    }

    // The sentences are built for failures only: a success, the common
    // case of every request, needs none.
    const NivoraVexbusUsbUtils::Error code = responsePacket.error();
    if (code == NivoraVexbusUsbUtils::ErrorNoError) {
        finish(NivoraVexbusUsbReply::ErrorNoError);
        return;
    }

    const char *name = QMetaEnum::fromType<NivoraVexbusUsbUtils::Error>().valueToKey(code);
    finish(NivoraVexbusUsbReply::ErrorInterfaceError,
           QStringLiteral("The controller refused the request %1 with error code %2 (%3): %4.")
           .arg(commandName(requestPacket.command())).arg(int(code))
           .arg(QString::fromLatin1(name ? name : "unknown"), controllerErrorAdvice(code)));
}

void NivoraVexbusUsbReplyPrivate::setError(NivoraVexbusUsbReply::Error error, const QString &errorString)
{
    finish(error, errorString);
}

void NivoraVexbusUsbReplyPrivate::onTimeout()
{
    finish(NivoraVexbusUsbReply::ErrorTimeout,
           QStringLiteral("The controller did not answer the request %1 within %2 ms. Check that the adapter "
                          "is plugged in and its controller runs.")
           .arg(commandName(requestPacket.command())).arg(timeout));
}

void NivoraVexbusUsbReplyPrivate::finish(NivoraVexbusUsbReply::Error error, const QString &errorString)
{
    Q_Q(NivoraVexbusUsbReply);
    // One outcome per request: a late time-out or response after the reply
    // ended changes nothing.
    if (finished)
        return;

    if (timer.isActive())
        timer.stop();
    this->error = error;
    this->errorString = errorString;
    finished = true;
    // The client's table, the deletion and the client's owner are the
    // first to know, as the first receivers of finished() would be; direct
    // calls cost a request three connections less.
    NivoraVexbusUsbClientPrivate *client = this->client ? NivoraVexbusUsbClientPrivate::get(this->client) : nullptr;
    if (client)
        client->takeReply(q);
    if (deleteWhenFinished)
        q->deleteLater();
    if (client) {
        // The hook's receivers may delete the adapter, and with it the
        // client and this reply, which then has no one left to tell.
        bool deleted = false;
        deletedFlag = &deleted;
        client->callReplyFinishedHook(q);
        if (deleted)
            return;
        deletedFlag = nullptr;
    }
    emit q->finished();
}

} // namespace NivoraVexbusUsb
