// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBADAPTER_H
#define NIVORAVEXBUSUSBADAPTER_H

#include "nivoravexbususb_export.h"
#include "link/nivoravexbususbutils.h"
#include "bootloader/bootloaderhandler.h"
#include "bootloader/firmwaredata.h"
#include "bootloader/firmwareupdate.h"
#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "firmware/firmwaredownloader.h"
#include "link/nivoravexbususbclient.h"
#include "link/nivoravexbususbinterface.h"
#include "link/nivoravexbususbpacket.h"
#include "link/nivoravexbususbreply.h"
#include "logging/nivoravexbususbtrafficrecorder.h"
#include "adapter/nivoravexbususbupdatereply.h"

#include <QObject>
#include <QScopedPointer>


namespace NivoraVexbusUsb {

class NivoraVexbusUsbAdapterPrivate;

/**
 * @brief The one object an application uses to drive a Nivora Vexbus USB
 * adapter.
 *
 * The adapter's presence, firmware version and controller status are
 * properties with change signals; the bus frames the controller reports
 * arrive as vexbusFrameReceived(); commands (reset, write, button presses,
 * parameter handling) return the NivoraVexbusUsbReply of their request,
 * which tells their outcome (and commandFinished() repeats it), and a
 * firmware update reports with updateFinished(). The adapter is found by its port
 * (a device path, a link such as /dev/vexbus/by-serial/SERIAL, or
 * a pseudo-terminal) or by its USB serial number, through a device watcher
 * of its own or one that the application shares among several adapters.
 * Nothing happens before start(); everything runs on the thread of the
 * event loop that owns the object.
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbAdapter : public QObject
{
    Q_OBJECT
    /// The release service that fetches and verifies online firmware for startFirmwareUpdate(); owned by the adapter.
    Q_PROPERTY(NivoraVexbusUsb::FirmwareDownloader *firmwareDownloader READ firmwareDownloader CONSTANT)
    /// Where the adapter is in its life cycle: unconnected, initialising, connected, or in a firmware update.
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    /// The serial port watched in port mode; after each connection the port's system location.
    Q_PROPERTY(QString portName READ portName CONSTANT)
    /// The baud rate (bit/s) of the serial line; 115200 by default.
    Q_PROPERTY(int baudrate READ baudrate CONSTANT)
    /// The connected port's name, for example "ttyUSB0"; empty while unconnected.
    Q_PROPERTY(QString serialPortName READ serialPortName NOTIFY serialPortNameChanged)
    /// The connected port's device path, for example "/dev/ttyUSB0"; empty while unconnected.
    Q_PROPERTY(QString serialPortSystemLocation READ serialPortSystemLocation NOTIFY serialPortSystemLocationChanged)
    /// The connected port's USB product description; empty while unconnected or for a bare terminal.
    Q_PROPERTY(QString serialPortDescription READ serialPortDescription NOTIFY serialPortDescriptionChanged)
    /// The connected port's USB manufacturer; empty while unconnected or for a bare terminal.
    Q_PROPERTY(QString serialPortManufacturer READ serialPortManufacturer NOTIFY serialPortManufacturerChanged)
    /// The connected port's USB serial number; empty while unconnected or for a bare terminal.
    Q_PROPERTY(QString serialPortSerialNumber READ serialPortSerialNumber NOTIFY serialPortSerialNumberChanged)
    /// The connected port's USB vendor ID, for example 0x0403; 0 while unconnected.
    Q_PROPERTY(unsigned short serialPortVendorIdentifier READ serialPortVendorIdentifier NOTIFY serialPortVendorIdentifierChanged)
    /// The connected port's USB product ID, for example 0x6001; 0 while unconnected.
    Q_PROPERTY(unsigned short serialPortProductIdentifier READ serialPortProductIdentifier NOTIFY serialPortProductIdentifierChanged)
    /// True once the controller answered the init procedure (firmware version and status).
    Q_PROPERTY(bool available READ available NOTIFY availableChanged)
    /// The controller's firmware version as "X.Y.Z"; empty while unavailable.
    Q_PROPERTY(QString firmwareVersion READ firmwareVersion NOTIFY firmwareVersionChanged)
    /// What the adapter's LED shows, from the last controller status.
    Q_PROPERTY(NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode ledMode READ ledMode NOTIFY ledModeChanged)
    /// The kind of bus the controller found, from the last controller status.
    Q_PROPERTY(NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType vexbusType READ vexbusType NOTIFY vexbusTypeChanged)
    /// The controller is synchronized with the bus, from the last controller status.
    Q_PROPERTY(bool vexbusSynchronized READ vexbusSynchronized NOTIFY vexbusSynchronizedChanged)
    /// The bus is initialized, from the last controller status.
    Q_PROPERTY(bool vexbusInitialized READ vexbusInitialized NOTIFY vexbusInitializedChanged)
    /// The bus is available, from the last controller status.
    Q_PROPERTY(bool vexbusAvailable READ vexbusAvailable NOTIFY vexbusAvailableChanged)
    /// Progress of the firmware update in percent, 0 to 100: of the running
    /// one, or where the last one ended (100 after success) until the next starts.
    Q_PROPERTY(double updatePercentage READ updatePercentage NOTIFY updatePercentageChanged)
    /// The firmware downloader holds a valid image that is still to be installed: false from the moment
    /// an update hands it to the bootloader, true again when that update fails or another image comes.
    Q_PROPERTY(bool firmwareUpdateAvailable READ firmwareUpdateAvailable NOTIFY firmwareUpdateAvailableChanged)
    /// A firmware update runs, from startFirmwareUpdate() until updateFinished().
    Q_PROPERTY(bool updating READ updating NOTIFY updatingChanged)
    /// Where the last firmware update is: PhaseIdle before the first, PhaseDone or PhaseFailed after its end.
    Q_PROPERTY(NivoraVexbusUsb::FirmwareUpdate::Phase updatePhase READ updatePhase NOTIFY updatePhaseChanged)
    /// Why the last firmware update failed; ErrorNone while one runs and after success.
    Q_PROPERTY(NivoraVexbusUsb::FirmwareUpdate::Error updateError READ updateError NOTIFY updateErrorChanged)
    /// The reason of updateError as a sentence a person can act on, naming the file and line, or the row,
    /// array and the expected and received values where they apply; empty without failure.
    Q_PROPERTY(QString updateErrorString READ updateErrorString NOTIFY updateErrorStringChanged)
    /// The trace file into which the serial traffic with the adapter is recorded; empty while nothing is recorded.
    Q_PROPERTY(QString trafficRecordFileName READ trafficRecordFileName NOTIFY trafficRecordFileNameChanged)
    /// How long, in ms, a command waits for the controller's response; 2000 by default. Longer for links
    /// slower than a USB cable, such as a serial bridge over a wide-area network.
    Q_PROPERTY(int responseTimeout READ responseTimeout WRITE setResponseTimeout NOTIFY responseTimeoutChanged)
    /// The controller did not answer its init procedure but its bootloader did: it waits for a firmware update.
    Q_PROPERTY(bool controllerInBootloader READ controllerInBootloader NOTIFY controllerInBootloaderChanged)
    /// Why the adapter is not available; UnavailableReasonNone while it is.
    Q_PROPERTY(NivoraVexbusUsb::NivoraVexbusUsbAdapter::UnavailableReason unavailableReason READ unavailableReason NOTIFY unavailableReasonChanged)
    /// After how many time-outs of commands in a row the controller is taken for lost; 3 by default, 0 never.
    Q_PROPERTY(int consecutiveTimeoutLimit READ consecutiveTimeoutLimit WRITE setConsecutiveTimeoutLimit NOTIFY consecutiveTimeoutLimitChanged)

public:
    /// The adapter's life cycle.
    enum State {
        StateUnconnected = 0,          ///< no usable controller
        StateConnecting = 1,           ///< the init procedure runs
        StateConnected = 2,            ///< the controller is available
        StateConnectingBootloader = 3, ///< waiting for the bootloader handler to open the port
        StateConnectedBootloader = 4   ///< the bootloader handler holds the port
    };
    Q_ENUM(State)

    /**
     * Why the adapter is not available. The state tells where the adapter
     * is in its life cycle; this tells an operator, and a service that
     * reports the adapter's health, what keeps it from being usable. It
     * changes before available does, so that a receiver of
     * availableChanged() reads the reason that goes with it.
     */
    enum UnavailableReason {
        UnavailableReasonNone = 0,                    ///< the adapter is available
        UnavailableReasonNotConnected = 1,            ///< the port is closed: not started, stopped, unplugged, or held by a firmware update
        UnavailableReasonInitializing = 2,            ///< the port is open and the init procedure runs, as after each connection or a controller restart
        UnavailableReasonControllerNotResponding = 3, ///< the controller does not answer: it failed the init procedure, or stopped answering commands (consecutiveTimeoutLimit); the adapter keeps seeking it
        UnavailableReasonControllerInBootloader = 4   ///< the controller's application does not answer but its bootloader does; see controllerInBootloader
    };
    Q_ENUM(UnavailableReason)

