// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "fleetpolicyagent.h"
#include "adaptermanager.h"
#include "managedadapter.h"
#include "mqttadapter.h"
#include "releasetrust.h"
#include "vexbusdlogging.h"

#include "firmware/firmwaredownloader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>

namespace {

const QString stateFileName = QStringLiteral("policy-state.json");
// A request to the release server that makes no progress ends after it.
constexpr int transferTimeout = 30000; // ms

QByteArray readAll(const QString &path, bool *exists)
{
    QFile file(path);
    *exists = file.open(QIODevice::ReadOnly);
    return *exists ? file.read(FleetPolicy::maximumSize + 1) : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &content, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit())
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

// Where a policy came from, in the log's words.
QString placeOf(const QString &source)
{
    if (source == QLatin1String(FleetPolicyAgent::sourceServer))
        return QStringLiteral("the release server");
    if (source == QLatin1String(FleetPolicyAgent::sourceState))
        return QStringLiteral("the state directory");
    return source == QLatin1String(FleetPolicyAgent::sourceMqtt) ? QStringLiteral("MQTT") : source;
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

FleetPolicyAgent::FleetPolicyAgent(AdapterManager *manager, const QString &releaseServer, int intervalSeconds,
                                   const QList<NivoraVexbusUsb::ReleaseKey> &trustedKeys, const QString &stateDirectory,
                                   const QString &gatewayId, QObject *parent)
    : QObject(parent),
      m_manager(manager),
      m_releaseServer(releaseServer.isEmpty() ? NivoraVexbusUsb::FirmwareDownloader::defaultBaseUrl() : releaseServer),
      m_intervalSeconds(intervalSeconds),
      m_trustedKeys(trustedKeys),
      m_stateDirectory(stateDirectory),
      m_gatewayId(gatewayId)
{
    while (m_releaseServer.endsWith(QLatin1Char('/')))
        m_releaseServer.chop(1);
    // Without a fetch the adapters are still looked at again now and then:
    // a release server that did not answer may answer later.
    m_intervalTimer.setInterval(1000 * qMin(m_intervalSeconds > 0 ? m_intervalSeconds : 3600, 24 * 3600));
    connect(&m_intervalTimer, &QTimer::timeout, this, [this]() {
        if (m_intervalSeconds > 0)
            fetch();
        evaluateAll();
    });
    m_windowTimer.setSingleShot(true);
    connect(&m_windowTimer, &QTimer::timeout, this, &FleetPolicyAgent::evaluateAll);
}

FleetPolicyAgent::~FleetPolicyAgent()
{
    // A fetch that ends now is not taken up; the adapters' requests that
    // end after the agent find it gone.
    for (QNetworkReply *reply : {m_policyReply.data(), m_signatureReply.data()}) {
        if (reply)
            disconnect(reply, nullptr, this, nullptr);
    }
}

QString FleetPolicyAgent::fleetNameOf(const ManagedAdapter *adapter, const QString &gatewayId)
{
    if (!adapter->serialNumber().isEmpty())
        return adapter->serialNumber();
    return MqttAdapter::topicIdOf(adapter, gatewayId);
}

void FleetPolicyAgent::start()
{
    loadState();
    connect(m_manager, &AdapterManager::adapterAdded, this, [this](ManagedAdapter *adapter) {
        m_plans.insert(adapter, AdapterPlan());
        connect(adapter, &ManagedAdapter::statusChanged, this, [this, adapter](const AdapterStatus &previous) {
            const AdapterStatus &status = adapter->status();
            // What decides about the adapter; not the policy's own fields.
            if (status.available != previous.available || status.firmwareVersion != previous.firmwareVersion
                    || status.updating != previous.updating || status.inhibitedBy != previous.inhibitedBy)
                evaluate(adapter);
        });
        evaluate(adapter);
    });
    connect(m_manager, &AdapterManager::adapterRemoved, this, [this](ManagedAdapter *adapter) {
        m_plans.remove(adapter);
        disconnect(adapter, nullptr, this, nullptr);
    });
    if (m_trustedKeys.isEmpty())
        qCDebug(dcVexbusd()) << "No release key is trusted: the gateway takes no fleet policy";
    else if (m_intervalSeconds > 0)
        fetch();
    m_intervalTimer.start();
}

// Sources

void FleetPolicyAgent::fetch()
{
    if (m_trustedKeys.isEmpty() || m_policyReply || m_signatureReply)
        return;
    if (!m_network) {
        if (!m_releaseServer.startsWith(QLatin1String("https://"))) {
            qCWarning(dcVexbusd()) << "The fleet policy is not fetched from" << m_releaseServer << ", which is no https:// URL";
            m_intervalSeconds = 0;
            return;
        }
        m_network = new QNetworkAccessManager(this);
    }
    // As the release: no redirect is followed.
    const auto request = [this](const QString &name) {
        QNetworkRequest request(QUrl(m_releaseServer + QLatin1Char('/') + name));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        request.setTransferTimeout(transferTimeout);
        QNetworkReply *reply = m_network->get(request);
        connect(reply, &QNetworkReply::finished, this, &FleetPolicyAgent::onFetched);
        // The document is small: a server that sends more is not read on.
        connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received) {
            if (received > FleetPolicy::maximumSize)
                reply->abort();
        });
        return reply;
    };
    m_policyReply = request(QLatin1String(FleetPolicy::fileName));
    m_signatureReply = request(QLatin1String(FleetPolicy::fileName) + QStringLiteral(".sig"));
}

