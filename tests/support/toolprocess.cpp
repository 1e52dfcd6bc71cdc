// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "toolprocess.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <csignal>

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
