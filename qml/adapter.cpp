// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adapter.h"

using namespace NivoraVexbusUsb;

Adapter::Adapter(QObject *parent)
    : QObject(parent)
{
}

Reply *Adapter::refused(const QString &errorString)
{
    auto *reply = new Reply(this);
    reply->finishLater(NivoraVexbusUsbReply::ErrorNotAvailable, errorString);
    return reply;
}

Reply *Adapter::writeDataToVexbus(const QByteArray &)
{
    return refused(tr("The adapter is not set up."));
}

Reply *Adapter::pressIxoButton(NivoraVexbusUsbAdapter::IxoModuleButton, uint)
{
    return refused(tr("The adapter is not set up."));
}

Reply *Adapter::pressRemoteServiceButton(NivoraVexbusUsbAdapter::RemoteServiceModuleButton, uint)
{
    return refused(tr("The adapter is not set up."));
}

Reply *Adapter::pressAppConnectorButton(NivoraVexbusUsbAdapter::AppConnectorModuleButton, uint)
{
    return refused(tr("The adapter is not set up."));
}

Reply *Adapter::resetController()
{
    return refused(tr("The adapter is not set up."));
}

Reply *Adapter::enableAppConnectorParameterHandling(bool)
{
    return refused(tr("The adapter is not set up."));
}

Update *Adapter::updateFirmware(const QUrl &)
{
    auto *update = new Update(this);
    update->finishLater(FirmwareUpdate::ErrorPortLost, tr("The adapter is not set up."));
    return update;
}

void Adapter::setState(NivoraVexbusUsb::NivoraVexbusUsbAdapter::State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void Adapter::setAvailable(bool available)
{
    if (m_available == available)
        return;
    m_available = available;
    emit availableChanged(available);
}

void Adapter::setControllerInBootloader(bool controllerInBootloader)
{
    if (m_controllerInBootloader == controllerInBootloader)
        return;
    m_controllerInBootloader = controllerInBootloader;
    emit controllerInBootloaderChanged(controllerInBootloader);
}

void Adapter::setFirmwareVersion(const QString &firmwareVersion)
{
    if (m_firmwareVersion == firmwareVersion)
        return;
    m_firmwareVersion = firmwareVersion;
    emit firmwareVersionChanged(firmwareVersion);
}

void Adapter::setLedMode(NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode ledMode)
{
    if (m_ledMode == ledMode)
        return;
    m_ledMode = ledMode;
    emit ledModeChanged(ledMode);
}

void Adapter::setVexbusType(NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType vexbusType)
{
    if (m_vexbusType == vexbusType)
        return;
    m_vexbusType = vexbusType;
    emit vexbusTypeChanged(vexbusType);
}

void Adapter::setVexbusSynchronized(bool vexbusSynchronized)
{
    if (m_vexbusSynchronized == vexbusSynchronized)
        return;
    m_vexbusSynchronized = vexbusSynchronized;
    emit vexbusSynchronizedChanged(vexbusSynchronized);
}

void Adapter::setVexbusInitialized(bool vexbusInitialized)
{
    if (m_vexbusInitialized == vexbusInitialized)
        return;
    m_vexbusInitialized = vexbusInitialized;
    emit vexbusInitializedChanged(vexbusInitialized);
}

void Adapter::setVexbusAvailable(bool vexbusAvailable)
{
    if (m_vexbusAvailable == vexbusAvailable)
        return;
    m_vexbusAvailable = vexbusAvailable;
    emit vexbusAvailableChanged(vexbusAvailable);
}

void Adapter::setSerialPortSystemLocation(const QString &serialPortSystemLocation)
{
    if (m_serialPortSystemLocation == serialPortSystemLocation)
        return;
    m_serialPortSystemLocation = serialPortSystemLocation;
    emit serialPortSystemLocationChanged(serialPortSystemLocation);
}

void Adapter::setSerialPortSerialNumber(const QString &serialPortSerialNumber)
{
    if (m_serialPortSerialNumber == serialPortSerialNumber)
        return;
    m_serialPortSerialNumber = serialPortSerialNumber;
    emit serialPortSerialNumberChanged(serialPortSerialNumber);
}

void Adapter::setBaudrate(int baudrate)
{
    if (m_baudrate == baudrate)
        return;
    m_baudrate = baudrate;
    emit baudrateChanged(baudrate);
}

void Adapter::setUpdating(bool updating)
{
    if (m_updating == updating)
        return;
    m_updating = updating;
    emit updatingChanged(updating);
}

void Adapter::setUpdatePhase(NivoraVexbusUsb::FirmwareUpdate::Phase updatePhase)
{
    if (m_updatePhase == updatePhase)
        return;
    m_updatePhase = updatePhase;
    emit updatePhaseChanged(updatePhase);
}

void Adapter::setUpdatePercentage(double updatePercentage)
{
    if (qFuzzyCompare(m_updatePercentage + 1, updatePercentage + 1))
        return;
    m_updatePercentage = updatePercentage;
    emit updatePercentageChanged(updatePercentage);
}

void Adapter::setUpdateError(NivoraVexbusUsb::FirmwareUpdate::Error updateError)
{
    if (m_updateError == updateError)
        return;
    m_updateError = updateError;
    emit updateErrorChanged(updateError);
}

void Adapter::setUpdateErrorString(const QString &updateErrorString)
{
    if (m_updateErrorString == updateErrorString)
        return;
    m_updateErrorString = updateErrorString;
    emit updateErrorStringChanged(updateErrorString);
}

void Adapter::setInhibitedBy(const QString &inhibitedBy)
{
    if (m_inhibitedBy == inhibitedBy)
        return;
    m_inhibitedBy = inhibitedBy;
    emit inhibitedByChanged(inhibitedBy);
}

void Adapter::setInhibitReason(const QString &inhibitReason)
{
    if (m_inhibitReason == inhibitReason)
        return;
    m_inhibitReason = inhibitReason;
    emit inhibitReasonChanged(inhibitReason);
}
