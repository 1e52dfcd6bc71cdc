#include "ttylink.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace NivoraVexbusUsbEmulator {

// While no one holds the slave side open, a PTY master stays readable and
// every read fails with EIO; polling it again after this pause keeps the
// emulator from spinning until the line is reopened.
static constexpr int kHangUpPauseMs = 10;
static constexpr int kPaceTickMs = 1;
static constexpr int kReadChunk = 4096;

TtyLink::TtyLink(QObject *parent)
    : QObject(parent)
{
    m_hangUpTimer.setSingleShot(true);
    m_hangUpTimer.setInterval(kHangUpPauseMs);
    connect(&m_hangUpTimer, &QTimer::timeout, this, &TtyLink::onHangUpTimeout);
    m_paceTimer.setTimerType(Qt::PreciseTimer);
    m_paceTimer.setInterval(kPaceTickMs);
    connect(&m_paceTimer, &QTimer::timeout, this, &TtyLink::onPaceTimeout);
}

TtyLink::~TtyLink()
{
    detach();
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
    m_output.clear();
    m_hangUpTimer.stop();
    m_paceTimer.stop();
}

void TtyLink::write(const QByteArray &bytes)
{
    if (!isAttached() || bytes.isEmpty())
        return;
    m_output.append(bytes);
    if (!m_linePacing) {
        flush(m_output.size());
    } else if (!m_paceTimer.isActive()) {
        // The first byte leaves at once; the rest follow at line rate.
        m_paceClock.start();
        m_paceCreditNs = ByteTimeNs;
        m_paceTimer.start();
        onPaceTimeout();
    }
}

void TtyLink::setLinePacing(bool enabled)
{
    if (m_linePacing == enabled)
        return;
    m_linePacing = enabled;
    m_paceTimer.stop();
    if (!enabled)
        flush(m_output.size());
}

void TtyLink::flush(int maximum)
{
    const int size = qMin(maximum, m_output.size());
    if (!isAttached() || size <= 0)
        return;
    const ssize_t written = ::write(m_fd, m_output.constData(), size_t(size));
    if (written > 0) {
        m_output.remove(0, int(written));
    } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
        // The line is gone (hung up or closed): what was queued is lost, as
        // on a cable that was pulled.
        m_output.clear();
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_linePacing && !m_output.isEmpty());
}

void TtyLink::onWriteActivated()
{
    flush(m_output.size());
}

void TtyLink::onPaceTimeout()
{
    m_paceCreditNs += m_paceClock.nsecsElapsed();
    m_paceClock.restart();
    const qint64 allowed = m_paceCreditNs / ByteTimeNs;
    const int before = m_output.size();
    flush(int(qMin<qint64>(allowed, before)));
    m_paceCreditNs -= qint64(before - m_output.size()) * ByteTimeNs;
    if (m_output.isEmpty())
        m_paceTimer.stop();
}

void TtyLink::onReadActivated()
{
    QByteArray received;
    bool closed = false;
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t count = ::read(m_fd, chunk, sizeof(chunk));
        if (count > 0) {
            received.append(chunk, int(count));
            continue;
        }
        // 0 or EIO: the slave side is closed.
        closed = !(count < 0 && (errno == EAGAIN || errno == EINTR));
        break;
    }
    if (!received.isEmpty()) {
        m_hungUp = false;
        Q_EMIT bytesReceived(received);
    }
    // A receiver may have detached the link (a vanish) while handling the bytes.
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
