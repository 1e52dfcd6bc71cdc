// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "mqttbridge.h"
#include "adaptermanager.h"
#include "fleetpolicyagent.h"
#include "managedadapter.h"
#include "mqttadapter.h"
#include "mqttclient.h"
#include "vexbusdlogging.h"

#include "nivoravexbususbversion.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

MqttBridge::MqttBridge(AdapterManager *manager, const ServiceSettings::Mqtt &settings, const QString &gatewayId,
                       const QString &password, bool releaseKeysTrusted, QObject *parent)
    : QObject(parent),
      m_manager(manager),
      m_settings(settings),
      m_gatewayId(gatewayId),
      m_releaseKeysTrusted(releaseKeysTrusted)
{
    MqttClient::Options options;
    options.host = settings.host;
    options.port = settings.port;
    options.tls = settings.tls;
    options.caFile = settings.caFile;
    // One configuration file on every gateway: the broker drops a client
    // whose id another one takes, so each gateway's is its own.
    options.clientId = settings.clientId + QLatin1Char('-') + gatewayId;
    options.user = settings.user;
    options.password = password;
    options.willTopic = bridgeStateTopic();
    options.willPayload = QByteArrayLiteral("offline");
    m_client = new MqttClient(options, this);
    connect(m_client, &MqttClient::connected, this, &MqttBridge::onClientConnected);
    connect(m_client, &MqttClient::messageReceived, this, &MqttBridge::onClientMessageReceived);
}

MqttBridge::~MqttBridge()
{
    // The service no longer answers for its adapters.
    for (MqttAdapter *adapter : qAsConst(m_adapters))
        adapter->publishOffline();
    m_client->disconnectWith(bridgeStateTopic(), QByteArrayLiteral("offline"));
}

QString MqttBridge::bridgeStateTopic() const
{
    return MqttAdapter::bridgeStateTopic(m_settings, m_gatewayId);
}

QString MqttBridge::fleetPolicyTopic() const
{
    return m_settings.baseTopic + QStringLiteral("/fleet/policy");
}

void MqttBridge::setPolicyAgent(FleetPolicyAgent *agent)
{
    m_policyAgent = agent;
    connect(agent, &FleetPolicyAgent::stateChanged, this, &MqttBridge::publishPolicyState);
}

void MqttBridge::publishPolicyState()
{
    if (!m_policyAgent || !m_client->isConnected())
        return;
    m_client->publish(m_settings.baseTopic + QStringLiteral("/bridge/") + m_gatewayId + QStringLiteral("/policy"),
                      QJsonDocument(m_policyAgent->stateJson()).toJson(QJsonDocument::Compact), true);
}

// The exact signed bytes and their signature, each in base64, so that the
// gateway verifies what the publisher signed.
void MqttBridge::onFleetPolicyMessage(const QByteArray &payload)
{
    // A cleared retained message withdraws nothing: the newest policy holds.
    if (payload.isEmpty())
        return;
    // Base64 of the largest policy and its signature, with room for the keys.
    if (payload.size() > 2 * FleetPolicy::maximumSize) {
        m_policyAgent->refuseMalformed(payload.left(1024), QLatin1String(FleetPolicyAgent::sourceMqtt),
                                       QStringLiteral("the message on %1 has %2 bytes, more than a policy needs.")
                                       .arg(fleetPolicyTopic()).arg(payload.size()));
        return;
    }
    const QJsonObject message = QJsonDocument::fromJson(payload).object();
    const auto base64 = [&message](const char *name, QByteArray *data) {
        const QJsonValue value = message.value(QLatin1String(name));
        if (!value.isString())
            return false;
        const QByteArray text = value.toString().toLatin1();
        *data = QByteArray::fromBase64(text);
        // fromBase64 skips what is no base64; a payload that had some is refused.
        return data->toBase64() == text || data->toBase64(QByteArray::OmitTrailingEquals) == text;
    };
    QByteArray policy;
    QByteArray signature;
    if (!base64("policy", &policy) || policy.isEmpty()) {
        m_policyAgent->refuseMalformed(payload, QLatin1String(FleetPolicyAgent::sourceMqtt),
                                       QStringLiteral("the message on %1 is not {\"policy\": BASE64, \"signature\": BASE64}.")
                                       .arg(fleetPolicyTopic()));
        return;
    }
    if (message.contains(QStringLiteral("signature")) && !base64("signature", &signature)) {
        m_policyAgent->refuseMalformed(payload, QLatin1String(FleetPolicyAgent::sourceMqtt),
                                       QStringLiteral("the signature on %1 is not base64.").arg(fleetPolicyTopic()));
        return;
    }
    m_policyAgent->offer(policy, signature, QLatin1String(FleetPolicyAgent::sourceMqtt));
}

