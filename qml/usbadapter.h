// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_QML_USBADAPTER_H
#define NIVORA_QML_USBADAPTER_H

#include "adapter.h"

#include <QList>
#include <QPointer>
#include <QQmlParserStatus>

// An adapter driven in the application's own process, for applications
// without vexbusd: a NivoraVexbusUsbAdapter on portName (a device path, a
// link to one or a pseudo-terminal) or on the adapter with serialNumber,
// running while active.
class UsbAdapter : public Adapter, public QQmlParserStatus
{
    Q_OBJECT
    Q_INTERFACES(QQmlParserStatus)
    // The port to open; takes effect when the adapter (re)starts.
    Q_PROPERTY(QString portName READ portName WRITE setPortName NOTIFY portNameChanged)
    // The USB serial number (or its start) of the adapter to open, instead of a port.
    Q_PROPERTY(QString serialNumber READ serialNumber WRITE setSerialNumber NOTIFY serialNumberChanged)
    // The adapter runs: it connects whenever its port is there. True by default.
    Q_PROPERTY(bool active READ active WRITE setActive NOTIFY activeChanged)

public:
    explicit UsbAdapter(QObject *parent = nullptr);

    QString portName() const { return m_portName; }
    void setPortName(const QString &portName);
    QString serialNumber() const { return m_serialNumber; }
    void setSerialNumber(const QString &serialNumber);
    bool active() const { return m_active; }
    void setActive(bool active);

    // The library's adapter while active, for C++ code of the application.
    NivoraVexbusUsb::NivoraVexbusUsbAdapter *adapter() const { return m_adapter; }

    Reply *writeDataToVexbus(const QByteArray &data) override;
    Reply *pressIxoButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::IxoModuleButton button, uint milliSeconds = 200) override;
    Reply *pressRemoteServiceButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::RemoteServiceModuleButton button, uint milliSeconds = 200) override;
    Reply *pressAppConnectorButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::AppConnectorModuleButton button, uint milliSeconds = 200) override;
    Reply *resetController() override;
    Reply *enableAppConnectorParameterHandling(bool enable) override;
    Update *updateFirmware(const QUrl &image) override;

    void classBegin() override {}
    void componentComplete() override;

signals:
    void portNameChanged(const QString &portName);
    void serialNumberChanged(const QString &serialNumber);
    void activeChanged(bool active);

private:
    void restart();
    void follow(NivoraVexbusUsb::NivoraVexbusUsbAdapter *adapter);
    void followUpdate(NivoraVexbusUsb::NivoraVexbusUsbUpdateReply *reply, Update *update);

    QString m_portName;
    QString m_serialNumber;
    bool m_active = true;
    bool m_complete = false;
    QPointer<NivoraVexbusUsb::NivoraVexbusUsbAdapter> m_adapter;
    // Every started update ends in one updateFinished(), in the order they started.
    QList<QPointer<Update>> m_updates;
};

#endif // NIVORA_QML_USBADAPTER_H
