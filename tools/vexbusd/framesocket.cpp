// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "framesocket.h"
#include "adapterobject.h"
#include "framedatagram.h"
#include "vexbusdlogging.h"

#include <QSocketNotifier>

#include <cerrno>
#include <limits>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

bool isFull(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS;
}

} // namespace

FrameSocket::FrameSocket(Kind kind, int descriptor, const QString &holder, QObject *parent)
    : QObject(parent),
      m_kind(kind),
      m_descriptor(descriptor),
      m_holder(holder),
      m_readNotifier(new QSocketNotifier(descriptor, QSocketNotifier::Read, this)),
      m_writeNotifier(new QSocketNotifier(descriptor, QSocketNotifier::Write, this))
{
    // A frames lease reads only to see its client close its end.
    connect(m_readNotifier, &QSocketNotifier::activated, this, &FrameSocket::onReadable);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &FrameSocket::onWritable);
    m_writeNotifier->setEnabled(false);
}

FrameSocket::~FrameSocket()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

void FrameSocket::close()
{
    if (m_descriptor < 0)
        return;
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    ::close(m_descriptor);
    m_descriptor = -1;
    if (m_droppedFrames)
        qCDebug(dcVexbusd()) << "The frame lease of" << m_holder << "ended; it lost" << m_droppedFrames << "frame(s) it did not read";
    emit closed();
}

void FrameSocket::sendFrame(const QByteArray &frame, qint64 receivedUs)
{
    if (m_descriptor < 0)
        return;
    // The frame goes out from where it is: one system call, no copy.
    char header[FrameDatagram::headerSize];
    FrameDatagram::writeHeader(header, FrameDatagram::KindFrame, m_droppedSinceSent ? FrameDatagram::FlagFramesDropped : 0,
                               m_droppedSinceSent, receivedUs);
    iovec parts[2] = {{header, sizeof header}, {const_cast<char *>(frame.constData()), size_t(frame.size())}};
    msghdr message = {};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    ssize_t sent;
    do {
        sent = ::sendmsg(m_descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) {
        m_droppedSinceSent = 0;
        return;
    }
    if (!isFull(errno)) {
        close();
        return;
    }
    // Told once a burst: a client that stopped reading would fill the log.
    if (m_droppedSinceSent == 0)
        qCDebug(dcVexbusd()) << "The frame socket of" << m_holder << "is full; dropping frames until it reads again";
    if (m_droppedSinceSent < std::numeric_limits<quint32>::max())
        ++m_droppedSinceSent;
    ++m_droppedFrames;
}

void FrameSocket::sendOutcome(quint32 tag, const QString &errorName, const QString &message)
{
    --m_pendingWrites;
    if (m_descriptor < 0)
        return;
    const QByteArray datagram = FrameDatagram::outcome(tag, errorName, message).toBytes();
    if (!m_unsentOutcomes.isEmpty() || !sendDatagram(datagram))
        m_unsentOutcomes.append(datagram);
    updateNotifiers();
}

bool FrameSocket::sendDatagram(const QByteArray &datagram)
{
    ssize_t sent;
    do {
        sent = ::send(m_descriptor, datagram.constData(), size_t(datagram.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0 || isFull(errno))
        return sent >= 0;
    close();
    // Nothing more to send: the lease is over.
    return true;
}

void FrameSocket::onWritable()
{
    while (m_descriptor >= 0 && !m_unsentOutcomes.isEmpty()) {
        if (!sendDatagram(m_unsentOutcomes.constFirst()))
            break;
        m_unsentOutcomes.removeFirst();
    }
    updateNotifiers();
}

void FrameSocket::onReadable()
{
    if (m_kind == KindWrite) {
        readWrite();
        return;
    }
    char discarded[FrameDatagram::headerSize];
    ssize_t received;
    do {
        received = ::recv(m_descriptor, discarded, sizeof discarded, MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    if (received == 0 || (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
        close();
}

void FrameSocket::readWrite()
{
    // A client whose outcomes wait, or that waits for too many, is read
    // again once that changed.
    while (m_descriptor >= 0 && m_unsentOutcomes.isEmpty() && m_pendingWrites < maximumPendingWrites) {
        ssize_t size;
        do {
            size = ::recv(m_descriptor, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        } while (size < 0 && errno == EINTR);
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // A datagram of no bytes reads as the end of the socket; it has no
        // header either.
        if (size <= 0) {
            close();
            return;
        }
        QByteArray bytes(int(size), Qt::Uninitialized);
        if (::recv(m_descriptor, bytes.data(), size_t(bytes.size()), MSG_DONTWAIT) != size) {
            close();
            return;
        }
        const FrameDatagram datagram = FrameDatagram::fromBytes(bytes);
        ++m_pendingWrites;
        if (datagram.kind() != FrameDatagram::KindWrite) {
            // The tag where there is one, to tell the client which.
            const quint32 tag = datagram.isValid() ? datagram.tag() : 0;
            sendOutcome(tag, AdapterObject::errorName(Outcome::InvalidArgument),
                        QStringLiteral("A datagram on a write socket is a write: kind 2 and a header of at least %1 bytes, "
                                       "then the frame; nothing was sent.").arg(FrameDatagram::headerSize));
            continue;
        }
        emit writeRequested(datagram.tag(), datagram.payload());
    }
    updateNotifiers();
}

void FrameSocket::updateNotifiers()
{
    if (m_descriptor < 0)
        return;
    m_writeNotifier->setEnabled(!m_unsentOutcomes.isEmpty());
    // A frames lease reads to see the end; a write lease reads frames
    // while it may take them.
    m_readNotifier->setEnabled(m_kind == KindFrames
                               || (m_unsentOutcomes.isEmpty() && m_pendingWrites < maximumPendingWrites));
}
