// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "usbadapter.h"

#include <QQmlEngine>

#include "adapter/nivoravexbususbupdatereply.h"
#include "bootloader/firmwaredata.h"

using namespace NivoraVexbusUsb;

UsbAdapter::UsbAdapter(QObject *parent)
    : Adapter(parent)
{
}

void UsbAdapter::setPortName(const QString &portName)
{
    if (m_portName == portName)
        return;
    m_portName = portName;
    emit portNameChanged(portName);
    restart();
}

void UsbAdapter::setSerialNumber(const QString &serialNumber)
{
    if (m_serialNumber == serialNumber)
        return;
    m_serialNumber = serialNumber;
    emit serialNumberChanged(serialNumber);
    restart();
}

void UsbAdapter::setActive(bool active)
{
    if (m_active == active)
        return;
    m_active = active;
    emit activeChanged(active);
    restart();
}

void UsbAdapter::componentComplete()
{
    m_complete = true;
    restart();
}

void UsbAdapter::restart()
{
    // Bindings set portName, serialNumber and active one by one; the adapter
    // starts once they all are.
    if (!m_complete)
        return;
    if (m_adapter) {
        m_adapter->disconnect(this);
        delete m_adapter;
    }
    for (const QPointer<Update> &update : std::exchange(m_updates, {})) {
        if (update)
            update->finish(FirmwareUpdate::ErrorStoppedByApplication, tr("The adapter was stopped."));
    }
    if (!m_active || (m_portName.isEmpty() && m_serialNumber.isEmpty())) {
        follow(nullptr);
        return;
    }
    if (m_serialNumber.isEmpty()) {
        m_adapter = new NivoraVexbusUsbAdapter(this);
        m_adapter->setPortName(m_portName);
    } else {
        m_adapter = new NivoraVexbusUsbAdapter(m_serialNumber, this);
    }
    QQmlEngine::setObjectOwnership(m_adapter, QQmlEngine::CppOwnership);
    follow(m_adapter);
    m_adapter->start();
}

void UsbAdapter::follow(NivoraVexbusUsbAdapter *adapter)
{
    if (!adapter) {
        setState(NivoraVexbusUsbAdapter::StateUnconnected);
        setAvailable(false);
        setControllerInBootloader(false);
        setFirmwareVersion(QString());
        setLedMode(NivoraVexbusUsbUtils::LedModeUnknown);
        setVexbusType(NivoraVexbusUsbUtils::VexbusTypeUnknown);
        setVexbusSynchronized(false);
        setVexbusInitialized(false);
        setVexbusAvailable(false);
        setSerialPortSystemLocation(QString());
        setSerialPortSerialNumber(QString());
        setUpdating(false);
        return;
    }
    setState(adapter->state());
    setAvailable(adapter->available());
    setControllerInBootloader(adapter->controllerInBootloader());
    setFirmwareVersion(adapter->firmwareVersion());
    setLedMode(adapter->ledMode());
    setVexbusType(adapter->vexbusType());
    setVexbusSynchronized(adapter->vexbusSynchronized());
    setVexbusInitialized(adapter->vexbusInitialized());
    setVexbusAvailable(adapter->vexbusAvailable());
    setSerialPortSystemLocation(adapter->serialPortSystemLocation());
    setSerialPortSerialNumber(adapter->serialPortSerialNumber());
    setBaudrate(adapter->baudrate());
    setUpdating(adapter->updating());
    setUpdatePhase(adapter->updatePhase());
    setUpdatePercentage(adapter->updatePercentage());
    setUpdateError(adapter->updateError());
    setUpdateErrorString(adapter->updateErrorString());

    connect(adapter, &NivoraVexbusUsbAdapter::stateChanged, this, &UsbAdapter::setState);
    connect(adapter, &NivoraVexbusUsbAdapter::availableChanged, this, &UsbAdapter::setAvailable);
    connect(adapter, &NivoraVexbusUsbAdapter::controllerInBootloaderChanged, this, &UsbAdapter::setControllerInBootloader);
    connect(adapter, &NivoraVexbusUsbAdapter::firmwareVersionChanged, this, &UsbAdapter::setFirmwareVersion);
    connect(adapter, &NivoraVexbusUsbAdapter::ledModeChanged, this, &UsbAdapter::setLedMode);
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusTypeChanged, this, &UsbAdapter::setVexbusType);
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusSynchronizedChanged, this, &UsbAdapter::setVexbusSynchronized);
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusInitializedChanged, this, &UsbAdapter::setVexbusInitialized);
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusAvailableChanged, this, &UsbAdapter::setVexbusAvailable);
    connect(adapter, &NivoraVexbusUsbAdapter::serialPortSystemLocationChanged, this, &UsbAdapter::setSerialPortSystemLocation);
    connect(adapter, &NivoraVexbusUsbAdapter::serialPortSerialNumberChanged, this, &UsbAdapter::setSerialPortSerialNumber);
    connect(adapter, &NivoraVexbusUsbAdapter::updatingChanged, this, &UsbAdapter::setUpdating);
    connect(adapter, &NivoraVexbusUsbAdapter::updatePhaseChanged, this, &UsbAdapter::setUpdatePhase);
    connect(adapter, &NivoraVexbusUsbAdapter::updatePercentageChanged, this, &UsbAdapter::setUpdatePercentage);
    connect(adapter, &NivoraVexbusUsbAdapter::updateErrorChanged, this, &UsbAdapter::setUpdateError);
    connect(adapter, &NivoraVexbusUsbAdapter::updateErrorStringChanged, this, &UsbAdapter::setUpdateErrorString);
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived, this, &Adapter::vexbusFrameReceived);
}

