// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "framesocketreader.h"
#include "framedatagram.h"

#include <QSocketNotifier>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

FrameSocketReader::FrameSocketReader(int descriptor, QObject *parent)
    : QObject(parent),
      m_descriptor(descriptor),
      m_notifier(new QSocketNotifier(descriptor, QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &FrameSocketReader::onReadable);
}

FrameSocketReader::~FrameSocketReader()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

void FrameSocketReader::onReadable()
{
    // Room for a frame behind a header larger than today's.
    char buffer[1024];
    for (;;) {
        const ssize_t size = ::recv(m_descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (size <= 0) {
            m_notifier->setEnabled(false);
            emit closed();
            return;
        }
        const FrameDatagram datagram = FrameDatagram::fromBytes(QByteArray(buffer, int(size)));
        if (datagram.kind() != FrameDatagram::KindFrame)
            continue;
        if (datagram.framesDropped())
            emit framesDropped(datagram.count());
        emit frameReceived(datagram.payload(), datagram.time());
    }
}