void FleetPolicyAgent::onFetched()
{
    if (!m_policyReply || !m_signatureReply || !m_policyReply->isFinished() || !m_signatureReply->isFinished())
        return;
    QNetworkReply *policyReply = m_policyReply;
    QNetworkReply *signatureReply = m_signatureReply;
    m_policyReply.clear();
    m_signatureReply.clear();
    policyReply->deleteLater();
    signatureReply->deleteLater();

    const auto found = [](QNetworkReply *reply) {
        return reply->error() == QNetworkReply::NoError && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
    };
    const QString source = QLatin1String(sourceServer);
    if (!found(policyReply)) {
        // A server without a policy is a fleet without one.
        if (policyReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 404)
            qCDebug(dcVexbusd()) << "The release server has no fleet policy at" << policyReply->url().toString();
        else
            qCWarning(dcVexbusd()).noquote() << QStringLiteral("Cannot fetch the fleet policy %1: %2")
                                                .arg(policyReply->url().toString(), policyReply->errorString());
        return;
    }
    const QByteArray content = policyReply->read(FleetPolicy::maximumSize + 1);
    if (!found(signatureReply) && signatureReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 404) {
        qCWarning(dcVexbusd()).noquote() << QStringLiteral("Cannot fetch the signature of the fleet policy %1: %2")
                                            .arg(signatureReply->url().toString(), signatureReply->errorString());
        return;
    }
    offer(content, found(signatureReply) ? signatureReply->read(1024) : QByteArray(), source);
}

bool FleetPolicyAgent::offer(const QByteArray &content, const QByteArray &signature, const QString &source)
{
    // The sequence as far as the document tells, to name what was refused.
    QString error;
    const FleetPolicy policy = FleetPolicy::fromJson(content, &error);
    const qint64 sequence = policy.sequence();
    if (signature.isEmpty()) {
        refuse(sequence, source, QStringLiteral("unsigned"), QStringLiteral("it has no signature."), content);
        return false;
    }
    if (m_trustedKeys.isEmpty()) {
        refuse(sequence, source, QStringLiteral("foreign-key"), QStringLiteral("this gateway trusts no release key."), content);
        return false;
    }
    // The same verification as every release's.
    if (ReleaseTrust::signerOf(m_trustedKeys, content, signature).isEmpty()) {
        refuse(sequence, source, QStringLiteral("foreign-key"), QStringLiteral("no release key this gateway trusts signed it."), content);
        return false;
    }
    if (policy.isNull()) {
        refuse(0, source, QStringLiteral("malformed"), QStringLiteral("it is no fleet policy: %1.").arg(error), content);
        return false;
    }
    if (sequence < m_sequence) {
        refuse(sequence, source, QStringLiteral("older"),
               QStringLiteral("the gateway holds the newer policy %1.").arg(m_sequence), content);
        return false;
    }
    if (sequence == m_sequence && !m_policy.isNull()) {
        if (content == m_content)
            return false;
        refuse(sequence, source, QStringLiteral("conflict"),
               QStringLiteral("the gateway holds another policy with this sequence."), content);
        return false;
    }
    accept(policy, content, signature, source);
    return true;
}

