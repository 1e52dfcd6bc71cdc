#ifndef NIVORAVEXBUSUSBADAPTER_H
#define NIVORAVEXBUSUSBADAPTER_H

#include "nivoravexbususb_export.h"
#include "adapter/nivoravexbususbutils.h"
#include "bootloader/bootloaderhandler.h"
#include "bootloader/firmwaredata.h"
#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "firmware/firmwaredownloader.h"
#include "link/nivoravexbususbinterface.h"
#include "link/nivoravexbususbpacket.h"
#include "link/nivoravexbususbreply.h"
#include "logging/nivoravexbususbtrafficrecorder.h"

#include <QHash>
#include <QObject>

namespace NivoraVexbusUsb {

// The one object an application uses to drive a Nivora Vexbus USB adapter:
// its presence, firmware version and controller status as properties, the
// bus frames it reports, and the commands it takes. Nothing happens before
// start(); everything runs on the thread of the event loop that owns it.
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbAdapter : public QObject
{
    Q_OBJECT
    Q_PROPERTY(NivoraVexbusUsb::FirmwareDownloader *firmwareDownloader READ firmwareDownloader CONSTANT)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString portName READ portName CONSTANT)
    Q_PROPERTY(int baudrate READ baudrate CONSTANT)
    Q_PROPERTY(QString serialPortName READ serialPortName NOTIFY serialPortNameChanged)
    Q_PROPERTY(QString serialPortSystemLocation READ serialPortSystemLocation NOTIFY serialPortSystemLocationChanged)
    Q_PROPERTY(QString serialPortDescription READ serialPortDescription NOTIFY serialPortDescriptionChanged)
    Q_PROPERTY(QString serialPortManufacturer READ serialPortManufacturer NOTIFY serialPortManufacturerChanged)
    Q_PROPERTY(QString serialPortSerialNumber READ serialPortSerialNumber NOTIFY serialPortSerialNumberChanged)
    Q_PROPERTY(unsigned short serialPortVendorIdentifier READ serialPortVendorIdentifier NOTIFY serialPortVendorIdentifierChanged)
    Q_PROPERTY(unsigned short serialPortProductIdentifier READ serialPortProductIdentifier NOTIFY serialPortProductIdentifierChanged)
    Q_PROPERTY(bool available READ available NOTIFY availableChanged)
    Q_PROPERTY(QString firmwareVersion READ firmwareVersion NOTIFY firmwareVersionChanged)
    Q_PROPERTY(NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode ledMode READ ledMode NOTIFY ledModeChanged)
    Q_PROPERTY(NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType vexbusType READ vexbusType NOTIFY vexbusTypeChanged)
    Q_PROPERTY(bool vexbusSynchronized READ vexbusSynchronized NOTIFY vexbusSynchronizedChanged)
    Q_PROPERTY(bool vexbusInitialized READ vexbusInitialized NOTIFY vexbusInitializedChanged)
    Q_PROPERTY(bool vexbusAvailable READ vexbusAvailable NOTIFY vexbusAvailableChanged)
    Q_PROPERTY(double updatePercentage READ updatePercentage NOTIFY updatePercentageChanged)
    Q_PROPERTY(bool firmwareUpdateAvailable READ firmwareUpdateAvailable NOTIFY firmwareUpdateAvailableChanged)
    Q_PROPERTY(bool updating READ updating NOTIFY updatingChanged)
    /// The trace file into which the serial traffic with the adapter is recorded; empty while nothing is recorded.
    Q_PROPERTY(QString trafficRecordFileName READ trafficRecordFileName NOTIFY trafficRecordFileNameChanged)

public:
    enum State {
        StateUnconnected = 0,
        StateConnecting = 1,
        StateConnected = 2,
        StateConnectingBootloader = 3,
        StateConnectedBootloader = 4
    };
    Q_ENUM(State)

    enum IxoModuleButton {
        IxoModuleButtonNone = 0,
        IxoModuleButtonIntermediate = 8,
        IxoModuleButtonProgram = 16,
        IxoModuleButtonPlus = 32,
        IxoModuleButtonMinus = 64
    };
    Q_ENUM(IxoModuleButton)

    enum WallPanelButton {
        WallPanelButtonNone = 0,
        WallPanelButtonOpen = 1,
        WallPanelButtonClose = 2,
        WallPanelButtonImpulse = 3,
        WallPanelButtonHalt = 4,
        WallPanelButtonImpulse2 = 5,
        WallPanelButtonLight = 6,
        WallPanelButtonIntermediateOpen = 7,
        WallPanelButtonIntermediateClose = 8
    };
    Q_ENUM(WallPanelButton)