void MqttBridge::start()
{
    connect(m_manager, &AdapterManager::adapterAdded, this, &MqttBridge::onManagerAdapterAdded);
    connect(m_manager, &AdapterManager::adapterRemoved, this, &MqttBridge::onManagerAdapterRemoved);
    for (ManagedAdapter *adapter : m_manager->adapters())
        onManagerAdapterAdded(adapter);
    m_client->start();
}

void MqttBridge::onClientConnected()
{
    m_client->publish(bridgeStateTopic(), QByteArrayLiteral("online"), true);
    publishGatewayDiscovery();
    if (m_policyAgent) {
        m_client->subscribe(fleetPolicyTopic());
        publishPolicyState();
    }
    for (MqttAdapter *adapter : qAsConst(m_adapters)) {
        adapter->subscribe();
        adapter->publishAll();
    }
}

void MqttBridge::publishGatewayDiscovery()
{
    if (!m_settings.discovery)
        return;
    // The gateway as a device: its bridge's connection, which stays
    // readable (off) while the bridge is away.
    const QString node = MqttAdapter::gatewayNode(m_gatewayId);
    const QJsonObject config{
        {QStringLiteral("name"), QStringLiteral("Bridge")},
        {QStringLiteral("unique_id"), node + QStringLiteral("_bridge")},
        {QStringLiteral("default_entity_id"), QStringLiteral("binary_sensor.") + node.toLower() + QStringLiteral("_bridge")},
        {QStringLiteral("state_topic"), bridgeStateTopic()},
        {QStringLiteral("payload_on"), QStringLiteral("online")},
        {QStringLiteral("payload_off"), QStringLiteral("offline")},
        {QStringLiteral("device_class"), QStringLiteral("connectivity")},
        {QStringLiteral("entity_category"), QStringLiteral("diagnostic")},
        {QStringLiteral("device"), QJsonObject{
             {QStringLiteral("identifiers"), QJsonArray{node}},
             {QStringLiteral("name"), QStringLiteral("Vexbus gateway %1").arg(m_gatewayId)},
             {QStringLiteral("manufacturer"), QStringLiteral("Nivora")},
             {QStringLiteral("model"), QStringLiteral("Vexbus gateway")},
             {QStringLiteral("sw_version"), QStringLiteral(NIVORAVEXBUSUSB_VERSION_STRING)}}},
        {QStringLiteral("origin"), QJsonObject{{QStringLiteral("name"), QStringLiteral("vexbusd")},
                                               {QStringLiteral("sw_version"), QStringLiteral(NIVORAVEXBUSUSB_VERSION_STRING)}}},
    };
    m_client->publish(QStringLiteral("%1/binary_sensor/%2/bridge/config").arg(m_settings.discoveryPrefix, node),
                      QJsonDocument(config).toJson(QJsonDocument::Compact), true);
}

void MqttBridge::onClientMessageReceived(const QString &topic, const QByteArray &payload)
{
    if (m_policyAgent && topic == fleetPolicyTopic()) {
        onFleetPolicyMessage(payload);
        return;
    }
    const QString prefix = m_settings.baseTopic + QLatin1Char('/');
    if (!topic.startsWith(prefix))
        return;
    const QString rest = topic.mid(prefix.size());
    const int slash = rest.indexOf(QLatin1Char('/'));
    const QString id = rest.left(slash);
    const QString command = rest.mid(slash + 1);
    if (slash <= 0 || !MqttAdapter::commands().contains(command))
        return;
    // The adapter of another gateway, which answers itself; this one keeps
    // silent. It subscribes to its own adapters only, but a command may
    // arrive just after its adapter left.
    if (MqttAdapter *adapter = m_adapters.value(id))
        adapter->handleCommand(command, payload);
    else
        qCDebug(dcVexbusdMqtt()) << "MQTT command" << command << "for" << id << ", which is no adapter of this gateway";
}

void MqttBridge::onManagerAdapterAdded(ManagedAdapter *adapter)
{
    const QString id = MqttAdapter::topicIdOf(adapter, m_gatewayId);
    if (m_adapters.contains(id)) {
        qCWarning(dcVexbusdMqtt()) << "Adapter" << adapter->key() << "has the MQTT topic of another adapter," << id
                                   << "; it is not on MQTT";
        return;
    }
    auto *mqttAdapter = new MqttAdapter(adapter, m_client, m_settings, m_gatewayId, m_releaseKeysTrusted, this);
    m_adapters.insert(mqttAdapter->topicId(), mqttAdapter);
    mqttAdapter->subscribe();
    mqttAdapter->publishAll();
}

void MqttBridge::onManagerAdapterRemoved(ManagedAdapter *adapter)
{
    MqttAdapter *mqttAdapter = m_adapters.value(MqttAdapter::topicIdOf(adapter, m_gatewayId));
    if (!mqttAdapter || mqttAdapter->adapter() != adapter)
        return;
    m_adapters.remove(mqttAdapter->topicId());
    mqttAdapter->leave();
    delete mqttAdapter;
}
