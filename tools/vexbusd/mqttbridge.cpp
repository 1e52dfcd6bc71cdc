// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "mqttbridge.h"
#include "adaptermanager.h"
#include "managedadapter.h"
#include "mqttadapter.h"
#include "mqttclient.h"
#include "vexbusdlogging.h"

namespace {

const QStringList commands{QStringLiteral("write"), QStringLiteral("press"), QStringLiteral("reset"), QStringLiteral("update/install")};

} // namespace

MqttBridge::MqttBridge(AdapterManager *manager, const ServiceSettings::Mqtt &settings, const QString &password,
                       bool releaseKeysTrusted, QObject *parent)
    : QObject(parent),
      m_manager(manager),
      m_settings(settings),
      m_releaseKeysTrusted(releaseKeysTrusted)
{
    MqttClient::Options options;
    options.host = settings.host;
    options.port = settings.port;
    options.tls = settings.tls;
    options.caFile = settings.caFile;
    options.clientId = settings.clientId;
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
    return m_settings.baseTopic + QStringLiteral("/bridge/state");
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
    for (const QString &command : commands)
        m_client->subscribe(m_settings.baseTopic + QStringLiteral("/+/") + command);
    for (MqttAdapter *adapter : qAsConst(m_adapters))
        adapter->publishAll();
}

void MqttBridge::onClientMessageReceived(const QString &topic, const QByteArray &payload)
{
    const QString prefix = m_settings.baseTopic + QLatin1Char('/');
    if (!topic.startsWith(prefix))
        return;
    const QString rest = topic.mid(prefix.size());
    const int slash = rest.indexOf(QLatin1Char('/'));
    const QString id = rest.left(slash);
    const QString command = rest.mid(slash + 1);
    if (slash <= 0 || !commands.contains(command))
        return;
    if (MqttAdapter *adapter = m_adapters.value(id)) {
        adapter->handleCommand(command, payload);
        return;
    }
    qCDebug(dcVexbusdMqtt()) << "MQTT command" << command << "for" << id << ", which is no adapter of the service";
    const Outcome unknown(Outcome::NotAvailable, QStringLiteral("The service has no adapter %1; nothing was sent.").arg(id));
    m_client->publish(topic + QStringLiteral("/response"), MqttAdapter::response(unknown, QJsonValue::Undefined), false);
}

void MqttBridge::onManagerAdapterAdded(ManagedAdapter *adapter)
{
    const QString id = MqttAdapter::topicIdOf(adapter->key());
    if (m_adapters.contains(id)) {
        qCWarning(dcVexbusdMqtt()) << "Adapter" << adapter->key() << "has the MQTT topic of another adapter," << id
                                   << "; it is not on MQTT";
        return;
    }
    auto *mqttAdapter = new MqttAdapter(adapter, m_client, m_settings, m_releaseKeysTrusted, this);
    m_adapters.insert(mqttAdapter->topicId(), mqttAdapter);
    mqttAdapter->publishAll();
}

void MqttBridge::onManagerAdapterRemoved(ManagedAdapter *adapter)
{
    MqttAdapter *mqttAdapter = m_adapters.value(MqttAdapter::topicIdOf(adapter->key()));
    if (!mqttAdapter || mqttAdapter->adapter() != adapter)
        return;
    m_adapters.remove(mqttAdapter->topicId());
    mqttAdapter->leave();
    delete mqttAdapter;
}