    /// Buttons of an emulated ixo module, as bits; the press always adds bit 0x08.
    enum IxoModuleButton {
        IxoModuleButtonNone = 0,
        IxoModuleButtonIntermediate = 8,
        IxoModuleButtonProgram = 16,
        IxoModuleButtonPlus = 32,
        IxoModuleButtonMinus = 64
    };
    Q_ENUM(IxoModuleButton)

    /// Buttons of a wall panel; no operation of the adapter takes them.
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

    /// Buttons of an emulated remote service module.
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

    /// Buttons of the emulated app connector.
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

    /// Types of bus devices; no operation of the adapter takes them.
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

    /// The largest bus frame, in bytes, that the write command can describe
    /// with its one length byte.
    static constexpr int maximumVexbusFrameSize = 255;
    /// The longest press, in ms, that the press commands' two duration bytes carry.
    static constexpr uint maximumPressDuration = 65535;

    /// An adapter in port mode with its own device watcher; set the port with
    /// setPortName() before start().
    explicit NivoraVexbusUsbAdapter(QObject *parent = nullptr);
    /// An adapter for the adapter whose USB serial number starts with
    /// serialNumber, with its own device watcher.
    NivoraVexbusUsbAdapter(const QString &serialNumber, QObject *parent = nullptr);
    /// An adapter in port mode that follows the application's device watcher
    /// (not owned; it must outlive the adapter).
    NivoraVexbusUsbAdapter(NivoraVexbusUsbDeviceWatcher *deviceWatcher, QObject *parent = nullptr);
    /// An adapter for the USB serial number prefix serialNumber that follows
    /// the application's device watcher (not owned; it must outlive the adapter).
    NivoraVexbusUsbAdapter(NivoraVexbusUsbDeviceWatcher *deviceWatcher, const QString &serialNumber,
                           QObject *parent = nullptr);
    /// Closes the port; the children (interface, bootloader handler,
    /// downloader, pending replies) go with the adapter.
    ~NivoraVexbusUsbAdapter() override;

