// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "servicesettings.h"

#include "names.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>

namespace {

// QSettings reads "a, b" as a list and "a" as a string.
QStringList listValue(const QSettings &settings, const QString &key)
{
    QStringList values;
    for (const QString &value : settings.value(key).toStringList()) {
        if (!value.trimmed().isEmpty())
            values.append(value.trimmed());
    }
    return values;
}

} // namespace

ServiceSettings ServiceSettings::load(const QString &fileName, QString *error)
{
    ServiceSettings result;
    if (!QFileInfo::exists(fileName))
        return result;

    QSettings settings(fileName, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot read %1: %2").arg(fileName,
                 settings.status() == QSettings::AccessError ? QStringLiteral("access denied") : QStringLiteral("not an INI file"));
        return result;
    }
    result.gatewayId = settings.value(QStringLiteral("Gateway/Id")).toString().trimmed();
    if (!result.gatewayId.isEmpty() && !isGatewayId(result.gatewayId)) {
        *error = QStringLiteral("%1: Gateway/Id takes A-Z, a-z, 0-9, - and _ (at most 64), not %2").arg(fileName, result.gatewayId);
        return result;
    }
    result.releaseServer = settings.value(QStringLiteral("Release/Server")).toString();
    result.caCertificate = settings.value(QStringLiteral("Release/CaCertificate")).toString();
    result.trustedKeys = listValue(settings, QStringLiteral("Release/TrustedKeys"));
    result.ignoredAdapters = listValue(settings, QStringLiteral("Adapters/Ignore"));
    bool ok = true;
    result.policyInterval = settings.value(QStringLiteral("Policy/Interval"), result.policyInterval).toInt(&ok);
    if (!ok || result.policyInterval < 0) {
        *error = QStringLiteral("%1: Policy/Interval must be a number of seconds, 0 for never").arg(fileName);
        return result;
    }
    result.baudRate = settings.value(QStringLiteral("Adapters/BaudRate"), 115200).toInt(&ok);
    if (!ok || result.baudRate <= 0)
        *error = QStringLiteral("%1: Adapters/BaudRate must be a positive number of bit/s").arg(fileName);
    result.responseTimeout = settings.value(QStringLiteral("Adapters/ResponseTimeout"), 2000).toInt(&ok);
    if ((!ok || result.responseTimeout <= 0) && error->isEmpty())
        *error = QStringLiteral("%1: Adapters/ResponseTimeout must be a positive number of ms").arg(fileName);
    const QString recover = settings.value(QStringLiteral("Adapters/RecoverFromBootloader"), QStringLiteral("true")).toString();
    if (recover != QLatin1String("true") && recover != QLatin1String("false") && error->isEmpty())
        *error = QStringLiteral("%1: Adapters/RecoverFromBootloader must be true or false, not %2").arg(fileName, recover);
    result.recoverFromBootloader = recover != QLatin1String("false");
    const QString frameSignal = settings.value(QStringLiteral("DBus/BusFrameSignal"), QStringLiteral("true")).toString().trimmed().toLower();
    result.busFrameSignal = frameSignal != QLatin1String("false");
    if (frameSignal != QLatin1String("true") && frameSignal != QLatin1String("false") && error->isEmpty())
        *error = QStringLiteral("%1: DBus/BusFrameSignal must be true or false").arg(fileName);
    const QString mqttError = loadMqtt(settings, &result.mqtt);
    if (!mqttError.isEmpty() && error->isEmpty())
        *error = QStringLiteral("%1: %2").arg(fileName, mqttError);
    return result;
}

