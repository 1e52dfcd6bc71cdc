// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "mqttadapter.h"
#include "managedadapter.h"
#include "mqttclient.h"
#include "updatehistory.h"
#include "vexbusdlogging.h"

#include "nivoravexbususbversion.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>
#include <QVarLengthArray>

#include <algorithm>
#include <cmath>

using namespace NivoraVexbusUsb;

namespace {


const QString writeCommand = QStringLiteral("write");
const QString pressCommand = QStringLiteral("press");
const QString resetCommand = QStringLiteral("reset");
const QString installCommand = QStringLiteral("update/install");

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Lower case letters, digits and _, as Home Assistant's entity IDs are.
QString entitySlug(const QString &text)
{
    QString slug = text.toLower();
    for (QChar &c : slug) {
        if (!((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))))
            c = QLatin1Char('_');
    }
    return slug;
}

} // namespace

MqttAdapter::MqttAdapter(ManagedAdapter *adapter, MqttClient *client, const ServiceSettings::Mqtt &settings,
                         const QString &gatewayId, bool releaseKeysTrusted, QObject *parent)
    : QObject(parent),
      m_adapter(adapter),
      m_client(client),
      m_settings(settings),
      m_releaseKeysTrusted(releaseKeysTrusted),
      m_gatewayId(gatewayId),
      m_topicId(topicIdOf(adapter, gatewayId)),
      m_frameTopic(topic(QStringLiteral("frame")).toUtf8()),
      m_releaseTimer(new QTimer(this))
{
    connect(adapter, &ManagedAdapter::statusChanged, this, &MqttAdapter::markChanged);
    // A fleet needs states and outcomes; frames only where asked for.
    if (settings.frames != ServiceSettings::Mqtt::FramesNone)
        adapter->connectFrames(this, &MqttAdapter::publishFrame);
    if (UpdateHistory *history = adapter->history()) {
        const UpdateRecord last = history->lastEnded(adapter->key());
        if (last.isValid())
            m_lastUpdate = compact(last.toJson());
        connect(history, &UpdateHistory::entryEnded, this, &MqttAdapter::onHistoryEntryEnded);
    }

    m_releaseTimer->setInterval(releaseCheckInterval);
    connect(m_releaseTimer, &QTimer::timeout, this, &MqttAdapter::checkRelease);
    m_releaseTimer->start();
    checkRelease();
}

QString MqttAdapter::topicIdOf(const ManagedAdapter *adapter, const QString &gatewayId)
{
    if (!adapter->serialNumber().isEmpty())
        return topicLevelOf(adapter->serialNumber());
    return gatewayId + topicLevelOf(adapter->devicePath());
}

QString MqttAdapter::bridgeStateTopic(const ServiceSettings::Mqtt &settings, const QString &gatewayId)
{
    return settings.baseTopic + QStringLiteral("/bridge/") + gatewayId + QStringLiteral("/state");
}

QString MqttAdapter::gatewayNode(const QString &gatewayId)
{
    return QStringLiteral("vexbus_gateway_") + gatewayId;
}

QStringList MqttAdapter::commands()
{
    return QStringList{writeCommand, pressCommand, resetCommand, installCommand};
}

void MqttAdapter::subscribe()
{
    for (const QString &command : commands())
        m_client->subscribe(topic(command));
}

void MqttAdapter::onHistoryEntryEnded(const UpdateRecord &record)
{
    if (record.adapter != m_adapter->key())
        return;
    m_lastUpdate = compact(record.toJson());
    markChanged();
}