    /// The serial link to the controller, for reading port information.
    NivoraVexbusUsbInterface *serialInterface() const;
    /// The release service; see the firmwareDownloader property.
    FirmwareDownloader *firmwareDownloader() const;

    /// See the state property.
    State state() const;

    /// See the portName property.
    QString portName() const;
    /// Sets the port to watch in port mode (a device path, a link to one, or
    /// a pseudo-terminal); takes effect at the next start(), emits nothing.
    void setPortName(const QString &portName);

    /// See the baudrate property.
    int baudrate() const;
    /// Sets the baud rate (bit/s); takes effect at the next start(), emits nothing.
    void setBaudrate(int baudrate);

    /// See the serialPortName property.
    QString serialPortName() const;
    /// See the serialPortSystemLocation property.
    QString serialPortSystemLocation() const;
    /// See the serialPortDescription property.
    QString serialPortDescription() const;
    /// See the serialPortManufacturer property.
    QString serialPortManufacturer() const;
    /// See the serialPortSerialNumber property.
    QString serialPortSerialNumber() const;
    /// See the serialPortVendorIdentifier property.
    unsigned short serialPortVendorIdentifier() const;
    /// See the serialPortProductIdentifier property.
    unsigned short serialPortProductIdentifier() const;

    /// See the available property.
    bool available() const;
    /// See the firmwareVersion property.
    QString firmwareVersion() const;
    /// See the ledMode property.
    NivoraVexbusUsbUtils::LedMode ledMode() const;
    /// See the vexbusType property.
    NivoraVexbusUsbUtils::VexbusType vexbusType() const;
    /// See the vexbusSynchronized property.
    bool vexbusSynchronized() const;
    /// See the vexbusInitialized property.
    bool vexbusInitialized() const;
    /// See the vexbusAvailable property.
    bool vexbusAvailable() const;
    /// See the updatePercentage property.
    double updatePercentage() const;
    /// See the firmwareUpdateAvailable property.
    bool firmwareUpdateAvailable() const;
    /// See the updating property.
    bool updating() const;
    /// See the updatePhase property.
    FirmwareUpdate::Phase updatePhase() const;
    /// See the updateError property.
    FirmwareUpdate::Error updateError() const;
    /// See the updateErrorString property.
    QString updateErrorString() const;

