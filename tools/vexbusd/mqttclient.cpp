// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "mqttclient.h"
#include "vexbusdlogging.h"

#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int keepAlive = 30; // s
constexpr int housekeepingInterval = 1000; // ms

// libmosquitto wants its initialisation once per process, before any client.
int librariesInUse = 0;

QString describe(int result)
{
    // For MOSQ_ERR_ERRNO the reason is in errno, as libmosquitto left it.
    return result == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno)) : QString::fromUtf8(mosquitto_strerror(result));
}

} // namespace

MqttClient::MqttClient(const Options &options, QObject *parent)
    : QObject(parent),
      m_options(options),
      m_housekeeping(new QTimer(this)),
      m_reconnect(new QTimer(this))
{
    if (librariesInUse++ == 0)
        mosquitto_lib_init();
    m_housekeeping->setInterval(housekeepingInterval);
    connect(m_housekeeping, &QTimer::timeout, this, &MqttClient::onHousekeeping);
    m_reconnect->setSingleShot(true);
    connect(m_reconnect, &QTimer::timeout, this, &MqttClient::connectToBroker);
}

MqttClient::~MqttClient()
{
    m_stopping = true;
    closeNotifiers();
    if (m_client)
        mosquitto_destroy(m_client);
    if (--librariesInUse == 0)
        mosquitto_lib_cleanup();
}

void MqttClient::start()
{
    if (m_client)
        return;
    m_client = mosquitto_new(m_options.clientId.toUtf8().constData(), true, this);
    if (!m_client) {
        qCWarning(dcVexbusdMqtt()) << "Cannot create an MQTT client:" << describe(MOSQ_ERR_ERRNO);
        return;
    }
    mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(m_client, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(m_client, &MqttClient::onDisconnect);
    mosquitto_message_callback_set(m_client, &MqttClient::onMessage);
    if (!m_options.user.isEmpty())
        mosquitto_username_pw_set(m_client, m_options.user.toUtf8().constData(), m_options.password.toUtf8().constData());
    if (!m_options.willTopic.isEmpty()) {
        mosquitto_will_set(m_client, m_options.willTopic.toUtf8().constData(), int(m_options.willPayload.size()),
                           m_options.willPayload.constData(), 1, true);
    }
    if (m_options.tls) {
        // Without a CA file of its own the broker's certificate must chain
        // to the system's store; the host name is checked either way.
        const int result = m_options.caFile.isEmpty()
                ? mosquitto_tls_set(m_client, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                : mosquitto_tls_set(m_client, m_options.caFile.toUtf8().constData(), nullptr, nullptr, nullptr, nullptr);
        if (result != MOSQ_ERR_SUCCESS)
            qCWarning(dcVexbusdMqtt()) << "Cannot use the CA certificates" << m_options.caFile << "for TLS:" << describe(result);
    }
    connectToBroker();
}

void MqttClient::connectToBroker()
{
    if (m_socketOpen || m_stopping)
        return;
    qCDebug(dcVexbusdMqtt()) << "Connecting to the MQTT broker" << m_options.host << "port" << m_options.port
                             << (m_options.tls ? "with TLS" : "without TLS") << "as" << m_options.clientId;
    // The TCP connection completes in the event loop; only a host name
    // lookup blocks here.
    const int result = mosquitto_connect_async(m_client, m_options.host.toUtf8().constData(), m_options.port, keepAlive);
    const int socket = mosquitto_socket(m_client);
    if (result != MOSQ_ERR_SUCCESS || socket < 0) {
        qCWarning(dcVexbusdMqtt()) << "Cannot reach the MQTT broker" << m_options.host << "port" << m_options.port << ":"
                                   << describe(result);
        scheduleReconnect();
        return;
    }
    m_socketOpen = true;
    m_readNotifier = new QSocketNotifier(socket, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &MqttClient::onSocketReadable);
    m_writeNotifier = new QSocketNotifier(socket, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &MqttClient::onSocketWritable);
    m_writeNotifier->setEnabled(mosquitto_want_write(m_client));
    m_housekeeping->start();
}

void MqttClient::scheduleReconnect()
{
    if (m_stopping)
        return;
    qCDebug(dcVexbusdMqtt()) << "Trying the MQTT broker again in" << m_reconnectDelay << "ms";
    m_reconnect->start(m_reconnectDelay);
    m_reconnectDelay = qMin(m_reconnectDelay * 2, lastReconnectDelay);
}

void MqttClient::closeNotifiers()
{
    // libmosquitto has closed the socket, maybe from within a notifier's
    // own activation: the notifiers go once control is back in the loop.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    m_housekeeping->stop();
    m_socketOpen = false;
}

void MqttClient::handleResult(int result, const char *step)
{
    if (result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_NO_CONN && m_socketOpen)
        qCDebug(dcVexbusdMqtt()) << "MQTT" << step << "ended with" << describe(result);
    // A failed TLS handshake closes the socket without the disconnect
    // callback; the connection ended all the same.
    if (m_socketOpen && mosquitto_socket(m_client) < 0) {
        onDisconnect(m_client, this, result == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : result);
        return;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_client));
}

void MqttClient::onSocketReadable()
{
    handleResult(mosquitto_loop_read(m_client, 1), "read");
}

void MqttClient::onSocketWritable()
{
    handleResult(mosquitto_loop_write(m_client, 1), "write");
    flush();
}

void MqttClient::onHousekeeping()
{
    handleResult(mosquitto_loop_misc(m_client), "keep-alive");
}

void MqttClient::onConnect(struct mosquitto *, void *self, int result)
{
    auto *client = static_cast<MqttClient *>(self);
    if (result != 0) {
        // libmosquitto closes the connection after this and reports it.
        client->m_refused = true;
        qCWarning(dcVexbusdMqtt()) << "The MQTT broker" << client->m_options.host << "port" << client->m_options.port
                                   << "refused the connection of" << client->m_options.user << ":"
                                   << mosquitto_connack_string(result);
        return;
    }
    qCDebug(dcVexbusdMqtt()) << "Connected to the MQTT broker" << client->m_options.host << "port" << client->m_options.port;
    client->m_connected = true;
    client->m_reconnectDelay = firstReconnectDelay;
    const quint64 dropped = client->m_droppedMessages - std::exchange(client->m_droppedBeforeConnection, client->m_droppedMessages);
    if (dropped > 0) {
        qCWarning(dcVexbusdMqtt()) << "Dropped" << dropped << "MQTT messages while the broker was out of reach;"
                                   << client->m_droppedMessages << "since the start";
    }
    // Inside a callback libmosquitto only queues what is published; from
    // the event loop it writes at once, and the bounded queue stays for a
    // socket that is really full.
    QTimer::singleShot(0, client, [client]() {
        if (client->m_connected)
            emit client->connected();
    });
}

void MqttClient::onDisconnect(struct mosquitto *, void *self, int result)
{
    auto *client = static_cast<MqttClient *>(self);
    const bool wasConnected = std::exchange(client->m_connected, false);
    client->closeNotifiers();
    for (int i = client->m_queue.count(); i > 0; --i)
        client->dropMessage();
    client->m_queue.clear();
    if (client->m_stopping)
        return;
    if (wasConnected) {
        qCWarning(dcVexbusdMqtt()) << "Lost the MQTT broker" << client->m_options.host << "port" << client->m_options.port
                                   << ":" << describe(result);
        emit client->disconnected();
    } else if (!std::exchange(client->m_refused, false)) {
        // The TCP connection or the TLS handshake failed.
        qCWarning(dcVexbusdMqtt()) << "Cannot reach the MQTT broker" << client->m_options.host << "port" << client->m_options.port
                                   << ":" << describe(result);
    }
    client->scheduleReconnect();
}

void MqttClient::onMessage(struct mosquitto *, void *self, const struct mosquitto_message *message)
{
    auto *client = static_cast<MqttClient *>(self);
    emit client->messageReceived(QString::fromUtf8(message->topic),
                                 QByteArray(static_cast<const char *>(message->payload), message->payloadlen));
}

void MqttClient::subscribe(const QString &pattern)
{
    if (!m_connected)
        return;
    const int result = mosquitto_subscribe(m_client, nullptr, pattern.toUtf8().constData(), 1);
    if (result != MOSQ_ERR_SUCCESS)
        qCWarning(dcVexbusdMqtt()) << "Cannot subscribe to" << pattern << ":" << describe(result);
    handleResult(MOSQ_ERR_SUCCESS, "subscribe");
}

void MqttClient::unsubscribe(const QString &pattern)
{
    if (!m_connected)
        return;
    const int result = mosquitto_unsubscribe(m_client, nullptr, pattern.toUtf8().constData());
    if (result != MOSQ_ERR_SUCCESS)
        qCWarning(dcVexbusdMqtt()) << "Cannot unsubscribe from" << pattern << ":" << describe(result);
    handleResult(MOSQ_ERR_SUCCESS, "unsubscribe");
}

void MqttClient::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    publish(topic.toUtf8(), payload, retain);
}

