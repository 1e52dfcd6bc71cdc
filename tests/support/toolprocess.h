#ifndef NIVORA_TOOLPROCESS_H
#define NIVORA_TOOLPROCESS_H

#include <QString>
#include <QStringList>

class QProcess;

namespace NivoraTest {

// How a program run by a test ended.
struct ToolResult
{
    int exitCode = -1; // -1 when it crashed or did not finish
    QString out;
    QString err;

    // Exit code and both outputs, for a failure message.
    QString describe() const;
};

// Waits for a process while the event loop runs, so that an emulator or a
// server in the test process keeps answering.
bool waitForFinished(QProcess *process, int timeoutMs);

// Runs a program to its end (or kills it after the time-out).
ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs = 30000);

} // namespace NivoraTest

#endif // NIVORA_TOOLPROCESS_H
