// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_BENCH_BENCHFIGURE_H
#define NIVORA_BENCH_BENCHFIGURE_H

#include <QJsonObject>
#include <QString>

// One figure of a benchmark run, measured beside its reference in the same
// run: printed as one line with the ratio, and appended as a JSON object to
// the file named by BENCH_RESULTS (one object a line), if it is set.
struct BenchFigure
{
    QString figure;         // "update", "decode", "line rate", "request", "instructions"
    QString subject;        // what was measured, e.g. "sample image, 16 ms timer, low latency"
    double value = 0;
    QString unit;
    QString referenceName;  // e.g. "wire-time limit", "plain C loop"
    double reference = 0;
    QString goal;           // for the ratio, e.g. "<= 1.10"; empty when there is none
    QJsonObject details;

    double ratio() const { return reference != 0 ? value / reference : 0; }
    void report() const;
};

#endif // NIVORA_BENCH_BENCHFIGURE_H
