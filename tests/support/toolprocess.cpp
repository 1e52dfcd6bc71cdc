#include "toolprocess.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>

namespace NivoraTest {

QString ToolResult::describe() const
{
    return QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3").arg(exitCode).arg(out, err);
}

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

} // namespace NivoraTest
