// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_SERVICESETTINGS_H
#define VEXBUSD_SERVICESETTINGS_H

#include <QString>
#include <QStringList>

// The service's own settings, from /etc/vexbus/vexbusd.conf (an INI file):
//   [Gateway] Id
//   [Release] Server, CaCertificate, TrustedKeys (key files or folders of them)
//   [Policy] Interval
//   [Adapters] BaudRate, Ignore (serial numbers or device paths),
//              ResponseTimeout, RecoverFromBootloader
//   [DBus] BusFrameSignal
//   [mqtt] Broker, ClientId, User, PasswordFile, CaFile, BaseTopic,
//          Discovery, DiscoveryPrefix, Commands, Buttons, Frames
// The library reads no file; the service hands these to it.
class QSettings;

class ServiceSettings
{
public:
    static constexpr const char *defaultFileName = "/etc/vexbus/vexbusd.conf";

    // The settings in fileName; a missing file gives the defaults, an
    // unreadable or malformed one an error text.
    static ServiceSettings load(const QString &fileName, QString *error);

    // The gateway's name in the fleet; empty for the one derived from the
    // machine id (GatewayIdentity).
    QString gatewayId;
    QString releaseServer;
    QString caCertificate;
    QStringList trustedKeys;
    // Seconds between two fetches of the fleet policy from the release
    // server, which also look again at every adapter; 0 fetches never.
    int policyInterval = 3600;
    int baudRate = 115200;
    QStringList ignoredAdapters;
    // How long a command waits for the controller, in ms: longer for a
    // link slower than a USB cable.
    int responseTimeout = 2000;
    // A controller found waiting in its bootloader is brought back with the
    // last image installed on it; off for operators who decide themselves.
    bool recoverFromBootloader = true;
    // Whether frames also go out as the BusFrameReceived signal; without
    // it they reach D-Bus clients through frame sockets only.
    bool busFrameSignal = true;

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
        // Which bus frames go out on BASE/ID/frame: none by default, all,
        // or those that begin with one of framePatterns.
        enum Frames { FramesNone, FramesAll, FramesMatching };
        Frames frames = FramesNone;
        // Hexadecimal bytes, "xx" for any byte: "0a1b", "05xx02".
        QStringList framePatterns;
        bool publishesFrame(const QByteArray &frame) const;

        bool enabled() const { return !broker.isEmpty(); }
    } mqtt;

    // Whether text can be a gateway id: a topic level of A-Z, a-z, 0-9, -
    // and _, at most 64 characters.
    static bool isGatewayId(const QString &text);

    // Whether the adapter with this serial number or device path is left alone.
    bool ignores(const QString &serialNumber, const QString &devicePath) const;

private:
    // Reads [mqtt] into mqtt; an error text when a value is malformed.
    static QString loadMqtt(const QSettings &settings, Mqtt *mqtt);
};

#endif // VEXBUSD_SERVICESETTINGS_H
