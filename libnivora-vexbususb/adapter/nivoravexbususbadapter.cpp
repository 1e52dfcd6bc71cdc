// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adapter/nivoravexbususbadapter.h"
#include "adapter/controllersession.h"
#include "adapter/nivoravexbususbfirmwareupdater.h"
#include "devicewatcher/nivoravexbususbportlocation.h"
#include "logging/nivoravexbususblogging.h"

#include <QDataStream>
#include <QSerialPortInfo>

namespace NivoraVexbusUsb {

namespace {

// The frame that writeDataToVexbus() sends when it is given none.
const char testFrameHex[] = "4142434445";

// Only 16 bits of a duration travel; a longer press is held for the
// longest duration the controller can be told instead of wrapping round.
QByteArray durationBytes(uint milliSeconds)
{
    if (milliSeconds > NivoraVexbusUsbAdapter::maximumPressDuration) {
        qCWarning(dcVexbusUsb()) << "The press duration of" << milliSeconds << "ms exceeds the maximum of"
                                 << NivoraVexbusUsbAdapter::maximumPressDuration << "ms. Limiting it to"
                                 << NivoraVexbusUsbAdapter::maximumPressDuration << "ms.";
        milliSeconds = NivoraVexbusUsbAdapter::maximumPressDuration;
    }

    QByteArray bytes;
    bytes.append(static_cast<char>(milliSeconds >> 8));
    bytes.append(static_cast<char>(milliSeconds & 0xFF));
    return bytes;
}

} // namespace

NivoraVexbusUsbAdapter::NivoraVexbusUsbAdapter(QObject *parent) :
    QObject(parent)
{
    qCDebug(dcVexbusUsb()) << "Construct nivora Vexbus USB adapter";
    construct(nullptr);
    m_interface->setWatchMode(NivoraVexbusUsbInterface::WatchModePort);
}

NivoraVexbusUsbAdapter::NivoraVexbusUsbAdapter(const QString &serialNumber, QObject *parent) :
    QObject(parent)
{
    qCDebug(dcVexbusUsb()) << "Construct nivora Vexbus USB adapter for serialnumber" << serialNumber;
    construct(nullptr);
    m_interface->setWatchMode(NivoraVexbusUsbInterface::WatchModeSerialNumber);
    m_interface->setSerialNumber(serialNumber);
}

NivoraVexbusUsbAdapter::NivoraVexbusUsbAdapter(NivoraVexbusUsbDeviceWatcher *deviceWatcher, QObject *parent) :
    QObject(parent)
{
    qCDebug(dcVexbusUsb()) << "Construct nivora Vexbus USB adapter with external device watcher and port mode" << deviceWatcher;
    construct(deviceWatcher);
    m_interface->setWatchMode(NivoraVexbusUsbInterface::WatchModePort);
}

NivoraVexbusUsbAdapter::NivoraVexbusUsbAdapter(NivoraVexbusUsbDeviceWatcher *deviceWatcher, const QString &serialNumber,
                                               QObject *parent) :
    QObject(parent)
{
    qCDebug(dcVexbusUsb()) << "Construct nivora Vexbus USB adapter with external device watcher and serial number mode"
                           << deviceWatcher << serialNumber;
    construct(deviceWatcher);
    m_interface->setWatchMode(NivoraVexbusUsbInterface::WatchModeSerialNumber);
    m_interface->setSerialNumber(serialNumber);
}

NivoraVexbusUsbAdapter::~NivoraVexbusUsbAdapter()
{
    // The port closes as the children go, which aborts pending requests:
    // their outcome no longer reaches an adapter that is going.
    m_client->setReplyFinishedHook(nullptr, nullptr);
}

void NivoraVexbusUsbAdapter::construct(NivoraVexbusUsbDeviceWatcher *deviceWatcher)
{
    m_interface = new NivoraVexbusUsbInterface(deviceWatcher, this);
    m_interface->setPortName(m_portName);
    m_interface->setBaudRate(static_cast<QSerialPort::BaudRate>(m_baudrate));
    // Before the adapter's own handlers: a closed port aborts the pending
    // replies before the adapter shows itself unavailable.
    m_client = new NivoraVexbusUsbClient(m_interface, this);
    m_client->setReplyFinishedHook(this, &NivoraVexbusUsbAdapter::onCommandFinished);
    connect(m_client, &NivoraVexbusUsbClient::responseTimeoutChanged, this, &NivoraVexbusUsbAdapter::responseTimeoutChanged);
    m_session = new ControllerSession(m_interface, m_client, this);
    connect(m_session, &ControllerSession::initStarted, this, [this]() { setState(StateConnecting); });
    connect(m_session, &ControllerSession::firmwareVersionRead, this, &NivoraVexbusUsbAdapter::setFirmwareVersion);
    connect(m_session, &ControllerSession::statusReceived, this, &NivoraVexbusUsbAdapter::onControllerStatusReceived);
    connect(m_session, &ControllerSession::initialized, this, [this]() { setAvailable(true); });
    connect(m_session, &ControllerSession::controllerReady, this, [this]() { setAvailable(false); });
    connect(m_session, &ControllerSession::vexbusFrameReceived, this, &NivoraVexbusUsbAdapter::vexbusFrameReceived);
    connect(m_session, &ControllerSession::controllerInBootloaderChanged, this, &NivoraVexbusUsbAdapter::controllerInBootloaderChanged);
    connect(m_session, &ControllerSession::controllerLost, this, [this]() { setAvailable(false); });
    connect(m_session, &ControllerSession::unavailableReasonChanged, this,
            [this](int reason) { emit unavailableReasonChanged(static_cast<UnavailableReason>(reason)); });
    connect(m_session, &ControllerSession::consecutiveTimeoutLimitChanged, this, &NivoraVexbusUsbAdapter::consecutiveTimeoutLimitChanged);
    connect(m_interface, &NivoraVexbusUsbInterface::connectedChanged, this, &NivoraVexbusUsbAdapter::onInterfaceConnectedChanged);

    qRegisterMetaType<FirmwareDownloader *>();
    m_firmwareDownloader = new FirmwareDownloader(this);
    m_updater = new NivoraVexbusUsbFirmwareUpdater(m_interface, m_firmwareDownloader, [this]() {
        qCDebug(dcVexbusUsb()) << "Starting bootloader on the controller";
        return m_client->sendRequest(NivoraVexbusUsbUtils::CommandStartBootloader);
    }, this);
    connect(m_updater, &NivoraVexbusUsbFirmwareUpdater::handedOver, this, [this]() {
        m_session->stop();
        setAvailable(false);
        setState(StateConnectingBootloader);
    });
    connect(m_updater, &NivoraVexbusUsbFirmwareUpdater::bootloaderConnected, this, [this]() { setState(StateConnectedBootloader); });
    connect(m_updater, &NivoraVexbusUsbFirmwareUpdater::percentageChanged, this, &NivoraVexbusUsbAdapter::updatePercentageChanged);
    connect(m_updater, &NivoraVexbusUsbFirmwareUpdater::updatingChanged, this, &NivoraVexbusUsbAdapter::updatingChanged);
    connect(m_updater, &NivoraVexbusUsbFirmwareUpdater::firmwareUpdateAvailableChanged, this,
            &NivoraVexbusUsbAdapter::firmwareUpdateAvailableChanged);
    connect(m_updater, &NivoraVexbusUsbFirmwareUpdater::phaseChanged, this, &NivoraVexbusUsbAdapter::updatePhaseChanged);
    connect(m_updater, &NivoraVexbusUsbFirmwareUpdater::errorChanged, this, &NivoraVexbusUsbAdapter::updateErrorChanged);
    connect(m_updater, &NivoraVexbusUsbFirmwareUpdater::errorStringChanged, this, &NivoraVexbusUsbAdapter::updateErrorStringChanged);
    connect(m_updater, &NivoraVexbusUsbFirmwareUpdater::finished, this, &NivoraVexbusUsbAdapter::updateFinished);

    // Created last, so that it is deleted after the ports that report to it.
    m_trafficRecorder = new NivoraVexbusUsbTrafficRecorder(this);
    connect(m_trafficRecorder, &NivoraVexbusUsbTrafficRecorder::fileNameChanged, this, &NivoraVexbusUsbAdapter::trafficRecordFileNameChanged);
    m_interface->setTrafficRecorder(m_trafficRecorder);
    m_updater->bootloaderHandler()->setTrafficRecorder(m_trafficRecorder);
    m_session->setTrafficRecorder(m_trafficRecorder);
}

QString NivoraVexbusUsbAdapter::trafficRecordFileName() const
{
    return m_trafficRecorder->fileName();
}

void NivoraVexbusUsbAdapter::setTrafficRecordFileName(const QString &fileName)
{
    m_trafficRecorder->setFileName(fileName);
}

int NivoraVexbusUsbAdapter::responseTimeout() const
{
    return m_client->responseTimeout();
}

void NivoraVexbusUsbAdapter::setResponseTimeout(int responseTimeout)
{
    m_client->setResponseTimeout(responseTimeout);
}

NivoraVexbusUsbInterface *NivoraVexbusUsbAdapter::serialInterface() const
{
    return m_interface;
}

FirmwareDownloader *NivoraVexbusUsbAdapter::firmwareDownloader() const
{
    return m_firmwareDownloader;
}

bool NivoraVexbusUsbAdapter::start()
{
    if (m_interface->connected())
        m_interface->serialPort()->close();

    m_interface->setPortName(m_portName);
    m_interface->setBaudRate(static_cast<QSerialPort::BaudRate>(m_baudrate));

    if (m_interface->watchMode() == NivoraVexbusUsbInterface::WatchModePort && m_portName.isEmpty()) {
        qCWarning(dcVexbusUsb()) << "Cannot start nivora Vexbus USB adapter. There is no port name specified to watch for.";
        return false;
    }

    if (m_interface->watchMode() == NivoraVexbusUsbInterface::WatchModeSerialNumber && m_interface->serialNumber().isEmpty()) {
        qCWarning(dcVexbusUsb()) << "Cannot start nivora Vexbus USB adapter. There is no serial number specified to watch for.";
        return false;
    }

    m_interface->enable();
    return true;
}

void NivoraVexbusUsbAdapter::stop()
{
    // Nothing of an update runs or starts after this.
    m_updater->stop();
    m_session->stop();
    m_interface->disable();
    if (m_state == StateConnectingBootloader || m_state == StateConnectedBootloader)
        setState(StateUnconnected);
}

// Properties

NivoraVexbusUsbAdapter::State NivoraVexbusUsbAdapter::state() const { return m_state; }
QString NivoraVexbusUsbAdapter::portName() const { return m_portName; }
void NivoraVexbusUsbAdapter::setPortName(const QString &portName) { m_portName = portName; }
int NivoraVexbusUsbAdapter::baudrate() const { return m_baudrate; }
void NivoraVexbusUsbAdapter::setBaudrate(int baudrate) { m_baudrate = baudrate; }
QString NivoraVexbusUsbAdapter::serialPortName() const { return m_serialPortName; }
QString NivoraVexbusUsbAdapter::serialPortSystemLocation() const { return m_serialPortSystemLocation; }
QString NivoraVexbusUsbAdapter::serialPortDescription() const { return m_serialPortDescription; }
QString NivoraVexbusUsbAdapter::serialPortManufacturer() const { return m_serialPortManufacturer; }
QString NivoraVexbusUsbAdapter::serialPortSerialNumber() const { return m_serialPortSerialNumber; }
unsigned short NivoraVexbusUsbAdapter::serialPortVendorIdentifier() const { return m_serialPortVendorIdentifier; }
unsigned short NivoraVexbusUsbAdapter::serialPortProductIdentifier() const { return m_serialPortProductIdentifier; }
bool NivoraVexbusUsbAdapter::available() const { return m_available; }
QString NivoraVexbusUsbAdapter::firmwareVersion() const { return m_firmwareVersion; }
NivoraVexbusUsbUtils::LedMode NivoraVexbusUsbAdapter::ledMode() const { return m_ledMode; }
NivoraVexbusUsbUtils::VexbusType NivoraVexbusUsbAdapter::vexbusType() const { return m_vexbusType; }
bool NivoraVexbusUsbAdapter::vexbusSynchronized() const { return m_vexbusSynchronized; }
bool NivoraVexbusUsbAdapter::vexbusInitialized() const { return m_vexbusInitialized; }
bool NivoraVexbusUsbAdapter::vexbusAvailable() const { return m_vexbusAvailable; }
double NivoraVexbusUsbAdapter::updatePercentage() const { return m_updater->percentage(); }
bool NivoraVexbusUsbAdapter::firmwareUpdateAvailable() const { return m_updater->firmwareUpdateAvailable(); }
bool NivoraVexbusUsbAdapter::updating() const { return m_updater->updating(); }
FirmwareUpdate::Phase NivoraVexbusUsbAdapter::updatePhase() const { return m_updater->phase(); }
FirmwareUpdate::Error NivoraVexbusUsbAdapter::updateError() const { return m_updater->error(); }
QString NivoraVexbusUsbAdapter::updateErrorString() const { return m_updater->errorString(); }
int NivoraVexbusUsbAdapter::bootloaderHandOverDelay() const { return m_updater->handOverDelay(); }
void NivoraVexbusUsbAdapter::setBootloaderHandOverDelay(int milliSeconds) { m_updater->setHandOverDelay(milliSeconds); }
bool NivoraVexbusUsbAdapter::controllerInBootloader() const { return m_session->controllerInBootloader(); }
NivoraVexbusUsbAdapter::UnavailableReason NivoraVexbusUsbAdapter::unavailableReason() const { return static_cast<UnavailableReason>(m_session->unavailableReason()); }
int NivoraVexbusUsbAdapter::consecutiveTimeoutLimit() const { return m_session->consecutiveTimeoutLimit(); }
void NivoraVexbusUsbAdapter::setConsecutiveTimeoutLimit(int limit) { m_session->setConsecutiveTimeoutLimit(limit); }

// A property setter: returns early when nothing changes, otherwise logs
// (the statement given last, which may read the new value), stores and
// emits the change signal.
#define NIVORA_ADAPTER_SETTER(Type, name, Name, log) \
    void NivoraVexbusUsbAdapter::set##Name(Type value) \
    { \
        if (m_##name == value) \
            return; \
        log; \
        m_##name = value; \
        emit name##Changed(m_##name); \
    }

NIVORA_ADAPTER_SETTER(State, state, State, qCDebug(dcVexbusUsb()) << "State changed" << value)
NIVORA_ADAPTER_SETTER(NivoraVexbusUsbUtils::LedMode, ledMode, LedMode, qCDebug(dcVexbusUsb()) << "LED mode changed" << value)
NIVORA_ADAPTER_SETTER(NivoraVexbusUsbUtils::VexbusType, vexbusType, VexbusType, qCDebug(dcVexbusUsb()) << "Vexbus type changed" << value)
NIVORA_ADAPTER_SETTER(bool, vexbusSynchronized, VexbusSynchronized, qCDebug(dcVexbusUsb()) << "Adapter Vexbus" << (value ? "synchronized" : "lost synchronizsation."))
NIVORA_ADAPTER_SETTER(bool, vexbusInitialized, VexbusInitialized, qCDebug(dcVexbusUsb()) << "Adapter Vexbus" << (value ? "initialized" : "not initialized."))
NIVORA_ADAPTER_SETTER(bool, vexbusAvailable, VexbusAvailable, qCDebug(dcVexbusUsb()) << "Adapter Vexbus" << (value ? "available" : "not available."))
NIVORA_ADAPTER_SETTER(unsigned short, serialPortVendorIdentifier, SerialPortVendorIdentifier, qCDebug(dcVexbusUsb()) << "Serial port vendor ID:" << value)
NIVORA_ADAPTER_SETTER(unsigned short, serialPortProductIdentifier, SerialPortProductIdentifier, qCDebug(dcVexbusUsb()) << "Serial port product ID:" << value)
NIVORA_ADAPTER_SETTER(const QString &, firmwareVersion, FirmwareVersion, )
NIVORA_ADAPTER_SETTER(const QString &, serialPortName, SerialPortName, qCDebug(dcVexbusUsb()) << "Serial port name:" << value)
NIVORA_ADAPTER_SETTER(const QString &, serialPortSystemLocation, SerialPortSystemLocation, qCDebug(dcVexbusUsb()) << "Serial port system location:" << value)
NIVORA_ADAPTER_SETTER(const QString &, serialPortDescription, SerialPortDescription, qCDebug(dcVexbusUsb()) << "Serial port description:" << value)
NIVORA_ADAPTER_SETTER(const QString &, serialPortManufacturer, SerialPortManufacturer, qCDebug(dcVexbusUsb()) << "Serial port manufacturer:" << value)
NIVORA_ADAPTER_SETTER(const QString &, serialPortSerialNumber, SerialPortSerialNumber, qCDebug(dcVexbusUsb()) << "Serial port serial number:" << value)

#undef NIVORA_ADAPTER_SETTER

void NivoraVexbusUsbAdapter::setAvailable(bool available)
{
    if (m_available != available) {
        qCDebug(dcVexbusUsb()) << "The adapter is" << (available ? "now available." : "not available any more.");
        m_available = available;
        emit availableChanged(m_available);
    }

    // Runs also when the value did not change: an unavailable adapter always
    // shows no controller data.
    if (available) {
        setState(StateConnected);
        return;
    }

    setState(StateUnconnected);
    m_statusFlags = 0;
    setLedMode(NivoraVexbusUsbUtils::LedModeUnknown);
    setVexbusType(NivoraVexbusUsbUtils::VexbusTypeUnknown);
    setVexbusSynchronized(false);
    setVexbusInitialized(false);
    setVexbusAvailable(false);
    setFirmwareVersion(QString());
}

void NivoraVexbusUsbAdapter::clearSerialPortInformation()
{
    setSerialPortName(QString());
    setSerialPortSystemLocation(QString());
    setSerialPortDescription(QString());
    setSerialPortManufacturer(QString());
    setSerialPortSerialNumber(QString());
    setSerialPortVendorIdentifier(0);
    setSerialPortProductIdentifier(0);
}

// Interface events

void NivoraVexbusUsbAdapter::onInterfaceConnectedChanged(bool connected)
{
    if (!connected) {
        // The client has aborted the pending replies already.
        m_session->portClosed();
        setAvailable(false);
        clearSerialPortInformation();
        return;
    }

    qCDebug(dcVexbusUsb()) << "The interface is now connected connected.";
    // A terminal device that the system does not enumerate tells only its
    // name and path; the USB details stay empty.
    const NivoraVexbusUsbPortLocation location = NivoraVexbusUsbPortLocation::ofOpenPort(m_interface->serialPort());
    if (location.isNull()) {
        qCWarning(dcVexbusUsb()) << "The serial port information for" << m_portName << "are not valid";
        return;
    }

    qCDebug(dcVexbusUsb()) << "Initialize serial port information...";
    const QSerialPortInfo info = location.serialPortInfo();
    m_portName = location.systemLocation();
    setSerialPortName(location.portName());
    setSerialPortSystemLocation(location.systemLocation());
    setSerialPortDescription(info.description());
    setSerialPortManufacturer(info.manufacturer());
    setSerialPortSerialNumber(info.serialNumber());
    setSerialPortVendorIdentifier(info.vendorIdentifier());
    setSerialPortProductIdentifier(info.productIdentifier());
    m_session->begin();
}

// Commands

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::sendCommand(NivoraVexbusUsbUtils::Command command, const QByteArray &payload,
                                                          const CommandOutcome &outcome, const QString &invalidArgument)
{
    // The outcome comes back through the client's hook, with the command's
    // CommandOutcome as context: no connection per request.
    if (!invalidArgument.isEmpty()) {
        return m_client->refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorInvalidArgument, invalidArgument, &outcome);
    } else if (m_updater->updating()) {
        return m_client->refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorUpdateRunning,
                                       QStringLiteral("A firmware update holds the adapter; nothing was sent. Give the "
                                                      "command again once the update has finished."), &outcome);
    } else if (!m_available) {
        return m_client->refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorNotAvailable,
                                       QStringLiteral("The adapter is not available; nothing was sent. Give the command "
                                                      "again once the adapter is plugged in and initialised."), &outcome);
    }
    return m_client->sendRequest(command, payload, &outcome);
}

