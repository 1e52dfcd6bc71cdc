// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adapterobject.h"
#include "adapteradaptor.h"
#include "frameleases.h"
#include "managedadapter.h"
#include "updatehistory.h"
#include "vexbusdlogging.h"

#include "bootloader/firmwaredata.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

using namespace NivoraVexbusUsb;

namespace {

constexpr const char *propertiesInterface = "org.freedesktop.DBus.Properties";

} // namespace

AdapterObject::AdapterObject(ManagedAdapter *adapter, const QDBusConnection &connection, QObject *parent)
    : QObject(parent),
      m_adapter(adapter),
      m_connection(connection),
      m_path(pathFor(adapter->key())),
      m_pathString(m_path.path()),
      m_interfaceString(QLatin1String(interfaceName)),
      m_busFrameMember(QStringLiteral("BusFrameReceived")),
      m_leaseWatcher(new QDBusServiceWatcher(this)),
      m_frameLeases(new FrameLeases(adapter, connection, this))
{
    new AdapterAdaptor(this);
    m_leaseWatcher->setConnection(m_connection);
    m_leaseWatcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(m_leaseWatcher, &QDBusServiceWatcher::serviceUnregistered, this, &AdapterObject::onHolderLeft);
    adapter->connectFrames(this, &AdapterObject::sendBusFrame);
    connect(adapter, &ManagedAdapter::updateEnded, this, &AdapterObject::UpdateFinished);
    connect(adapter, &ManagedAdapter::statusChanged, this, &AdapterObject::onAdapterStatusChanged);
}

QDBusObjectPath AdapterObject::pathFor(const QString &key)
{
    QString element;
    for (const char c : key.toUtf8()) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            element += QLatin1Char(c);
        else
            element += QStringLiteral("_%1").arg(uint(uchar(c)), 2, 16, QLatin1Char('0'));
    }
    return QDBusObjectPath(QStringLiteral("/org/nivora/Vexbus1/adapter/") + element);
}

QString AdapterObject::errorName(Outcome::Failure failure)
{
    static const char *const names[] = {
        "", "Timeout", "ControllerError", "NotAvailable", "InvalidArgument", "Inhibited", "NotInhibited",
        "UpdateRunning", "UpdateFailed", "ReleaseFailed", "OlderRelease", "Aborted", "LimitReached",
        "NotApproved"};
    return QLatin1String(errorPrefix) + QLatin1String(names[failure]);
}

// Properties

const AdapterStatus &AdapterObject::status() const
{
    return m_adapter->status();
}

QVariantMap AdapterObject::propertiesOf(const AdapterStatus &status)
{
    return QVariantMap{
        {QStringLiteral("State"), status.state},
        {QStringLiteral("Available"), status.available},
        {QStringLiteral("ControllerInBootloader"), status.controllerInBootloader},
        {QStringLiteral("FirmwareVersion"), status.firmwareVersion},
        {QStringLiteral("LedMode"), status.ledMode},
        {QStringLiteral("BusType"), status.busType},
        {QStringLiteral("BusSynchronized"), status.busSynchronized},
        {QStringLiteral("BusInitialized"), status.busInitialized},
        {QStringLiteral("BusAvailable"), status.busAvailable},
        {QStringLiteral("Port"), status.port},
        {QStringLiteral("SerialNumber"), status.serialNumber},
        {QStringLiteral("BaudRate"), status.baudRate},
        {QStringLiteral("Updating"), status.updating},
        {QStringLiteral("UpdatePhase"), status.updatePhase},
        {QStringLiteral("UpdatePercentage"), status.updatePercentage},
        {QStringLiteral("UpdateError"), status.updateError},
        {QStringLiteral("UpdateErrorString"), status.updateErrorString},
        {QStringLiteral("InhibitedBy"), status.inhibitedBy},
        {QStringLiteral("InhibitReason"), status.inhibitReason},
        {QStringLiteral("Recovery"), status.recovery},
        {QStringLiteral("RecoveryMessage"), status.recoveryMessage},
        {QStringLiteral("PolicySequence"), status.policySequence},
        {QStringLiteral("PolicyState"), status.policyState},
        {QStringLiteral("PolicyMessage"), status.policyMessage},
        {QStringLiteral("PolicyRefusal"), status.policyRefusal},
    };
}

QVariantMap AdapterObject::properties() const
{
    return propertiesOf(status());
}

