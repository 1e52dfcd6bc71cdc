// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbreply.h"

namespace NivoraVexbusUsb {

NivoraVexbusUsbReply::NivoraVexbusUsbReply(const NivoraVexbusUsbPacket &requestPacket, QObject *parent) :
    QObject(parent),
    m_requestPacket(requestPacket)
{
    m_timer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early, and a controller that answers
    // within its 2000 ms must not be taken for a silent one.
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(m_timeout);
    connect(&m_timer, &QTimer::timeout, this, &NivoraVexbusUsbReply::onTimeout);
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

NivoraVexbusUsbReply::Error NivoraVexbusUsbReply::error() const
{
    return m_error;
}

void NivoraVexbusUsbReply::startWait()
{
    m_timer.start(m_timeout);
}

void NivoraVexbusUsbReply::abort()
{
    m_timer.stop();
    m_error = ErrorAborted;
    emit finished();
}

void NivoraVexbusUsbReply::setFinished()
{
    m_timer.stop();
    if (m_responsePacket.isValid())
        m_error = m_responsePacket.error() == NivoraVexbusUsbUtils::ErrorNoError ? ErrorNoError : ErrorInterfaceError;

    emit finished();
}

void NivoraVexbusUsbReply::onTimeout()
{
    m_error = ErrorTimeout;
    emit finished();
}

} // namespace NivoraVexbusUsb