void MqttClient::publish(const QByteArray &topic, const QByteArray &payload, bool retain)
{
    if (!m_connected) {
        dropMessage();
        return;
    }
    const Message message{topic, payload, retain};
    // Whatever libmosquitto could not write yet stays in its queue; more
    // waits in ours, which has a bound.
    if (m_queue.isEmpty() && !mosquitto_want_write(m_client)) {
        send(message);
        return;
    }
    if (m_queue.count() >= maximumQueuedMessages) {
        dropMessage();
        return;
    }
    m_queue.append(message);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(true);
}

bool MqttClient::send(const Message &message)
{
    const int result = mosquitto_publish(m_client, nullptr, message.topic.constData(), int(message.payload.size()),
                                         message.payload.constData(), 0, message.retain);
    if (result != MOSQ_ERR_SUCCESS) {
        qCDebug(dcVexbusdMqtt()) << "Cannot publish on" << QString::fromUtf8(message.topic) << ":" << describe(result);
        dropMessage();
    }
    handleResult(MOSQ_ERR_SUCCESS, "publish");
    return result == MOSQ_ERR_SUCCESS;
}

void MqttClient::flush()
{
    while (m_connected && !m_queue.isEmpty() && !mosquitto_want_write(m_client))
        send(m_queue.takeFirst());
}

void MqttClient::dropMessage()
{
    // One line per power of two: a long outage does not flood the log.
    ++m_droppedMessages;
    if ((m_droppedMessages & (m_droppedMessages - 1)) == 0)
        qCDebug(dcVexbusdMqtt()) << "Dropped an MQTT message without a broker to take it;" << m_droppedMessages << "so far";
}

void MqttClient::disconnectWith(const QString &topic, const QByteArray &payload)
{
    // libmosquitto reports the end of the connection from within
    // mosquitto_disconnect(): no reconnection after it.
    const bool wasConnected = m_connected;
    m_stopping = true;
    if (wasConnected) {
        flush();
        send({topic.toUtf8(), payload, true});
        mosquitto_disconnect(m_client);
    }
}
