// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_MQTTBRIDGE_H
#define VEXBUSD_MQTTBRIDGE_H

#include "servicesettings.h"

#include <QHash>
#include <QObject>

class AdapterManager;
class ManagedAdapter;
class MqttAdapter;
class MqttClient;

// The service's adapters on an MQTT broker: BASE/bridge/state says whether
// the service is there (the broker's last will says offline), each adapter
// is an MqttAdapter below BASE/ID/, and commands arrive on BASE/+/write,
// press, reset and update/install. A front end like the D-Bus service: it
// follows the adapter manager and owns no adapter.
class MqttBridge : public QObject
{
    Q_OBJECT

public:
    MqttBridge(AdapterManager *manager, const ServiceSettings::Mqtt &settings, const QString &password,
               bool releaseKeysTrusted, QObject *parent = nullptr);
    // Says offline on BASE/bridge/state and leaves the broker.
    ~MqttBridge() override;

    // Attaches to the manager's adapters and connects; before manager->start().
    void start();

private:
    void onClientConnected();
    void onClientMessageReceived(const QString &topic, const QByteArray &payload);
    void onManagerAdapterAdded(ManagedAdapter *adapter);
    void onManagerAdapterRemoved(ManagedAdapter *adapter);
    QString bridgeStateTopic() const;

    AdapterManager *m_manager;
    ServiceSettings::Mqtt m_settings;
    bool m_releaseKeysTrusted;
    MqttClient *m_client;
    QHash<QString, MqttAdapter *> m_adapters; // by topic id
};

#endif // VEXBUSD_MQTTBRIDGE_H
