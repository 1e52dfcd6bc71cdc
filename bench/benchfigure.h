// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_BENCH_BENCHFIGURE_H
#define NIVORA_BENCH_BENCHFIGURE_H

#include <QJsonObject>
#include <QString>
#include <QVector>

// One figure of a benchmark run, measured beside its reference in the same
// run: printed as one line with the ratio, and appended as a JSON object to
// the file named by BENCH_RESULTS (one object a line), if it is set.
//
// A figure measured in rounds, each round the value and its reference at the
// same time or one right after the other, gives them with addRound(): it is
// then reported as the medians, the ratio as the median of the rounds' own
// ratios (what the machine's state did to both cancels within a round), and
// a second line with the spread (min/median/max) of each.
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

    // The rounds so far; value and reference are their medians once given.
    QVector<double> values;
    QVector<double> references;

    void addRound(double roundValue, double roundReference);
    double ratio() const;
    void report() const;
};

// The median of the values (NAN when there are none).
double benchMedian(QVector<double> values);

class QFile;
// A counter of frames that another process watches: the file at path (an
// unsigned long) mapped through file; nullptr for an empty path.
volatile unsigned long *benchMappedCounter(QFile *file, const QString &path);

#endif // NIVORA_BENCH_BENCHFIGURE_H
