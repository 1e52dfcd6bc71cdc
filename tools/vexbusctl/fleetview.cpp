// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "fleetview.h"
#include "commands.h"
#include "output.h"
#include "printer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace {

// After the last acknowledged subscription the broker sends what it holds
// at once; a quiet moment means it is all there.
constexpr int quietMs = 300;

QJsonObject object(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

struct Session
{
    QMap<QString, QByteArray> *retained = nullptr;
    int connectResult = -1;
    int acknowledged = 0;
    QElapsedTimer lastMessage;
};

} // namespace

bool FleetView::read(const Options &options, QString *error)
{
    const QUrl url(options.broker, QUrl::StrictMode);
    const bool tls = url.scheme() == QLatin1String("mqtts");
    if (!url.isValid() || (url.scheme() != QLatin1String("mqtt") && !tls) || url.host().isEmpty() || url.port(1883) <= 0
            || !url.userInfo().isEmpty()) {
        *error = QStringLiteral("--broker takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not %1").arg(options.broker);
        return false;
    }
    QString password;
    if (!options.passwordFile.isEmpty()) {
        QFile file(options.passwordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the password file %1").arg(options.passwordFile);
            return false;
        }
        password = QString::fromUtf8(file.readLine(4096)).trimmed();
    }

    mosquitto_lib_init();
    Session session;
    session.retained = &m_retained;
    struct mosquitto *client = mosquitto_new(nullptr, true, &session);
    const auto cleanUp = [client]() {
        mosquitto_destroy(client);
        mosquitto_lib_cleanup();
    };
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client, [](struct mosquitto *, void *data, int result) {
        static_cast<Session *>(data)->connectResult = result;
    });
    mosquitto_subscribe_callback_set(client, [](struct mosquitto *, void *data, int, int, const int *) {
        auto *session = static_cast<Session *>(data);
        ++session->acknowledged;
        session->lastMessage.start();
    });
    mosquitto_message_callback_set(client, [](struct mosquitto *, void *data, const struct mosquitto_message *message) {
        auto *session = static_cast<Session *>(data);
        session->lastMessage.start();
        // Only what newcomers get: a live message is no state of the fleet.
        if (message->retain && message->payloadlen > 0) {
            session->retained->insert(QString::fromUtf8(message->topic),
                                      QByteArray(static_cast<const char *>(message->payload), message->payloadlen));
        }
    });
    if (!options.user.isEmpty())
        mosquitto_username_pw_set(client, options.user.toUtf8().constData(), password.toUtf8().constData());
    if (tls) {
        const int result = options.caFile.isEmpty()
                ? mosquitto_tls_set(client, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                : mosquitto_tls_set(client, options.caFile.toUtf8().constData(), nullptr, nullptr, nullptr, nullptr);
        if (result != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("cannot use the CA certificates %1: %2").arg(options.caFile, QString::fromUtf8(mosquitto_strerror(result)));
            cleanUp();
            return false;
        }
    }
    const int connected = mosquitto_connect(client, url.host().toUtf8().constData(), url.port(tls ? 8883 : 1883), 30);
    if (connected != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("cannot reach the broker %1: %2").arg(options.broker,
                 connected == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno)) : QString::fromUtf8(mosquitto_strerror(connected)));
        cleanUp();
        return false;
    }
    const QStringList patterns{options.baseTopic + QStringLiteral("/bridge/+/state"), options.baseTopic + QStringLiteral("/bridge/+/policy"),
                               options.baseTopic + QStringLiteral("/+/state"),
                               options.baseTopic + QStringLiteral("/+/update"), options.baseTopic + QStringLiteral("/+/update/last")};
    QElapsedTimer clock;
    clock.start();
    bool subscribed = false;
    while (clock.elapsed() < options.timeoutMs) {
        const int result = mosquitto_loop(client, 50, 1);
        if (session.connectResult > 0) {
            *error = QStringLiteral("the broker %1 refused the connection: %2").arg(options.broker,
                     QString::fromUtf8(mosquitto_connack_string(session.connectResult)));
            cleanUp();
            return false;
        }
        if (result != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("lost the broker %1: %2").arg(options.broker, QString::fromUtf8(mosquitto_strerror(result)));
            cleanUp();
            return false;
        }
        if (session.connectResult == 0 && !subscribed) {
            for (const QString &pattern : patterns)
                mosquitto_subscribe(client, nullptr, pattern.toUtf8().constData(), 0);
            subscribed = true;
        }
        if (session.acknowledged == patterns.count() && session.lastMessage.elapsed() >= quietMs) {
            mosquitto_disconnect(client);
            cleanUp();
            return true;
        }
    }
    *error = QStringLiteral("the broker %1 did not answer within %2 ms").arg(options.broker).arg(options.timeoutMs);
    cleanUp();
    return false;
}