void FleetPolicyAgent::refuseMalformed(const QByteArray &message, const QString &source, const QString &why)
{
    refuse(0, source, QStringLiteral("malformed"), why, message);
}

void FleetPolicyAgent::refuse(qint64 sequence, const QString &source, const QString &reason, const QString &message,
                              const QByteArray &content)
{
    m_refusal = Refusal{sequence, source, reason, message, QDateTime::currentDateTimeUtc()};
    const QString sentence = QStringLiteral("Refused the fleet policy%1 from %2 (%3): %4")
            .arg(sequence > 0 ? QStringLiteral(" %1").arg(sequence) : QString(), placeOf(source), reason, message);
    // A retained message comes again at every connection, a server's file
    // at every fetch: each document is warned about once.
    const QByteArray digest = QCryptographicHash::hash(content + reason.toUtf8(), QCryptographicHash::Sha256);
    if (!m_warned.contains(digest)) {
        if (m_warned.size() > 64)
            m_warned.clear();
        m_warned.insert(digest);
        qCWarning(dcVexbusd()).noquote() << sentence;
    } else {
        qCDebug(dcVexbusd()).noquote() << sentence;
    }
    for (ManagedAdapter *adapter : m_manager->adapters())
        adapter->setPolicyStatus(qulonglong(m_policy.sequence()), adapter->status().policyState, adapter->status().policyMessage, sentence);
    emit stateChanged();
}

void FleetPolicyAgent::accept(const FleetPolicy &policy, const QByteArray &content, const QByteArray &signature, const QString &source)
{
    m_policy = policy;
    m_content = content;
    m_sequence = policy.sequence();
    // A new rollout starts afresh; the halted one stays halted.
    if (!m_haltedRollout.isEmpty() && m_haltedRollout != policy.rollout()) {
        qCInfo(dcVexbusd()).noquote() << QStringLiteral("The rollout %1, halted on this gateway, is replaced by the rollout %2")
                                         .arg(m_haltedRollout, policy.rollout());
        m_haltedRollout.clear();
        m_haltReason.clear();
        m_failedAdapter.clear();
        m_haltTime = QDateTime();
    }
    qCInfo(dcVexbusd()).noquote() << QStringLiteral("Fleet policy %1 from %2: target %3, approved %4, rollout %5 at %6 %, "
                                                    "window %7, minimum version %8%9")
            .arg(policy.sequence()).arg(placeOf(source),
                 policy.target(), policy.approvedSha256().join(QLatin1Char(' ')), policy.rollout()).arg(policy.percent())
            .arg(policy.hasWindow() ? policy.windowText() : QStringLiteral("any time"),
                 policy.minimumVersion().isNull() ? QStringLiteral("none") : policy.minimumVersion().toString(),
                 policy.halt() ? QStringLiteral(", halt") : QString());
    if (source != QLatin1String(sourceState)) {
        QString error;
        const QString base = QDir(m_stateDirectory).filePath(QLatin1String(FleetPolicy::fileName));
        // The signature goes first: a policy beside an older signature is
        // refused at the next start, the kept sequence still holds.
        if (!QDir().mkpath(m_stateDirectory) || !saveState(&error) || !writeAll(base + QStringLiteral(".sig"), signature, &error)
                || !writeAll(base, content, &error))
            qCWarning(dcVexbusd()).noquote() << QStringLiteral("Cannot keep the fleet policy %1 across restarts: %2")
                                                .arg(policy.sequence()).arg(error.isEmpty() ? m_stateDirectory : error);
    }
    emit stateChanged();
    evaluateAll();
}