void UsbAdapter::followUpdate(NivoraVexbusUsbUpdateReply *reply, Update *update)
{
    // The reply goes with the adapter when the adapter is replaced; the
    // update then ends in restart().
    m_updates.append(update);
    connect(reply, &NivoraVexbusUsbUpdateReply::phaseChanged, update, [update](FirmwareUpdate::Phase phase) {
        if (phase != FirmwareUpdate::PhaseDone && phase != FirmwareUpdate::PhaseFailed)
            update->setPhase(phase);
    });
    connect(reply, &NivoraVexbusUsbUpdateReply::percentageChanged, update, &Update::setPercentage);
    connect(reply, &NivoraVexbusUsbUpdateReply::finished, update, [this, reply, update]() {
        m_updates.removeAll(update);
        update->finish(reply->error(), reply->errorString());
    });
}

Reply *UsbAdapter::writeDataToVexbus(const QByteArray &data)
{
    // An empty frame would be the library's built-in test frame.
    if (m_adapter && data.isEmpty()) {
        auto *reply = new Reply(this);
        reply->finishLater(NivoraVexbusUsbReply::ErrorInvalidArgument, tr("A bus frame holds 1 to 255 bytes."));
        return reply;
    }
    return m_adapter ? Reply::following(m_adapter->writeDataToVexbus(data), this) : Adapter::writeDataToVexbus(data);
}

Reply *UsbAdapter::pressIxoButton(NivoraVexbusUsbAdapter::IxoModuleButton button, uint milliSeconds)
{
    return m_adapter ? Reply::following(m_adapter->pressIxoButton(button, milliSeconds), this)
                     : Adapter::pressIxoButton(button, milliSeconds);
}

Reply *UsbAdapter::pressRemoteServiceButton(NivoraVexbusUsbAdapter::RemoteServiceModuleButton button, uint milliSeconds)
{
    return m_adapter ? Reply::following(m_adapter->pressRemoteServiceButton(button, milliSeconds), this)
                     : Adapter::pressRemoteServiceButton(button, milliSeconds);
}

Reply *UsbAdapter::pressAppConnectorButton(NivoraVexbusUsbAdapter::AppConnectorModuleButton button, uint milliSeconds)
{
    return m_adapter ? Reply::following(m_adapter->pressAppConnectorButton(button, milliSeconds), this)
                     : Adapter::pressAppConnectorButton(button, milliSeconds);
}

Reply *UsbAdapter::resetController()
{
    return m_adapter ? Reply::following(m_adapter->resetController(), this) : Adapter::resetController();
}

Reply *UsbAdapter::enableAppConnectorParameterHandling(bool enable)
{
    return m_adapter ? Reply::following(m_adapter->enableAppConnectorParameterHandling(enable), this)
                     : Adapter::enableAppConnectorParameterHandling(enable);
}

Update *UsbAdapter::updateFirmware(const QUrl &image)
{
    if (!m_adapter)
        return Adapter::updateFirmware(image);
    auto *update = new Update(this);
    // No file would be the downloader's release, which this call does not offer.
    if (image.isEmpty()) {
        update->finishLater(FirmwareUpdate::ErrorImageUnreadable, tr("No image file was chosen."));
        return update;
    }
    // The file is read here, once; the library refuses a missing or invalid
    // one with its own reason, as it refuses an update it cannot start.
    FirmwareData data;
    QString errorString;
    const FirmwareUpdate::Error error =
        FirmwareUpdate::loadImageFile(image.isLocalFile() ? image.toLocalFile() : image.toString(), &data, &errorString);
    if (error != FirmwareUpdate::ErrorNone) {
        setUpdateError(error);
        setUpdateErrorString(errorString);
        update->finishLater(error, errorString);
        return update;
    }
    followUpdate(m_adapter->updateFirmware(data), update);
    return update;
}
