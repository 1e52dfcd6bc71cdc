// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_TOOLPROCESS_H
#define NIVORA_TOOLPROCESS_H

#include <QProcess>
#include <QString>
#include <QStringList>

namespace NivoraTest {

// How a program run by a test ended.
struct ToolResult
{
    int exitCode = -1; // -1 when it crashed or did not finish
    QString out;
    QString err;

    // Exit code and both outputs, for a failure message.
    QString describe() const { return QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3").arg(exitCode).arg(out, err); }
};

// Waits for a process while the event loop runs, so that an emulator or a
// server in the test process keeps answering.
bool waitForFinished(QProcess *process, int timeoutMs);

// Runs a program to its end (or kills it after the time-out).
ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs = 30000);

// Runs a program with its standard output and error on a pseudo-terminal of
// the test's own, as in a terminal window; out holds what the terminal
// received, err stays empty.
ToolResult runOnTerminal(const QString &program, const QStringList &arguments, int timeoutMs = 30000);

// vexbus-emulator in the background, on a pseudo-terminal of its own,
// logging the requests it receives; terminated when destroyed.
class EmulatorProcess
{
public:
    explicit EmulatorProcess(const QString &program) : m_program(program) {}
    ~EmulatorProcess();

    // Starts it and waits for the tty's path, its first line on stdout.
    bool start(const QStringList &arguments);
    // Terminates it as Ctrl-C would and returns its exit code (-1 when it
    // crashed or did not end).
    int stop();

    QString path() const { return m_path; }
    QProcess *process() { return &m_process; }
    // What the emulator wrote on stderr so far: its log of requests received.
    QString log();

private:
    QString m_program;
    QProcess m_process;
    QString m_path;
    QString m_log;
};

} // namespace NivoraTest

#endif // NIVORA_TOOLPROCESS_H
