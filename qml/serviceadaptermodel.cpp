// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "serviceadaptermodel.h"
#include "serviceadapter.h"
#include "vexbusadapterproxy.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QQmlEngine>

namespace {

const QString serviceName = QStringLiteral("org.nivora.Vexbus1");
const QString rootPath = QStringLiteral("/org/nivora/Vexbus1");
const QString objectManagerInterface = QStringLiteral("org.freedesktop.DBus.ObjectManager");

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

QString adapterInterface()
{
    return QString::fromLatin1(OrgNivoraVexbus1AdapterInterface::staticInterfaceName());
}

} // namespace

Q_DECLARE_METATYPE(Interfaces)
Q_DECLARE_METATYPE(ManagedObjects)

ServiceAdapterModel::ServiceAdapterModel(QObject *parent)
    : QAbstractListModel(parent),
      m_connection(QStringLiteral("nivora-vexbus-none"))
{
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
}

void ServiceAdapterModel::setBus(Bus bus)
{
    if (m_bus == bus)
        return;
    m_bus = bus;
    emit busChanged(bus);
    connectToBus();
}

void ServiceAdapterModel::componentComplete()
{
    m_complete = true;
    connectToBus();
}

void ServiceAdapterModel::connectToBus()
{
    if (!m_complete)
        return;
    if (m_watcher) {
        m_connection.disconnect(serviceName, rootPath, objectManagerInterface, QStringLiteral("InterfacesAdded"),
                                this, SLOT(onInterfacesAdded(QDBusMessage)));
        m_connection.disconnect(serviceName, rootPath, objectManagerInterface, QStringLiteral("InterfacesRemoved"),
                                this, SLOT(onInterfacesRemoved(QDBusObjectPath,QStringList)));
        delete m_watcher;
    }
    clear();
    setRunning(false);
    m_connection = m_bus == SessionBus ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
    m_watcher = new QDBusServiceWatcher(serviceName, m_connection,
                                        QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this]() {
        setRunning(true);
        fetchAdapters();
    });
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this]() {
        setRunning(false);
        clear();
    });
    // Signals of whoever owns the name; the service's unique name changes when it restarts.
    m_connection.connect(serviceName, rootPath, objectManagerInterface, QStringLiteral("InterfacesAdded"),
                         this, SLOT(onInterfacesAdded(QDBusMessage)));
    m_connection.connect(serviceName, rootPath, objectManagerInterface, QStringLiteral("InterfacesRemoved"),
                         this, SLOT(onInterfacesRemoved(QDBusObjectPath,QStringList)));
    if (m_connection.isConnected())
        fetchAdapters();
}

void ServiceAdapterModel::setRunning(bool running)
{
    if (m_running == running)
        return;
    m_running = running;
    emit runningChanged(running);
}

void ServiceAdapterModel::fetchAdapters()
{
    const QDBusMessage call = QDBusMessage::createMethodCall(serviceName, rootPath, objectManagerInterface,
                                                             QStringLiteral("GetManagedObjects"));
    auto *watcher = new QDBusPendingCallWatcher(m_connection.asyncCall(call), this);
    const QDBusConnection asked = m_connection;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, asked]() {
        watcher->deleteLater();
        // An answer from a bus this model left.
        if (asked.name() != m_connection.name())
            return;
        const QDBusPendingReply<ManagedObjects> reply = *watcher;
        if (reply.isError())
            return;
        setRunning(true);
        const ManagedObjects objects = reply.value();
        for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
            if (it.value().contains(adapterInterface()))
                addAdapter(it.key(), it.value().value(adapterInterface()));
        }
    });
}

void ServiceAdapterModel::onInterfacesAdded(const QDBusMessage &message)
{
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() != 2)
        return;
    const QDBusObjectPath path = arguments.at(0).value<QDBusObjectPath>();
    const Interfaces interfaces = qdbus_cast<Interfaces>(arguments.at(1));
    if (interfaces.contains(adapterInterface()))
        addAdapter(path, interfaces.value(adapterInterface()));
}

void ServiceAdapterModel::onInterfacesRemoved(const QDBusObjectPath &path, const QStringList &interfaces)
{
    if (interfaces.contains(adapterInterface()))
        removeAdapter(path.path());
}

void ServiceAdapterModel::addAdapter(const QDBusObjectPath &path, const QVariantMap &properties)
{
    int row = 0;
    while (row < m_adapters.size() && m_adapters.at(row)->objectPath() < path.path())
        ++row;
    if (row < m_adapters.size() && m_adapters.at(row)->objectPath() == path.path()) {
        // Listed by GetManagedObjects and announced as well.
        m_adapters.at(row)->takeProperties(properties);
        return;
    }
    auto *adapter = new ServiceAdapter(m_connection, path, properties, this);
    QQmlEngine::setObjectOwnership(adapter, QQmlEngine::CppOwnership);
    beginInsertRows(QModelIndex(), row, row);
    m_adapters.insert(row, adapter);
    endInsertRows();
    emit countChanged(count());
}

void ServiceAdapterModel::removeAdapter(const QString &path)
{
    for (int row = 0; row < m_adapters.size(); ++row) {
        if (m_adapters.at(row)->objectPath() != path)
            continue;
        beginRemoveRows(QModelIndex(), row, row);
        // Views may still hold it until they update.
        m_adapters.takeAt(row)->deleteLater();
        endRemoveRows();
        emit countChanged(count());
        return;
    }
}

void ServiceAdapterModel::clear()
{
    if (m_adapters.isEmpty())
        return;
    beginResetModel();
    for (ServiceAdapter *adapter : std::exchange(m_adapters, {}))
        adapter->deleteLater();
    endResetModel();
    emit countChanged(0);
}

ServiceAdapter *ServiceAdapterModel::adapterAt(int row) const
{
    return m_adapters.value(row);
}

int ServiceAdapterModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_adapters.count();
}

QVariant ServiceAdapterModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    ServiceAdapter *adapter = m_adapters.at(index.row());
    switch (role) {
    case AdapterRole:
        return QVariant::fromValue(adapter);
    case ObjectPathRole:
        return adapter->objectPath();
    }
    return QVariant();
}

QHash<int, QByteArray> ServiceAdapterModel::roleNames() const
{
    return {{AdapterRole, "adapter"}, {ObjectPathRole, "objectPath"}};
}
