#include "printer.h"

#include <QJsonDocument>

#include <cstdio>

namespace {

void write(FILE *stream, const QString &text)
{
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

QString Printer::field(const QString &label, const QString &value)
{
    return (label + QLatin1Char(':')).leftJustified(20) + value;
}

QString Printer::yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}