QString MqttAdapter::topicLevelOf(const QString &text)
{
    QString id = text;
    for (QChar &c : id) {
        if (!((c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
              || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('_')))
            c = QLatin1Char('_');
    }
    return id;
}

QString MqttAdapter::topic(const QString &leaf) const
{
    return m_settings.baseTopic + QLatin1Char('/') + m_topicId + QLatin1Char('/') + leaf;
}

// Publishing

void MqttAdapter::publishAll()
{
    m_published.clear();
    publishChanges();
}

void MqttAdapter::markChanged()
{
    // The adapter changes several properties in one go: one message each.
    if (std::exchange(m_changePending, true))
        return;
    QTimer::singleShot(0, this, &MqttAdapter::publishChanges);
}

void MqttAdapter::publishChanges()
{
    m_changePending = false;
    if (!m_client->isConnected())
        return;
    publishRetained(topic(QStringLiteral("availability")),
                    m_adapter->status().available ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"));
    publishRetained(topic(QStringLiteral("state")), stateJson());
    publishUpdate();
    if (!m_lastUpdate.isEmpty())
        publishRetained(topic(QStringLiteral("update/last")), m_lastUpdate);
    if (!m_settings.discovery)
        return;
    const QHash<QString, QByteArray> configs = discoveryConfigs();
    for (auto it = configs.cbegin(); it != configs.cend(); ++it)
        publishRetained(it.key(), it.value());
}

void MqttAdapter::publishRetained(const QString &topic, const QByteArray &payload)
{
    const auto published = m_published.constFind(topic);
    if (published != m_published.cend() && published.value() == payload)
        return;
    m_published.insert(topic, payload);
    m_client->publish(topic, payload, true);
}

QByteArray MqttAdapter::stateJson() const
{
    const AdapterStatus &status = m_adapter->status();
    return compact(QJsonObject{
        {QStringLiteral("state"), status.state},
        {QStringLiteral("gateway"), m_gatewayId},
        {QStringLiteral("available"), status.available},
        {QStringLiteral("controller_in_bootloader"), status.controllerInBootloader},
        {QStringLiteral("firmware_version"), status.firmwareVersion},
        {QStringLiteral("led_mode"), status.ledMode},
        {QStringLiteral("bus_type"), status.busType},
        {QStringLiteral("bus_synchronized"), status.busSynchronized},
        {QStringLiteral("bus_initialized"), status.busInitialized},
        {QStringLiteral("bus_available"), status.busAvailable},
        {QStringLiteral("port"), status.port},
        {QStringLiteral("serial_number"), status.serialNumber},
        {QStringLiteral("baud_rate"), status.baudRate},
        {QStringLiteral("updating"), status.updating},
        {QStringLiteral("inhibited_by"), status.inhibitedBy},
        {QStringLiteral("inhibit_reason"), status.inhibitReason},
    });
}

void MqttAdapter::publishUpdate()
{
    // D-Bus has each whole percent; the broker, shared by a fleet and
    // keeping both topics retained, gets every fifth: progress was most of
    // what a rollout sent. Any other change goes out at once.
    const AdapterStatus &status = m_adapter->status();
    const QString updateTopic = topic(QStringLiteral("update"));
    const QString statusTopic = topic(QStringLiteral("update/status"));
    if (status.updating && status.updatePercentage < 100
        && std::floor(status.updatePercentage / progressStep) == std::floor(m_publishedPercentage / progressStep)
        && updateJson(m_publishedPercentage) == m_published.value(updateTopic)
        && updateStatusJson(m_publishedPercentage) == m_published.value(statusTopic))
        return;
    m_publishedPercentage = status.updatePercentage;
    publishRetained(updateTopic, updateJson(m_publishedPercentage));
    publishRetained(statusTopic, updateStatusJson(m_publishedPercentage));
}

QByteArray MqttAdapter::updateJson(double percentage) const
{
    // Exactly the keys of Home Assistant's update entity: it checks the
    // message against its schema and drops the whole message for a key it
    // does not know or a version that is null. A version that is not known
    // is left out; Home Assistant keeps the one it had.
    const AdapterStatus &status = m_adapter->status();
    QJsonObject update{
        {QStringLiteral("in_progress"), status.updating},
        {QStringLiteral("update_percentage"), status.updating ? QJsonValue(percentage) : QJsonValue()},
    };
    if (!status.firmwareVersion.isEmpty())
        update.insert(QStringLiteral("installed_version"), status.firmwareVersion);
    if (!m_latestVersion.isEmpty())
        update.insert(QStringLiteral("latest_version"), m_latestVersion);
    return compact(update);
}

QByteArray MqttAdapter::updateStatusJson(double percentage) const
{
    // The service's own account of the update, also the update entity's
    // attributes in Home Assistant.
    const AdapterStatus &status = m_adapter->status();
    return compact(QJsonObject{
        {QStringLiteral("phase"), status.updatePhase},
        {QStringLiteral("percentage"), percentage},
        {QStringLiteral("error"), status.updateError},
        {QStringLiteral("error_string"), status.updateErrorString},
        {QStringLiteral("recovery"), status.recovery},
        {QStringLiteral("recovery_message"), status.recoveryMessage},
        {QStringLiteral("policy_sequence"), double(status.policySequence)},
        {QStringLiteral("policy_state"), status.policyState},
        {QStringLiteral("policy_message"), status.policyMessage},
        {QStringLiteral("policy_refusal"), status.policyRefusal},
    });
}

void MqttAdapter::publishFrame(const QByteArray &frame)
{
    if (!m_settings.publishesFrame(frame))
        return;
    // Without a broker the client drops it and counts it.
    m_client->publish(m_frameTopic, framePayload(frame, QDateTime::currentMSecsSinceEpoch()), false);
}

QByteArray MqttAdapter::framePayload(const QByteArray &frame, qint64 receivedMs)
{
    // The bytes QJsonDocument makes of {event_type, data, time} (its keys
    // sorted, compact), written directly: at line rate the JSON objects and
    // the date's formatting cost several times the publication itself.
    // event_type makes the message an event of Home Assistant's event entity.
    const qint64 second = receivedMs / 1000;
    if (second != m_frameSecond) {
        m_frameSecond = second;
        // ISO 8601 in UTC without its Z: the milliseconds follow.
        m_frameSecondText = QDateTime::fromMSecsSinceEpoch(second * 1000, Qt::UTC).toString(Qt::ISODate).toLatin1();
        m_frameSecondText.chop(1);
    }
    static constexpr char digits[] = "0123456789abcdef";
    static constexpr char head[] = "{\"data\":\"";
    static constexpr char middle[] = "\",\"event_type\":\"frame\",\"time\":\"";
    static constexpr char tail[] = "Z\"}";
    // Made on the stack and copied once: the bus frames of the adapter
    // are small; a longer one takes the buffer's size from the heap.
    const int size = int(sizeof head - 1 + 2 * frame.size() + sizeof middle - 1 + m_frameSecondText.size() + 4 + sizeof tail - 1);
    QVarLengthArray<char, 640> text(size);
    char *out = std::copy_n(head, sizeof head - 1, text.data());
    for (const char byte : frame) {
        *out++ = digits[(uchar(byte) >> 4) & 0xf];
        *out++ = digits[uchar(byte) & 0xf];
    }
    out = std::copy_n(middle, sizeof middle - 1, out);
    out = std::copy_n(m_frameSecondText.constData(), m_frameSecondText.size(), out);
    const int milliseconds = int(receivedMs - second * 1000);
    const char fraction[] = {'.', char('0' + milliseconds / 100), char('0' + milliseconds / 10 % 10), char('0' + milliseconds % 10)};
    out = std::copy_n(fraction, sizeof fraction, out);
    std::copy_n(tail, sizeof tail - 1, out);
    return QByteArray(text.constData(), size);
}

QHash<QString, QByteArray> MqttAdapter::discoveryConfigs() const
{
    const AdapterStatus &status = m_adapter->status();
    const QString node = QStringLiteral("vexbus_") + m_topicId;
    const QString bridgeState = bridgeStateTopic(m_settings, m_gatewayId);
    const QString stateTopic = topic(QStringLiteral("state"));
    QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{node}},
        {QStringLiteral("name"), QStringLiteral("Vexbus adapter %1").arg(m_adapter->key())},
        {QStringLiteral("manufacturer"), QStringLiteral("Nivora")},
        {QStringLiteral("model"), QStringLiteral("Vexbus USB adapter")},
        // Plugged into this gateway.
        {QStringLiteral("via_device"), gatewayNode(m_gatewayId)},
    };
    if (!status.serialNumber.isEmpty())
        device.insert(QStringLiteral("serial_number"), status.serialNumber);
    if (!status.firmwareVersion.isEmpty())
        device.insert(QStringLiteral("sw_version"), status.firmwareVersion);
    const QJsonObject origin{{QStringLiteral("name"), QStringLiteral("vexbusd")},
                             {QStringLiteral("sw_version"), QStringLiteral(NIVORAVEXBUSUSB_VERSION_STRING)}};
    // The bridge and the adapter must both be there; the adapter's own
    // availability and its update follow the bridge only, since an
    // update takes the controller away for a while.
    const QJsonArray bridgeOnly{QJsonObject{{QStringLiteral("topic"), bridgeState}}};
    const QJsonArray both{QJsonObject{{QStringLiteral("topic"), bridgeState}},
                          QJsonObject{{QStringLiteral("topic"), topic(QStringLiteral("availability"))}}};

    QHash<QString, QByteArray> configs;
    auto add = [&](const QString &component, const QString &object, const QString &name, QJsonObject config, bool followsAdapter) {
        config.insert(QStringLiteral("name"), name);
        config.insert(QStringLiteral("unique_id"), node + QLatin1Char('_') + object);
        // Home Assistant's entity ID for a new entity: the component and
        // a slug, lower case; it replaced object_id.
        config.insert(QStringLiteral("default_entity_id"), component + QLatin1Char('.') + entitySlug(node + QLatin1Char('_') + object));
        config.insert(QStringLiteral("device"), device);
        config.insert(QStringLiteral("origin"), origin);
        config.insert(QStringLiteral("availability"), followsAdapter ? both : bridgeOnly);
        if (followsAdapter)
            config.insert(QStringLiteral("availability_mode"), QStringLiteral("all"));
        configs.insert(QStringLiteral("%1/%2/%3/%4/config").arg(m_settings.discoveryPrefix, component, node, object), compact(config));
    };

    add(QStringLiteral("binary_sensor"), QStringLiteral("available"), QStringLiteral("Available"),
        {{QStringLiteral("state_topic"), topic(QStringLiteral("availability"))},
         {QStringLiteral("payload_on"), QStringLiteral("online")},
         {QStringLiteral("payload_off"), QStringLiteral("offline")},
         {QStringLiteral("device_class"), QStringLiteral("connectivity")},
         {QStringLiteral("entity_category"), QStringLiteral("diagnostic")}}, false);
    const QList<QPair<QString, QString>> flags{{QStringLiteral("bus_synchronized"), QStringLiteral("Bus synchronized")},
                                               {QStringLiteral("bus_initialized"), QStringLiteral("Bus initialized")},
                                               {QStringLiteral("bus_available"), QStringLiteral("Bus available")}};
    for (const auto &flag : flags) {
        add(QStringLiteral("binary_sensor"), flag.first, flag.second,
            {{QStringLiteral("state_topic"), stateTopic},
             {QStringLiteral("value_template"), QStringLiteral("{{ 'ON' if value_json.%1 else 'OFF' }}").arg(flag.first)}}, true);
    }
    // The controller waits in its bootloader for an update, as after an
    // interrupted one: a problem, unlike a controller that is merely away.
    add(QStringLiteral("binary_sensor"), QStringLiteral("controller_in_bootloader"), QStringLiteral("Controller in bootloader"),
        {{QStringLiteral("state_topic"), stateTopic},
         {QStringLiteral("value_template"), QStringLiteral("{{ 'ON' if value_json.controller_in_bootloader else 'OFF' }}")},
         {QStringLiteral("device_class"), QStringLiteral("problem")},
         {QStringLiteral("entity_category"), QStringLiteral("diagnostic")}}, false);
    const QList<QPair<QString, QString>> values{{QStringLiteral("firmware_version"), QStringLiteral("Firmware version")},
                                                {QStringLiteral("led_mode"), QStringLiteral("LED mode")},
                                                {QStringLiteral("bus_type"), QStringLiteral("Bus type")}};
    for (const auto &value : values) {
        add(QStringLiteral("sensor"), value.first, value.second,
            {{QStringLiteral("state_topic"), stateTopic},
             {QStringLiteral("value_template"), QStringLiteral("{{ value_json.%1 }}").arg(value.first)},
             {QStringLiteral("entity_category"), QStringLiteral("diagnostic")}}, true);
    }
    if (m_settings.frames != ServiceSettings::Mqtt::FramesNone) {
        add(QStringLiteral("event"), QStringLiteral("frame"), QStringLiteral("Bus frame"),
            {{QStringLiteral("state_topic"), topic(QStringLiteral("frame"))},
             {QStringLiteral("event_types"), QJsonArray{QStringLiteral("frame")}}}, true);
    }
    if (commandAllowed(pressCommand)) {
        for (const QString &button : m_settings.buttons) {
            const QStringList parts = button.split(QLatin1Char(':'));
            const QJsonObject request{{QStringLiteral("module"), parts.at(0)},
                                      {QStringLiteral("button"), parts.at(1)},
                                      {QStringLiteral("ms"), parts.value(2, QString::number(MqttCommand::defaultPressDuration)).toInt()}};
            add(QStringLiteral("button"), QStringLiteral("press_%1_%2").arg(parts.at(0), topicLevelOf(parts.at(1))),
                QStringLiteral("Press %1 %2").arg(parts.at(0), parts.at(1)),
                {{QStringLiteral("command_topic"), topic(pressCommand)},
                 {QStringLiteral("payload_press"), QString::fromUtf8(compact(request))}}, true);
        }
    }
    QJsonObject update{{QStringLiteral("state_topic"), topic(QStringLiteral("update"))},
                       {QStringLiteral("json_attributes_topic"), topic(QStringLiteral("update/status"))},
                       {QStringLiteral("device_class"), QStringLiteral("firmware")},
                       {QStringLiteral("title"), QStringLiteral("Vexbus adapter firmware")},
                       {QStringLiteral("entity_category"), QStringLiteral("config")}};
    if (commandAllowed(installCommand)) {
        update.insert(QStringLiteral("command_topic"), topic(installCommand));
        update.insert(QStringLiteral("payload_install"), QStringLiteral("{}"));
    }
    add(QStringLiteral("update"), QStringLiteral("firmware"), QStringLiteral("Firmware"), update, false);
    return configs;
}

