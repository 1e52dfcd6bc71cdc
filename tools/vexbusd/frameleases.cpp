// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "frameleases.h"
#include "adapterobject.h"
#include "managedadapter.h"
#include "vexbusdlogging.h"

#include <QDBusServiceWatcher>
#include <QPointer>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

FrameLeases::FrameLeases(ManagedAdapter *adapter, const QDBusConnection &connection, QObject *parent)
    : QObject(parent),
      m_adapter(adapter),
      m_holderWatcher(new QDBusServiceWatcher(this))
{
    m_holderWatcher->setConnection(connection);
    m_holderWatcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(m_holderWatcher, &QDBusServiceWatcher::serviceUnregistered, this, &FrameLeases::onHolderLeft);
    adapter->connectFrames(this, &FrameLeases::onFrameReceived);
}

int FrameLeases::countOf(const QString &holder) const
{
    return int(std::count_if(m_leases.cbegin(), m_leases.cend(), [&holder](const FrameSocket *lease) {
        return lease->holder() == holder;
    }));
}

Outcome FrameLeases::acquire(FrameSocket::Kind kind, const QString &holder, QDBusUnixFileDescriptor *clientEnd)
{
    const int held = countOf(holder);
    if (held >= maximumLeasesPerHolder) {
        return Outcome(Outcome::LimitReached, QStringLiteral("%1 holds %2 sockets of adapter %3 already, as many as one "
                                                                "client may; close one first.")
                       .arg(holder).arg(held).arg(m_adapter->key()));
    }
    // Blocking for the client, which may read as it likes; the service's
    // end never waits.
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0
            || ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK) != 0) {
        const int error = errno;
        qCWarning(dcVexbusd()) << "Cannot create a frame socket for" << holder << ":" << strerror(error);
        return Outcome(Outcome::NotAvailable, QStringLiteral("The service cannot create a socket: %1.")
                       .arg(QString::fromLocal8Bit(strerror(error))));
    }
    // The message takes a copy of the client's end.
    *clientEnd = QDBusUnixFileDescriptor(ends[1]);
    ::close(ends[1]);

    auto *lease = new FrameSocket(kind, ends[0], holder, this);
    m_leases.append(lease);
    if (kind == FrameSocket::KindFrames)
        m_frameLeases.append(lease);
    connect(lease, &FrameSocket::closed, this, [this, lease]() { onLeaseClosed(lease); });
    connect(lease, &FrameSocket::writeRequested, this, [this, lease](quint32 tag, const QByteArray &frame) {
        onWriteRequested(lease, tag, frame);
    });
    if (held == 0)
        m_holderWatcher->addWatchedService(holder);
    qCDebug(dcVexbusd()) << holder << "acquired a" << (kind == FrameSocket::KindFrames ? "frame" : "write") << "socket of adapter"
                         << m_adapter->key();
    return Outcome();
}

void FrameLeases::onFrameReceived(const QByteArray &frame)
{
    if (m_frameLeases.isEmpty())
        return;
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    const qint64 receivedUs = qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    // A lease that ends on the way leaves this list, not the loop's copy;
    // it is deleted later.
    const QList<FrameSocket *> leases = m_frameLeases;
    for (FrameSocket *lease : leases)
        lease->sendFrame(frame, receivedUs);
}

void FrameLeases::onWriteRequested(FrameSocket *lease, quint32 tag, const QByteArray &frame)
{
    QPointer<FrameSocket> answered(lease);
    m_adapter->writeFrame(frame, [answered, tag](const Outcome &outcome) {
        if (!answered)
            return;
        if (outcome.succeeded())
            answered->sendOutcome(tag, QString(), QString());
        else
            answered->sendOutcome(tag, AdapterObject::errorName(outcome.failure()), outcome.message());
    });
}

void FrameLeases::onLeaseClosed(FrameSocket *lease)
{
    m_leases.removeOne(lease);
    m_frameLeases.removeOne(lease);
    if (countOf(lease->holder()) == 0)
        m_holderWatcher->removeWatchedService(lease->holder());
    qCDebug(dcVexbusd()) << "The socket of" << lease->holder() << "on adapter" << m_adapter->key() << "was closed";
    lease->deleteLater();
}

void FrameLeases::onHolderLeft(const QString &holder)
{
    qCDebug(dcVexbusd()) << holder << "left the bus; closing its sockets of adapter" << m_adapter->key();
    const QList<FrameSocket *> leases = m_leases;
    for (FrameSocket *lease : leases) {
        if (lease->holder() == holder)
            lease->close();
    }
}