void AdapterObject::onAdapterStatusChanged(const AdapterStatus &previous)
{
    // Changes of one turn of the event loop go out in one signal, as the
    // adapter often changes several properties at once; a property that
    // changes again first sends the changes so far, so that no update
    // phase goes unseen.
    const QVariantMap before = propertiesOf(previous);
    const QVariantMap now = properties();
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (before.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    }
    for (auto it = changed.cbegin(); it != changed.cend(); ++it) {
        if (m_changedProperties.contains(it.key())) {
            sendPropertiesChanged();
            break;
        }
    }
    if (m_changedProperties.isEmpty() && !changed.isEmpty())
        QTimer::singleShot(0, this, &AdapterObject::sendPropertiesChanged);
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        m_changedProperties.insert(it.key(), it.value());
}

void AdapterObject::sendPropertiesChanged()
{
    if (m_changedProperties.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(m_path.path(), QLatin1String(propertiesInterface),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QLatin1String(interfaceName) << std::exchange(m_changedProperties, {}) << QStringList();
    m_connection.send(signal);
}

void AdapterObject::sendBusFrame(const QByteArray &frame)
{
    if (!m_busFrameSignal)
        return;
    // The same signal the adaptor would relay for BusFrameReceived, built
    // here with its path: Qt's relay builds the message for the path "/",
    // then searches its object tree for the paths of this object and
    // rewrites the header for each, which cost more than everything else
    // the service does for a frame.
    QDBusMessage signal = QDBusMessage::createSignal(m_pathString, m_interfaceString, m_busFrameMember);
    signal.setArguments({frame});
    m_connection.send(signal);
}

// Methods

std::function<void(const Outcome &, const QVariantList &)> AdapterObject::answerLater()
{
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection connection = m_connection;
    return [call, connection](const Outcome &outcome, const QVariantList &arguments) mutable {
        if (outcome.succeeded()) {
            connection.send(call.createReply(arguments));
            return;
        }
        qCDebug(dcVexbusd()) << call.member() << "of" << call.service() << "failed:" << outcome.message();
        connection.send(call.createErrorReply(errorName(outcome.failure()), outcome.message()));
    };
}

void AdapterObject::refuseUpdate(const Outcome &outcome)
{
    m_adapter->recordRefusedUpdate(origin(), outcome);
    reply(outcome);
}

void AdapterObject::reply(const Outcome &outcome)
{
    if (!outcome.succeeded())
        sendErrorReply(errorName(outcome.failure()), outcome.message());
}

void AdapterObject::WriteFrame(const QByteArray &frame)
{
    const auto answer = answerLater();
    m_adapter->writeFrame(frame, [answer](const Outcome &outcome) { answer(outcome, {}); });
}

void AdapterObject::PressButton(const QString &module, const QString &button, uint milliseconds)
{
    const auto answer = answerLater();
    m_adapter->pressButton(module, button, milliseconds, [answer](const Outcome &outcome) { answer(outcome, {}); });
}

void AdapterObject::Reset()
{
    const auto answer = answerLater();
    m_adapter->reset([answer](const Outcome &outcome) { answer(outcome, {}); });
}

void AdapterObject::SetParameterHandling(bool enable)
{
    const auto answer = answerLater();
    m_adapter->setParameterHandling(enable, [answer](const Outcome &outcome) { answer(outcome, {}); });
}

void AdapterObject::UpdateFromImage(const QDBusUnixFileDescriptor &image)
{
    // Only what the caller could open: the service never opens a path for
    // it. A pipe or a device could keep the service waiting for its end; a
    // regular file cannot.
    struct stat status;
    if (!image.isValid() || ::fstat(image.fileDescriptor(), &status) != 0 || !S_ISREG(status.st_mode)) {
        refuseUpdate(Outcome(Outcome::InvalidArgument, QStringLiteral("The image must come as the descriptor of a regular file "
                                                               "opened for reading; nothing was written.")));
        return;
    }
    QFile file;
    const int descriptor = ::dup(image.fileDescriptor());
    if (descriptor < 0 || !file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (descriptor >= 0)
            ::close(descriptor);
        refuseUpdate(Outcome(Outcome::InvalidArgument, QStringLiteral("The image descriptor cannot be read; nothing was written.")));
        return;
    }
    // The one limit of an image, the library's.
    QByteArray data;
    if (!FirmwareData::readFile(&file, &data)) {
        refuseUpdate(Outcome(Outcome::InvalidArgument, QStringLiteral("The image has more than %1 bytes, which no image of the adapter has; "
                                                               "nothing was written.").arg(FirmwareData::maximumFileSize)));
        return;
    }
    const UpdateOrigin from = origin();
    const auto answer = answerLater();
    m_adapter->updateFromImage(FirmwareData(data), from, [answer](const Outcome &outcome) { answer(outcome, {}); });
}

QVariantMap AdapterObject::CheckForRelease(const QVariantMap &options)
{
    const auto answer = answerLater();
    m_adapter->checkForRelease(options.value(QStringLiteral("pre-release")).toBool(),
                               [answer](const Outcome &outcome, const QVariantMap &release) {
        answer(outcome, {release});
    });
    return QVariantMap();
}

bool AdapterObject::UpdateFromReleaseServer(const QVariantMap &options)
{
    ManagedAdapter::ReleaseOptions releaseOptions;
    releaseOptions.preRelease = options.value(QStringLiteral("pre-release")).toBool();
    releaseOptions.force = options.value(QStringLiteral("force")).toBool();
    releaseOptions.allowOlder = options.value(QStringLiteral("allow-older")).toBool();
    const UpdateOrigin from = origin();
    const auto answer = answerLater();
    m_adapter->updateFromReleaseServer(releaseOptions, from, [answer](const Outcome &outcome, bool written) {
        answer(outcome, {written});
    });
    return false;
}

UpdateOrigin AdapterObject::origin() const
{
    // The program and user behind the caller's connection, as the bus
    // knows them: vexbusctl shows as vexbusctl.
    const QString caller = message().service();
    QString requester = caller;
    const QDBusReply<uint> pid = m_connection.interface()->servicePid(caller);
    const QDBusReply<uint> uid = m_connection.interface()->serviceUid(caller);
    if (pid.isValid()) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid.value()));
        const QString program = comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readAll()).trimmed() : QString();
        requester = QStringLiteral("%1 (pid %2, uid %3, %4)").arg(program.isEmpty() ? QStringLiteral("?") : program)
                .arg(pid.value()).arg(uid.isValid() ? QString::number(uid.value()) : QStringLiteral("?"), caller);
    }
    return UpdateOrigin{QLatin1String(UpdateOrigin::triggerDBus), requester};
}

