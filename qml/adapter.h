// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_QML_ADAPTER_H
#define NIVORA_QML_ADAPTER_H

#include "reply.h"
#include "update.h"

#include "adapter/nivoravexbususbadapter.h"

#include <QObject>
#include <QUrl>

// What QML sees of one adapter, in-process (UsbAdapter) or through vexbusd
// (ServiceAdapter): the adapter's properties with the library's names and
// enumerations, its bus frames, and its commands, each returning a Reply
// (an update an Update) that finishes with the outcome.
class Adapter : public QObject
{
    Q_OBJECT
    // Where the adapter is in its life cycle.
    Q_PROPERTY(NivoraVexbusUsb::NivoraVexbusUsbAdapter::State state READ state NOTIFY stateChanged)
    // The controller answered its init procedure.
    Q_PROPERTY(bool available READ available NOTIFY availableChanged)
    // The controller does not answer but its bootloader does: an update was interrupted.
    Q_PROPERTY(bool controllerInBootloader READ controllerInBootloader NOTIFY controllerInBootloaderChanged)
    // The controller's firmware as "X.Y.Z"; empty while unavailable.
    Q_PROPERTY(QString firmwareVersion READ firmwareVersion NOTIFY firmwareVersionChanged)
    // What the adapter's LED shows.
    Q_PROPERTY(NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode ledMode READ ledMode NOTIFY ledModeChanged)
    // The kind of bus the controller found.
    Q_PROPERTY(NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType vexbusType READ vexbusType NOTIFY vexbusTypeChanged)
    // The controller is synchronized with the bus.
    Q_PROPERTY(bool vexbusSynchronized READ vexbusSynchronized NOTIFY vexbusSynchronizedChanged)
    // The bus is initialized.
    Q_PROPERTY(bool vexbusInitialized READ vexbusInitialized NOTIFY vexbusInitializedChanged)
    // The bus is available.
    Q_PROPERTY(bool vexbusAvailable READ vexbusAvailable NOTIFY vexbusAvailableChanged)
    // The adapter's device node, for example "/dev/ttyUSB0".
    Q_PROPERTY(QString serialPortSystemLocation READ serialPortSystemLocation NOTIFY serialPortSystemLocationChanged)
    // The adapter's USB serial number; empty without one.
    Q_PROPERTY(QString serialPortSerialNumber READ serialPortSerialNumber NOTIFY serialPortSerialNumberChanged)
    // The baud rate of the serial line.
    Q_PROPERTY(int baudrate READ baudrate NOTIFY baudrateChanged)
    // A firmware update runs.
    Q_PROPERTY(bool updating READ updating NOTIFY updatingChanged)
    // The step of the running or last update.
    Q_PROPERTY(NivoraVexbusUsb::FirmwareUpdate::Phase updatePhase READ updatePhase NOTIFY updatePhaseChanged)
    // Progress of the running or last update, 0 to 100.
    Q_PROPERTY(double updatePercentage READ updatePercentage NOTIFY updatePercentageChanged)
    // Why the last update failed.
    Q_PROPERTY(NivoraVexbusUsb::FirmwareUpdate::Error updateError READ updateError NOTIFY updateErrorChanged)
    // The same reason as a sentence; empty without failure.
    Q_PROPERTY(QString updateErrorString READ updateErrorString NOTIFY updateErrorStringChanged)
    // The program that holds the adapter (a lease through vexbusd); empty when none does.
    Q_PROPERTY(QString inhibitedBy READ inhibitedBy NOTIFY inhibitedByChanged)
    // The reason that program gave.
    Q_PROPERTY(QString inhibitReason READ inhibitReason NOTIFY inhibitReasonChanged)

public:
    explicit Adapter(QObject *parent = nullptr);

    NivoraVexbusUsb::NivoraVexbusUsbAdapter::State state() const { return m_state; }
    bool available() const { return m_available; }
    bool controllerInBootloader() const { return m_controllerInBootloader; }
    QString firmwareVersion() const { return m_firmwareVersion; }
    NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode ledMode() const { return m_ledMode; }
    NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType vexbusType() const { return m_vexbusType; }
    bool vexbusSynchronized() const { return m_vexbusSynchronized; }
    bool vexbusInitialized() const { return m_vexbusInitialized; }
    bool vexbusAvailable() const { return m_vexbusAvailable; }
    QString serialPortSystemLocation() const { return m_serialPortSystemLocation; }
    QString serialPortSerialNumber() const { return m_serialPortSerialNumber; }
    int baudrate() const { return m_baudrate; }
    bool updating() const { return m_updating; }
    NivoraVexbusUsb::FirmwareUpdate::Phase updatePhase() const { return m_updatePhase; }
    double updatePercentage() const { return m_updatePercentage; }
    NivoraVexbusUsb::FirmwareUpdate::Error updateError() const { return m_updateError; }
    QString updateErrorString() const { return m_updateErrorString; }
    QString inhibitedBy() const { return m_inhibitedBy; }
    QString inhibitReason() const { return m_inhibitReason; }

