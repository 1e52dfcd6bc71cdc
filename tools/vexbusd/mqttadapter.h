// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_MQTTADAPTER_H
#define VEXBUSD_MQTTADAPTER_H

#include "mqttcommand.h"
#include "outcome.h"
#include "servicesettings.h"
#include "updaterecord.h"

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
                const QString &gatewayId, bool releaseKeysTrusted, QObject *parent = nullptr);

    // The text as one topic level: characters other than A-Z, a-z, 0-9, -
    // and _ become _.
    static QString topicLevelOf(const QString &text);
    // The adapter's topic level: its serial number, which is the same on
    // any gateway; without one its port, which another gateway has too,
    // after the gateway id ("GATEWAY_dev_ttyUSB0").
    static QString topicIdOf(const ManagedAdapter *adapter, const QString &gatewayId);
    static QString bridgeStateTopic(const ServiceSettings::Mqtt &settings, const QString &gatewayId);
    // The gateway's device in Home Assistant.
    static QString gatewayNode(const QString &gatewayId);
    // The commands below BASE/ID/.
    static QStringList commands();
    QString topicId() const { return m_topicId; }
    ManagedAdapter *adapter() const { return m_adapter; }

    // Everything retained, again: after the client (re)connected.
    void publishAll();
    // Takes the adapter's commands from the broker; leave() stops.
    void subscribe();
    // The service stops: offline until it is back.
    void publishOffline();
    // The adapter left: offline, and its entities and retained values go.
    void leave();
    // command is write, press, reset or update/install.
    void handleCommand(const QString &command, const QByteArray &payload);

    // The answer to a command on its response topic.
    QByteArray response(const Outcome &outcome, const QJsonValue &transaction) const;

private:
    QString topic(const QString &leaf) const;
    bool commandAllowed(const QString &command) const;
    void run(const QString &command, const MqttCommand &request);
    void respond(const QString &command, const Outcome &outcome, const QJsonValue &transaction);
    // An update's origin in the history: MQTT, and the command's transaction.
    static UpdateOrigin originOf(const QJsonValue &transaction);

    void markChanged();
    void publishChanges();
    void publishRetained(const QString &topic, const QByteArray &payload);
    QByteArray stateJson() const;
    void publishUpdate();
    // The update's payloads with the progress at percentage.
    QByteArray updateJson(double percentage) const;
    QByteArray updateStatusJson(double percentage) const;
    void publishFrame(const QByteArray &frame);
    QByteArray framePayload(const QByteArray &frame, qint64 receivedMs);
    QHash<QString, QByteArray> discoveryConfigs() const;
    void checkRelease();
    void onHistoryEntryEnded(const UpdateRecord &record);

    ManagedAdapter *m_adapter;
    MqttClient *m_client;
    ServiceSettings::Mqtt m_settings;
    bool m_releaseKeysTrusted;
    QString m_gatewayId;
    QString m_topicId;
    // A frame's topic, and its time stamp up to the second, as they go out
    // on the broker: at line rate they are made once, not for every frame.
    QByteArray m_frameTopic;
    qint64 m_frameSecond = -1;
    QByteArray m_frameSecondText;
    QByteArray m_lastUpdate;
    QString m_latestVersion;
    bool m_changePending = false;
    // What went out retained, by topic: unchanged values are not sent again.
    QHash<QString, QByteArray> m_published;
    // The update's progress goes out in steps of this many percent.
    static constexpr double progressStep = 5;
    double m_publishedPercentage = 0;
    QTimer *m_releaseTimer;
};

#endif // VEXBUSD_MQTTADAPTER_H