    enum RemoteServiceModuleButton {
        RemoteServiceModuleButtonNone = 0,
        RemoteServiceModuleButtonPlus = 1,
        RemoteServiceModuleButtonMinus = 2,
        RemoteServiceModuleButtonPlusMinus = 3,
        RemoteServiceModuleButtonProgram = 4,
        RemoteServiceModuleButtonExecute = 8,
        RemoteServiceModuleButtonExit = 16
    };
    Q_ENUM(RemoteServiceModuleButton)

    enum AppConnectorModuleButton {
        AppConnectorModuleButtonNone = 0,
        AppConnectorModuleButtonClose = 1,
        AppConnectorModuleButtonIntermediatePosition1 = 2,
        AppConnectorModuleButtonIntermediatePosition2 = 3,
        AppConnectorModuleButtonIntermediatePosition3 = 4,
        AppConnectorModuleButtonIntermediatePosition4 = 5,
        AppConnectorModuleButtonOpen = 6,
        AppConnectorModuleButtonHalt = 7
    };
    Q_ENUM(AppConnectorModuleButton)

    enum DeviceType {
        DeviceTypeSecurityInterrupt = 0,
        DeviceTypeInitialze = 1,
        DeviceTypeAppConnector = 99,
        DeviceTypeIxoModuleBle = 100,
        DeviceTypeKvtRemoteServiceModule = 101,
        DeviceTypeKvtProgrammingModule = 102,
        DeviceTypeEnterSecurityClose = 103,
        DeviceTypeEnterSecurityOpen = 104,
        DeviceTypeFuAdapter = 105,
        DeviceTypeRcReceiverBidi = 106,
        DeviceTypeLeadingLs = 107,
        DeviceTypeHumiditySensor = 108,
        DeviceTypeCoProcessor = 109,
        DeviceTypeGateway = 110,
        DeviceTypeRelaysModule = 111,
        DeviceTypeSecurityOpen = 112,
        DeviceTypeSecurityClose = 113,
        DeviceTypeSecurityR57 = 114,
        DeviceTypeMasterSlaveModule = 115,
        DeviceTypeSensorEngine = 116,
        DeviceTypeIxoModule = 117,
        DeviceTypeIoClamp = 118,
        DeviceTypeRcReceiver = 119,
        DeviceTypeDcfClock = 120,
        DeviceTypeKeyLock = 121,
        DeviceTypeWallPanel = 122,
        DeviceTypeCarriageway = 123,
        DeviceTypeLcdModule = 124,
        DeviceTypePcModule = 125,
        DeviceTypeBroadcast = 126,
        DeviceTypeInvalid = 255
    };
    Q_ENUM(DeviceType)

    // The largest bus frame the write command can describe with its one
    // length byte, and the longest press its two duration bytes can carry.
    static constexpr int maximumVexbusFrameSize = 255;
    static constexpr uint maximumPressDuration = 65535;

    explicit NivoraVexbusUsbAdapter(QObject *parent = nullptr);
    NivoraVexbusUsbAdapter(const QString &serialNumber, QObject *parent = nullptr);
    NivoraVexbusUsbAdapter(NivoraVexbusUsbDeviceWatcher *deviceWatcher, QObject *parent = nullptr);
    NivoraVexbusUsbAdapter(NivoraVexbusUsbDeviceWatcher *deviceWatcher, const QString &serialNumber,
                           QObject *parent = nullptr);
    ~NivoraVexbusUsbAdapter() override;

    NivoraVexbusUsbInterface *serialInterface() const;
    FirmwareDownloader *firmwareDownloader() const;

    State state() const;

    QString portName() const;
    void setPortName(const QString &portName);

    int baudrate() const;
    void setBaudrate(int baudrate);

    QString serialPortName() const;
    QString serialPortSystemLocation() const;
    QString serialPortDescription() const;
    QString serialPortManufacturer() const;
    QString serialPortSerialNumber() const;
    unsigned short serialPortVendorIdentifier() const;
    unsigned short serialPortProductIdentifier() const;

    bool available() const;
    QString firmwareVersion() const;
    NivoraVexbusUsbUtils::LedMode ledMode() const;
    NivoraVexbusUsbUtils::VexbusType vexbusType() const;
    bool vexbusSynchronized() const;
    bool vexbusInitialized() const;
    bool vexbusAvailable() const;
    double updatePercentage() const;
    bool firmwareUpdateAvailable() const;
    bool updating() const;

