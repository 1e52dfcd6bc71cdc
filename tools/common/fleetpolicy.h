// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_TOOLS_FLEETPOLICY_H
#define NIVORA_TOOLS_FLEETPOLICY_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTime>
#include <QVersionNumber>

// The fleet policy, policy.json: which firmware the adapters of a whole
// fleet run, to how many of them it goes and when. Its publisher signs it
// with the release key, as release.json, and every gateway decides by
// itself from it. vexbus-release writes it, vexbusd reads it; both through
// this one value, so that what is written is what is read.
class FleetPolicy
{
public:
    static constexpr const char *fileName = "policy.json";
    // The target that follows the release server's current release.
    static constexpr const char *targetCurrent = "current";
    // The document is small; anything larger is refused unread.
    static constexpr int maximumSize = 64 * 1024;

    FleetPolicy() = default;

    // The policy in content; a null policy, with the reason in error, when
    // content is not one (missing or malformed fields).
    static FleetPolicy fromJson(const QByteArray &content, QString *error);
    // The document, as it is signed.
    QByteArray toJson() const;

    bool isNull() const { return m_sequence <= 0; }

    // Higher is newer; at least 1.
    qint64 sequence() const { return m_sequence; }
    void setSequence(qint64 sequence) { m_sequence = sequence; }
    // "current" or a version X.Y.Z.
    QString target() const { return m_target; }
    void setTarget(const QString &target) { m_target = target; }
    bool targetsCurrent() const { return m_target == QLatin1String(targetCurrent); }
    // The SHA-256 of every image the policy lets a gateway install, in
    // lower-case hex.
    QStringList approvedSha256() const { return m_approvedSha256; }
    void setApprovedSha256(const QStringList &approved) { m_approvedSha256 = approved; }
    bool approves(const QString &sha256) const { return m_approvedSha256.contains(sha256.toLower()); }
    QString rollout() const { return m_rollout; }
    void setRollout(const QString &rollout) { m_rollout = rollout; }
    // 0 to 100: the adapters whose bucket is below it are in the rollout.
    int percent() const { return m_percent; }
    void setPercent(int percent) { m_percent = percent; }
    // The maintenance window in the gateway's local time, start included
    // and end excluded; an end before the start crosses midnight. Without
    // a window any time is inside.
    bool hasWindow() const { return m_windowStart.isValid(); }
    QTime windowStart() const { return m_windowStart; }
    QTime windowEnd() const { return m_windowEnd; }
    void setWindow(const QTime &start, const QTime &end) { m_windowStart = start; m_windowEnd = end; }
    // "HH:MM-HH:MM", empty without a window.
    QString windowText() const;
    // Adapters running a firmware below it are left alone; null for none.
    QVersionNumber minimumVersion() const { return m_minimumVersion; }
    void setMinimumVersion(const QVersionNumber &version) { m_minimumVersion = version; }
    // No gateway starts an update for this policy.
    bool halt() const { return m_halt; }
    void setHalt(bool halt) { m_halt = halt; }
    // When the publisher wrote it, seconds since 1970; for people only.
    qint64 timestamp() const { return m_timestamp; }
    void setTimestamp(qint64 timestamp) { m_timestamp = timestamp; }

    // Whether time (the gateway's local time of day) is inside the window.
    bool isInsideWindow(const QTime &time) const;
    // How long from time until the window opens, in ms; 0 inside it or
    // without a window.
    qint64 msecsUntilWindow(const QTime &time) const;
    // Whether the adapter named adapterName is in the rollout.
    bool includes(const QString &adapterName) const { return bucketOf(adapterName, m_rollout) < m_percent; }

    // The adapter's stable bucket in a rollout, 0 to 99: the first four
    // bytes of SHA-256(rollout "/" adapterName), big-endian, modulo 100.
    // It depends on nothing else, so a growing percentage keeps every
    // adapter that was in.
    static int bucketOf(const QString &adapterName, const QString &rollout);
    // "X.Y.Z" with three numbers; a null version otherwise.
    static QVersionNumber parseVersion(const QString &text);
    // "HH:MM-HH:MM"; false when text is not one or start equals end.
    static bool parseWindow(const QString &text, QTime *start, QTime *end);
    // 64 hexadecimal digits.
    static bool isSha256(const QString &text);

private:
    qint64 m_sequence = 0;
    QString m_target;
    QStringList m_approvedSha256;
    QString m_rollout;
    int m_percent = 0;
    QTime m_windowStart;
    QTime m_windowEnd;
    QVersionNumber m_minimumVersion;
    bool m_halt = false;
    qint64 m_timestamp = 0;
};

#endif // NIVORA_TOOLS_FLEETPOLICY_H
