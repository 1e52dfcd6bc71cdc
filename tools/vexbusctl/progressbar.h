// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_PROGRESSBAR_H
#define VEXBUSCTL_PROGRESSBAR_H

#include <QElapsedTimer>
#include <QString>

class Printer;

// Shows the progress of writing an image: on a terminal one line redrawn in
// place (bar, percentage, rows written, rate, time left), otherwise a plain
// line at every tenth of the way, and in JSON mode one object per step.
class ProgressBar
{
public:
    ProgressBar(const Printer *printer, int rowCount, int byteCount);

    // Percentage as the bootloader handler reports it (0 to 100).
    void update(double percentage);
    // Ends the redrawn line so that the next output starts on a new one.
    void finish();

private:
    // The line as it is drawn on a terminal.
    static QString render(double percentage, int rowsWritten, int rowCount, double bytesPerSecond,
                          double secondsLeft, int width);

    const Printer *m_printer;
    int m_rowCount;
    int m_byteCount;
    bool m_terminal;
    int m_lastStep = -1;
    double m_lastPercentage = -1;
    double m_startPercentage = 0;
    QElapsedTimer m_clock;
};

#endif // VEXBUSCTL_PROGRESSBAR_H
