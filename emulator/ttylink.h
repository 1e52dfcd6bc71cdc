// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_TTYLINK_H
#define NIVORAVEXBUSUSBEMULATOR_TTYLINK_H

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <deque>

class QSocketNotifier;

namespace NivoraVexbusUsbEmulator {

// The emulator's end of the serial line: a file descriptor (typically a PTY
// master) read and written without blocking. It survives the other side
// closing and reopening the line any number of times.
//
// It can model the line between the host and the controller: with line
// pacing, bytes take ten bit times each in both directions (86.8 us at
// 115200 baud 8N1) and queue behind each other, so that the controller's
// answer to a request leaves no earlier than the request's last byte would
// have arrived, and the host gets each byte no earlier than the line could
// carry it. What is read is handed on at once and the answer is scheduled
// from the request's arrival: the emulator wakes once for a request and once
// for its answer, not a third time when the request is complete, and every
// wake-up is time the host sees on top of the line's. The latency timer models
// the receive path of the adapter's FTDI chip: bytes for the host are held in
// the chip until 62 have gathered (a full USB packet) or the timer has run
// since the first held byte.
//
// What the model leaves out: USB frame timing (1 ms frames, bulk polling),
// the chip's 2 bytes of modem status per USB packet, the chip's transmit
// buffer (the host's bytes go out on the wire in the order and at the time
// the host wrote them), the kernel's tty buffering and scheduling on either
// side, line errors, and flow control. The controller's state changes when
// a request is read, not when it would be complete; what it sends of its
// own accord meanwhile (a bus frame) follows the answer on the line.
class TtyLink : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultBaudRate = 115200;
    // Bytes the FTDI chip sends the host in one USB packet.
    static constexpr int LatencyPacketSize = 62;

    explicit TtyLink(QObject *parent = nullptr);
    ~TtyLink() override;

    // Takes the descriptor (not its ownership) and switches it to
    // non-blocking mode. Fails on an invalid descriptor.
    bool attach(int fd);
    // Stops using the descriptor at once; queued bytes of both directions are dropped.
    void detach();
    bool isAttached() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Queues bytes for the line; ignored when not attached.
    void write(const QByteArray &bytes);
    // Bytes written but not yet handed to the descriptor.
    int pendingBytes() const;

    bool linePacing() const { return m_linePacing; }
    // Turning it off hands over at once what is queued.
    void setLinePacing(bool enabled);
    // Bits per second of the paced line (10 bits a byte); default 115200.
    int baudRate() const { return m_baudRate; }
    void setBaudRate(int baudRate);
    qint64 byteTimeNs() const { return m_byteTimeNs; }
    // The chip's latency timer in ms; 0 (the default) holds nothing back.
    int latencyTimer() const { return m_latencyTimerMs; }
    void setLatencyTimer(int ms);

Q_SIGNALS:
    void bytesReceived(const QByteArray &bytes);
    // The other side closed the line (a PTY master reads EIO until the slave
    // is opened again).
    void hungUp();

private:
    // Bytes of one write() on their way to the host; byte j has arrived in
    // the chip at startNs + (j + 1) * byteTime (all at startNs when unpaced).
    struct Segment {
        QByteArray bytes;
        qint64 startNs = 0;
        int taken = 0;
    };
    void onReadActivated();
    void onWriteActivated();
    void onLineTimerActivated();
    void onHangUpTimeout();
    void enterHangUp();
    void flush();
    void serviceLine();
    void releaseToHost(qint64 nowNs);
    void releaseHeld();
    void armLineTimer();
    qint64 arrivalNs(const Segment &segment, int index) const;
    qint64 nextReleaseNs() const;
    // CLOCK_MONOTONIC, the clock the line timer is armed on.
    static qint64 nowNs();
    bool modelsLine() const { return m_linePacing || m_latencyTimerMs > 0; }
    void clearQueues();

    int m_fd = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    // Bytes for the descriptor, written as soon as it takes them.
    QByteArray m_output;
    bool m_hungUp = false;
    QTimer m_hangUpTimer;

    bool m_linePacing = false;
    int m_baudRate = DefaultBaudRate;
    qint64 m_byteTimeNs = 0;
    int m_latencyTimerMs = 0;
    int m_lineTimerFd = -1;
    QSocketNotifier *m_lineTimerNotifier = nullptr;
    // The deadline the line timer is armed for, kNever when it is not. It
    // is armed earlier by the least time a wake-up has recently taken, and
    // the last few microseconds up to the deadline are waited out awake:
    // a wake-up from a timer costs tens of microseconds on an idle machine,
    // which the host would otherwise see on top of every answer.
    qint64 m_lineTimerArmedNs;
    static constexpr int WakeUpSamples = 16;
    qint64 m_wakeUpNs[WakeUpSamples] = {};
    int m_wakeUpIndex = 0;
    qint64 m_wakeUpMarginNs = 0;
    // Host to controller: when the line is free again, and while what was
    // read is handed on, the time its last byte arrives.
    qint64 m_receiveLineFreeNs = 0;
    qint64 m_answerNotBeforeNs = 0;
    // Controller to host: on the line, then held in the chip.
    std::deque<Segment> m_segments;
    qint64 m_transmitLineFreeNs = 0;
    QByteArray m_held;
    qint64 m_heldSinceNs = 0;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_TTYLINK_H
