// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "toolprocess.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace NivoraTest {

bool waitForFinished(QProcess *process, int timeoutMs)
{
    if (process->state() == QProcess::NotRunning)
        return true;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    loop.exec();
    return process->state() == QProcess::NotRunning;
}

ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments);
    ToolResult result;
    if (!process.waitForStarted() || !waitForFinished(&process, timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("did not finish: ") + program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

ToolResult runOnTerminal(const QString &program, const QStringList &arguments, int timeoutMs)
{
    ToolResult result;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        result.err = QStringLiteral("no pseudo-terminal for ") + program;
        if (master >= 0)
            ::close(master);
        return result;
    }
    const QString slavePath = QString::fromLocal8Bit(::ptsname(master));
    // Held open until the output is read: the master reads EIO once no one
    // has the slave open. The line discipline is set here, as a terminal
    // emulator would: output post-processed with NL to CR-NL, nothing else.
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios settings;
    if (slave < 0 || ::tcgetattr(slave, &settings) != 0) {
        result.err = QStringLiteral("cannot open ") + slavePath;
        ::close(master);
        if (slave >= 0)
            ::close(slave);
        return result;
    }
    ::cfmakeraw(&settings);
    settings.c_oflag |= OPOST | ONLCR;
    ::tcsetattr(slave, TCSANOW, &settings);

    QByteArray output;
    auto drain = [master, &output]() {
        char buffer[4096];
        ssize_t count;
        while ((count = ::read(master, buffer, sizeof buffer)) > 0)
            output.append(buffer, int(count));
    };
    QSocketNotifier notifier(master, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, drain);

    QProcess process;
    process.setStandardOutputFile(slavePath);
    process.setStandardErrorFile(slavePath);
    process.start(program, arguments);
    const bool finished = process.waitForStarted() && waitForFinished(&process, timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    drain();
    ::close(slave);
    ::close(master);
    if (!finished) {
        result.err = QStringLiteral("did not finish: ") + program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(output);
    return result;
}

EmulatorProcess::~EmulatorProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
}

bool EmulatorProcess::start(const QStringList &arguments)
{
    m_process.start(m_program, QStringList{QStringLiteral("--log")} + arguments);
    if (!m_process.waitForStarted())
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!m_process.canReadLine() && clock.elapsed() < 5000)
        m_process.waitForReadyRead(100);
    m_path = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    return m_path.startsWith(QLatin1String("/dev/"));
}

int EmulatorProcess::stop()
{
    if (m_process.state() != QProcess::NotRunning)
        ::kill(pid_t(m_process.processId()), SIGINT);
    if (!waitForFinished(&m_process, 5000) || m_process.exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process.exitCode();
}

QString EmulatorProcess::log()
{
    m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
    return m_log;
}

} // namespace NivoraTest
