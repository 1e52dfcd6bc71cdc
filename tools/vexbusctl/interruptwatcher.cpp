#include "interruptwatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int s_sockets[2] = {-1, -1};

void handleSignal(int)
{
    const char byte = 1;
    // Nothing but write() is safe here; a full socket means one is pending.
    [[maybe_unused]] const ssize_t written = ::write(s_sockets[0], &byte, 1);
}

} // namespace

InterruptWatcher::InterruptWatcher(QObject *parent) :
    QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, s_sockets) != 0)
        return;

    m_notifier = new QSocketNotifier(s_sockets[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &InterruptWatcher::onActivated);

    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

InterruptWatcher::~InterruptWatcher()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    for (int &socket : s_sockets) {
        if (socket >= 0)
            ::close(socket);
        socket = -1;
    }
}

void InterruptWatcher::onActivated()
{
    char buffer[16];
    while (::read(s_sockets[1], buffer, sizeof(buffer)) > 0) {
    }
    m_interrupted = true;
    emit interrupted();
}