void FleetPolicyAgent::loadState()
{
    const QDir directory(m_stateDirectory);
    bool exists = false;
    const QByteArray state = readAll(directory.filePath(stateFileName), &exists);
    if (exists) {
        const QJsonObject object = QJsonDocument::fromJson(state).object();
        m_sequence = qint64(object.value(QStringLiteral("sequence")).toDouble());
        m_haltedRollout = object.value(QStringLiteral("haltedRollout")).toString();
        m_haltReason = object.value(QStringLiteral("haltReason")).toString();
        m_failedAdapter = object.value(QStringLiteral("failedAdapter")).toString();
        m_haltTime = QDateTime::fromString(object.value(QStringLiteral("haltTime")).toString(), Qt::ISODateWithMs);
    }
    const QString base = directory.filePath(QLatin1String(FleetPolicy::fileName));
    bool policyExists = false;
    bool signatureExists = false;
    const QByteArray content = readAll(base, &policyExists);
    const QByteArray signature = readAll(base + QStringLiteral(".sig"), &signatureExists);
    // Verified again: the keys trusted now decide.
    if (policyExists)
        offer(content, signature, QLatin1String(sourceState));
}

bool FleetPolicyAgent::saveState(QString *error) const
{
    const QJsonObject object{
        {QStringLiteral("sequence"), double(m_sequence)},
        {QStringLiteral("haltedRollout"), m_haltedRollout},
        {QStringLiteral("haltReason"), m_haltReason},
        {QStringLiteral("failedAdapter"), m_failedAdapter},
        {QStringLiteral("haltTime"), m_haltTime.isValid() ? m_haltTime.toString(Qt::ISODateWithMs) : QString()},
    };
    return writeAll(QDir(m_stateDirectory).filePath(stateFileName), QJsonDocument(object).toJson(), error);
}

void FleetPolicyAgent::haltRollout(ManagedAdapter *adapter, const QString &reason)
{
    m_haltedRollout = m_policy.rollout();
    m_haltReason = reason;
    m_failedAdapter = adapter->key();
    m_haltTime = QDateTime::currentDateTimeUtc();
    qCWarning(dcVexbusd()).noquote() << reason;
    QString error;
    if (!QDir().mkpath(m_stateDirectory) || !saveState(&error))
        qCWarning(dcVexbusd()).noquote() << QStringLiteral("Cannot keep the halt of the rollout %1 across restarts: %2")
                                            .arg(m_haltedRollout, error.isEmpty() ? m_stateDirectory : error);
    emit stateChanged();
    evaluateAll();
}

// Acting

void FleetPolicyAgent::evaluateAll()
{
    for (ManagedAdapter *adapter : m_manager->adapters())
        evaluate(adapter);
    m_windowTimer.stop();
    const qint64 untilWindow = m_policy.isNull() ? 0 : m_policy.msecsUntilWindow(QTime::currentTime());
    // A moment after the minute the window opens, so that it is open.
    if (untilWindow > 0)
        m_windowTimer.start(int(untilWindow) + 500);
}

void FleetPolicyAgent::evaluate(ManagedAdapter *adapter)
{
    if (!m_plans.contains(adapter) || m_plans.value(adapter).busy)
        return;
    QString state;
    QString message;
    if (isHeldBack(adapter, &state, &message))
        setAdapterState(adapter, state, message);
    else
        checkRelease(adapter);
}

