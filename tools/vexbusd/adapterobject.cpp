// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adapterobject.h"
#include "adapteradaptor.h"
#include "managedadapter.h"
#include "names.h"
#include "vexbusdlogging.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QMetaProperty>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

using namespace NivoraVexbusUsb;

namespace {

// A .cyacd image of the controller's flash is some hundred kilobytes.
constexpr qint64 maximumImageSize = 8 * 1024 * 1024; // bytes

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
      m_leaseWatcher(new QDBusServiceWatcher(this))
{
    new AdapterAdaptor(this);
    m_leaseWatcher->setConnection(m_connection);
    m_leaseWatcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(m_leaseWatcher, &QDBusServiceWatcher::serviceUnregistered, this, &AdapterObject::onHolderLeft);
    connect(adapter->adapter(), &NivoraVexbusUsbAdapter::vexbusFrameReceived, this, &AdapterObject::sendBusFrame);
    connect(adapter, &ManagedAdapter::updateEnded, this, &AdapterObject::UpdateFinished);
    followProperties();
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
        "UpdateRunning", "UpdateFailed", "ReleaseFailed", "OlderRelease", "Aborted"};
    return QLatin1String(errorPrefix) + QLatin1String(names[failure]);
}

// Properties

QString AdapterObject::state() const { return Names::of(m_adapter->adapter()->state()); }
bool AdapterObject::available() const { return m_adapter->adapter()->available(); }
bool AdapterObject::controllerInBootloader() const { return m_adapter->adapter()->controllerInBootloader(); }
QString AdapterObject::firmwareVersion() const { return m_adapter->adapter()->firmwareVersion(); }
QString AdapterObject::ledMode() const { return Names::of(m_adapter->adapter()->ledMode()); }
QString AdapterObject::busType() const { return Names::of(m_adapter->adapter()->vexbusType()); }
bool AdapterObject::busSynchronized() const { return m_adapter->adapter()->vexbusSynchronized(); }
bool AdapterObject::busInitialized() const { return m_adapter->adapter()->vexbusInitialized(); }
bool AdapterObject::busAvailable() const { return m_adapter->adapter()->vexbusAvailable(); }
QString AdapterObject::port() const { return m_adapter->devicePath(); }
QString AdapterObject::serialNumber() const { return m_adapter->serialNumber(); }
int AdapterObject::baudRate() const { return m_adapter->adapter()->baudrate(); }
bool AdapterObject::updating() const { return m_adapter->adapter()->updating(); }
QString AdapterObject::updatePhase() const { return m_adapter->updatePhase(); }
double AdapterObject::updatePercentage() const { return m_adapter->adapter()->updatePercentage(); }
QString AdapterObject::updateError() const { return m_adapter->updateError(); }
QString AdapterObject::updateErrorString() const { return m_adapter->updateErrorString(); }
QString AdapterObject::inhibitedBy() const { return m_adapter->inhibitedBy(); }
QString AdapterObject::inhibitReason() const { return m_adapter->inhibitReason(); }

QVariantMap AdapterObject::properties() const
{
    QVariantMap properties;
    for (int i = metaObject()->propertyOffset(); i < metaObject()->propertyCount(); ++i) {
        const QMetaProperty property = metaObject()->property(i);
        properties.insert(QLatin1String(property.name()), property.read(this));
    }
    return properties;
}

void AdapterObject::followProperties()
{
    NivoraVexbusUsbAdapter *adapter = m_adapter->adapter();
    connect(adapter, &NivoraVexbusUsbAdapter::stateChanged, this, [this]() { markChanged("State"); });
    connect(adapter, &NivoraVexbusUsbAdapter::availableChanged, this, [this]() { markChanged("Available"); });
    connect(adapter, &NivoraVexbusUsbAdapter::controllerInBootloaderChanged, this, [this]() { markChanged("ControllerInBootloader"); });
    connect(adapter, &NivoraVexbusUsbAdapter::firmwareVersionChanged, this, [this]() { markChanged("FirmwareVersion"); });
    connect(adapter, &NivoraVexbusUsbAdapter::ledModeChanged, this, [this]() { markChanged("LedMode"); });
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusTypeChanged, this, [this]() { markChanged("BusType"); });
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusSynchronizedChanged, this, [this]() { markChanged("BusSynchronized"); });
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusInitializedChanged, this, [this]() { markChanged("BusInitialized"); });
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusAvailableChanged, this, [this]() { markChanged("BusAvailable"); });
    connect(adapter, &NivoraVexbusUsbAdapter::updatingChanged, this, [this]() { markChanged("Updating"); });
    connect(adapter, &NivoraVexbusUsbAdapter::updatePercentageChanged, this, [this]() { markChanged("UpdatePercentage"); });
    connect(m_adapter, &ManagedAdapter::updatePhaseChanged, this, [this]() { markChanged("UpdatePhase"); });
    connect(m_adapter, &ManagedAdapter::updateErrorChanged, this, [this]() {
        markChanged("UpdateError");
        markChanged("UpdateErrorString");
    });
    connect(m_adapter, &ManagedAdapter::inhibitChanged, this, [this]() {
        markChanged("InhibitedBy");
        markChanged("InhibitReason");
    });
}

void AdapterObject::markChanged(const char *property)
{
    // Changes of one turn of the event loop go out in one signal, as the
    // adapter often changes several properties at once; the values are
    // taken as they change, and a property that changes twice sends its
    // first value first, so that no update phase goes unseen.
    const QString name = QLatin1String(property);
    if (m_changedProperties.contains(name))
        sendPropertiesChanged();
    if (m_changedProperties.isEmpty())
        QTimer::singleShot(0, this, &AdapterObject::sendPropertiesChanged);
    m_changedProperties.insert(name, this->property(property));
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
        reply(Outcome(Outcome::InvalidArgument, QStringLiteral("The image must come as the descriptor of a regular file "
                                                               "opened for reading; nothing was written.")));
        return;
    }
    QFile file;
    const int descriptor = ::dup(image.fileDescriptor());
    if (descriptor < 0 || !file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (descriptor >= 0)
            ::close(descriptor);
        reply(Outcome(Outcome::InvalidArgument, QStringLiteral("The image descriptor cannot be read; nothing was written.")));
        return;
    }
    const QByteArray data = file.read(maximumImageSize + 1);
    if (data.size() > maximumImageSize) {
        reply(Outcome(Outcome::InvalidArgument, QStringLiteral("The image has more than %1 bytes, which no image of the adapter has; "
                                                               "nothing was written.").arg(maximumImageSize)));
        return;
    }
    const auto answer = answerLater();
    m_adapter->updateFromImage(data, [answer](const Outcome &outcome) { answer(outcome, {}); });
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
    const auto answer = answerLater();
    m_adapter->updateFromReleaseServer(releaseOptions, [answer](const Outcome &outcome, bool written) {
        answer(outcome, {written});
    });
    return false;
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

void AdapterObject::onHolderLeft(const QString &holder)
{
    if (m_adapter->inhibitedBy() != holder)
        return;
    qCDebug(dcVexbusd()) << "The holder" << holder << "of adapter" << m_adapter->key() << "left the bus; ending its lease";
    m_leaseWatcher->setWatchedServices({});
    m_adapter->uninhibit(holder);
}