void MqttAdapter::publishOffline()
{
    m_client->publish(topic(QStringLiteral("availability")), QByteArrayLiteral("offline"), true);
}

void MqttAdapter::leave()
{
    for (const QString &command : commands())
        m_client->unsubscribe(topic(command));
    // An empty retained message removes what a newcomer would find.
    const QList<QString> topics = m_published.keys();
    for (const QString &published : topics) {
        if (published != topic(QStringLiteral("availability")))
            m_client->publish(published, QByteArray(), true);
    }
    publishOffline();
    m_published.clear();
}

void MqttAdapter::checkRelease()
{
    // The service may stop while the server answers: the managed adapter
    // then aborts the check after this object went.
    const QPointer<MqttAdapter> self(this);
    m_adapter->checkForRelease(false, [self](const Outcome &outcome, const QVariantMap &release) {
        if (!self)
            return;
        if (!outcome.succeeded()) {
            qCWarning(dcVexbusdMqtt()) << "No latest release for adapter" << self->m_adapter->key() << ":" << outcome.message();
            return;
        }
        self->m_latestVersion = release.value(QStringLiteral("version")).toString();
        self->markChanged();
    });
}

// Commands

bool MqttAdapter::commandAllowed(const QString &command) const
{
    if (command == installCommand)
        return m_releaseKeysTrusted && m_settings.commands.contains(QStringLiteral("update"));
    return m_settings.commands.contains(command);
}