bool FleetPolicyAgent::isHeldBack(ManagedAdapter *adapter, QString *state, QString *message) const
{
    const AdapterStatus &status = adapter->status();
    const FleetPolicy &policy = m_policy;
    const auto hold = [state, message](const QString &why, const QString &sentence) {
        *state = why;
        *message = sentence;
        return true;
    };
    if (policy.isNull())
        return hold(QStringLiteral("none"), QString());
    if (policy.halt())
        return hold(QStringLiteral("halted"), QStringLiteral("The fleet policy %1 halts the rollout %2.").arg(policy.sequence()).arg(policy.rollout()));
    if (m_haltedRollout == policy.rollout())
        return hold(m_failedAdapter == adapter->key() ? QStringLiteral("failed") : QStringLiteral("rollout-halted"), m_haltReason);
    const int bucket = FleetPolicy::bucketOf(fleetNameOf(adapter, m_gatewayId), policy.rollout());
    if (bucket >= policy.percent())
        return hold(QStringLiteral("outside-rollout"), QStringLiteral("Its bucket %1 in the rollout %2 is not below %3 %.")
                    .arg(bucket).arg(policy.rollout()).arg(policy.percent()));
    if (!status.inhibitedBy.isEmpty() || status.updating || !status.available)
        return hold(QStringLiteral("waiting"), QStringLiteral("It waits for the adapter, which is %1.")
                    .arg(!status.inhibitedBy.isEmpty() ? QStringLiteral("lent to %1").arg(status.inhibitedBy)
                         : status.updating ? QStringLiteral("updating") : QStringLiteral("not available")));
    const QVersionNumber running = FleetPolicy::parseVersion(status.firmwareVersion);
    if (running.isNull())
        return hold(QStringLiteral("waiting"), QStringLiteral("It waits for the adapter's firmware version."));
    if (!policy.minimumVersion().isNull() && running < policy.minimumVersion())
        return hold(QStringLiteral("below-minimum"), QStringLiteral("Its firmware %1 is below the policy's minimum version %2; "
                    "the policy leaves it alone.").arg(status.firmwareVersion, policy.minimumVersion().toString()));
    if (!policy.targetsCurrent() && running >= FleetPolicy::parseVersion(policy.target()))
        return hold(QStringLiteral("up-to-date"), QStringLiteral("It runs firmware %1; the target is %2.")
                    .arg(status.firmwareVersion, policy.target()));
    if (m_plans.value(adapter).refusedSequence == policy.sequence())
        return hold(QStringLiteral("not-approved"), status.policyMessage);
    if (!policy.isInsideWindow(QTime::currentTime()))
        return hold(QStringLiteral("outside-window"), QStringLiteral("It waits for the maintenance window %1 (local time).")
                    .arg(policy.windowText()));
    return false;
}

void FleetPolicyAgent::checkRelease(ManagedAdapter *adapter)
{
    m_plans[adapter].busy = true;
    setAdapterState(adapter, QStringLiteral("waiting"), QStringLiteral("It waits for the release server's answer."));
    const qint64 sequence = m_policy.sequence();
    const QPointer<FleetPolicyAgent> self(this);
    adapter->checkForRelease(false, [self, adapter, sequence](const Outcome &outcome, const QVariantMap &release) {
        // The service may end, or the adapter go, before the answer.
        if (!self || !self->m_plans.contains(adapter))
            return;
        self->m_plans[adapter].busy = false;
        const FleetPolicy &policy = self->m_policy;
        if (policy.sequence() != sequence)
            return self->evaluate(adapter);
        if (!outcome.succeeded())
            return self->setAdapterState(adapter, QStringLiteral("waiting"), outcome.message());
        const QString version = release.value(QStringLiteral("version")).toString();
        if (!policy.targetsCurrent() && version != policy.target())
            return self->setAdapterState(adapter, QStringLiteral("waiting"), QStringLiteral("The release server offers firmware %1, "
                                         "not the target %2; it is asked again later.").arg(version, policy.target()));
        if (FleetPolicy::parseVersion(adapter->status().firmwareVersion) >= FleetPolicy::parseVersion(version))
            return self->setAdapterState(adapter, QStringLiteral("up-to-date"), QStringLiteral("It runs firmware %1; the release "
                                         "server's current release is %2.").arg(adapter->status().firmwareVersion, version));
        // The policy, the window or the adapter may have changed meanwhile.
        QString state;
        QString message;
        if (self->isHeldBack(adapter, &state, &message))
            return self->setAdapterState(adapter, state, message);
        self->update(adapter, version);
    });
}

