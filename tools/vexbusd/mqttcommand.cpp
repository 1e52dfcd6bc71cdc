// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "mqttcommand.h"

#include "adapter/nivoravexbususbadapter.h"

#include <QJsonDocument>
#include <QStringList>

using NivoraVexbusUsb::NivoraVexbusUsbAdapter;

namespace {

constexpr int maximumFrameSize = 255; // bytes, one write request

Outcome invalid(const QString &message)
{
    return Outcome(Outcome::InvalidArgument, message + QStringLiteral(" Nothing was sent."));
}

bool isHex(const QString &text)
{
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
              || (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    }
    return true;
}

} // namespace

MqttCommand MqttCommand::read(const QByteArray &payload)
{
    MqttCommand command;
    if (payload.size() > maximumPayload) {
        command.m_refusal = invalid(QStringLiteral("The payload has %1 bytes; a command has at most %2.")
                                    .arg(payload.size()).arg(maximumPayload));
        return command;
    }
    // Home Assistant's buttons and an operator's plain reset send no JSON
    // at all; an empty payload is an empty request.
    if (payload.trimmed().isEmpty())
        return command;

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        command.m_refusal = invalid(error.error != QJsonParseError::NoError
                                    ? QStringLiteral("The payload is not JSON: %1 at offset %2.").arg(error.errorString()).arg(error.offset)
                                    : QStringLiteral("The payload is not a JSON object."));
        return command;
    }
    command.m_arguments = document.object();
    command.m_transaction = command.m_arguments.take(QStringLiteral("transaction"));
    return command;
}

Outcome MqttCommand::validate(const QString &command) const
{
    QStringList keys;
    if (command == QLatin1String("write"))
        keys = QStringList{QStringLiteral("data")};
    else if (command == QLatin1String("press"))
        keys = QStringList{QStringLiteral("module"), QStringLiteral("button"), QStringLiteral("ms")};
    for (auto it = m_arguments.constBegin(); it != m_arguments.constEnd(); ++it) {
        if (!keys.contains(it.key()))
            return invalid(QStringLiteral("The %1 command knows no key \"%2\"; it takes %3.")
                           .arg(command, it.key(), (keys + QStringList{QStringLiteral("transaction")}).join(QStringLiteral(", "))));
    }
    if (command == QLatin1String("write")) {
        const QString data = m_arguments.value(QStringLiteral("data")).toString();
        if (data.isEmpty() || data.size() % 2 != 0 || !isHex(data))
            return invalid(QStringLiteral("\"data\" must be the frame as hexadecimal text with two digits a byte."));
        if (data.size() / 2 > maximumFrameSize)
            return invalid(QStringLiteral("The frame has %1 bytes, but at most %2 bytes fit in one write request.")
                           .arg(data.size() / 2).arg(maximumFrameSize));
    } else if (command == QLatin1String("press")) {
        if (!m_arguments.value(QStringLiteral("module")).isString() || !m_arguments.value(QStringLiteral("button")).isString())
            return invalid(QStringLiteral("\"module\" and \"button\" must be names, such as \"app\" and \"open\"."));
        const QJsonValue ms = m_arguments.value(QStringLiteral("ms"));
        const double duration = ms.toDouble(defaultPressDuration);
        // In range before it is compared with its whole part: converting a
        // number beyond qint64 (1e300) is undefined.
        if ((!ms.isUndefined() && !ms.isDouble()) || !(duration >= 1 && duration <= NivoraVexbusUsbAdapter::maximumPressDuration)
                || duration != double(qint64(duration)))
            return invalid(QStringLiteral("\"ms\" must be a whole number of milliseconds from 1 to %1.")
                           .arg(NivoraVexbusUsbAdapter::maximumPressDuration));
    }
    return Outcome();
}

QByteArray MqttCommand::frame() const
{
    return QByteArray::fromHex(m_arguments.value(QStringLiteral("data")).toString().toLatin1());
}

QString MqttCommand::module() const
{
    return m_arguments.value(QStringLiteral("module")).toString();
}

QString MqttCommand::button() const
{
    return m_arguments.value(QStringLiteral("button")).toString();
}

unsigned int MqttCommand::milliseconds() const
{
    return static_cast<unsigned int>(m_arguments.value(QStringLiteral("ms")).toDouble(defaultPressDuration));
}