int runFleet(const CommandContext &context, const FleetView::Options &options)
{
    FleetView view;
    QString error;
    if (!view.read(options, &error)) {
        context.printer->error(error);
        return ExitFailure;
    }
    // Gateways by their bridge; adapters by the gateway their state names.
    const QString base = options.baseTopic + QLatin1Char('/');
    QMap<QString, QString> bridges;
    QMap<QString, QJsonObject> policies;
    QMap<QString, QMap<QString, QJsonObject>> adapters;
    const QMap<QString, QByteArray> &retained = view.retained();
    for (auto it = retained.cbegin(); it != retained.cend(); ++it) {
        const QStringList levels = it.key().mid(base.size()).split(QLatin1Char('/'));
        if (levels.count() == 3 && levels.at(0) == QLatin1String("bridge") && levels.at(2) == QLatin1String("state")) {
            bridges.insert(levels.at(1), QString::fromUtf8(it.value()));
        } else if (levels.count() == 3 && levels.at(0) == QLatin1String("bridge") && levels.at(2) == QLatin1String("policy")) {
            policies.insert(levels.at(1), object(it.value()));
        } else if (levels.count() == 2 && levels.at(1) == QLatin1String("state") && levels.at(0) != QLatin1String("bridge")) {
            const QJsonObject state = object(it.value());
            const QString gateway = state.value(QStringLiteral("gateway")).toString();
            QJsonObject line{
                {QStringLiteral("gateway"), gateway},
                {QStringLiteral("adapter"), levels.at(0)},
                {QStringLiteral("serial_number"), state.value(QStringLiteral("serial_number"))},
                {QStringLiteral("state"), state.value(QStringLiteral("state"))},
                {QStringLiteral("available"), state.value(QStringLiteral("available"))},
                {QStringLiteral("firmware"), state.value(QStringLiteral("firmware_version"))},
                {QStringLiteral("target"), object(retained.value(base + levels.at(0) + QStringLiteral("/update")))
                                                   .value(QStringLiteral("latest_version")).toString()},
            };
            const QJsonObject last = object(retained.value(base + levels.at(0) + QStringLiteral("/update/last")));
            line.insert(QStringLiteral("last_update"), last.value(QStringLiteral("result")).toString());
            line.insert(QStringLiteral("last_update_error"), last.value(QStringLiteral("error")).toString());
            line.insert(QStringLiteral("since"), last.value(QStringLiteral("ended")).toString());
            adapters[gateway].insert(levels.at(0), line);
        }
    }
    QStringList gateways = bridges.keys();
    for (const QString &gateway : adapters.keys()) {
        if (!gateways.contains(gateway))
            gateways.append(gateway);
    }
    std::sort(gateways.begin(), gateways.end());
    if (gateways.isEmpty())
        context.printer->note(QStringLiteral("The broker holds no gateway below %1.").arg(base));
    for (const QString &gateway : gateways) {
        const QString bridge = bridges.value(gateway, QStringLiteral("unknown"));
        const QMap<QString, QJsonObject> own = adapters.value(gateway);
        // The fleet policy the gateway holds, and the last one it refused.
        const QJsonObject policy = policies.value(gateway);
        const QString policyState = policy.value(QStringLiteral("state")).toString();
        const QString refusal = policy.value(QStringLiteral("refusal")).toObject().value(QStringLiteral("reason")).toString();
        QString policyText;
        if ((!policyState.isEmpty() && policyState != QLatin1String("none")) || !refusal.isEmpty()) {
            policyText = QStringLiteral("  policy %1 %2").arg(policy.value(QStringLiteral("sequence")).toVariant().toLongLong()).arg(policyState);
            if (!refusal.isEmpty())
                policyText += QStringLiteral(" (refused %1)").arg(refusal);
        }
        if (own.isEmpty()) {
            QJsonObject line{{QStringLiteral("gateway"), gateway}, {QStringLiteral("bridge"), bridge}};
            if (!policy.isEmpty())
                line.insert(QStringLiteral("policy"), policy);
            context.printer->result(QStringLiteral("%1  -  bridge %2%3").arg(orDash(gateway), bridge, policyText), line);
            continue;
        }
        for (QJsonObject line : own) {
            line.insert(QStringLiteral("bridge"), bridge);
            if (!policy.isEmpty())
                line.insert(QStringLiteral("policy"), policy);
            // What a gateway that is away last said is not its adapter's state now.
            const QString state = bridge == QLatin1String("online") ? line.value(QStringLiteral("state")).toString()
                                                                    : QStringLiteral("gateway %1").arg(bridge);
            const QString last = line.value(QStringLiteral("last_update")).toString();
            context.printer->result(QStringLiteral("%1  %2  %3  firmware %4  target %5  last update %6%7%8")
                                            .arg(orDash(gateway), line.value(QStringLiteral("adapter")).toString(), state,
                                                 orDash(line.value(QStringLiteral("firmware")).toString()),
                                                 orDash(line.value(QStringLiteral("target")).toString()), orDash(last),
                                                 last.isEmpty() ? QString() : QStringLiteral(" since %1").arg(line.value(QStringLiteral("since")).toString()),
                                                 policyText),
                                    line);
        }
    }
    return ExitSuccess;
}
