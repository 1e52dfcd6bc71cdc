// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "benchfigure.h"

#include <QFile>
#include <QJsonDocument>

#include <cstdio>

void BenchFigure::report() const
{
    const QString line = QStringLiteral("%1 %2 %3 %4 | %5 %6 | ratio %7%8")
            .arg(figure, -12)
            .arg(subject, -56)
            .arg(value, 11, 'f', value < 100 ? 3 : 1)
            .arg(unit, -7)
            .arg(referenceName, -24)
            .arg(reference, 11, 'f', reference < 100 ? 3 : 1)
            .arg(ratio(), 7, 'f', 3)
            .arg(goal.isEmpty() ? QString() : QStringLiteral("  (goal %1)").arg(goal));
    std::printf("%s\n", qPrintable(line));
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
    object.insert(QStringLiteral("ratio"), ratio());
    if (!goal.isEmpty())
        object.insert(QStringLiteral("goal"), goal);
    QFile file(path);
    if (file.open(QIODevice::Append))
        file.write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}
