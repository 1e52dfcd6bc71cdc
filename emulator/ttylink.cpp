// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "ttylink.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

namespace NivoraVexbusUsbEmulator {

// While no one holds the slave side open, a PTY master stays readable and
// every read fails with EIO; polling it again after this pause keeps the
// emulator from spinning until the line is reopened.
static constexpr int kHangUpPauseMs = 10;
static constexpr int kReadChunk = 4096;
static constexpr qint64 kNever = std::numeric_limits<qint64>::max();
static constexpr qint64 kBitsPerByte = 10;
// The line timer is a timerfd armed on the absolute time a byte is due:
// QTimer's millisecond steps would be several byte times long.
// The most time the line timer is armed ahead of its deadline.
static constexpr qint64 kMaximumWakeUpMarginNs = 200000;

TtyLink::TtyLink(QObject *parent)
    : QObject(parent), m_lineTimerArmedNs(kNever)
{
    m_hangUpTimer.setSingleShot(true);
    m_hangUpTimer.setInterval(kHangUpPauseMs);
    connect(&m_hangUpTimer, &QTimer::timeout, this, &TtyLink::onHangUpTimeout);
    setBaudRate(DefaultBaudRate);
    m_lineTimerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_lineTimerFd >= 0) {
        m_lineTimerNotifier = new QSocketNotifier(m_lineTimerFd, QSocketNotifier::Read, this);
        connect(m_lineTimerNotifier, &QSocketNotifier::activated, this, &TtyLink::onLineTimerActivated);
    }
}

TtyLink::~TtyLink()
{
    detach();
    delete m_lineTimerNotifier;
    if (m_lineTimerFd >= 0)
        ::close(m_lineTimerFd);
}

bool TtyLink::attach(int fd)
{
    detach();
    const int flags = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    m_fd = fd;
    m_hungUp = false;
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &TtyLink::onReadActivated);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &TtyLink::onWriteActivated);
    return true;
}

void TtyLink::detach()
{
    // detach() may run from inside a notifier's own activation (a vanish
    // while reading), so the notifiers are disabled now and deleted later.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    m_fd = -1;
    m_hangUpTimer.stop();
    clearQueues();
    armLineTimer();
}

qint64 TtyLink::nowNs()
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void TtyLink::clearQueues()
{
    m_output.clear();
    m_segments.clear();
    m_held.clear();
    m_receiveLineFreeNs = 0;
    m_transmitLineFreeNs = 0;
}

int TtyLink::pendingBytes() const
{
    int count = m_output.size() + m_held.size();
    for (const Segment &segment : m_segments)
        count += segment.bytes.size() - segment.taken;
    return count;
}

void TtyLink::write(const QByteArray &bytes)
{
    if (!isAttached() || bytes.isEmpty())
        return;
    if (!modelsLine()) {
        m_output.append(bytes);
        flush();
        return;
    }
    const qint64 now = nowNs();
    Segment segment;
    segment.bytes = bytes;
    segment.startNs = m_linePacing ? qMax(qMax(now, m_answerNotBeforeNs), m_transmitLineFreeNs) : now;
    if (m_linePacing)
        m_transmitLineFreeNs = segment.startNs + bytes.size() * m_byteTimeNs;
    m_segments.push_back(segment);
    releaseToHost(now);
    flush();
    armLineTimer();
}

void TtyLink::setLinePacing(bool enabled)
{
    if (m_linePacing == enabled)
        return;
    m_linePacing = enabled;
    if (!enabled) {
        m_receiveLineFreeNs = 0;
        m_transmitLineFreeNs = 0;
    }
    serviceLine();
}

void TtyLink::setBaudRate(int baudRate)
{
    if (baudRate <= 0)
        return;
    m_baudRate = baudRate;
    m_byteTimeNs = kBitsPerByte * 1000000000LL / baudRate;
}

void TtyLink::setLatencyTimer(int ms)
{
    ms = qMax(0, ms);
    if (m_latencyTimerMs == ms)
        return;
    m_latencyTimerMs = ms;
    // The chip sends what it holds when its timer is set.
    releaseHeld();
    serviceLine();
}

qint64 TtyLink::arrivalNs(const Segment &segment, int index) const
{
    return segment.startNs + (m_linePacing ? (index + 1) * m_byteTimeNs : 0);
}

void TtyLink::serviceLine()
{
    if (!isAttached())
        return;
    releaseToHost(nowNs());
    flush();
    armLineTimer();
}

void TtyLink::releaseToHost(qint64 nowNs)
{
    if (m_latencyTimerMs <= 0) {
        while (!m_segments.empty()) {
            Segment &segment = m_segments.front();
            int arrived = segment.taken;
            while (arrived < segment.bytes.size() && arrivalNs(segment, arrived) <= nowNs)
                ++arrived;
            m_output.append(segment.bytes.mid(segment.taken, arrived - segment.taken));
            segment.taken = arrived;
            if (arrived < segment.bytes.size())
                return;
            m_segments.pop_front();
        }
        return;
    }

    // The chip, byte by byte in the order of events: a byte arrives from
    // the line, or the chip sends what it holds (timer run out or packet full).
    const qint64 latencyNs = qint64(m_latencyTimerMs) * 1000000;
    for (;;) {
        const qint64 arrival = m_segments.empty() ? kNever : arrivalNs(m_segments.front(), m_segments.front().taken);
        const qint64 release = m_held.isEmpty() ? kNever : m_heldSinceNs + latencyNs;
        if (qMin(arrival, release) > nowNs)
            return;
        if (release <= arrival) {
            releaseHeld();
            continue;
        }
        Segment &segment = m_segments.front();
        if (m_held.isEmpty())
            m_heldSinceNs = arrival;
        m_held.append(segment.bytes.at(segment.taken++));
        if (segment.taken == segment.bytes.size())
            m_segments.pop_front();
        if (m_held.size() >= LatencyPacketSize)
            releaseHeld();
    }
}

