// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "dbusservice.h"
#include "adaptermanager.h"
#include "adapterobject.h"
#include "managedadapter.h"
#include "objectmanager.h"
#include "vexbusdlogging.h"

#include <QDBusConnectionInterface>
#include <QDBusError>

DBusService::DBusService(AdapterManager *manager, const QDBusConnection &connection, QObject *parent)
    : QObject(parent),
      m_manager(manager),
      m_connection(connection),
      m_objectManager(new ObjectManager(connection, QLatin1String(rootPath), this))
{
    connect(manager, &AdapterManager::adapterAdded, this, &DBusService::onAdapterAdded);
    connect(manager, &AdapterManager::adapterRemoved, this, &DBusService::onAdapterRemoved);
}

bool DBusService::start(QString *errorString)
{
    if (!m_connection.registerObject(QLatin1String(rootPath), this, QDBusConnection::ExportAdaptors)) {
        *errorString = QStringLiteral("cannot export %1: %2").arg(QLatin1String(rootPath), m_connection.lastError().message());
        return false;
    }
    for (ManagedAdapter *adapter : m_manager->adapters())
        onAdapterAdded(adapter);
    // The name comes last, so that whoever waits for it finds the objects.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> registered = m_connection.interface()->registerService(
            QLatin1String(serviceName), QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!registered.isValid() || registered.value() != QDBusConnectionInterface::ServiceRegistered) {
        *errorString = QStringLiteral("cannot own the bus name %1: %2").arg(QLatin1String(serviceName),
                registered.isValid() ? QStringLiteral("another program owns it") : registered.error().message());
        return false;
    }
    return true;
}

void DBusService::onAdapterAdded(ManagedAdapter *adapter)
{
    if (m_objects.contains(adapter))
        return;
    auto *object = new AdapterObject(adapter, m_connection, this);
    object->setBusFrameSignal(m_busFrameSignal);
    if (!m_connection.registerObject(object->path().path(), object, QDBusConnection::ExportAdaptors)) {
        qCWarning(dcVexbusd()) << "Cannot export adapter" << adapter->key() << "at" << object->path().path() << ":"
                               << m_connection.lastError().message();
        delete object;
        return;
    }
    m_objects.insert(adapter, object);
    m_objectManager->addObject(object->path(), [object]() {
        return ObjectManager::Interfaces{
            {QLatin1String(AdapterObject::interfaceName), object->properties()},
            {QStringLiteral("org.freedesktop.DBus.Properties"), QVariantMap()},
            {QStringLiteral("org.freedesktop.DBus.Introspectable"), QVariantMap()},
            {QStringLiteral("org.freedesktop.DBus.Peer"), QVariantMap()},
        };
    });
}

void DBusService::onAdapterRemoved(ManagedAdapter *adapter)
{
    AdapterObject *object = m_objects.take(adapter);
    if (!object)
        return;
    m_connection.unregisterObject(object->path().path());
    m_objectManager->removeObject(object->path());
    delete object;
}
