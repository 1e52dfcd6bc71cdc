// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_FRAMELEASES_H
#define VEXBUSD_FRAMELEASES_H

#include "framesocket.h"
#include "outcome.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QObject>

class ManagedAdapter;
class QDBusServiceWatcher;

// The sockets of one adapter's clients: each frame the controller reports
// goes to every frames lease as it arrives, and the writes of the write
// leases go to the adapter. A lease ends when its client closes its end or
// leaves the bus.
class FrameLeases : public QObject
{
    Q_OBJECT

public:
    // Leases one client may hold on one adapter: each holds a descriptor
    // and a queue of the service's.
    static constexpr int maximumLeasesPerHolder = 16;

    FrameLeases(ManagedAdapter *adapter, const QDBusConnection &connection, QObject *parent = nullptr);

    // A new lease of kind for holder (a unique bus name): its end of the
    // socket into *clientEnd, or the outcome that refuses it.
    Outcome acquire(FrameSocket::Kind kind, const QString &holder, QDBusUnixFileDescriptor *clientEnd);
    // The leases that have not ended.
    QList<FrameSocket *> leases() const { return m_leases; }

private:
    void onFrameReceived(const QByteArray &frame);
    void onLeaseClosed(FrameSocket *lease);
    void onWriteRequested(FrameSocket *lease, quint32 tag, const QByteArray &frame);
    void onHolderLeft(const QString &holder);
    int countOf(const QString &holder) const;

    ManagedAdapter *m_adapter;
    QDBusServiceWatcher *m_holderWatcher;
    QList<FrameSocket *> m_leases;
    // Those of m_leases that take frames, in the order they were acquired.
    QList<FrameSocket *> m_frameLeases;
};

#endif // VEXBUSD_FRAMELEASES_H