    // Writes one frame of 1 to 255 bytes to the bus.
    Q_INVOKABLE virtual Reply *writeDataToVexbus(const QByteArray &data);
    Q_INVOKABLE virtual Reply *pressIxoButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::IxoModuleButton button, uint milliSeconds = 200);
    Q_INVOKABLE virtual Reply *pressRemoteServiceButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::RemoteServiceModuleButton button, uint milliSeconds = 200);
    Q_INVOKABLE virtual Reply *pressAppConnectorButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::AppConnectorModuleButton button, uint milliSeconds = 200);
    Q_INVOKABLE virtual Reply *resetController();
    Q_INVOKABLE virtual Reply *enableAppConnectorParameterHandling(bool enable);
    // Writes the image file (a .cyacd file, as a local URL or path) into the controller.
    Q_INVOKABLE virtual Update *updateFirmware(const QUrl &image);

signals:
    void stateChanged(NivoraVexbusUsb::NivoraVexbusUsbAdapter::State state);
    void availableChanged(bool available);
    void controllerInBootloaderChanged(bool controllerInBootloader);
    void firmwareVersionChanged(const QString &firmwareVersion);
    void ledModeChanged(NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode ledMode);
    void vexbusTypeChanged(NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType vexbusType);
    void vexbusSynchronizedChanged(bool vexbusSynchronized);
    void vexbusInitializedChanged(bool vexbusInitialized);
    void vexbusAvailableChanged(bool vexbusAvailable);
    void serialPortSystemLocationChanged(const QString &serialPortSystemLocation);
    void serialPortSerialNumberChanged(const QString &serialPortSerialNumber);
    void baudrateChanged(int baudrate);
    void updatingChanged(bool updating);
    void updatePhaseChanged(NivoraVexbusUsb::FirmwareUpdate::Phase updatePhase);
    void updatePercentageChanged(double updatePercentage);
    void updateErrorChanged(NivoraVexbusUsb::FirmwareUpdate::Error updateError);
    void updateErrorStringChanged(const QString &updateErrorString);
    void inhibitedByChanged(const QString &inhibitedBy);
    void inhibitReasonChanged(const QString &inhibitReason);
    // A frame that the controller reported from the bus.
    void vexbusFrameReceived(const QByteArray &vexbusFrame);

protected:
    void setState(NivoraVexbusUsb::NivoraVexbusUsbAdapter::State state);
    void setAvailable(bool available);
    void setControllerInBootloader(bool controllerInBootloader);
    void setFirmwareVersion(const QString &firmwareVersion);
    void setLedMode(NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode ledMode);
    void setVexbusType(NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType vexbusType);
    void setVexbusSynchronized(bool vexbusSynchronized);
    void setVexbusInitialized(bool vexbusInitialized);
    void setVexbusAvailable(bool vexbusAvailable);
    void setSerialPortSystemLocation(const QString &serialPortSystemLocation);
    void setSerialPortSerialNumber(const QString &serialPortSerialNumber);
    void setBaudrate(int baudrate);
    void setUpdating(bool updating);
    void setUpdatePhase(NivoraVexbusUsb::FirmwareUpdate::Phase updatePhase);
    void setUpdatePercentage(double updatePercentage);
    void setUpdateError(NivoraVexbusUsb::FirmwareUpdate::Error updateError);
    void setUpdateErrorString(const QString &updateErrorString);
    void setInhibitedBy(const QString &inhibitedBy);
    void setInhibitReason(const QString &inhibitReason);

    // A command this kind of adapter cannot give.
    Reply *refused(const QString &errorString);

private:
    NivoraVexbusUsb::NivoraVexbusUsbAdapter::State m_state = NivoraVexbusUsb::NivoraVexbusUsbAdapter::StateUnconnected;
    bool m_available = false;
    bool m_controllerInBootloader = false;
    QString m_firmwareVersion;
    NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode m_ledMode = NivoraVexbusUsb::NivoraVexbusUsbUtils::LedModeUnknown;
    NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType m_vexbusType = NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusTypeUnknown;
    bool m_vexbusSynchronized = false;
    bool m_vexbusInitialized = false;
    bool m_vexbusAvailable = false;
    QString m_serialPortSystemLocation;
    QString m_serialPortSerialNumber;
    int m_baudrate = 115200;
    bool m_updating = false;
    NivoraVexbusUsb::FirmwareUpdate::Phase m_updatePhase = NivoraVexbusUsb::FirmwareUpdate::PhaseIdle;
    double m_updatePercentage = 0;
    NivoraVexbusUsb::FirmwareUpdate::Error m_updateError = NivoraVexbusUsb::FirmwareUpdate::ErrorNone;
    QString m_updateErrorString;
    QString m_inhibitedBy;
    QString m_inhibitReason;
};

#endif // NIVORA_QML_ADAPTER_H
