// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_SERVICESETTINGS_H
#define VEXBUSD_SERVICESETTINGS_H

#include <QString>
#include <QStringList>

// The service's own settings, from /etc/vexbus/vexbusd.conf (an INI file):
//   [Release] Server, CaCertificate, TrustedKeys (key files or folders of them)
//   [Adapters] BaudRate, Ignore (serial numbers or device paths),
//              ResponseTimeout, RecoverFromBootloader
//   [mqtt] Broker, ClientId, User, PasswordFile, CaFile, BaseTopic,
//          Discovery, DiscoveryPrefix, Commands, Buttons
// The library reads no file; the service hands these to it.
class QSettings;

class ServiceSettings
{
public:
    static constexpr const char *defaultFileName = "/etc/vexbus/vexbusd.conf";

    // The settings in fileName; a missing file gives the defaults, an
    // unreadable or malformed one an error text.
    static ServiceSettings load(const QString &fileName, QString *error);

    QString releaseServer;
    QString caCertificate;
    QStringList trustedKeys;
    int baudRate = 115200;
    QStringList ignoredAdapters;
    // How long a command waits for the controller, in ms: longer for a
    // link slower than a USB cable.
    int responseTimeout = 2000;
    // A controller found waiting in its bootloader is brought back with the
    // last image installed on it; off for operators who decide themselves.
    bool recoverFromBootloader = true;

    // The MQTT bridge; off without a broker.
    struct Mqtt
    {
        QString broker; // mqtt://host[:port] or mqtts://host[:port]
        QString host;
        int port = 0;
        bool tls = false;
        QString clientId = QStringLiteral("vexbusd");
        QString user;
        QString passwordFile;
        QString caFile;
        QString baseTopic = QStringLiteral("vexbus");
        bool discovery = true;
        QString discoveryPrefix = QStringLiteral("homeassistant");
        // The commands taken from MQTT: write, press, reset, update; none by default.
        QStringList commands;
        // Module buttons offered as buttons in discovery: "module:button" or
        // "module:button:ms".
        QStringList buttons;

        bool enabled() const { return !broker.isEmpty(); }
    } mqtt;

    // Whether the adapter with this serial number or device path is left alone.
    bool ignores(const QString &serialNumber, const QString &devicePath) const;

private:
    // Reads [mqtt] into mqtt; an error text when a value is malformed.
    static QString loadMqtt(const QSettings &settings, Mqtt *mqtt);
};

#endif // VEXBUSD_SERVICESETTINGS_H
