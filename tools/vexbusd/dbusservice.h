// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_DBUSSERVICE_H
#define VEXBUSD_DBUSSERVICE_H

#include <QDBusConnection>
#include <QHash>
#include <QObject>

class AdapterManager;
class AdapterObject;
class ManagedAdapter;
class ObjectManager;

// The D-Bus front end: the bus name org.nivora.Vexbus1, the ObjectManager at
// /org/nivora/Vexbus1 and one AdapterObject per adapter of the manager.
class DBusService : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *serviceName = "org.nivora.Vexbus1";
    static constexpr const char *rootPath = "/org/nivora/Vexbus1";

    DBusService(AdapterManager *manager, const QDBusConnection &connection, QObject *parent = nullptr);

    // Exports the root object and takes the bus name; false with the
    // reason in errorString when the bus refuses either.
    bool start(QString *errorString);
    // Whether the adapters' frames also go out as BusFrameReceived; set
    // before the first adapter comes.
    void setBusFrameSignal(bool enabled) { m_busFrameSignal = enabled; }

private:
    void onAdapterAdded(ManagedAdapter *adapter);
    void onAdapterRemoved(ManagedAdapter *adapter);

    AdapterManager *m_manager;
    QDBusConnection m_connection;
    ObjectManager *m_objectManager;
    QHash<ManagedAdapter *, AdapterObject *> m_objects;
    bool m_busFrameSignal = true;
};

#endif // VEXBUSD_DBUSSERVICE_H