    /**
     * The trace file into which the serial traffic with the adapter is
     * recorded, on the link and in the bootloader, both directions with
     * time stamps (the format is NivoraVexbusUsbTrafficRecorder's);
     * vexbus-emulator --replay plays it back. Empty while nothing is
     * recorded, as at first: the library reads no environment variable or
     * file for it, the application sets it.
     */
    QString trafficRecordFileName() const;
    /// Begins a new trace in @p fileName, replacing the file; an empty name
    /// ends the trace. A file that cannot be written is reported with a
    /// warning and leaves trafficRecordFileName() empty.
    void setTrafficRecordFileName(const QString &fileName);

    Q_INVOKABLE void readFirmwareVersion();
    Q_INVOKABLE void resetController();
    Q_INVOKABLE void startFirmwareUpdate(const QString &firmwareFile = QString());
    Q_INVOKABLE void writeDataToVexbus(const QByteArray &data = QByteArray());
    Q_INVOKABLE void pressIxoButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::IxoModuleButton button = IxoModuleButtonPlus,
                                    uint milliSeconds = 200);
    Q_INVOKABLE void pressRemoteServiceButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::RemoteServiceModuleButton button = RemoteServiceModuleButtonPlus,
                                              uint milliSeconds = 200);
    Q_INVOKABLE void pressAppConnectorButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::AppConnectorModuleButton button = AppConnectorModuleButtonOpen,
                                             uint milliSeconds = 200);
    Q_INVOKABLE void enableAppConnectorParameterHandling(bool enable);

public slots:
    bool start();
    void stop();

signals:
    void stateChanged(NivoraVexbusUsb::NivoraVexbusUsbAdapter::State state);
    void availableChanged(bool available);
    void vexbusFrameReceived(const QByteArray &vexbusFrame);
    void vexbusSynchronizedChanged(bool vexbusSynchronized);
    void vexbusInitializedChanged(bool vexbusInitialized);
    void vexbusAvailableChanged(bool vexbusAvailable);
    void ledModeChanged(NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode ledMode);
    void vexbusTypeChanged(NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType vexbusType);
    void firmwareVersionChanged(const QString &firmwareVersion);
    void firmwareUpdateAvailableChanged(bool firmwareUpdateAvailable);
    void updatingChanged(bool updating);
    /// A trace began (its file name) or ended (empty).
    void trafficRecordFileNameChanged(const QString &trafficRecordFileName);
    void updatePercentageChanged(double updatePercentage);
    void serialPortNameChanged(const QString &serialPortName);
    void serialPortSystemLocationChanged(const QString &serialPortSystemLocation);
    void serialPortDescriptionChanged(const QString &serialPortDescription);
    void serialPortManufacturerChanged(const QString &serialPortManufacturer);
    void serialPortSerialNumberChanged(const QString &serialPortSerialNumber);
    void serialPortVendorIdentifierChanged(unsigned short serialPortVendorIdentifier);
    void serialPortProductIdentifierChanged(unsigned short serialPortProductIdentifier);

    // The outcome of a command of the application (reset, write, press,
    // parameter handling): the request's command, how its reply ended, and
    // for ErrorInterfaceError the error code the controller answered with
    // (ErrorNoError otherwise). An application that gives one command at a
    // time pairs the signal with it.
    void commandFinished(NivoraVexbusUsb::NivoraVexbusUsbUtils::Command command,
                         NivoraVexbusUsb::NivoraVexbusUsbReply::Error error,
                         NivoraVexbusUsb::NivoraVexbusUsbUtils::Error controllerError);
    // A firmware update ended: with success once the bootloader wrote and
    // verified the image and the link to the controller is taken up again
    // (the new firmware version follows with the init procedure); without
    // success when the controller refused to start its bootloader or the
    // bootloader run failed.
    void updateFinished(bool success);

private slots:
    void onInterfaceConnectedChanged(bool connected);
    void onInterfaceDataReceived(const QByteArray &data);
    void onInterfacePacketReceived(const NivoraVexbusUsb::NivoraVexbusUsbPacket &packet);
    void onBootloaderHandlerStateChaned(NivoraVexbusUsb::BootloaderHandler::State state);
    void onBootloaderHandlerConnectedChanged(bool connected);
    void onBootloaderHandlerFinished(bool success);
    void onFirmwareDownloaderFirmwareChanged(const NivoraVexbusUsb::FirmwareData &firmware);

