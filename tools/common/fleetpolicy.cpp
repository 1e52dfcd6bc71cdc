// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "fleetpolicy.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>

namespace {

// Integers as JSON carries them exactly, up to 2^53.
bool integerOf(const QJsonValue &value, qint64 minimum, qint64 maximum, qint64 *result)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (std::floor(number) != number || number < double(minimum) || number > double(maximum))
        return false;
    *result = qint64(number);
    return true;
}

constexpr qint64 largestExactInteger = (qint64(1) << 53);

} // namespace

FleetPolicy FleetPolicy::fromJson(const QByteArray &content, QString *error)
{
    if (content.size() > maximumSize) {
        *error = QStringLiteral("larger than %1 bytes").arg(maximumSize);
        return FleetPolicy();
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(content, &parseError);
    if (!document.isObject()) {
        *error = parseError.error != QJsonParseError::NoError
                ? QStringLiteral("not JSON: %1 at byte %2").arg(parseError.errorString()).arg(parseError.offset)
                : QStringLiteral("not a JSON object");
        return FleetPolicy();
    }
    const QJsonObject object = document.object();
    FleetPolicy policy;
    if (!integerOf(object.value(QStringLiteral("sequence")), 1, largestExactInteger, &policy.m_sequence)) {
        *error = QStringLiteral("\"sequence\" must be a whole number from 1");
        return FleetPolicy();
    }
    policy.m_target = object.value(QStringLiteral("target")).toString();
    if (policy.m_target != QLatin1String(targetCurrent) && parseVersion(policy.m_target).isNull()) {
        *error = QStringLiteral("\"target\" must be \"current\" or a version X.Y.Z");
        return FleetPolicy();
    }
    const QJsonValue approved = object.value(QStringLiteral("approvedSha256"));
    if (!approved.isArray()) {
        *error = QStringLiteral("\"approvedSha256\" must be a list of SHA-256 sums");
        return FleetPolicy();
    }
    for (const QJsonValue &value : approved.toArray()) {
        if (!isSha256(value.toString())) {
            *error = QStringLiteral("\"approvedSha256\" holds %1, which is no SHA-256 sum of 64 hexadecimal digits")
                    .arg(QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact)));
            return FleetPolicy();
        }
        policy.m_approvedSha256.append(value.toString().toLower());
    }
    policy.m_rollout = object.value(QStringLiteral("rollout")).toString();
    if (policy.m_rollout.isEmpty()) {
        *error = QStringLiteral("\"rollout\" must name the rollout");
        return FleetPolicy();
    }
    qint64 percent = 0;
    if (!integerOf(object.value(QStringLiteral("percent")), 0, 100, &percent)) {
        *error = QStringLiteral("\"percent\" must be a whole number from 0 to 100");
        return FleetPolicy();
    }
    policy.m_percent = int(percent);
    const QJsonValue window = object.value(QStringLiteral("window"));
    if (!window.isUndefined() && !window.isNull()
            && !parseWindow(window.toString(), &policy.m_windowStart, &policy.m_windowEnd)) {
        *error = QStringLiteral("\"window\" must be HH:MM-HH:MM with two different times");
        return FleetPolicy();
    }
    const QJsonValue minimum = object.value(QStringLiteral("minimumVersion"));
    if (!minimum.isUndefined() && !minimum.isNull()) {
        policy.m_minimumVersion = parseVersion(minimum.toString());
        if (policy.m_minimumVersion.isNull()) {
            *error = QStringLiteral("\"minimumVersion\" must be a version X.Y.Z");
            return FleetPolicy();
        }
    }
    const QJsonValue halt = object.value(QStringLiteral("halt"));
    if (!halt.isUndefined() && !halt.isBool()) {
        *error = QStringLiteral("\"halt\" must be true or false");
        return FleetPolicy();
    }
    policy.m_halt = halt.toBool(false);
    // A policy that may install something names what.
    if (!policy.m_halt && policy.m_percent > 0 && policy.m_approvedSha256.isEmpty()) {
        *error = QStringLiteral("\"approvedSha256\" is empty, so no image could be installed; a policy that installs "
                                "nothing says \"halt\": true or \"percent\": 0");
        return FleetPolicy();
    }
    const QJsonValue timestamp = object.value(QStringLiteral("timestamp"));
    if (!timestamp.isUndefined() && !integerOf(timestamp, 0, largestExactInteger, &policy.m_timestamp)) {
        *error = QStringLiteral("\"timestamp\" must be seconds since 1970");
        return FleetPolicy();
    }
    return policy;
}

QByteArray FleetPolicy::toJson() const
{
    QJsonObject object{
        {QStringLiteral("sequence"), double(m_sequence)},
        {QStringLiteral("target"), m_target},
        {QStringLiteral("approvedSha256"), QJsonArray::fromStringList(m_approvedSha256)},
        {QStringLiteral("rollout"), m_rollout},
        {QStringLiteral("percent"), m_percent},
        {QStringLiteral("halt"), m_halt},
        {QStringLiteral("timestamp"), double(m_timestamp)},
    };
    if (hasWindow())
        object.insert(QStringLiteral("window"), windowText());
    if (!m_minimumVersion.isNull())
        object.insert(QStringLiteral("minimumVersion"), m_minimumVersion.toString());
    return QJsonDocument(object).toJson();
}

QString FleetPolicy::windowText() const
{
    if (!hasWindow())
        return QString();
    return m_windowStart.toString(QStringLiteral("HH:mm")) + QLatin1Char('-') + m_windowEnd.toString(QStringLiteral("HH:mm"));
}

bool FleetPolicy::isInsideWindow(const QTime &time) const
{
    if (!hasWindow())
        return true;
    // Minutes, as the window is written.
    const int now = time.hour() * 60 + time.minute();
    const int start = m_windowStart.hour() * 60 + m_windowStart.minute();
    const int end = m_windowEnd.hour() * 60 + m_windowEnd.minute();
    if (start < end)
        return now >= start && now < end;
    return now >= start || now < end;
}

qint64 FleetPolicy::msecsUntilWindow(const QTime &time) const
{
    if (isInsideWindow(time))
        return 0;
    qint64 until = time.msecsTo(m_windowStart);
    if (until <= 0)
        until += 24 * 3600 * 1000;
    return until;
}

int FleetPolicy::bucketOf(const QString &adapterName, const QString &rollout)
{
    const QByteArray digest = QCryptographicHash::hash(rollout.toUtf8() + '/' + adapterName.toUtf8(), QCryptographicHash::Sha256);
    const quint32 head = (quint32(uchar(digest.at(0))) << 24) | (quint32(uchar(digest.at(1))) << 16)
            | (quint32(uchar(digest.at(2))) << 8) | quint32(uchar(digest.at(3)));
    return int(head % 100);
}

QVersionNumber FleetPolicy::parseVersion(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,9})\\.(\\d{1,9})\\.(\\d{1,9})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return QVersionNumber();
    return QVersionNumber(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
}

bool FleetPolicy::parseWindow(const QString &text, QTime *start, QTime *end)
{
    static const QRegularExpression pattern(QStringLiteral("^([01]\\d|2[0-3]):([0-5]\\d)-([01]\\d|2[0-3]):([0-5]\\d)$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return false;
    const QTime from(match.captured(1).toInt(), match.captured(2).toInt());
    const QTime to(match.captured(3).toInt(), match.captured(4).toInt());
    if (from == to)
        return false;
    *start = from;
    *end = to;
    return true;
}

bool FleetPolicy::isSha256(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-fA-F]{64}$"));
    return pattern.match(text).hasMatch();
}
