// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_MQTTCOMMAND_H
#define VEXBUSD_MQTTCOMMAND_H

#include "outcome.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// The payload of a command that arrives on MQTT, read and checked without
// the broker or the adapter: a JSON object (or nothing, for Home
// Assistant's buttons and a plain reset) whose "transaction" goes back with
// the response and whose other keys are the command's arguments.
class MqttCommand
{
public:
    // Commands and JSON payloads beyond this size are refused unread.
    static constexpr int maximumPayload = 4096; // bytes
    static constexpr int defaultPressDuration = 200; // ms

    // Reads the payload; refusal() tells when it is too large or no JSON object.
    static MqttCommand read(const QByteArray &payload);

    // Checks the arguments of command (write, press, reset or
    // update/install) as their sender gave them.
    Outcome validate(const QString &command) const;

    Outcome refusal() const { return m_refusal; }
    // Undefined when the payload does not name one, or could not be read.
    QJsonValue transaction() const { return m_transaction; }
    QJsonObject arguments() const { return m_arguments; }

    // The arguments of a valid write and press.
    QByteArray frame() const;
    QString module() const;
    QString button() const;
    unsigned int milliseconds() const;

private:
    Outcome m_refusal;
    QJsonValue m_transaction = QJsonValue::Undefined;
    QJsonObject m_arguments;
};

#endif // VEXBUSD_MQTTCOMMAND_H
