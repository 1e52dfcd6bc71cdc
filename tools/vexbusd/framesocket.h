// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_FRAMESOCKET_H
#define VEXBUSD_FRAMESOCKET_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QSocketNotifier;

// The service's end of one lease that AcquireFrames() or AcquireWrite()
// handed out: a SOCK_SEQPACKET socket whose other end the client holds,
// carrying the datagrams of FrameDatagram. Nothing here ever waits for the
// client: a frame that does not fit into its queue is dropped and counted,
// and a client that does not read the outcomes of its writes is not read
// from until it does.
class FrameSocket : public QObject
{
    Q_OBJECT

public:
    enum Kind {
        KindFrames,
        KindWrite
    };
    // Writes a lease's client may have waiting for their outcome: the
    // controller's packet ids are few, and a client that sends faster than
    // the bus takes frames waits in its own socket.
    static constexpr int maximumPendingWrites = 8;

    // Takes descriptor, the service's end.
    FrameSocket(Kind kind, int descriptor, const QString &holder, QObject *parent = nullptr);
    ~FrameSocket() override;

    Kind kind() const { return m_kind; }
    // The unique bus name of the client that acquired the lease.
    QString holder() const { return m_holder; }
    bool isClosed() const { return m_descriptor < 0; }
    // Frames dropped since the lease began, because the client's queue was full.
    quint64 droppedFrames() const { return m_droppedFrames; }

    // A frame received at receivedUs (microseconds since 1970); the next
    // frame that fits tells the client how many it missed.
    void sendFrame(const QByteArray &frame, qint64 receivedUs);
    // The outcome of the write tagged tag: success for an empty errorName.
    void sendOutcome(quint32 tag, const QString &errorName, const QString &message);
    // Ends the lease from the service's side: the client reads the end of
    // its socket.
    void close();

signals:
    // The lease ended: the client closed its end, or close() was called.
    void closed();
    // A write lease's client asks for frame to be written; sendOutcome()
    // answers it.
    void writeRequested(quint32 tag, const QByteArray &frame);

private:
    void onReadable();
    void onWritable();
    void readWrite();
    bool sendDatagram(const QByteArray &datagram);
    void updateNotifiers();

    const Kind m_kind;
    int m_descriptor;
    const QString m_holder;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    quint32 m_droppedSinceSent = 0;
    quint64 m_droppedFrames = 0;
    int m_pendingWrites = 0;
    // Outcomes the client's queue had no room for, in their order.
    QList<QByteArray> m_unsentOutcomes;
};

#endif // VEXBUSD_FRAMESOCKET_H
