// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_QML_SERVICEADAPTER_H
#define NIVORA_QML_SERVICEADAPTER_H

#include "adapter.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QList>
#include <QPointer>
#include <QVariantMap>

class OrgNivoraVexbus1AdapterInterface;

// One adapter that vexbusd shares, through the proxy generated from the
// service's interface: its properties as the service reports them (first
// from the ObjectManager, then from PropertiesChanged), its frames, its
// commands, and the lease (inhibit, uninhibit) that lends the adapter's
// port to another program.
class ServiceAdapter : public Adapter
{
    Q_OBJECT
    // The adapter's object on the bus, for example "/org/nivora/Vexbus1/adapter/A5XK1234".
    Q_PROPERTY(QString objectPath READ objectPath CONSTANT)

public:
    ServiceAdapter(const QDBusConnection &connection, const QDBusObjectPath &path, const QVariantMap &properties,
                   QObject *parent = nullptr);

    QString objectPath() const { return m_path.path(); }

    Reply *writeDataToVexbus(const QByteArray &data) override;
    Reply *pressIxoButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::IxoModuleButton button, uint milliSeconds = 200) override;
    Reply *pressRemoteServiceButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::RemoteServiceModuleButton button, uint milliSeconds = 200) override;
    Reply *pressAppConnectorButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::AppConnectorModuleButton button, uint milliSeconds = 200) override;
    Reply *resetController() override;
    Reply *enableAppConnectorParameterHandling(bool enable) override;
    Update *updateFirmware(const QUrl &image) override;

    // Closes the adapter's port for this program, or one it starts, until
    // uninhibit() or until this program leaves the bus.
    Q_INVOKABLE Reply *inhibit(const QString &reason);
    // Ends this program's lease; the service opens the port again.
    Q_INVOKABLE Reply *uninhibit();

    // Takes properties as the service reports them, by their names on the bus;
    // until the object follows the service, GetAll's answer supersedes them.
    void takeProperties(const QVariantMap &properties);

private slots:
    void onPropertiesChanged(const QString &interfaceName, const QVariantMap &changed, const QStringList &invalidated);

private:
    void onUpdateFinished(bool success, const QString &error, const QString &message);
    // Frames through a socket of the service's, or its signal when it has none.
    void acquireFrames();
    void applyProperties(const QVariantMap &properties);

    QDBusObjectPath m_path;
    OrgNivoraVexbus1AdapterInterface *m_proxy;
    // The updates this program started, in the order the service ends them.
    QList<QPointer<Update>> m_updates;
    // The properties announced before GetAll answered, and whether it has.
    QVariantMap m_announced;
    bool m_following = false;
};

#endif // NIVORA_QML_SERVICEADAPTER_H