QByteArray MqttAdapter::response(const Outcome &outcome, const QJsonValue &transaction) const
{
    QJsonObject answer{{QStringLiteral("status"), outcome.succeeded() ? QStringLiteral("ok") : QStringLiteral("error")},
                       {QStringLiteral("gateway"), m_gatewayId}};
    if (!outcome.succeeded())
        answer.insert(QStringLiteral("error"), outcome.message());
    if (!transaction.isUndefined())
        answer.insert(QStringLiteral("transaction"), transaction);
    return compact(answer);
}

void MqttAdapter::respond(const QString &command, const Outcome &outcome, const QJsonValue &transaction)
{
    if (!outcome.succeeded())
        qCDebug(dcVexbusdMqtt()) << "The MQTT command" << command << "for adapter" << m_adapter->key() << "failed:" << outcome.message();
    m_client->publish(topic(command + QStringLiteral("/response")), response(outcome, transaction), false);
}

UpdateOrigin MqttAdapter::originOf(const QJsonValue &transaction)
{
    return UpdateOrigin{QLatin1String(UpdateOrigin::triggerMqtt), transaction.isUndefined() ? QString()
            : QStringLiteral("transaction %1").arg(QString::fromUtf8(QJsonDocument(QJsonArray{transaction}).toJson(QJsonDocument::Compact)).mid(1).chopped(1))};
}

