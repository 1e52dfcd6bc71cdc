// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "progressbar.h"
#include "printer.h"

#include <QJsonObject>

#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int barWidth = 30;

QString duration(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        return QStringLiteral("--:--");
    const int total = int(std::lround(seconds));
    return QStringLiteral("%1:%2").arg(total / 60).arg(total % 60, 2, 10, QLatin1Char('0'));
}

QString rate(double bytesPerSecond)
{
    if (bytesPerSecond >= 1024)
        return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024, 0, 'f', 1);
    return QStringLiteral("%1 B/s").arg(bytesPerSecond, 0, 'f', 0);
}

} // namespace

ProgressBar::ProgressBar(const Printer *printer, int rowCount, int byteCount) :
    m_printer(printer),
    m_rowCount(rowCount),
    m_byteCount(byteCount),
    m_terminal(!printer->json() && ::isatty(STDOUT_FILENO))
{
}

QString ProgressBar::render(double percentage, int rowsWritten, int rowCount, double bytesPerSecond,
                            double secondsLeft, int width)
{
    const int filled = qBound(0, int(percentage * width / 100.0), width);
    return QStringLiteral("[%1%2] %3%  %4/%5 rows  %6  %7 left")
            .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
            .arg(percentage, 5, 'f', 1)
            .arg(rowsWritten)
            .arg(rowCount)
            .arg(rate(bytesPerSecond), duration(secondsLeft));
}

void ProgressBar::update(double percentage)
{
    if (percentage == m_lastPercentage)
        return;
    // The rate counts from the first report, when the bootloader took the
    // first bytes.
    if (m_lastPercentage < 0) {
        m_clock.start();
        m_startPercentage = percentage;
    }
    m_lastPercentage = percentage;

    const int rowsWritten = int(std::floor(percentage * m_rowCount / 100.0 + 1e-9));
    const double seconds = m_clock.elapsed() / 1000.0;
    const double bytes = percentage * m_byteCount / 100.0;
    const double bytesPerSecond = seconds > 0 ? (percentage - m_startPercentage) * m_byteCount / 100.0 / seconds : 0;
    const double secondsLeft = bytesPerSecond > 0 ? (m_byteCount - bytes) / bytesPerSecond : NAN;

    if (m_terminal) {
        const QByteArray line = "\r" + render(percentage, rowsWritten, m_rowCount, bytesPerSecond, secondsLeft, barWidth)
                                               .toLocal8Bit() + "\033[K";
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
        Printer::setLineOpen(true);
        return;
    }

    // Without a terminal every tenth of the way is one line.
    const int step = int(percentage / 10.0);
    if (step == m_lastStep)
        return;
    m_lastStep = step;
    QJsonObject object;
    object.insert(QStringLiteral("event"), QStringLiteral("progress"));
    object.insert(QStringLiteral("percentage"), std::round(percentage * 10) / 10);
    object.insert(QStringLiteral("rowsWritten"), rowsWritten);
    object.insert(QStringLiteral("rowCount"), m_rowCount);
    m_printer->result(QStringLiteral("progress %1% (%2/%3 rows, %4)")
                              .arg(percentage, 0, 'f', 1).arg(rowsWritten).arg(m_rowCount).arg(rate(bytesPerSecond)),
                      object);
}

void ProgressBar::finish()
{
    Printer::endOpenLine();
}
