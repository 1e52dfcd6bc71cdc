// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "serviceadapter.h"
#include "adaptersession.h"
#include "printer.h"
#include "waiter.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QMap>

namespace {

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

} // namespace

Q_DECLARE_METATYPE(ManagedObjects)

const QString ServiceAdapter::serviceName = QStringLiteral("org.nivora.Vexbus1");
const QString ServiceAdapter::interfaceName = QStringLiteral("org.nivora.Vexbus1.Adapter");

bool servedAdapters(const QDBusConnection &connection, const AdapterOptions &options, QList<ServedAdapter> *adapters,
                    QString *error)
{
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    const QDBusMessage call = QDBusMessage::createMethodCall(ServiceAdapter::serviceName, QStringLiteral("/org/nivora/Vexbus1"),
                                                             QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                             QStringLiteral("GetManagedObjects"));
    const QDBusReply<ManagedObjects> reply = connection.call(call);
    if (!reply.isValid()) {
        *error = reply.error().message();
        return false;
    }
    // A link such as /dev/serial/by-id/... names the port the service reports.
    const QString port = options.port.isEmpty() ? QString() : devicePathOf(options.port);
    const ManagedObjects objects = reply.value();
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        ServedAdapter adapter;
        adapter.path = it.key().path();
        adapter.properties = it.value().value(ServiceAdapter::interfaceName);
        adapter.port = adapter.properties.value(QStringLiteral("Port")).toString();
        adapter.serialNumber = adapter.properties.value(QStringLiteral("SerialNumber")).toString();
        if (!options.serialPrefix.isEmpty() && !adapter.serialNumber.startsWith(options.serialPrefix))
            continue;
        if (!port.isEmpty() && adapter.port != port)
            continue;
        adapters->append(adapter);
    }
    return true;
}

QString describe(const QList<ServedAdapter> &adapters)
{
    QStringList entries;
    for (const ServedAdapter &adapter : adapters)
        entries.append(QStringLiteral("%1 (serial number %2)").arg(adapter.port, adapter.serialNumber.isEmpty() ? QStringLiteral("-") : adapter.serialNumber));
    return entries.join(QStringLiteral(", "));
}

ServiceAdapter::ServiceAdapter(QObject *parent)
    : QObject(parent),
      m_connection(QDBusConnection::systemBus())
{
}

bool ServiceAdapter::find(const AdapterOptions &options, const Printer *printer, int *exitCode, bool anyWillDo)
{
    *exitCode = ExitSuccess;
    // Without a bus or without the service the port is there to be opened.
    if (!m_connection.isConnected() || !m_connection.interface()->isServiceRegistered(serviceName))
        return false;
    QList<ServedAdapter> adapters;
    QString error;
    if (!servedAdapters(m_connection, options, &adapters, &error)) {
        // Most often the bus's policy: only root and the group vexbus may talk to it.
        printer->error(QStringLiteral("vexbusd runs but does not answer on the system bus (%1). Root and the members of "
                                      "the group vexbus may use it; vexbusctl --direct opens a port that it does not hold.").arg(error));
        *exitCode = ExitFailure;
        return true;
    }
    if (adapters.isEmpty())
        return false;
    if (adapters.count() > 1 && !anyWillDo) {
        printer->error(QStringLiteral("several adapters found; choose one with --port PATH or --serial PREFIX. vexbusd drives: %1.")
                               .arg(describe(adapters)));
        *exitCode = ExitUsage;
        return true;
    }
    // Lent to a program, the port is that program's: perhaps this one's,
    // started by vexbusctl inhibit.
    if (!adapters.first().properties.value(QStringLiteral("InhibitedBy")).toString().isEmpty())
        return false;

    // Subscribed first, then read: no change falls between the two.
    m_adapter = adapters.first();
    m_connection.connect(serviceName, m_adapter.path, propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                         SLOT(onPropertiesChanged(QString,QVariantMap,QStringList)));
    m_connection.connect(serviceName, m_adapter.path, interfaceName, QStringLiteral("BusFrameReceived"), this,
                         SLOT(onBusFrameReceived(QByteArray)));
    m_connection.connect(serviceName, m_adapter.path, interfaceName, QStringLiteral("UpdateFinished"), this,
                         SLOT(onUpdateFinished(bool,QString,QString)));
    QDBusMessage getAll = QDBusMessage::createMethodCall(serviceName, m_adapter.path, propertiesInterface, QStringLiteral("GetAll"));
    getAll << interfaceName;
    const QDBusReply<QVariantMap> properties = m_connection.call(getAll);
    if (properties.isValid())
        m_adapter.properties = properties.value();
    return true;
}

QString ServiceAdapter::lease() const
{
    const QString holder = value(QStringLiteral("InhibitedBy")).toString();
    if (holder.isEmpty())
        return QString();
    return QStringLiteral("vexbusd lends %1 to %2 (\"%3\")").arg(port(), holder, value(QStringLiteral("InhibitReason")).toString());
}

QDBusMessage ServiceAdapter::call(const QString &method, const QVariantList &arguments, int timeoutMs, bool *interrupted,
                                  const TerminationSignals *terminationSignals)
{
    QDBusPendingCallWatcher watcher(asyncCall(method, arguments, timeoutMs));
    Waiter waiter(terminationSignals, [&watcher]() { return watcher.isFinished(); });
    waiter.wakeOn(&watcher, &QDBusPendingCallWatcher::finished);
    *interrupted = waiter.wait(0) == Waiter::Interrupted;
    return watcher.reply();
}

QDBusPendingCall ServiceAdapter::asyncCall(const QString &method, const QVariantList &arguments, int timeoutMs)
{
    QDBusMessage message = QDBusMessage::createMethodCall(serviceName, m_adapter.path, interfaceName, method);
    message.setArguments(arguments);
    // D-Bus knows no call without a limit; a day stands for none.
    return m_connection.asyncCall(message, timeoutMs > 0 ? timeoutMs : 24 * 3600 * 1000);
}

void ServiceAdapter::onPropertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &invalidated)
{
    Q_UNUSED(invalidated)
    if (interface != interfaceName)
        return;
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        m_adapter.properties.insert(it.key(), it.value());
    emit propertiesChanged(changed.keys());
}

void ServiceAdapter::onBusFrameReceived(const QByteArray &frame)
{
    emit busFrameReceived(frame);
}

void ServiceAdapter::onUpdateFinished(bool success, const QString &error, const QString &message)
{
    Q_UNUSED(success)
    m_updateError = error;
    m_updateErrorString = message;
}