QString ServiceSettings::loadMqtt(const QSettings &settings, Mqtt *mqtt)
{
    mqtt->broker = settings.value(QStringLiteral("mqtt/Broker")).toString().trimmed();
    if (mqtt->broker.isEmpty())
        return QString();
    const QUrl url(mqtt->broker, QUrl::StrictMode);
    mqtt->tls = url.scheme() == QLatin1String("mqtts");
    mqtt->host = url.host();
    mqtt->port = url.port(mqtt->tls ? 8883 : 1883);
    // Port 0 is valid in a URL but reaches no broker.
    if (!url.isValid() || (url.scheme() != QLatin1String("mqtt") && !mqtt->tls) || mqtt->host.isEmpty() || mqtt->port <= 0
            || !url.userInfo().isEmpty() || (!url.path().isEmpty() && url.path() != QLatin1String("/"))) {
        return QStringLiteral("mqtt/Broker must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not %1").arg(mqtt->broker);
    }
    mqtt->clientId = settings.value(QStringLiteral("mqtt/ClientId"), mqtt->clientId).toString();
    mqtt->user = settings.value(QStringLiteral("mqtt/User")).toString();
    mqtt->passwordFile = settings.value(QStringLiteral("mqtt/PasswordFile")).toString();
    mqtt->caFile = settings.value(QStringLiteral("mqtt/CaFile")).toString();
    mqtt->baseTopic = settings.value(QStringLiteral("mqtt/BaseTopic"), mqtt->baseTopic).toString();
    mqtt->discoveryPrefix = settings.value(QStringLiteral("mqtt/DiscoveryPrefix"), mqtt->discoveryPrefix).toString();
    for (const QString &topic : {mqtt->baseTopic, mqtt->discoveryPrefix}) {
        if (topic.isEmpty() || topic.contains(QLatin1Char('+')) || topic.contains(QLatin1Char('#'))
                || topic.startsWith(QLatin1Char('/')) || topic.endsWith(QLatin1Char('/')))
            return QStringLiteral("mqtt/BaseTopic and mqtt/DiscoveryPrefix must be topics without wildcards or "
                                  "leading or trailing /, not \"%1\"").arg(topic);
    }
    const QString discovery = settings.value(QStringLiteral("mqtt/Discovery"), QStringLiteral("true")).toString();
    if (discovery != QLatin1String("true") && discovery != QLatin1String("false"))
        return QStringLiteral("mqtt/Discovery must be true or false, not %1").arg(discovery);
    mqtt->discovery = discovery == QLatin1String("true");

    const QStringList known{QStringLiteral("write"), QStringLiteral("press"), QStringLiteral("reset"), QStringLiteral("update")};
    mqtt->commands = listValue(settings, QStringLiteral("mqtt/Commands"));
    for (const QString &command : mqtt->commands) {
        if (!known.contains(command))
            return QStringLiteral("mqtt/Commands takes %1, not %2").arg(known.join(QStringLiteral(", ")), command);
    }
    mqtt->buttons = listValue(settings, QStringLiteral("mqtt/Buttons"));
    for (const QString &button : mqtt->buttons) {
        const QStringList parts = button.split(QLatin1Char(':'));
        Names::Module module;
        bool ok = parts.count() == 2;
        if (parts.count() == 3) {
            const uint milliseconds = parts.at(2).toUInt(&ok);
            ok = ok && milliseconds > 0 && milliseconds <= 65535;
        }
        if (!ok || !Names::moduleFromName(parts.at(0), &module) || Names::buttonFromName(module, parts.value(1)) <= 0)
            return QStringLiteral("mqtt/Buttons takes MODULE:BUTTON or MODULE:BUTTON:MS of vexbusctl's names, not %1").arg(button);
    }
    // Frames=none, all, or patterns. A single word reads as a string.
    const QStringList frames = listValue(settings, QStringLiteral("mqtt/Frames"));
    if (frames == QStringList{QStringLiteral("all")}) {
        mqtt->frames = Mqtt::FramesAll;
    } else if (frames.isEmpty() || frames == QStringList{QStringLiteral("none")}) {
        mqtt->frames = Mqtt::FramesNone;
    } else {
        for (const QString &pattern : frames) {
            static const QRegularExpression bytes(QStringLiteral("^([0-9a-f]{2}|xx){1,255}$"));
            if (!bytes.match(pattern.toLower()).hasMatch())
                return QStringLiteral("mqtt/Frames takes none, all, or patterns of hexadecimal bytes with xx for any byte "
                                      "(a frame that begins so goes out), not %1").arg(pattern);
            mqtt->framePatterns.append(pattern.toLower());
        }
        mqtt->frames = Mqtt::FramesMatching;
    }
    return QString();
}

bool ServiceSettings::Mqtt::publishesFrame(const QByteArray &frame) const
{
    if (frames != FramesMatching)
        return frames == FramesAll;
    const QByteArray hex = frame.toHex();
    for (const QString &pattern : framePatterns) {
        if (pattern.size() > hex.size())
            continue;
        bool matches = true;
        for (int i = 0; matches && i < pattern.size(); i += 2) {
            matches = (pattern.at(i) == QLatin1Char('x') && pattern.at(i + 1) == QLatin1Char('x'))
                    || (pattern.at(i) == QLatin1Char(hex.at(i)) && pattern.at(i + 1) == QLatin1Char(hex.at(i + 1)));
        }
        if (matches)
            return true;
    }
    return false;
}

bool ServiceSettings::isGatewayId(const QString &text)
{
    if (text.isEmpty() || text.size() > 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
              || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('_')))
            return false;
    }
    return true;
}

bool ServiceSettings::ignores(const QString &serialNumber, const QString &devicePath) const
{
    return (!serialNumber.isEmpty() && ignoredAdapters.contains(serialNumber)) || ignoredAdapters.contains(devicePath);
}
