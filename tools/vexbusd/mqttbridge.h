// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_MQTTBRIDGE_H
#define VEXBUSD_MQTTBRIDGE_H

#include "servicesettings.h"

#include <QHash>
#include <QObject>

class AdapterManager;
class FleetPolicyAgent;
class ManagedAdapter;
class MqttAdapter;
class MqttClient;

// The service's adapters on an MQTT broker that many gateways share:
// BASE/bridge/GATEWAY/state says whether this gateway's service is there
// (the broker's last will says offline), each adapter is an MqttAdapter
// below BASE/ID/, and commands arrive on BASE/ID/write, press, reset and
// update/install of this gateway's adapters only. In Home Assistant the
// gateway is a device of its own, which its adapters name as via_device.
// The fleet policy arrives as the retained BASE/fleet/policy, and the
// gateway's view of it is the retained BASE/bridge/GATEWAY/policy.
// A front end like the D-Bus service: it follows the adapter manager and
// owns no adapter.
class MqttBridge : public QObject
{
    Q_OBJECT

public:
    MqttBridge(AdapterManager *manager, const ServiceSettings::Mqtt &settings, const QString &gatewayId,
               const QString &password, bool releaseKeysTrusted, QObject *parent = nullptr);
    // Says offline on BASE/bridge/GATEWAY/state and leaves the broker.
    ~MqttBridge() override;

    // Takes fleet policies from the broker and publishes the gateway's
    // policy state; before start().
    void setPolicyAgent(FleetPolicyAgent *agent);
    // Attaches to the manager's adapters and connects; before manager->start().
    void start();

private:
    void onClientConnected();
    void onClientMessageReceived(const QString &topic, const QByteArray &payload);
    void onManagerAdapterAdded(ManagedAdapter *adapter);
    void onManagerAdapterRemoved(ManagedAdapter *adapter);
    QString bridgeStateTopic() const;
    QString fleetPolicyTopic() const;
    void onFleetPolicyMessage(const QByteArray &payload);
    void publishPolicyState();
    void publishGatewayDiscovery();

    AdapterManager *m_manager;
    ServiceSettings::Mqtt m_settings;
    QString m_gatewayId;
    bool m_releaseKeysTrusted;
    MqttClient *m_client;
    FleetPolicyAgent *m_policyAgent = nullptr;
    QHash<QString, MqttAdapter *> m_adapters; // by topic id
};

#endif // VEXBUSD_MQTTBRIDGE_H
