// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "objectmanager.h"

#include <QDBusArgument>
#include <QDBusMetaType>

namespace {

constexpr const char *objectManagerInterface = "org.freedesktop.DBus.ObjectManager";

using ManagedObjects = QMap<QDBusObjectPath, ObjectManager::Interfaces>;

} // namespace

Q_DECLARE_METATYPE(ManagedObjects)

ObjectManager::ObjectManager(const QDBusConnection &connection, const QString &rootPath, QObject *parent)
    : QDBusAbstractAdaptor(parent),
      m_connection(connection),
      m_rootPath(rootPath)
{
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
}

void ObjectManager::addObject(const QDBusObjectPath &path, const InterfacesOf &interfacesOf)
{
    m_objects.insert(path.path(), interfacesOf);
    QDBusMessage signal = QDBusMessage::createSignal(m_rootPath, QLatin1String(objectManagerInterface),
                                                     QStringLiteral("InterfacesAdded"));
    signal << QVariant::fromValue(path) << QVariant::fromValue(interfacesOf());
    m_connection.send(signal);
}

void ObjectManager::removeObject(const QDBusObjectPath &path)
{
    const InterfacesOf interfacesOf = m_objects.take(path.path());
    if (!interfacesOf)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(m_rootPath, QLatin1String(objectManagerInterface),
                                                     QStringLiteral("InterfacesRemoved"));
    signal << QVariant::fromValue(path) << QStringList(interfacesOf().keys());
    m_connection.send(signal);
}

void ObjectManager::GetManagedObjects(const QDBusMessage &message)
{
    ManagedObjects objects;
    for (auto it = m_objects.cbegin(); it != m_objects.cend(); ++it)
        objects.insert(QDBusObjectPath(it.key()), it.value()());
    // The answer is sent here; Qt would otherwise add an empty one.
    message.setDelayedReply(true);
    m_connection.send(message.createReply(QVariant::fromValue(objects)));
}
