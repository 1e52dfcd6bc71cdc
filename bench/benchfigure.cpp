// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "benchfigure.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>
#include <cstdio>

double benchMedian(QVector<double> values)
{
    if (values.isEmpty())
        return NAN;
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

volatile unsigned long *benchMappedCounter(QFile *file, const QString &path)
{
    file->setFileName(path);
    if (path.isEmpty() || !file->open(QIODevice::ReadWrite))
        return nullptr;
    return reinterpret_cast<volatile unsigned long *>(file->map(0, sizeof(unsigned long)));
}

static QVector<double> roundRatios(const QVector<double> &values, const QVector<double> &references)
{
    QVector<double> ratios;
    for (int i = 0; i < values.size() && i < references.size(); ++i)
        if (references.at(i) != 0)
            ratios.append(values.at(i) / references.at(i));
    return ratios;
}

void BenchFigure::addRound(double roundValue, double roundReference)
{
    values.append(roundValue);
    references.append(roundReference);
    value = benchMedian(values);
    reference = benchMedian(references);
}

double BenchFigure::ratio() const
{
    if (values.size() > 1)
        return benchMedian(roundRatios(values, references));
    return reference != 0 ? value / reference : 0;
}

static QString spread(const QVector<double> &numbers)
{
    const auto [min, max] = std::minmax_element(numbers.begin(), numbers.end());
    const int precision = *max < 100 ? 3 : 1;
    return QStringLiteral("%1/%2/%3").arg(*min, 0, 'f', precision).arg(benchMedian(numbers), 0, 'f', precision)
            .arg(*max, 0, 'f', precision);
}

static QJsonArray jsonArray(const QVector<double> &numbers)
{
    QJsonArray array;
    for (const double number : numbers)
        array.append(number);
    return array;
}

void BenchFigure::report() const
{
    const double shownRatio = ratio();
    const QString line = QStringLiteral("%1 %2 %3 %4 | %5 %6 | ratio %7%8")
            .arg(figure, -12)
            .arg(subject, -56)
            .arg(value, 11, 'f', value < 100 ? 3 : 1)
            .arg(unit, -7)
            .arg(referenceName, -24)
            .arg(reference, 11, 'f', reference < 100 ? 3 : 1)
            .arg(shownRatio, 7, 'f', 3)
            .arg(goal.isEmpty() ? QString() : QStringLiteral("  (goal %1)").arg(goal));
    std::printf("%s\n", qPrintable(line));
    const bool inRounds = values.size() > 1;
    if (inRounds) {
        const QVector<double> ratios = roundRatios(values, references);
        std::printf("%-12s   %d rounds, min/median/max: value %s, reference %s, ratio %s\n", "", int(values.size()),
                    qPrintable(spread(values)), qPrintable(spread(references)), qPrintable(spread(ratios)));
    }
    std::fflush(stdout);

    const QString path = qEnvironmentVariable("BENCH_RESULTS");
    if (path.isEmpty())
        return;
    QJsonObject object = details;
    object.insert(QStringLiteral("figure"), figure);
    object.insert(QStringLiteral("subject"), subject);
    object.insert(QStringLiteral("value"), value);
    object.insert(QStringLiteral("unit"), unit);
    object.insert(QStringLiteral("reference"), reference);
    object.insert(QStringLiteral("referenceName"), referenceName);
    object.insert(QStringLiteral("ratio"), shownRatio);
    if (inRounds) {
        object.insert(QStringLiteral("values"), jsonArray(values));
        object.insert(QStringLiteral("references"), jsonArray(references));
    }
    if (!goal.isEmpty())
        object.insert(QStringLiteral("goal"), goal);
    QFile file(path);
    if (file.open(QIODevice::Append))
        file.write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}