    /// How long, in ms, the adapter gives the controller to start its
    /// bootloader before the bootloader handler takes the port; 3000 by default.
    int bootloaderHandOverDelay() const;
    /// Sets the hand-over delay for the next update; a controller that
    /// reboots faster (an emulated one) needs less.
    void setBootloaderHandOverDelay(int milliSeconds);
    /**
     * True when the controller's application did not answer three init
     * attempts but its bootloader answered, as after an interrupted
     * update: only a firmware update (startFirmwareUpdate(), from a file or
     * from the release service) starts the controller again. The adapter
     * asks once per connection, after the third failed attempt, and goes on
     * reconnecting as before. False again when the controller answers, the
     * port goes away, or stop() is called.
     */
    bool controllerInBootloader() const;
    /// See the unavailableReason property.
    UnavailableReason unavailableReason() const;

    /**
     * After how many commands in a row that time out (ErrorTimeout, no
     * response in between) the adapter takes its controller for lost, as a
     * controller that hangs or restarted into its bootloader without leaving
     * the bus: it turns unavailable with
     * UnavailableReasonControllerNotResponding, ends every command still
     * under way with ErrorAborted, and runs its init procedure again: three
     * attempts, then it asks whether the bootloader answers
     * (controllerInBootloader) and reconnects, with a pause that doubles
     * from 1 s to 30 s between failed rounds. It turns available again when
     * the controller answers the init, or at once when the controller
     * announces a restart. A response, also one with an error code, starts
     * the count again. 3 by default.
     */
    int consecutiveTimeoutLimit() const;
    /// Sets the limit of consecutiveTimeoutLimit(); 0 never takes the controller
    /// for lost, a negative value is refused with a warning.
    void setConsecutiveTimeoutLimit(int limit);

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

    /// See the responseTimeout property.
    int responseTimeout() const;
    /// Sets the response time-out in ms for the requests sent from now on,
    /// the init procedure's included; a value below 1 is refused with a warning.
    void setResponseTimeout(int responseTimeout);