void TtyLink::releaseHeld()
{
    m_output.append(m_held);
    m_held.clear();
}

qint64 TtyLink::nextReleaseNs() const
{
    if (m_segments.empty() && m_held.isEmpty())
        return kNever;
    if (m_latencyTimerMs <= 0) {
        // A write reaches the host in one piece when its last byte has arrived.
        const Segment &segment = m_segments.front();
        return arrivalNs(segment, segment.bytes.size() - 1);
    }
    const qint64 latencyNs = qint64(m_latencyTimerMs) * 1000000;
    qint64 release = kNever;
    if (!m_held.isEmpty())
        release = m_heldSinceNs + latencyNs;
    else if (!m_segments.empty())
        release = arrivalNs(m_segments.front(), m_segments.front().taken) + latencyNs;
    // ... or earlier, when the packet fills up.
    int missing = LatencyPacketSize - m_held.size();
    for (const Segment &segment : m_segments) {
        const int available = segment.bytes.size() - segment.taken;
        if (available >= missing)
            return qMin(release, arrivalNs(segment, segment.taken + missing - 1));
        missing -= available;
    }
    return release;
}

void TtyLink::armLineTimer()
{
    if (m_lineTimerFd < 0)
        return;
    const qint64 next = isAttached() ? nextReleaseNs() : kNever;
    if (next == m_lineTimerArmedNs)
        return;
    // A deadline that has passed fires at once; zero would disarm.
    itimerspec lineTimeout = {};
    if (next != kNever) {
        const qint64 wakeUp = next - m_wakeUpMarginNs;
        lineTimeout.it_value.tv_sec = time_t(wakeUp / 1000000000);
        lineTimeout.it_value.tv_nsec = qMax(1L, long(wakeUp % 1000000000));
    }
    if (::timerfd_settime(m_lineTimerFd, TFD_TIMER_ABSTIME, &lineTimeout, nullptr) == 0)
        m_lineTimerArmedNs = next;
}

void TtyLink::onLineTimerActivated()
{
    quint64 expirations = 0;
    if (::read(m_lineTimerFd, &expirations, sizeof(expirations)) < 0 && errno != EAGAIN)
        return;
    const qint64 deadline = m_lineTimerArmedNs;
    // A one-shot timer that has fired is disarmed.
    m_lineTimerArmedNs = kNever;
    if (deadline != kNever) {
        qint64 now = nowNs();
        m_wakeUpNs[m_wakeUpIndex] = qMax(qint64(0), now - (deadline - m_wakeUpMarginNs));
        m_wakeUpIndex = (m_wakeUpIndex + 1) % WakeUpSamples;
        m_wakeUpMarginNs = kMaximumWakeUpMarginNs;
        for (const qint64 wakeUp : m_wakeUpNs)
            m_wakeUpMarginNs = qMin(m_wakeUpMarginNs, wakeUp);
        // Early by at most the margin: no byte leaves before its time.
        while (now < deadline && deadline - now <= kMaximumWakeUpMarginNs)
            now = nowNs();
    }
    serviceLine();
}

void TtyLink::flush()
{
    if (!isAttached() || m_output.isEmpty())
        return;
    const ssize_t written = ::write(m_fd, m_output.constData(), size_t(m_output.size()));
    if (written > 0) {
        m_output.remove(0, int(written));
    } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
        // The line is gone (hung up or closed): what was queued is lost, as
        // on a cable that was pulled.
        m_output.clear();
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_output.isEmpty());
}

void TtyLink::onWriteActivated()
{
    flush();
}

void TtyLink::onReadActivated()
{
    QByteArray received;
    bool closed = false;
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t count = ::read(m_fd, chunk, sizeof(chunk));
        if (count > 0)
            received.append(chunk, int(count));
        // A short read has emptied the tty; what comes later wakes the notifier again.
        if (count > 0 && count < kReadChunk)
            break;
        if (count > 0)
            continue;
        // 0 or EIO: the slave side is closed.
        closed = !(count < 0 && (errno == EAGAIN || errno == EINTR));
        break;
    }
    if (!received.isEmpty()) {
        m_hungUp = false;
        if (m_linePacing) {
            // Complete when its last byte has arrived, after what is still
            // on the line; the answer leaves from then on.
            m_receiveLineFreeNs = qMax(nowNs(), m_receiveLineFreeNs) + received.size() * m_byteTimeNs;
            m_answerNotBeforeNs = m_receiveLineFreeNs;
        }
        Q_EMIT bytesReceived(received);
        m_answerNotBeforeNs = 0;
    }
    if (closed && isAttached())
        enterHangUp();
}

void TtyLink::enterHangUp()
{
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    m_hangUpTimer.start();
    if (!m_hungUp) {
        m_hungUp = true;
        Q_EMIT hungUp();
    }
}

void TtyLink::onHangUpTimeout()
{
    if (m_readNotifier)
        m_readNotifier->setEnabled(true);
}

} // namespace NivoraVexbusUsbEmulator
