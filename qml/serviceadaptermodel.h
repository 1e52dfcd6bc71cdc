// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_QML_SERVICEADAPTERMODEL_H
#define NIVORA_QML_SERVICEADAPTERMODEL_H

#include <QAbstractListModel>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QList>
#include <QQmlParserStatus>
#include <QVariantMap>

class QDBusMessage;
class QDBusServiceWatcher;
class ServiceAdapter;

// The adapters that vexbusd shares, one row each in the order of their
// object paths, as its ObjectManager lists them and as they come and go
// (InterfacesAdded, InterfacesRemoved). Empty while the service is not on
// the bus; filled again when it comes back.
class ServiceAdapterModel : public QAbstractListModel, public QQmlParserStatus
{
    Q_OBJECT
    Q_INTERFACES(QQmlParserStatus)
    // The bus to find vexbusd on: the system bus (as installed) or the
    // session bus (vexbusd --session). Takes effect when set.
    Q_PROPERTY(Bus bus READ bus WRITE setBus NOTIFY busChanged)
    // vexbusd is on the bus.
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Bus { SystemBus, SessionBus };
    Q_ENUM(Bus)
    // The roles of a row: the ServiceAdapter and its object path.
    enum Role { AdapterRole = Qt::UserRole + 1, ObjectPathRole };
    Q_ENUM(Role)

    explicit ServiceAdapterModel(QObject *parent = nullptr);

    Bus bus() const { return m_bus; }
    void setBus(Bus bus);
    bool running() const { return m_running; }
    int count() const { return m_adapters.count(); }

    // The adapter of a row, or null.
    Q_INVOKABLE ServiceAdapter *adapterAt(int row) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    void classBegin() override {}
    void componentComplete() override;

signals:
    void busChanged(Bus bus);
    void runningChanged(bool running);
    void countChanged(int count);

private slots:
    void onInterfacesAdded(const QDBusMessage &message);
    void onInterfacesRemoved(const QDBusObjectPath &path, const QStringList &interfaces);

private:
    void connectToBus();
    void setRunning(bool running);
    void fetchAdapters();
    void addAdapter(const QDBusObjectPath &path, const QVariantMap &properties);
    void removeAdapter(const QString &path);
    void clear();

    Bus m_bus = SystemBus;
    bool m_complete = false;
    bool m_running = false;
    QDBusConnection m_connection;
    QDBusServiceWatcher *m_watcher = nullptr;
    QList<ServiceAdapter *> m_adapters;
};

#endif // NIVORA_QML_SERVICEADAPTERMODEL_H