    /*
     * The commands below return the reply of their request, never null. It is
     * owned by the adapter and deleted after its finished(); see
     * NivoraVexbusUsbReply. A command that cannot be sent finishes its reply
     * on the next turn of the event loop with ErrorUpdateRunning while a
     * firmware update runs, ErrorNotAvailable while the adapter is not
     * available, or ErrorInvalidArgument for an argument the request cannot
     * carry; commandFinished() follows every reply of a command.
     */

    /**
     * Tells the firmware version that the init procedure read, without
     * asking the controller: nothing is sent, and no property or signal of
     * the adapter changes (commandFinished() included). The reply finishes
     * on the next turn of the event loop: with ErrorNoError and the
     * firmwareVersion property's major, minor and patch in its payload, one
     * byte each, or with ErrorNotAvailable while the adapter is not
     * available. To ask the controller, use requestFirmwareVersion().
     */
    Q_INVOKABLE NivoraVexbusUsb::NivoraVexbusUsbReply *readFirmwareVersion();
    /**
     * Asks the controller for its firmware version: the reply's payload
     * holds major, minor and patch, one byte each, and the firmwareVersion
     * property follows a successful reply before its finished(). The init
     * procedure reads the version after every connection too; this command
     * is for a caller that wants the controller's word now.
     */
    Q_INVOKABLE NivoraVexbusUsb::NivoraVexbusUsbReply *requestFirmwareVersion();
    /// Resets the controller; the init procedure runs again once the
    /// controller answers. Returns the reply of the request.
    Q_INVOKABLE NivoraVexbusUsb::NivoraVexbusUsbReply *resetController();
    /**
     * Updates the controller's firmware from the image file firmwareFile,
     * or, given no file, from the image that the firmware downloader holds
     * (with trusted keys only an authenticated one). The update works on
     * its own copy of the image; a release the downloader finds meanwhile
     * waits for the next update. A missing, unreadable or invalid image is
     * refused with a warning before anything is sent. The adapter asks the
     * controller to start its bootloader, releases the port, and 3000 ms
     * (bootloaderHandOverDelay()) later lets the bootloader handler write
     * the image; when the controller does not answer, it goes to the
     * bootloader directly, as after an interrupted update. A failure
     * before the first row is programmed leaves the bootloader and takes
     * the link up again; after it the controller waits in its bootloader
     * for a new update. Every call ends in exactly one updateFinished(), a
     * refusal on the next turn of the event loop; updatePhase,
     * updatePercentage, updateError and updateErrorString follow the
     * course. A running update that this call replaces ends with
     * FirmwareUpdate::ErrorStoppedByApplication. The file is read once
     * (with FirmwareData's size limit) and the update runs as
     * updateFirmware() does; use that to learn the outcome from the
     * update's own object.
     */
    Q_INVOKABLE void startFirmwareUpdate(const QString &firmwareFile = QString());
    /**
     * Updates the controller's firmware with @p image, an image that the
     * caller has read and parsed (for example with the FirmwareData
     * constructor that reads a file), and returns the update, never null; see NivoraVexbusUsbUpdateReply. The
     * update works on its own copy of the image: what happens to the file
     * afterwards changes nothing. It runs as startFirmwareUpdate()
     * describes, and the update properties of the adapter and
     * updateFinished() follow it as well; but the update object finishes
     * with success only once the restarted controller has answered with
     * its firmware version. An invalid image, or a call while another
     * update runs (FirmwareUpdate::ErrorUpdateRunning), is refused: the
     * object finishes on the next turn of the event loop with the reason.
     * A call refused while another update runs leaves that update, the
     * update properties and updateFinished() to it.
     */
    Q_INVOKABLE NivoraVexbusUsb::NivoraVexbusUsbUpdateReply *updateFirmware(const NivoraVexbusUsb::FirmwareData &image);
    /**
     * Updates the controller's firmware with the release that the firmware
     * downloader holds, as updateFirmware(const FirmwareData &) does: with
     * trusted keys only an authenticated one. Without a release
     * (FirmwareUpdate::ErrorNoRelease) or with one that no trusted key
     * vouches for (FirmwareUpdate::ErrorReleaseNotAuthenticated) the update
     * is refused on the next turn of the event loop.
     */
    Q_INVOKABLE NivoraVexbusUsb::NivoraVexbusUsbUpdateReply *updateFirmware();
    /// Writes one frame of at most 255 bytes to the bus (a built-in test
    /// frame when data is null); a longer frame is refused with
    /// ErrorInvalidArgument. Returns the reply of the request.
    Q_INVOKABLE NivoraVexbusUsb::NivoraVexbusUsbReply *writeDataToVexbus(const QByteArray &data = QByteArray());
    /// Presses a button of an emulated ixo module for milliSeconds ms (at
    /// most 65535). Returns the reply of the request.
    Q_INVOKABLE NivoraVexbusUsb::NivoraVexbusUsbReply *pressIxoButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::IxoModuleButton button = IxoModuleButtonPlus,
                                                                    uint milliSeconds = 200);
    /// Presses a button of an emulated remote service module for
    /// milliSeconds ms (at most 65535). Returns the reply of the request.
    Q_INVOKABLE NivoraVexbusUsb::NivoraVexbusUsbReply *pressRemoteServiceButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::RemoteServiceModuleButton button = RemoteServiceModuleButtonPlus,
                                                                              uint milliSeconds = 200);
    /// Presses a button of the emulated app connector for milliSeconds ms
    /// (at most 65535). Returns the reply of the request.
    Q_INVOKABLE NivoraVexbusUsb::NivoraVexbusUsbReply *pressAppConnectorButton(NivoraVexbusUsb::NivoraVexbusUsbAdapter::AppConnectorModuleButton button = AppConnectorModuleButtonOpen,
                                                                             uint milliSeconds = 200);
    /// Switches the app connector's parameter handling on or off. Returns
    /// the reply of the request.
    Q_INVOKABLE NivoraVexbusUsb::NivoraVexbusUsbReply *enableAppConnectorParameterHandling(bool enable);