private:
    void construct(NivoraVexbusUsbDeviceWatcher *deviceWatcher);

    void setState(State state);
    void setAvailable(bool available);
    void setFirmwareVersion(const QString &firmwareVersion);
    void setLedMode(NivoraVexbusUsbUtils::LedMode ledMode);
    void setVexbusType(NivoraVexbusUsbUtils::VexbusType vexbusType);
    void setVexbusSynchronized(bool vexbusSynchronized);
    void setVexbusInitialized(bool vexbusInitialized);
    void setVexbusAvailable(bool vexbusAvailable);
    void setFirmwareUpdateAvailable(bool firmwareUpdateAvailable);
    void setUpdating(bool updating);
    void setSerialPortName(const QString &serialPortName);
    void setSerialPortSystemLocation(const QString &serialPortSystemLocation);
    void setSerialPortDescription(const QString &serialPortDescription);
    void setSerialPortManufacturer(const QString &serialPortManufacturer);
    void setSerialPortSerialNumber(const QString &serialPortSerialNumber);
    void setSerialPortVendorIdentifier(unsigned short serialPortVendorIdentifier);
    void setSerialPortProductIdentifier(unsigned short serialPortProductIdentifier);
    void clearSerialPortInformation();

    // Requests
    NivoraVexbusUsbReply *createReply(const NivoraVexbusUsbPacket &packet);
    NivoraVexbusUsbReply *sendRequest(NivoraVexbusUsbUtils::Command command, const QByteArray &payload = QByteArray());
    NivoraVexbusUsbReply *sendReadFirmwareVersion();
    NivoraVexbusUsbReply *sendGetControllerStatus();
    NivoraVexbusUsbReply *sendResetController();
    NivoraVexbusUsbReply *sendDataToVexbus(const QByteArray &frame);
    NivoraVexbusUsbReply *sendSetIxoModuleBufferData(const QByteArray &data, quint16 milliSeconds);
    NivoraVexbusUsbReply *sendSetWallPanelBufferData(const QByteArray &data, quint16 milliSeconds);
    NivoraVexbusUsbReply *sendSetRemoteServiceModuleBufferData(const QByteArray &data, quint16 milliSeconds);
    NivoraVexbusUsbReply *sendPressAppConnectorButtonData(const QByteArray &data, quint16 milliSeconds);
    NivoraVexbusUsbReply *sendEnableAppConnectorParameterHandlingData(const QByteArray &data);
    NivoraVexbusUsbReply *sendStartBootloader();
    void connectCommandReply(NivoraVexbusUsbReply *reply, const char *errorText, const char *successText);
    void emitCommandFinished(NivoraVexbusUsbReply *reply);

    // Firmware update
    bool loadLocalFirmware(const QString &firmwareFile, FirmwareData *firmware);
    void handOverToBootloader(const FirmwareData &firmware);

    // Init procedure and notifications
    void initAdapter();
    void runInitProcedure();
    void verifyInitProcedureRetry();
    void onInitFirmwareVersionFinished(NivoraVexbusUsbReply *reply);
    void onInitControllerStatusFinished(NivoraVexbusUsbReply *reply);
    void processNotification(const NivoraVexbusUsbPacket &packet);
    void processStatusPayload(const QByteArray &payload);
    void processVexbusPacket(const QByteArray &payload);

    State m_state = StateUnconnected;
    QString m_portName;
    int m_baudrate = 115200;
    bool m_available = false;
    bool m_updating = false;
    bool m_firmwareUpdateAvailable = false;
    NivoraVexbusUsbInterface *m_interface = nullptr;
    BootloaderHandler *m_bootloaderHandler = nullptr;
    FirmwareDownloader *m_firmwareDownloader = nullptr;
    NivoraVexbusUsbTrafficRecorder *m_trafficRecorder = nullptr;
    QString m_serialPortName;
    QString m_serialPortSystemLocation;
    QString m_serialPortDescription;
    QString m_serialPortManufacturer;
    QString m_serialPortSerialNumber;
    unsigned short m_serialPortVendorIdentifier = 0;
    unsigned short m_serialPortProductIdentifier = 0;
    QString m_firmwareVersion;
    int m_statusFlags = 0;
    bool m_vexbusSynchronized = false;
    bool m_vexbusInitialized = false;
    bool m_vexbusAvailable = false;
    NivoraVexbusUsbUtils::LedMode m_ledMode = NivoraVexbusUsbUtils::LedModeUnknown;
    NivoraVexbusUsbUtils::VexbusType m_vexbusType = NivoraVexbusUsbUtils::VexbusTypeUnknown;
    unsigned char m_nextPacketId = 0;
    QHash<unsigned char, NivoraVexbusUsbReply *> m_replies;
    int m_initAttempts = 0;
    NivoraVexbusUsbReply *m_initReply = nullptr;
};

NIVORAVEXBUSUSB_EXPORT QDebug operator<<(QDebug debug, NivoraVexbusUsbAdapter *adapter);

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBADAPTER_H