void FleetPolicyAgent::update(ManagedAdapter *adapter, const QString &version)
{
    m_plans[adapter].busy = true;
    const FleetPolicy policy = m_policy;
    setAdapterState(adapter, QStringLiteral("updating"), QStringLiteral("It is updated to firmware %1 by the fleet policy %2.")
                    .arg(version).arg(policy.sequence()));
    qCInfo(dcVexbusd()).noquote() << QStringLiteral("Updating adapter %1 from firmware %2 to %3 by the fleet policy %4, rollout %5")
                                     .arg(adapter->key(), adapter->status().firmwareVersion, version).arg(policy.sequence())
                                     .arg(policy.rollout());
    ManagedAdapter::ReleaseOptions options;
    options.requireApproval = true;
    options.approvedVersion = version;
    options.approvedSha256 = policy.approvedSha256();
    const UpdateOrigin origin{QLatin1String(UpdateOrigin::triggerPolicy),
                              QStringLiteral("policy %1 %2").arg(policy.sequence()).arg(policy.rollout())};
    const QPointer<FleetPolicyAgent> self(this);
    adapter->updateFromReleaseServer(options, origin, [self, adapter, policy, version](const Outcome &outcome, bool) {
        if (!self || !self->m_plans.contains(adapter))
            return;
        self->m_plans[adapter].busy = false;
        if (outcome.succeeded()) {
            self->setAdapterState(adapter, QStringLiteral("up-to-date"), QStringLiteral("It was updated to firmware %1 by the fleet "
                                  "policy %2.").arg(adapter->status().firmwareVersion).arg(policy.sequence()));
            return;
        }
        if (outcome.failure() == Outcome::NotApproved || outcome.failure() == Outcome::OlderRelease) {
            // Recorded in the history; not tried again for this policy.
            qCWarning(dcVexbusd()).noquote() << QStringLiteral("The fleet policy %1 does not update adapter %2: %3")
                                                .arg(policy.sequence()).arg(adapter->key(), outcome.message());
            self->m_plans[adapter].refusedSequence = policy.sequence();
            self->setAdapterState(adapter, QStringLiteral("not-approved"), outcome.message());
            return;
        }
        if (outcome.failure() == Outcome::UpdateFailed && self->m_policy.rollout() == policy.rollout()) {
            self->haltRollout(adapter, QStringLiteral("The update of adapter %1 to firmware %2 by the fleet policy %3 failed: %4 "
                                                      "This gateway starts no further update of the rollout %5.")
                              .arg(adapter->key(), version).arg(policy.sequence()).arg(outcome.message(), policy.rollout()));
            return;
        }
        self->setAdapterState(adapter, QStringLiteral("waiting"), outcome.message());
    });
}

void FleetPolicyAgent::setAdapterState(ManagedAdapter *adapter, const QString &state, const QString &message)
{
    adapter->setPolicyStatus(qulonglong(m_policy.sequence()), state, message, adapter->status().policyRefusal);
}

// State

QString FleetPolicyAgent::gatewayState() const
{
    if (m_policy.isNull())
        return QStringLiteral("none");
    if (m_policy.halt())
        return QStringLiteral("halted");
    if (m_haltedRollout == m_policy.rollout())
        return QStringLiteral("failed");
    return QStringLiteral("active");
}

QJsonObject FleetPolicyAgent::stateJson() const
{
    const bool held = !m_policy.isNull();
    QJsonObject state{
        {QStringLiteral("gateway"), m_gatewayId},
        {QStringLiteral("sequence"), double(m_policy.sequence())},
        {QStringLiteral("target"), textOrNull(m_policy.target())},
        {QStringLiteral("rollout"), textOrNull(m_policy.rollout())},
        {QStringLiteral("percent"), held ? QJsonValue(m_policy.percent()) : QJsonValue()},
        {QStringLiteral("window"), textOrNull(m_policy.windowText())},
        {QStringLiteral("minimum_version"), textOrNull(m_policy.minimumVersion().isNull() ? QString() : m_policy.minimumVersion().toString())},
        {QStringLiteral("halt"), m_policy.halt()},
        {QStringLiteral("state"), gatewayState()},
        {QStringLiteral("halt_reason"), textOrNull(gatewayState() == QLatin1String("failed") ? m_haltReason : QString())},
        {QStringLiteral("failed_adapter"), textOrNull(gatewayState() == QLatin1String("failed") ? m_failedAdapter : QString())},
        {QStringLiteral("refusal"), QJsonValue()},
    };
    if (m_refusal.time.isValid()) {
        state.insert(QStringLiteral("refusal"), QJsonObject{
            {QStringLiteral("sequence"), m_refusal.sequence > 0 ? QJsonValue(double(m_refusal.sequence)) : QJsonValue()},
            {QStringLiteral("source"), m_refusal.source},
            {QStringLiteral("reason"), m_refusal.reason},
            {QStringLiteral("message"), m_refusal.message},
            {QStringLiteral("time"), m_refusal.time.toString(Qt::ISODateWithMs)},
        });
    }
    return state;
}
