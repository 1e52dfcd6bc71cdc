// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_FLEETPOLICYAGENT_H
#define VEXBUSD_FLEETPOLICYAGENT_H

#include "fleetpolicy.h"

#include "firmware/releasekey.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

class AdapterManager;
class ManagedAdapter;
class QNetworkAccessManager;
class QNetworkReply;

// The gateway's side of the fleet policy. It takes a signed policy from the
// release server (fetched every interval) or from MQTT, keeps the newest
// one a trusted key signed in the state directory, and acts on it for each
// adapter by itself: an adapter in the rollout, at or above the minimum
// version and below the target is updated from the release server inside
// the maintenance window, with the trigger "policy" in the history. A
// failed update halts the rollout on this gateway, across restarts, until
// a policy with another rollout name comes. Updates that operators start
// do not pass through here.
class FleetPolicyAgent : public QObject
{
    Q_OBJECT

public:
    // Where a policy came from, as the refusals and the log name it.
    static constexpr const char *sourceServer = "server";
    static constexpr const char *sourceMqtt = "mqtt";
    static constexpr const char *sourceState = "state";

    // releaseServer is the folder of release.json; intervalSeconds 0
    // fetches never.
    FleetPolicyAgent(AdapterManager *manager, const QString &releaseServer, int intervalSeconds,
                     const QList<NivoraVexbusUsb::ReleaseKey> &trustedKeys, const QString &stateDirectory,
                     const QString &gatewayId, QObject *parent = nullptr);
    ~FleetPolicyAgent() override;

    // Takes up the kept policy, follows the manager's adapters and fetches
    // the server's policy; before manager->start().
    void start();

    // A policy with its detached signature; false when it was refused (or
    // is the one held already).
    bool offer(const QByteArray &content, const QByteArray &signature, const QString &source);
    // A message that does not even carry a policy.
    void refuseMalformed(const QByteArray &message, const QString &source, const QString &why);

    // The gateway's policy state as BASE/bridge/GATEWAY/policy publishes it.
    QJsonObject stateJson() const;

    // The stable name of an adapter in the fleet: its serial number, or
    // the gateway id and its device path for one without.
    static QString fleetNameOf(const ManagedAdapter *adapter, const QString &gatewayId);

signals:
    // stateJson() changed.
    void stateChanged();

private:
    struct Refusal
    {
        qint64 sequence = 0;
        QString source;
        QString reason;
        QString message;
        QDateTime time;
    };
    // What the agent does with one adapter now.
    struct AdapterPlan
    {
        // A release check or an update of the policy runs.
        bool busy = false;
        // The policy whose update the release server's release did not
        // match; not tried again for it.
        qint64 refusedSequence = 0;
    };

    void fetch();
    void onFetched();
    void refuse(qint64 sequence, const QString &source, const QString &reason, const QString &message, const QByteArray &content);
    void accept(const FleetPolicy &policy, const QByteArray &content, const QByteArray &signature, const QString &source);
    void loadState();
    bool saveState(QString *error) const;
    void haltRollout(ManagedAdapter *adapter, const QString &reason);

    void evaluateAll();
    void evaluate(ManagedAdapter *adapter);
    // Whether something holds the adapter back from an update now: the
    // state it is in, and why.
    bool isHeldBack(ManagedAdapter *adapter, QString *state, QString *message) const;
    void checkRelease(ManagedAdapter *adapter);
    void update(ManagedAdapter *adapter, const QString &version);
    void setAdapterState(ManagedAdapter *adapter, const QString &state, const QString &message);
    // The gateway-wide state: none, active, halted, failed.
    QString gatewayState() const;

    AdapterManager *m_manager;
    QString m_releaseServer;
    int m_intervalSeconds;
    QList<NivoraVexbusUsb::ReleaseKey> m_trustedKeys;
    QString m_stateDirectory;
    QString m_gatewayId;
    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_policyReply;
    QPointer<QNetworkReply> m_signatureReply;
    QTimer m_intervalTimer;
    QTimer m_windowTimer;

    FleetPolicy m_policy;
    QByteArray m_content;
    // The highest sequence ever accepted, kept when the kept document is
    // no longer usable: an older policy stays refused.
    qint64 m_sequence = 0;
    // This gateway's halt after a failed update of the rollout.
    QString m_haltedRollout;
    QString m_haltReason;
    QString m_failedAdapter;
    QDateTime m_haltTime;
    Refusal m_refusal;
    // The refused documents already warned about, by their SHA-256.
    QSet<QByteArray> m_warned;
    QHash<ManagedAdapter *, AdapterPlan> m_plans;
};

#endif // VEXBUSD_FLEETPOLICYAGENT_H
