// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "printer.h"

#include <QJsonDocument>

#include <cstdio>

namespace {

bool s_lineOpen = false;

void write(FILE *stream, const QString &text)
{
    Printer::endOpenLine();
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void Printer::result(const QString &text, const QJsonObject &object) const
{
    if (m_json) {
        write(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    } else {
        write(stdout, text);
    }
}

void Printer::text(const QString &text) const
{
    if (!m_json)
        write(stdout, text);
}

void Printer::note(const QString &text) const
{
    write(stderr, text);
}

void Printer::error(const QString &message) const
{
    write(stderr, QStringLiteral("vexbusctl: ") + message);
}

void Printer::setLineOpen(bool open)
{
    s_lineOpen = open;
}

void Printer::endOpenLine()
{
    if (!s_lineOpen)
        return;
    s_lineOpen = false;
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString Printer::field(const QString &label, const QString &value)
{
    return (label + QLatin1Char(':')).leftJustified(20) + value;
}

QString Printer::yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}
