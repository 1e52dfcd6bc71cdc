// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_OBJECTMANAGER_H
#define VEXBUSD_OBJECTMANAGER_H

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QMap>
#include <QVariantMap>

#include <functional>

// org.freedesktop.DBus.ObjectManager on the service's root object, which Qt
// does not provide: the objects below the root with their interfaces and
// properties (GetManagedObjects), and InterfacesAdded and InterfacesRemoved
// as objects come and go.
class ObjectManager : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.DBus.ObjectManager")
    Q_CLASSINFO("D-Bus Introspection", ""
"  <interface name=\"org.freedesktop.DBus.ObjectManager\">\n"
"    <method name=\"GetManagedObjects\">\n"
"      <arg name=\"objects\" type=\"a{oa{sa{sv}}}\" direction=\"out\"/>\n"
"    </method>\n"
"    <signal name=\"InterfacesAdded\">\n"
"      <arg name=\"object\" type=\"o\"/>\n"
"      <arg name=\"interfaces\" type=\"a{sa{sv}}\"/>\n"
"    </signal>\n"
"    <signal name=\"InterfacesRemoved\">\n"
"      <arg name=\"object\" type=\"o\"/>\n"
"      <arg name=\"interfaces\" type=\"as\"/>\n"
"    </signal>\n"
"  </interface>\n")

public:
    // Interface name to its properties.
    using Interfaces = QMap<QString, QVariantMap>;
    using InterfacesOf = std::function<Interfaces()>;

    // On the root object parent, which the connection exports at rootPath.
    ObjectManager(const QDBusConnection &connection, const QString &rootPath, QObject *parent);

    // Announces an object; interfacesOf gives its interfaces when asked.
    void addObject(const QDBusObjectPath &path, const InterfacesOf &interfacesOf);
    void removeObject(const QDBusObjectPath &path);

public slots:
    void GetManagedObjects(const QDBusMessage &message);

private:
    QDBusConnection m_connection;
    QString m_rootPath;
    QMap<QString, InterfacesOf> m_objects;
};

#endif // VEXBUSD_OBJECTMANAGER_H
