// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_MQTTCLIENT_H
#define VEXBUSD_MQTTCLIENT_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;
class QTimer;

// A connection to an MQTT broker through libmosquitto, driven by the Qt
// event loop of the service's one thread: notifiers on the client's socket
// read and write, a timer runs its housekeeping (keep-alive). A broker that
// is down or goes away is tried again after a delay that doubles up to a
// minute. What cannot be handed to the socket is queued up to a bound;
// beyond it, and while there is no connection, messages are dropped and
// counted: the retained ones go out again with the next connection.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString host;
        int port = 1883;
        bool tls = false;
        // PEM CA certificates for TLS; empty for the system's.
        QString caFile;
        QString clientId;
        QString user;
        QString password;
        QString willTopic;
        QByteArray willPayload;
    };

    static constexpr int maximumQueuedMessages = 1000;
    static constexpr int firstReconnectDelay = 1000; // ms
    static constexpr int lastReconnectDelay = 60000; // ms

    explicit MqttClient(const Options &options, QObject *parent = nullptr);
    ~MqttClient() override;

    // Connects, and keeps connecting until destroyed.
    void start();
    bool isConnected() const { return m_connected; }
    // Publishes with QoS 0; retain keeps the last value for newcomers.
    void publish(const QString &topic, const QByteArray &payload, bool retain);
    // The same with the topic in UTF-8 already, for what is published often.
    void publish(const QByteArray &topic, const QByteArray &payload, bool retain);
    void subscribe(const QString &pattern);
    void unsubscribe(const QString &pattern);
    // Messages dropped since the start: no connection or a full queue.
    quint64 droppedMessages() const { return m_droppedMessages; }
    // Publishes payload on topic, then says goodbye to the broker.
    void disconnectWith(const QString &topic, const QByteArray &payload);

signals:
    void connected();
    void disconnected();
    void messageReceived(const QString &topic, const QByteArray &payload);

private:
    struct Message
    {
        QByteArray topic; // UTF-8
        QByteArray payload;
        bool retain;
    };

    static void onConnect(struct mosquitto *client, void *self, int result);
    static void onDisconnect(struct mosquitto *client, void *self, int result);
    static void onMessage(struct mosquitto *client, void *self, const struct mosquitto_message *message);

    void connectToBroker();
    void scheduleReconnect();
    void onSocketReadable();
    void onSocketWritable();
    void onHousekeeping();
    void closeNotifiers();
    void flush();
    bool send(const Message &message);
    void dropMessage();
    void handleResult(int result, const char *step);

    Options m_options;
    struct mosquitto *m_client = nullptr;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_housekeeping;
    QTimer *m_reconnect;
    int m_reconnectDelay = firstReconnectDelay;
    bool m_connected = false;
    bool m_socketOpen = false;
    bool m_stopping = false;
    // The broker answered the last attempt with a refusal, logged already.
    bool m_refused = false;
    QList<Message> m_queue;
    quint64 m_droppedMessages = 0;
    quint64 m_droppedBeforeConnection = 0;
};

#endif // VEXBUSD_MQTTCLIENT_H
