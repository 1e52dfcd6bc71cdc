// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_MQTTADAPTER_H
#define VEXBUSD_MQTTADAPTER_H

#include "mqttcommand.h"
#include "outcome.h"
#include "servicesettings.h"

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>

class ManagedAdapter;
class MqttClient;
class QTimer;

// One adapter on MQTT: its state, availability, frames and update below
// BASE/ID/, its Home Assistant discovery configurations, and the commands
// that arrive for it, each answered on the command's response topic.
// Retained values go out when they change and again after each connection.
class MqttAdapter : public QObject
{
    Q_OBJECT

public:
    // Commands and JSON payloads beyond this size are refused unread.
    static constexpr int maximumCommandPayload = MqttCommand::maximumPayload; // bytes
    static constexpr int releaseCheckInterval = 24 * 60 * 60 * 1000; // ms

    MqttAdapter(ManagedAdapter *adapter, MqttClient *client, const ServiceSettings::Mqtt &settings,
                bool releaseKeysTrusted, QObject *parent = nullptr);

    // The adapter's key as one topic level: characters other than A-Z,
    // a-z, 0-9, - and _ become _.
    static QString topicIdOf(const QString &key);
    QString topicId() const { return m_topicId; }
    ManagedAdapter *adapter() const { return m_adapter; }

    // Everything retained, again: after the client (re)connected.
    void publishAll();
    // The service stops: offline until it is back.
    void publishOffline();
    // The adapter left: offline, and its entities and retained values go.
    void leave();
    // command is write, press, reset or update/install.
    void handleCommand(const QString &command, const QByteArray &payload);

    // The answer to a command on its response topic.
    static QByteArray response(const Outcome &outcome, const QJsonValue &transaction);

private:
    QString topic(const QString &leaf) const;
    bool commandAllowed(const QString &command) const;
    void run(const QString &command, const MqttCommand &request);
    void respond(const QString &command, const Outcome &outcome, const QJsonValue &transaction);

    void markChanged();
    void publishChanges();
    void publishRetained(const QString &topic, const QByteArray &payload);
    QByteArray stateJson() const;
    QByteArray updateJson() const;
    QByteArray updateStatusJson() const;
    void publishFrame(const QByteArray &frame);
    QHash<QString, QByteArray> discoveryConfigs() const;
    void checkRelease();

    ManagedAdapter *m_adapter;
    MqttClient *m_client;
    ServiceSettings::Mqtt m_settings;
    bool m_releaseKeysTrusted;
    QString m_topicId;
    QString m_latestVersion;
    bool m_changePending = false;
    // What went out retained, by topic: unchanged values are not sent again.
    QHash<QString, QByteArray> m_published;
    QTimer *m_releaseTimer;
};

#endif // VEXBUSD_MQTTADAPTER_H
