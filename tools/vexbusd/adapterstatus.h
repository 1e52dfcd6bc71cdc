// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_ADAPTERSTATUS_H
#define VEXBUSD_ADAPTERSTATUS_H

#include <QString>

// Everything the service tells about one adapter, in the names of its
// contract (the wire names of names.h): what the D-Bus properties show and
// what MQTT publishes. ManagedAdapter keeps it; the front ends render it.
class AdapterStatus
{
public:
    QString state = QStringLiteral("unconnected");
    bool available = false;
    bool controllerInBootloader = false;
    QString firmwareVersion;
    QString ledMode = QStringLiteral("unknown");
    QString busType = QStringLiteral("unknown");
    bool busSynchronized = false;
    bool busInitialized = false;
    bool busAvailable = false;
    QString port;
    QString serialNumber;
    int baudRate = 0;
    // From the request of an update to its answer: while the controller
    // restarts with the new firmware, too.
    bool updating = false;
    QString updatePhase = QStringLiteral("idle");
    // 0 to 100; it changes once a whole percent, so that a client hears of
    // progress about a hundred times an update, not for every row.
    double updatePercentage = 0;
    QString updateError = QStringLiteral("none");
    QString updateErrorString;
    QString inhibitedBy;
    QString inhibitReason;
    // What the service does about a controller found waiting in its
    // bootloader: "none" (nothing to do), "running" (an update with the
    // kept image runs), "done", "failed", "off" (the settings leave it to
    // an operator), "no-image" (nothing kept to bring it back with) or
    // "refused" (the kept image did not pass its checks); the last three
    // and "failed" wait for an operator.
    QString recovery = QStringLiteral("none");
    // The same as a sentence a person can act on; empty with "none".
    QString recoveryMessage;
    // The fleet policy as it concerns this adapter: the sequence of the
    // policy the gateway holds (0 for none), what it means for the adapter
    // ("none", "halted", "rollout-halted", "failed", "outside-rollout",
    // "below-minimum", "up-to-date", "outside-window", "waiting",
    // "not-approved", "updating") with a sentence, and the last policy the
    // gateway refused, as a sentence.
    qulonglong policySequence = 0;
    QString policyState = QStringLiteral("none");
    QString policyMessage;
    QString policyRefusal;

    bool operator==(const AdapterStatus &other) const
    {
        return state == other.state && available == other.available && controllerInBootloader == other.controllerInBootloader
                && firmwareVersion == other.firmwareVersion && ledMode == other.ledMode && busType == other.busType
                && busSynchronized == other.busSynchronized && busInitialized == other.busInitialized
                && busAvailable == other.busAvailable && port == other.port && serialNumber == other.serialNumber
                && baudRate == other.baudRate && updating == other.updating && updatePhase == other.updatePhase
                && updatePercentage == other.updatePercentage && updateError == other.updateError
                && updateErrorString == other.updateErrorString && inhibitedBy == other.inhibitedBy
                && inhibitReason == other.inhibitReason && recovery == other.recovery
                && recoveryMessage == other.recoveryMessage && policySequence == other.policySequence
                && policyState == other.policyState && policyMessage == other.policyMessage
                && policyRefusal == other.policyRefusal;
    }
    bool operator!=(const AdapterStatus &other) const { return !(*this == other); }
};

#endif // VEXBUSD_ADAPTERSTATUS_H