public slots:
    /// Enables the serial link: the adapter connects when its port is there
    /// and whenever it comes back. False, with a warning, when no port name
    /// (port mode) or no serial number (serial-number mode) is set.
    bool start();
    /**
     * Disables the serial link and closes the port; the adapter becomes
     * unavailable. A running firmware update ends with updateFinished(false)
     * and FirmwareUpdate::ErrorStoppedByApplication, and nothing of it runs
     * later: stopped before its first row is programmed, the controller is
     * told to leave its bootloader; stopped during the rows, it stays there.
     */
    void stop();

signals:
    /// Emitted when the state property changed.
    void stateChanged(NivoraVexbusUsb::NivoraVexbusUsbAdapter::State state);
    /// Emitted when the available property changed.
    void availableChanged(bool available);
    /// Emitted for each bus frame that the controller reports, with the frame's bytes.
    void vexbusFrameReceived(const QByteArray &vexbusFrame);
    /// Emitted when the vexbusSynchronized property changed.
    void vexbusSynchronizedChanged(bool vexbusSynchronized);
    /// Emitted when the vexbusInitialized property changed.
    void vexbusInitializedChanged(bool vexbusInitialized);
    /// Emitted when the vexbusAvailable property changed.
    void vexbusAvailableChanged(bool vexbusAvailable);
    /// Emitted when the ledMode property changed.
    void ledModeChanged(NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode ledMode);
    /// Emitted when the vexbusType property changed.
    void vexbusTypeChanged(NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType vexbusType);
    /// Emitted when the firmwareVersion property changed.
    void firmwareVersionChanged(const QString &firmwareVersion);
    /// Emitted when the firmwareUpdateAvailable property changed.
    void firmwareUpdateAvailableChanged(bool firmwareUpdateAvailable);
    /// Emitted when the updating property changed.
    void updatingChanged(bool updating);
    /// Emitted when the updatePhase property changed.
    void updatePhaseChanged(NivoraVexbusUsb::FirmwareUpdate::Phase updatePhase);
    /// Emitted when the updateError property changed.
    void updateErrorChanged(NivoraVexbusUsb::FirmwareUpdate::Error updateError);
    /// Emitted when the updateErrorString property changed.
    void updateErrorStringChanged(const QString &updateErrorString);
    /// Emitted when the responseTimeout property changed.
    void responseTimeoutChanged(int responseTimeout);
    /// Emitted when the controllerInBootloader property changed.
    void controllerInBootloaderChanged(bool controllerInBootloader);
    /// Emitted when the unavailableReason property changed.
    void unavailableReasonChanged(NivoraVexbusUsb::NivoraVexbusUsbAdapter::UnavailableReason unavailableReason);
    /// Emitted when the consecutiveTimeoutLimit property changed.
    void consecutiveTimeoutLimitChanged(int consecutiveTimeoutLimit);
    /// Emitted when a trace began (its file name) or ended (empty).
    void trafficRecordFileNameChanged(const QString &trafficRecordFileName);
    /// Emitted when the update progress changed, in percent, 0 to 100.
    void updatePercentageChanged(double updatePercentage);
    /// Emitted when the serialPortName property changed.
    void serialPortNameChanged(const QString &serialPortName);
    /// Emitted when the serialPortSystemLocation property changed.
    void serialPortSystemLocationChanged(const QString &serialPortSystemLocation);
    /// Emitted when the serialPortDescription property changed.
    void serialPortDescriptionChanged(const QString &serialPortDescription);
    /// Emitted when the serialPortManufacturer property changed.
    void serialPortManufacturerChanged(const QString &serialPortManufacturer);
    /// Emitted when the serialPortSerialNumber property changed.
    void serialPortSerialNumberChanged(const QString &serialPortSerialNumber);
    /// Emitted when the serialPortVendorIdentifier property changed.
    void serialPortVendorIdentifierChanged(unsigned short serialPortVendorIdentifier);
    /// Emitted when the serialPortProductIdentifier property changed.
    void serialPortProductIdentifierChanged(unsigned short serialPortProductIdentifier);

    /// Emitted when a command of the application (reset, write, press,
    /// parameter handling, firmware version) ended, right after its reply's
    /// finished(): the request's command, how its reply ended (ErrorTimeout
    /// after responseTimeout ms without a response), and for
    /// ErrorInterfaceError the error code the controller answered with
    /// (ErrorNoError otherwise). The reply that the command returned pairs
    /// the outcome with the command also when several are under way.
    void commandFinished(NivoraVexbusUsb::NivoraVexbusUsbUtils::Command command,
                         NivoraVexbusUsb::NivoraVexbusUsbReply::Error error,
                         NivoraVexbusUsb::NivoraVexbusUsbUtils::Error controllerError);
    /// Emitted once for every startFirmwareUpdate() and updateFirmware()
    /// (but an updateFirmware() refused while another update runs):
    /// with success once the bootloader wrote and verified the image and its
    /// application checksum and the link to the controller is taken up again
    /// (the new firmware version follows with the init procedure; the
    /// update object's finished() waits for it); without success when the
    /// update was refused, the controller refused to start its bootloader,
    /// the bootloader run failed or stop() ended it; updateError tells why.
    void updateFinished(bool success);

private:
    Q_DECLARE_PRIVATE(NivoraVexbusUsbAdapter)
    QScopedPointer<NivoraVexbusUsbAdapterPrivate> d_ptr;
};

/// Writes port name, serial number, availability, firmware version and bus type, as the library logs an adapter.
NIVORAVEXBUSUSB_EXPORT QDebug operator<<(QDebug debug, NivoraVexbusUsbAdapter *adapter);

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBADAPTER_H
