// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_TOOLS_FRAMESOCKETREADER_H
#define NIVORA_TOOLS_FRAMESOCKETREADER_H

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// The client's end of a frame socket that vexbusd's AcquireFrames() handed
// out: reads its datagrams (FrameDatagram) as they come and hands on the
// frames.
class FrameSocketReader : public QObject
{
    Q_OBJECT

public:
    // Takes descriptor, which the reader closes.
    explicit FrameSocketReader(int descriptor, QObject *parent = nullptr);
    ~FrameSocketReader() override;

signals:
    // A frame, received by the service at receivedUs (microseconds since 1970).
    void frameReceived(const QByteArray &frame, qint64 receivedUs);
    // The service dropped count frames before the next one, as they came
    // faster than they were read.
    void framesDropped(quint32 count);
    // The service ended the lease, or stopped.
    void closed();

private:
    void onReadable();

    int m_descriptor;
    QSocketNotifier *m_notifier;
};

#endif // NIVORA_TOOLS_FRAMESOCKETREADER_H
