// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_UPDATERECORD_H
#define VEXBUSD_UPDATERECORD_H

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QVariantMap>

// Who asked for an update: the trigger ("dbus" for an operator over D-Bus
// or vexbusctl, "mqtt", "policy", "recovery") and, where the service knows
// it, the requester in words (the D-Bus caller's program, the MQTT
// transaction).
struct UpdateOrigin
{
    static constexpr const char *triggerDBus = "dbus";
    static constexpr const char *triggerMqtt = "mqtt";
    static constexpr const char *triggerPolicy = "policy";
    static constexpr const char *triggerRecovery = "recovery";

    QString trigger;
    QString requester;
};

// One entry of the update history: an update from its request to its end,
// or a request the service refused without writing anything. The field
// names are the history's own in D-Bus, JSON and the database.
class UpdateRecord
{
public:
    // The result: "running" until the end, then "succeeded", "failed"
    // (something was written, or the controller did not come back),
    // "refused" (nothing was written) or "interrupted" (the service ended
    // during the update).
    static constexpr const char *resultRunning = "running";
    static constexpr const char *resultSucceeded = "succeeded";
    static constexpr const char *resultFailed = "failed";
    static constexpr const char *resultRefused = "refused";
    static constexpr const char *resultInterrupted = "interrupted";
    // The release channel of an image that came as a file.
    static constexpr const char *channelFile = "file";

    qint64 id = 0;
    QString gateway;
    // The adapter's key: its serial number, or its port without one.
    QString adapter;
    QString serialNumber;
    QString firmwareBefore;
    QString firmwareAfter;
    QString imageSha256;
    QString releaseVersion;
    // "stable", "pre-release" or "file".
    QString releaseChannel;
    bool releaseSigned = false;
    QString trigger;
    QString requester;
    QDateTime started;
    QDateTime ended;
    QString result;
    QString error;
    QString message;

    bool isValid() const { return id > 0; }
    QVariantMap toVariantMap() const;
    QJsonObject toJson() const;
};

#endif // VEXBUSD_UPDATERECORD_H
