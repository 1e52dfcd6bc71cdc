// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbreply.h"
#include "link/nivoravexbususbclient.h"

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

NivoraVexbusUsbReply::NivoraVexbusUsbReply(const NivoraVexbusUsbPacket &requestPacket, QObject *parent) :
    QObject(parent),
    m_requestPacket(requestPacket)
{
}

NivoraVexbusUsbReply::~NivoraVexbusUsbReply()
{
    // A reply deleted while it waits leaves no dangling entry in its client's table.
    if (m_client) {
        if (!m_finished)
            m_client->forgetReply(this);
        m_client->unlinkReply(this);
    }
}

NivoraVexbusUsbPacket NivoraVexbusUsbReply::requestPacket() const
{
    return m_requestPacket;
}

NivoraVexbusUsbPacket NivoraVexbusUsbReply::responsePacket() const
{
    return m_responsePacket;
}

unsigned char NivoraVexbusUsbReply::packetId() const
{
    return m_requestPacket.packetId();
}

bool NivoraVexbusUsbReply::isFinished() const
{
    return m_finished;
}

NivoraVexbusUsbReply::Error NivoraVexbusUsbReply::error() const
{
    return m_error;
}

QString NivoraVexbusUsbReply::errorString() const
{
    return m_errorString;
}

NivoraVexbusUsbUtils::Error NivoraVexbusUsbReply::controllerError() const
{
    return m_responsePacket.isValid() ? m_responsePacket.error() : NivoraVexbusUsbUtils::ErrorNoError;
}

QByteArray NivoraVexbusUsbReply::payload() const
{
    return m_responsePacket.payload();
}

void NivoraVexbusUsbReply::startWait(int timeout)
{
    if (m_finished)
        return;

    m_timeout = timeout;
    // A coarse timer may fire up to 5 % early, and a controller that answers
    // within its time-out must not be taken for a silent one.
    m_timer.start(m_timeout, Qt::PreciseTimer, this);
}

void NivoraVexbusUsbReply::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_timer.stop();
    onTimeout();
}

void NivoraVexbusUsbReply::abort()
{
    finish(ErrorAborted, QStringLiteral("The request %1 was given up before the controller answered: the port to the "
                                        "adapter closed or the adapter started over. Send the command again once the "
                                        "adapter is available.").arg(commandName(m_requestPacket.command())));
}

void NivoraVexbusUsbReply::setFinished(const NivoraVexbusUsbPacket &responsePacket)
{
    if (m_finished)
        return;

    m_responsePacket = responsePacket;
    setFinished();
}

void NivoraVexbusUsbReply::setFinished()
{
    // Finishing without a response is no success: nothing tells that the
    // controller carried the request out.
    if (!m_responsePacket.isValid()) {
        finish(ErrorAborted, QStringLiteral("The request %1 ended without a valid response of the controller. Send the "
                                            "command again.").arg(commandName(m_requestPacket.command())));
        return;
    }

    // The sentences are built for failures only: a success, the common
    // case of every request, needs none.
    const NivoraVexbusUsbUtils::Error code = m_responsePacket.error();
    if (code == NivoraVexbusUsbUtils::ErrorNoError) {
        finish(ErrorNoError);
        return;
    }

    const char *name = QMetaEnum::fromType<NivoraVexbusUsbUtils::Error>().valueToKey(code);
    finish(ErrorInterfaceError, QStringLiteral("The controller refused the request %1 with error code %2 (%3): %4.")
           .arg(commandName(m_requestPacket.command())).arg(int(code))
           .arg(QString::fromLatin1(name ? name : "unknown"), controllerErrorAdvice(code)));
}

void NivoraVexbusUsbReply::setError(Error error, const QString &errorString)
{
    finish(error, errorString);
}

void NivoraVexbusUsbReply::onTimeout()
{
    finish(ErrorTimeout, QStringLiteral("The controller did not answer the request %1 within %2 ms. Check that the adapter "
                                        "is plugged in and its controller runs.")
           .arg(commandName(m_requestPacket.command())).arg(m_timeout));
}

void NivoraVexbusUsbReply::finish(Error error, const QString &errorString)
{
    // One outcome per request: a late time-out or response after the reply
    // ended changes nothing.
    if (m_finished)
        return;

    if (m_timer.isActive())
        m_timer.stop();
    m_error = error;
    m_errorString = errorString;
    m_finished = true;
    // The client's table, the deletion and the client's owner are the
    // first to know, as the first receivers of finished() would be; direct
    // calls cost a request three connections less.
    if (m_client)
        m_client->onReplyFinished(this);
    if (m_deleteWhenFinished)
        deleteLater();
    if (m_client)
        m_client->callReplyFinishedHook(this);
    emit finished();
}

} // namespace NivoraVexbusUsb
