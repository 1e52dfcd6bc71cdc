// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_FLEETVIEW_H
#define VEXBUSCTL_FLEETVIEW_H

#include <QByteArray>
#include <QMap>
#include <QString>

// The fleet as its broker keeps it: the retained topics that every
// gateway's vexbusd publishes (its bridge state, and for each adapter its
// state, its update entity and its last history entry), read once with
// libmosquitto. No gateway is asked; a gateway that is away shows as its
// last will left it.
class FleetView
{
public:
    struct Options
    {
        // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
        QString broker;
        QString user;
        // Its first line is the password, as for the service.
        QString passwordFile;
        // CA certificates (PEM) for mqtts://; the system's without it.
        QString caFile;
        QString baseTopic = QStringLiteral("vexbus");
        int timeoutMs = 10000;
    };

    // Subscribes, collects what the broker holds retained and leaves once
    // the broker has sent it all (nothing more for a moment after the
    // subscriptions were acknowledged) or the time-out passed. False with
    // the reason in error when the broker cannot be reached or refuses.
    bool read(const Options &options, QString *error);

    // Retained payloads by topic.
    const QMap<QString, QByteArray> &retained() const { return m_retained; }

private:
    QMap<QString, QByteArray> m_retained;
};

#endif // VEXBUSCTL_FLEETVIEW_H