QList<QVariantMap> AdapterObject::GetHistory(const QVariantMap &options)
{
    QList<QVariantMap> entries;
    const UpdateHistory *history = m_adapter->history();
    if (!history)
        return entries;
    bool limited = false;
    const uint limit = options.value(QStringLiteral("limit")).toUInt(&limited);
    const int count = limited && limit > 0 && limit < uint(UpdateHistory::maximumEntries) ? int(limit) : UpdateHistory::maximumEntries;
    const QString adapter = options.value(QStringLiteral("all")).toBool() ? QString() : m_adapter->key();
    for (const UpdateRecord &record : history->entries(adapter, count))
        entries.append(record.toVariantMap());
    return entries;
}

void AdapterObject::Inhibit(const QString &reason)
{
    const QString holder = message().service();
    const Outcome outcome = m_adapter->inhibit(holder, reason);
    if (!outcome.succeeded()) {
        reply(outcome);
        return;
    }
    m_leaseWatcher->setWatchedServices({holder});
    // The holder may have left before the watch was set.
    if (!m_connection.interface()->isServiceRegistered(holder))
        onHolderLeft(holder);
}

void AdapterObject::Uninhibit()
{
    const Outcome outcome = m_adapter->uninhibit(message().service());
    if (outcome.succeeded())
        m_leaseWatcher->setWatchedServices({});
    reply(outcome);
}

QDBusUnixFileDescriptor AdapterObject::acquire(FrameSocket::Kind kind, const QVariantMap &options)
{
    // No option is known yet: one that a later service knows must not
    // pass unheard here.
    if (!options.isEmpty()) {
        reply(Outcome(Outcome::InvalidArgument, QStringLiteral("Unknown option \"%1\"; this service knows none.")
                      .arg(options.firstKey())));
        return QDBusUnixFileDescriptor();
    }
    QDBusUnixFileDescriptor clientEnd;
    reply(m_frameLeases->acquire(kind, message().service(), &clientEnd));
    return clientEnd;
}

QDBusUnixFileDescriptor AdapterObject::AcquireFrames(const QVariantMap &options)
{
    return acquire(FrameSocket::KindFrames, options);
}

QDBusUnixFileDescriptor AdapterObject::AcquireWrite(const QVariantMap &options)
{
    return acquire(FrameSocket::KindWrite, options);
}

void AdapterObject::onHolderLeft(const QString &holder)
{
    if (status().inhibitedBy != holder)
        return;
    qCDebug(dcVexbusd()) << "The holder" << holder << "of adapter" << m_adapter->key() << "left the bus; ending its lease";
    m_leaseWatcher->setWatchedServices({});
    m_adapter->uninhibit(holder);
}
