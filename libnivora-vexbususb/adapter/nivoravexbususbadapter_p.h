// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBADAPTER_P_H
#define NIVORAVEXBUSUSBADAPTER_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the library's API: it is not installed, and it
// may change from one release to the next without notice.
//

#include "adapter/nivoravexbususbadapter.h"
#include "adapter/nivoravexbususbfirmwareupdater.h"

namespace NivoraVexbusUsb {

class ControllerSession;

class NivoraVexbusUsbAdapterPrivate
{
    Q_DECLARE_PUBLIC(NivoraVexbusUsbAdapter)

public:
    explicit NivoraVexbusUsbAdapterPrivate(NivoraVexbusUsbAdapter *q) : q_ptr(q) {}

    void construct(NivoraVexbusUsbDeviceWatcher *deviceWatcher);

    void setState(NivoraVexbusUsbAdapter::State state);
    void setAvailable(bool available);
    void setFirmwareVersion(const QString &firmwareVersion);
    void setLedMode(NivoraVexbusUsbUtils::LedMode ledMode);
    void setVexbusType(NivoraVexbusUsbUtils::VexbusType vexbusType);
    void setVexbusSynchronized(bool vexbusSynchronized);
    void setVexbusInitialized(bool vexbusInitialized);
    void setVexbusAvailable(bool vexbusAvailable);
    void setSerialPortName(const QString &serialPortName);
    void setSerialPortSystemLocation(const QString &serialPortSystemLocation);
    void setSerialPortDescription(const QString &serialPortDescription);
    void setSerialPortManufacturer(const QString &serialPortManufacturer);
    void setSerialPortSerialNumber(const QString &serialPortSerialNumber);
    void setSerialPortVendorIdentifier(unsigned short serialPortVendorIdentifier);
    void setSerialPortProductIdentifier(unsigned short serialPortProductIdentifier);
    void clearSerialPortInformation();
    // Where an update started now finds the controller.
    NivoraVexbusUsbFirmwareUpdater::Link updateLink() const;

    void onInterfaceConnectedChanged(bool connected);
    void onControllerStatusReceived(const QByteArray &payload, bool notified);

    // What the adapter does with a command's outcome: its log lines and its consequences.
    struct CommandOutcome
    {
        const char *errorText;
        const char *successText;
        void (NivoraVexbusUsbAdapterPrivate::*consequence)(NivoraVexbusUsbReply *reply);
    };
    NivoraVexbusUsbReply *sendCommand(NivoraVexbusUsbUtils::Command command, const QByteArray &payload,
                                      const CommandOutcome &outcome, const QString &invalidArgument = QString());
    NivoraVexbusUsbReply *sendIxoModuleBuffer(unsigned char mode, unsigned char button, uint milliSeconds,
                                              const CommandOutcome &outcome);
    static void onCommandFinished(QObject *receiver, NivoraVexbusUsbReply *reply, const void *context);
    static void onPacketReceived(QObject *receiver, const NivoraVexbusUsbPacket &packet);
    void takeFirmwareVersionReply(NivoraVexbusUsbReply *reply);
    void takeResetReply(NivoraVexbusUsbReply *reply);

    NivoraVexbusUsbAdapter *q_ptr;

    NivoraVexbusUsbAdapter::State state = NivoraVexbusUsbAdapter::StateUnconnected;
    QString portName;
    int baudrate = 115200;
    bool available = false;
    NivoraVexbusUsbInterface *interface = nullptr;
    NivoraVexbusUsbClient *client = nullptr;
    ControllerSession *session = nullptr;
    NivoraVexbusUsbFirmwareUpdater *updater = nullptr;
    FirmwareDownloader *firmwareDownloader = nullptr;
    NivoraVexbusUsbTrafficRecorder *trafficRecorder = nullptr;
    QString serialPortName;
    QString serialPortSystemLocation;
    QString serialPortDescription;
    QString serialPortManufacturer;
    QString serialPortSerialNumber;
    unsigned short serialPortVendorIdentifier = 0;
    unsigned short serialPortProductIdentifier = 0;
    QString firmwareVersion;
    int statusFlags = 0;
    bool vexbusSynchronized = false;
    bool vexbusInitialized = false;
    bool vexbusAvailable = false;
    NivoraVexbusUsbUtils::LedMode ledMode = NivoraVexbusUsbUtils::LedModeUnknown;
    NivoraVexbusUsbUtils::VexbusType vexbusType = NivoraVexbusUsbUtils::VexbusTypeUnknown;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBADAPTER_P_H
