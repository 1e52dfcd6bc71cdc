// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "printer.h"

#include <QJsonDocument>

#include <algorithm>
#include <cstdio>

namespace {

bool s_lineOpen = false;

void writeBytes(FILE *stream, const QByteArray &line)
{
    Printer::endOpenLine();
    std::fwrite(line.constData(), 1, size_t(line.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void write(FILE *stream, const QString &text)
{
    writeBytes(stream, text.toLocal8Bit());
}

// A JSON string as QJsonDocument writes it: quote, backslash and control
// characters escaped, everything else as it is, in UTF-8.
void appendJsonString(QString *json, const QString &value)
{
    json->append(QLatin1Char('"'));
    const bool plain = std::none_of(value.cbegin(), value.cend(), [](QChar character) {
        return character.unicode() < 0x20 || character == QLatin1Char('"') || character == QLatin1Char('\\');
    });
    if (plain) {
        json->append(value).append(QLatin1Char('"'));
        return;
    }
    for (const QChar character : value) {
        const ushort code = character.unicode();
        switch (code) {
        case '"': json->append(QLatin1String("\\\"")); break;
        case '\\': json->append(QLatin1String("\\\\")); break;
        case '\b': json->append(QLatin1String("\\b")); break;
        case '\f': json->append(QLatin1String("\\f")); break;
        case '\n': json->append(QLatin1String("\\n")); break;
        case '\r': json->append(QLatin1String("\\r")); break;
        case '\t': json->append(QLatin1String("\\t")); break;
        default:
            if (code < 0x20)
                json->append(QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0')));
            else
                json->append(character);
        }
    }
    json->append(QLatin1Char('"'));
}

} // namespace

void Printer::jsonLine(std::initializer_list<std::pair<QLatin1String, QString>> members) const
{
    if (!m_json)
        return;
    QString json;
    json.reserve(128);
    json.append(QLatin1Char('{'));
    for (const auto &member : members) {
        if (json.size() > 1)
            json.append(QLatin1Char(','));
        json.append(QLatin1Char('"')).append(member.first).append(QLatin1String("\":"));
        appendJsonString(&json, member.second);
    }
    json.append(QLatin1Char('}'));
    write(stdout, json);
}

void Printer::result(const QString &text, const QJsonObject &object) const
{
    if (m_json) {
        write(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    } else {
        write(stdout, text);
    }
}

void Printer::asciiLine(const QByteArray &line) const
{
    writeBytes(stdout, line);
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