void NivoraVexbusUsbAdapter::onCommandFinished(QObject *receiver, NivoraVexbusUsbReply *reply, const void *context)
{
    auto *adapter = static_cast<NivoraVexbusUsbAdapter *>(receiver);
    const auto *outcome = static_cast<const CommandOutcome *>(context);
    if (reply->error() != NivoraVexbusUsbReply::ErrorNoError) {
        qCWarning(dcVexbusUsb()) << outcome->errorText << reply->error();
    } else {
        qCDebug(dcVexbusUsb()) << outcome->successText;
    }
    // The command's own consequences come first, so that the state
    // shows them when the application learns the outcome.
    if (outcome->consequence)
        (adapter->*outcome->consequence)(reply);
    adapter->m_session->commandFinished(reply->error());
    // Only a response carries the controller's error code.
    const NivoraVexbusUsbUtils::Error controllerError = reply->error() == NivoraVexbusUsbReply::ErrorInterfaceError
            ? reply->controllerError() : NivoraVexbusUsbUtils::ErrorNoError;
    emit adapter->commandFinished(static_cast<NivoraVexbusUsbUtils::Command>(reply->requestPacket().command()),
                                  reply->error(), controllerError);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::readFirmwareVersion()
{
    static constexpr CommandOutcome outcome{"Read firmware version reply finished with error",
                                            "Read firmware version reply finished successfully.",
                                            &NivoraVexbusUsbAdapter::takeFirmwareVersionReply};
    qCDebug(dcVexbusUsb()) << "Reading firmware version from controller";
    return sendCommand(NivoraVexbusUsbUtils::CommandGetFirmware, QByteArray(), outcome);
}

void NivoraVexbusUsbAdapter::takeFirmwareVersionReply(NivoraVexbusUsbReply *reply)
{
    if (reply->error() == NivoraVexbusUsbReply::ErrorNoError)
        setFirmwareVersion(ControllerSession::firmwareVersion(reply->payload()));
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::resetController()
{
    static constexpr CommandOutcome outcome{"Reset controller request finished with error",
                                            "Reset controller request finished successfully. The controller is resetting...",
                                            &NivoraVexbusUsbAdapter::takeResetReply};
    qCDebug(dcVexbusUsb()) << "Reset controller...";
    qCDebug(dcVexbusUsb()) << "Resetting controller";
    return sendCommand(NivoraVexbusUsbUtils::CommandSoftReset, QByteArray(), outcome);
}

void NivoraVexbusUsbAdapter::takeResetReply(NivoraVexbusUsbReply *reply)
{
    if (reply->error() == NivoraVexbusUsbReply::ErrorInterfaceError)
        qCWarning(dcVexbusUsb()) << "Interface error" << reply->controllerError();
    if (reply->error() != NivoraVexbusUsbReply::ErrorNoError)
        return;
    m_session->restartRequested();
    setState(StateUnconnected);
    setAvailable(false);
    setState(StateConnecting);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::writeDataToVexbus(const QByteArray &data)
{
    static constexpr CommandOutcome outcome{"Write data to Vexbus reply finished with error", "Data sent successfully to Vexbus.",
                                            nullptr};
    const QByteArray frame = data.isNull() ? QByteArray::fromHex(testFrameHex) : data;
    // The length byte must describe the frame; a longer frame cannot be sent.
    if (frame.size() > maximumVexbusFrameSize) {
        const QString reason = QStringLiteral("The frame has %1 bytes, but at most %2 bytes fit in one write request; "
                                              "nothing was sent. Split the frame.").arg(frame.size()).arg(maximumVexbusFrameSize);
        qCWarning(dcVexbusUsb()) << "Cannot write data to Vexbus: the frame has" << frame.size()
                                 << "bytes, but at most" << maximumVexbusFrameSize << "bytes fit in one write request.";
        return sendCommand(NivoraVexbusUsbUtils::CommandWriteDataToVexbus, frame, outcome, reason);
    }

    qCDebug(dcVexbusUsb()) << "Write data to Vexbus:" << frame.toHex();
    qCDebug(dcVexbusUsb()) << "Sending data to Vexbus RS485:" << frame.toHex();
    // Built in place: QByteArray(1, size) + frame allocates twice.
    QByteArray payload;
    payload.reserve(1 + frame.size());
    payload.append(static_cast<char>(frame.size()));
    payload.append(frame);
    return sendCommand(NivoraVexbusUsbUtils::CommandWriteDataToVexbus, payload, outcome);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::pressIxoButton(IxoModuleButton button, uint milliSeconds)
{
    qCDebug(dcVexbusUsb()) << "Press IXO module button" << button << "for" << milliSeconds << "ms";
    static constexpr CommandOutcome outcome{"Set IXO module buffer data reply finished with error",
                                            "Set IXO module buffer data reply finished successfully.", nullptr};
    return sendIxoModuleBuffer(0x80, button | 0x08, milliSeconds, outcome);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::pressRemoteServiceButton(RemoteServiceModuleButton button, uint milliSeconds)
{
    qCDebug(dcVexbusUsb()) << "Press KVT remote service module button" << button << "for" << milliSeconds << "ms";
    // The controller takes this press through its IXO module buffer.
    static constexpr CommandOutcome outcome{"Press KVT remote service module button reply finished with error",
                                            "Press KVT remote service module button reply finished successfully.", nullptr};
    return sendIxoModuleBuffer(0x00, button, milliSeconds, outcome);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::sendIxoModuleBuffer(unsigned char mode, unsigned char button, uint milliSeconds,
                                                                  const CommandOutcome &outcome)
{
    QByteArray payload;
    payload.append(static_cast<char>(mode));
    payload.append(static_cast<char>(button));
    payload.append(durationBytes(milliSeconds));
    qCDebug(dcVexbusUsb()) << "Sending set IXO module buffer request:" << payload.toHex();
    return sendCommand(NivoraVexbusUsbUtils::CommandSetIxoModuleBuffer, payload, outcome);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::pressAppConnectorButton(AppConnectorModuleButton button, uint milliSeconds)
{
    qCDebug(dcVexbusUsb()) << "Press KVT app connector module button" << button << "for" << milliSeconds << "ms";
    const QByteArray payload = QByteArray(1, static_cast<char>(button)) + durationBytes(milliSeconds);
    qCDebug(dcVexbusUsb()) << "Sending press app connector module button request:" << payload.toHex();
    static constexpr CommandOutcome outcome{"Press KVT app connector module button reply finished with error",
                                            "Press KVT app connector module button reply finished successfully.", nullptr};
    return sendCommand(NivoraVexbusUsbUtils::CommandPressAppConnectorModuleButton, payload, outcome);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::enableAppConnectorParameterHandling(bool enable)
{
    const QByteArray payload(1, static_cast<char>(enable ? 0x01 : 0x00));
    qCDebug(dcVexbusUsb()) << "Set KVT app connector paramerter handling" << (enable ? "enabled" : "disabled");
    qCDebug(dcVexbusUsb()) << "Sending enable AppConnector parameter handling request:" << payload.toHex();
    static constexpr CommandOutcome outcome{"Set KVT app connector paramerter handling reply finished with error",
                                            "Set KVT app connector paramerter handling reply finished successfully.", nullptr};
    return sendCommand(NivoraVexbusUsbUtils::CommandEnableAppConnectorParameterHandling, payload, outcome);
}

// Firmware update

void NivoraVexbusUsbAdapter::startFirmwareUpdate(const QString &firmwareFile)
{
    m_updater->start(firmwareFile, m_available, m_portName, m_baudrate);
}

// Controller status

void NivoraVexbusUsbAdapter::onControllerStatusReceived(const QByteArray &payload, bool notified)
{
    // Bytes missing from a short payload read as 0.
    QDataStream stream(payload);
    quint8 ledMode = 0;
    quint8 statusFlags = 0;
    quint8 vexbusType = 0;
    stream >> ledMode >> statusFlags >> vexbusType;

    setLedMode(static_cast<NivoraVexbusUsbUtils::LedMode>(ledMode));
    setVexbusType(static_cast<NivoraVexbusUsbUtils::VexbusType>(vexbusType));
    if (statusFlags != m_statusFlags) {
        m_statusFlags = statusFlags;
        setVexbusSynchronized(statusFlags & NivoraVexbusUsbUtils::VexbusStatusSynchronized);
        setVexbusInitialized(statusFlags & NivoraVexbusUsbUtils::VexbusStatusInitialized);
        setVexbusAvailable(statusFlags & NivoraVexbusUsbUtils::VexbusStatusAvailable);
    }

    qCDebug(dcVexbusUsb()) << (notified ? "Controller status changed: LED mode:" : "Controller status received: LED mode:") << m_ledMode
                           << ", Vexbus sync:" << m_vexbusSynchronized << ", Vexbus initialized:" << m_vexbusInitialized
                           << ", Vexbus available:" << m_vexbusAvailable << ", Vexbus type:" << m_vexbusType;
}

QDebug operator<<(QDebug debug, NivoraVexbusUsbAdapter *adapter)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "NivoraVexbusAdapter(" << adapter->portName() << ", " << adapter->serialPortSerialNumber() << ", "
                    << (adapter->available() ? "available" : "not available") << ", " << adapter->firmwareVersion() << ", "
                    << adapter->vexbusType() << ")";
    return debug;
}

} // namespace NivoraVexbusUsb