void MqttAdapter::handleCommand(const QString &command, const QByteArray &payload)
{
    const MqttCommand request = MqttCommand::read(payload);
    Outcome refused = request.refusal();
    if (refused.succeeded() && !commandAllowed(command)) {
        refused = Outcome(Outcome::InvalidArgument, command == installCommand && !m_releaseKeysTrusted
                ? QStringLiteral("Updates from MQTT need a trusted release key (Release/TrustedKeys); nothing was written.")
                : QStringLiteral("The command %1 is off for MQTT; the settings allow it with [mqtt] Commands. Nothing was sent.")
                          .arg(command));
    }
    if (refused.succeeded())
        refused = request.validate(command);
    if (!refused.succeeded()) {
        // A refused update is in the history like any other.
        if (command == installCommand)
            m_adapter->recordRefusedUpdate(originOf(request.transaction()), refused);
        respond(command, refused, request.transaction());
        return;
    }
    run(command, request);
}

void MqttAdapter::run(const QString &command, const MqttCommand &request)
{
    const QJsonValue transaction = request.transaction();
    qCDebug(dcVexbusdMqtt()) << "MQTT command" << command << "for adapter" << m_adapter->key();
    const QPointer<MqttAdapter> self(this);
    const auto answer = [self, command, transaction](const Outcome &outcome) {
        if (self)
            self->respond(command, outcome, transaction);
    };
    if (command == writeCommand) {
        m_adapter->writeFrame(request.frame(), answer);
    } else if (command == pressCommand) {
        m_adapter->pressButton(request.module(), request.button(), request.milliseconds(), answer);
    } else if (command == resetCommand) {
        m_adapter->reset(answer);
    } else {
        // Only the release service's current release, authenticated by a
        // trusted key: no older one, no pre-release, no file of the sender.
        m_adapter->updateFromReleaseServer(ManagedAdapter::ReleaseOptions(), originOf(transaction), [answer](const Outcome &outcome, bool) { answer(outcome); });
    }
}
