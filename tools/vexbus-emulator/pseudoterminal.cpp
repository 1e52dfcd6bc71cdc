// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "pseudoterminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

// Often enough that a client's first request finds the bus traffic running.
static constexpr int kPollIntervalMs = 20;

PseudoTerminal::PseudoTerminal(QObject *parent)
    : QObject(parent)
{
    m_pollTimer.setInterval(kPollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &PseudoTerminal::pollSlave);
}

PseudoTerminal::~PseudoTerminal()
{
    close();
}

bool PseudoTerminal::fail(const QString &what)
{
    m_errorString = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
    close();
    return false;
}

bool PseudoTerminal::open()
{
    close();
    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_masterFd < 0)
        return fail(QStringLiteral("cannot open a pseudo-terminal"));
    if (::grantpt(m_masterFd) != 0 || ::unlockpt(m_masterFd) != 0)
        return fail(QStringLiteral("cannot unlock the pseudo-terminal"));
    const char *name = ::ptsname(m_masterFd);
    if (!name)
        return fail(QStringLiteral("cannot name the pseudo-terminal's slave side"));
    m_slavePath = QString::fromLocal8Bit(name);

    // Raw before anything is written to the master, so that no byte is
    // echoed back or held for a line end.
    const int slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd < 0)
        return fail(QStringLiteral("cannot open %1").arg(m_slavePath));
    struct termios settings;
    bool configured = ::tcgetattr(slaveFd, &settings) == 0;
    if (configured) {
        ::cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&settings, B115200);
        ::cfsetospeed(&settings, B115200);
        configured = ::tcsetattr(slaveFd, TCSANOW, &settings) == 0;
    }
    const int savedErrno = errno;
    ::close(slaveFd);
    if (!configured) {
        errno = savedErrno;
        return fail(QStringLiteral("cannot put %1 into raw mode").arg(m_slavePath));
    }

    m_slaveOpen = false;
    m_pollTimer.start();
    return true;
}

void PseudoTerminal::close()
{
    m_pollTimer.stop();
    if (m_masterFd >= 0)
        ::close(m_masterFd);
    m_masterFd = -1;
    // Closing is not a client leaving; nothing is announced.
    m_slaveOpen = false;
}

void PseudoTerminal::pollSlave()
{
    if (m_masterFd < 0)
        return;
    // The master reports POLLHUP exactly while the slave is closed (after
    // it was opened once, which open() did).
    struct pollfd descriptor = {m_masterFd, 0, 0};
    if (::poll(&descriptor, 1, 0) < 0)
        return;
    const bool slaveOpen = !(descriptor.revents & POLLHUP);
    if (slaveOpen == m_slaveOpen)
        return;
    m_slaveOpen = slaveOpen;
    Q_EMIT slaveOpenChanged(slaveOpen);
}
