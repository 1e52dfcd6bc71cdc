// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adapter/nivoravexbususbadapter.h"
#include "devicewatcher/nivoravexbususbportlocation.h"
#include "logging/nivoravexbususblogging.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QSerialPortInfo>

namespace NivoraVexbusUsb {

namespace {

// The frame that writeDataToVexbus() sends when it is given none.
const char testFrameHex[] = "4142434445";

QString versionFromPayload(const QByteArray &payload)
{
    QDataStream stream(payload);
    quint8 major = 0;
    quint8 minor = 0;
    quint8 patch = 0;
    stream >> major >> minor >> patch;
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch);
}

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

NivoraVexbusUsbAdapter::~NivoraVexbusUsbAdapter() = default;

void NivoraVexbusUsbAdapter::construct(NivoraVexbusUsbDeviceWatcher *deviceWatcher)
{
    m_interface = new NivoraVexbusUsbInterface(deviceWatcher, this);
    m_interface->setPortName(m_portName);
    m_interface->setBaudRate(static_cast<QSerialPort::BaudRate>(m_baudrate));
    // Before the adapter's own handlers: a closed port aborts the pending
    // replies before the adapter shows itself unavailable.
    m_client = new NivoraVexbusUsbClient(m_interface, this);
    connect(m_client, &NivoraVexbusUsbClient::responseTimeoutChanged, this, &NivoraVexbusUsbAdapter::responseTimeoutChanged);
    connect(m_interface, &NivoraVexbusUsbInterface::connectedChanged, this, &NivoraVexbusUsbAdapter::onInterfaceConnectedChanged);
    connect(m_interface, &NivoraVexbusUsbInterface::packetReceived, this, &NivoraVexbusUsbAdapter::onInterfacePacketReceived);
    connect(m_interface, &NivoraVexbusUsbInterface::dataReceived, this, &NivoraVexbusUsbAdapter::onInterfaceDataReceived);

    m_bootloaderHandler = new BootloaderHandler(this);
    connect(m_bootloaderHandler, &BootloaderHandler::finished, this, &NivoraVexbusUsbAdapter::onBootloaderHandlerFinished);
    connect(m_bootloaderHandler, &BootloaderHandler::stateChanged, this, &NivoraVexbusUsbAdapter::onBootloaderHandlerStateChaned);
    connect(m_bootloaderHandler, &BootloaderHandler::connectedChanged, this, &NivoraVexbusUsbAdapter::onBootloaderHandlerConnectedChanged);
    connect(m_bootloaderHandler, &BootloaderHandler::percentageChanged, this, &NivoraVexbusUsbAdapter::updatePercentageChanged);

    qRegisterMetaType<FirmwareDownloader *>();
    m_firmwareDownloader = new FirmwareDownloader(this);
    connect(m_firmwareDownloader, &FirmwareDownloader::firmwareChanged, this, &NivoraVexbusUsbAdapter::onFirmwareDownloaderFirmwareChanged);

    // Created last, so that it is deleted after the ports that report to it.
    m_trafficRecorder = new NivoraVexbusUsbTrafficRecorder(this);
    connect(m_trafficRecorder, &NivoraVexbusUsbTrafficRecorder::fileNameChanged, this, &NivoraVexbusUsbAdapter::trafficRecordFileNameChanged);
    m_interface->setTrafficRecorder(m_trafficRecorder);
    m_bootloaderHandler->setTrafficRecorder(m_trafficRecorder);
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
    m_interface->disable();
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
double NivoraVexbusUsbAdapter::updatePercentage() const { return m_bootloaderHandler->percentage(); }
bool NivoraVexbusUsbAdapter::firmwareUpdateAvailable() const { return m_firmwareUpdateAvailable; }
bool NivoraVexbusUsbAdapter::updating() const { return m_updating; }

void NivoraVexbusUsbAdapter::setState(State state)
{
    if (m_state == state)
        return;

    qCDebug(dcVexbusUsb()) << "State changed" << state;
    m_state = state;
    emit stateChanged(m_state);
}

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

void NivoraVexbusUsbAdapter::setFirmwareVersion(const QString &firmwareVersion)
{
    if (m_firmwareVersion == firmwareVersion)
        return;

    m_firmwareVersion = firmwareVersion;
    emit firmwareVersionChanged(m_firmwareVersion);
}

void NivoraVexbusUsbAdapter::setLedMode(NivoraVexbusUsbUtils::LedMode ledMode)
{
    if (m_ledMode == ledMode)
        return;

    qCDebug(dcVexbusUsb()) << "LED mode changed" << ledMode;
    m_ledMode = ledMode;
    emit ledModeChanged(m_ledMode);
}

void NivoraVexbusUsbAdapter::setVexbusType(NivoraVexbusUsbUtils::VexbusType vexbusType)
{
    if (m_vexbusType == vexbusType)
        return;

    qCDebug(dcVexbusUsb()) << "Vexbus type changed" << vexbusType;
    m_vexbusType = vexbusType;
    emit vexbusTypeChanged(m_vexbusType);
}

void NivoraVexbusUsbAdapter::setVexbusSynchronized(bool vexbusSynchronized)
{
    if (m_vexbusSynchronized == vexbusSynchronized)
        return;

    qCDebug(dcVexbusUsb()) << "Adapter Vexbus" << (vexbusSynchronized ? "synchronized" : "lost synchronizsation.");
    m_vexbusSynchronized = vexbusSynchronized;
    emit vexbusSynchronizedChanged(m_vexbusSynchronized);
}

void NivoraVexbusUsbAdapter::setVexbusInitialized(bool vexbusInitialized)
{
    if (m_vexbusInitialized == vexbusInitialized)
        return;

    qCDebug(dcVexbusUsb()) << "Adapter Vexbus" << (vexbusInitialized ? "initialized" : "not initialized.");
    m_vexbusInitialized = vexbusInitialized;
    emit vexbusInitializedChanged(m_vexbusInitialized);
}

void NivoraVexbusUsbAdapter::setVexbusAvailable(bool vexbusAvailable)
{
    if (m_vexbusAvailable == vexbusAvailable)
        return;

    qCDebug(dcVexbusUsb()) << "Adapter Vexbus" << (vexbusAvailable ? "available" : "not available.");
    m_vexbusAvailable = vexbusAvailable;
    emit vexbusAvailableChanged(m_vexbusAvailable);
}

void NivoraVexbusUsbAdapter::setFirmwareUpdateAvailable(bool firmwareUpdateAvailable)
{
    if (m_firmwareUpdateAvailable == firmwareUpdateAvailable)
        return;

    m_firmwareUpdateAvailable = firmwareUpdateAvailable;
    emit firmwareUpdateAvailableChanged(m_firmwareUpdateAvailable);
}

void NivoraVexbusUsbAdapter::setUpdating(bool updating)
{
    if (m_updating == updating)
        return;

    m_updating = updating;
    emit updatingChanged(m_updating);
}

void NivoraVexbusUsbAdapter::setSerialPortName(const QString &serialPortName)
{
    if (m_serialPortName == serialPortName)
        return;

    qCDebug(dcVexbusUsb()) << "Serial port name:" << serialPortName;
    m_serialPortName = serialPortName;
    emit serialPortNameChanged(m_serialPortName);
}

void NivoraVexbusUsbAdapter::setSerialPortSystemLocation(const QString &serialPortSystemLocation)
{
    if (m_serialPortSystemLocation == serialPortSystemLocation)
        return;

    qCDebug(dcVexbusUsb()) << "Serial port system location:" << serialPortSystemLocation;
    m_serialPortSystemLocation = serialPortSystemLocation;
    emit serialPortSystemLocationChanged(m_serialPortSystemLocation);
}

void NivoraVexbusUsbAdapter::setSerialPortDescription(const QString &serialPortDescription)
{
    if (m_serialPortDescription == serialPortDescription)
        return;

    qCDebug(dcVexbusUsb()) << "Serial port description:" << serialPortDescription;
    m_serialPortDescription = serialPortDescription;
    emit serialPortDescriptionChanged(m_serialPortDescription);
}

void NivoraVexbusUsbAdapter::setSerialPortManufacturer(const QString &serialPortManufacturer)
{
    if (m_serialPortManufacturer == serialPortManufacturer)
        return;

    qCDebug(dcVexbusUsb()) << "Serial port manufacturer:" << serialPortManufacturer;
    m_serialPortManufacturer = serialPortManufacturer;
    emit serialPortManufacturerChanged(m_serialPortManufacturer);
}

void NivoraVexbusUsbAdapter::setSerialPortSerialNumber(const QString &serialPortSerialNumber)
{
    if (m_serialPortSerialNumber == serialPortSerialNumber)
        return;

    qCDebug(dcVexbusUsb()) << "Serial port serial number:" << serialPortSerialNumber;
    m_serialPortSerialNumber = serialPortSerialNumber;
    emit serialPortSerialNumberChanged(m_serialPortSerialNumber);
}

void NivoraVexbusUsbAdapter::setSerialPortVendorIdentifier(unsigned short serialPortVendorIdentifier)
{
    if (m_serialPortVendorIdentifier == serialPortVendorIdentifier)
        return;

    qCDebug(dcVexbusUsb()) << "Serial port vendor ID:" << serialPortVendorIdentifier;
    m_serialPortVendorIdentifier = serialPortVendorIdentifier;
    emit serialPortVendorIdentifierChanged(m_serialPortVendorIdentifier);
}

void NivoraVexbusUsbAdapter::setSerialPortProductIdentifier(unsigned short serialPortProductIdentifier)
{
    if (m_serialPortProductIdentifier == serialPortProductIdentifier)
        return;

    qCDebug(dcVexbusUsb()) << "Serial port product ID:" << serialPortProductIdentifier;
    m_serialPortProductIdentifier = serialPortProductIdentifier;
    emit serialPortProductIdentifierChanged(m_serialPortProductIdentifier);
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
        m_initAttempts = 0;
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
    initAdapter();
}

void NivoraVexbusUsbAdapter::onInterfaceDataReceived(const QByteArray &data)
{
    Q_UNUSED(data)
}

void NivoraVexbusUsbAdapter::onInterfacePacketReceived(const NivoraVexbusUsbPacket &packet)
{
    // Responses are the client's.
    if (packet.type() == NivoraVexbusUsbPacket::TypeNotification)
        processNotification(packet);
}

// Requests

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::sendReadFirmwareVersion()
{
    qCDebug(dcVexbusUsb()) << "Reading firmware version from controller";
    return m_client->sendRequest(NivoraVexbusUsbUtils::CommandGetFirmware);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::sendGetControllerStatus()
{
    qCDebug(dcVexbusUsb()) << "Getting controller status";
    return m_client->sendRequest(NivoraVexbusUsbUtils::CommandGetControllerStatus);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::sendStartBootloader()
{
    qCDebug(dcVexbusUsb()) << "Starting bootloader on the controller";
    return m_client->sendRequest(NivoraVexbusUsbUtils::CommandStartBootloader);
}

// Commands

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::sendCommand(NivoraVexbusUsbUtils::Command command, const QByteArray &payload,
                                                          const char *errorText, const char *successText,
                                                          const std::function<void(NivoraVexbusUsbReply *)> &onFinished)
{
    NivoraVexbusUsbReply *reply = nullptr;
    if (m_updating) {
        reply = m_client->refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorUpdateRunning,
                                        QStringLiteral("A firmware update holds the adapter; nothing was sent. Give the "
                                                       "command again once the update has finished."));
    } else if (!m_available) {
        reply = m_client->refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorNotAvailable,
                                        QStringLiteral("The adapter is not available; nothing was sent. Give the command "
                                                       "again once the adapter is plugged in and initialised."));
    } else {
        reply = m_client->sendRequest(command, payload);
    }

    connect(reply, &NivoraVexbusUsbReply::finished, this, [this, command, reply, errorText, successText, onFinished]() {
        if (reply->error() != NivoraVexbusUsbReply::ErrorNoError) {
            qCWarning(dcVexbusUsb()) << errorText << reply->error();
        } else {
            qCDebug(dcVexbusUsb()) << successText;
        }
        // The command's own consequences come first, so that the state
        // shows them when the application learns the outcome.
        if (onFinished)
            onFinished(reply);
        // Only a response carries the controller's error code.
        const NivoraVexbusUsbUtils::Error controllerError = reply->error() == NivoraVexbusUsbReply::ErrorInterfaceError
                ? reply->controllerError() : NivoraVexbusUsbUtils::ErrorNoError;
        emit commandFinished(command, reply->error(), controllerError);
    });
    return reply;
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::readFirmwareVersion()
{
    qCDebug(dcVexbusUsb()) << "Reading firmware version from controller";
    return sendCommand(NivoraVexbusUsbUtils::CommandGetFirmware, QByteArray(), "Read firmware version reply finished with error",
                       "Read firmware version reply finished successfully.", [this](NivoraVexbusUsbReply *reply) {
        if (reply->error() == NivoraVexbusUsbReply::ErrorNoError)
            setFirmwareVersion(versionFromPayload(reply->payload()));
    });
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::resetController()
{
    qCDebug(dcVexbusUsb()) << "Reset controller...";
    qCDebug(dcVexbusUsb()) << "Resetting controller";
    return sendCommand(NivoraVexbusUsbUtils::CommandSoftReset, QByteArray(), "Reset controller request finished with error",
                       "Reset controller request finished successfully. The controller is resetting...",
                       [this](NivoraVexbusUsbReply *reply) {
        if (reply->error() == NivoraVexbusUsbReply::ErrorInterfaceError)
            qCWarning(dcVexbusUsb()) << "Interface error" << reply->controllerError();
        if (reply->error() != NivoraVexbusUsbReply::ErrorNoError)
            return;
        setState(StateUnconnected);
        setAvailable(false);
        setState(StateConnecting);
    });
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::writeDataToVexbus(const QByteArray &data)
{
    const char *const errorText = "Write data to Vexbus reply finished with error";
    const QByteArray frame = data.isNull() ? QByteArray::fromHex(testFrameHex) : data;
    // The length byte must describe the frame; a longer frame cannot be sent.
    if (frame.size() > maximumVexbusFrameSize) {
        const QString reason = QStringLiteral("The frame has %1 bytes, but at most %2 bytes fit in one write request; "
                                              "nothing was sent. Split the frame.").arg(frame.size()).arg(maximumVexbusFrameSize);
        qCWarning(dcVexbusUsb()) << "Cannot write data to Vexbus: the frame has" << frame.size()
                                 << "bytes, but at most" << maximumVexbusFrameSize << "bytes fit in one write request.";
        NivoraVexbusUsbReply *reply = m_client->refuseRequest(NivoraVexbusUsbUtils::CommandWriteDataToVexbus, frame,
                                                              NivoraVexbusUsbReply::ErrorInvalidArgument, reason);
        connect(reply, &NivoraVexbusUsbReply::finished, this, [this, reply, errorText]() {
            qCWarning(dcVexbusUsb()) << errorText << reply->error();
            emit commandFinished(NivoraVexbusUsbUtils::CommandWriteDataToVexbus, reply->error(), NivoraVexbusUsbUtils::ErrorNoError);
        });
        return reply;
    }

    qCDebug(dcVexbusUsb()) << "Write data to Vexbus:" << frame.toHex();
    qCDebug(dcVexbusUsb()) << "Sending data to Vexbus RS485:" << frame.toHex();
    const QByteArray payload = QByteArray(1, static_cast<char>(frame.size())) + frame;
    return sendCommand(NivoraVexbusUsbUtils::CommandWriteDataToVexbus, payload, errorText, "Data sent successfully to Vexbus.");
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::pressIxoButton(IxoModuleButton button, uint milliSeconds)
{
    qCDebug(dcVexbusUsb()) << "Press IXO module button" << button << "for" << milliSeconds << "ms";
    QByteArray payload;
    payload.append(static_cast<char>(0x80));
    payload.append(static_cast<char>(button | 0x08));
    payload.append(durationBytes(milliSeconds));
    qCDebug(dcVexbusUsb()) << "Sending set IXO module buffer request:" << payload.toHex();
    return sendCommand(NivoraVexbusUsbUtils::CommandSetIxoModuleBuffer, payload,
                       "Set IXO module buffer data reply finished with error",
                       "Set IXO module buffer data reply finished successfully.");
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::pressRemoteServiceButton(RemoteServiceModuleButton button, uint milliSeconds)
{
    qCDebug(dcVexbusUsb()) << "Press KVT remote service module button" << button << "for" << milliSeconds << "ms";
    QByteArray payload;
    payload.append(static_cast<char>(0x00));
    payload.append(static_cast<char>(button));
    payload.append(durationBytes(milliSeconds));
    // The controller takes this press through its IXO module buffer.
    qCDebug(dcVexbusUsb()) << "Sending set IXO module buffer request:" << payload.toHex();
    return sendCommand(NivoraVexbusUsbUtils::CommandSetIxoModuleBuffer, payload,
                       "Press KVT remote service module button reply finished with error",
                       "Press KVT remote service module button reply finished successfully.");
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::pressAppConnectorButton(AppConnectorModuleButton button, uint milliSeconds)
{
    qCDebug(dcVexbusUsb()) << "Press KVT app connector module button" << button << "for" << milliSeconds << "ms";
    const QByteArray payload = QByteArray(1, static_cast<char>(button)) + durationBytes(milliSeconds);
    qCDebug(dcVexbusUsb()) << "Sending press app connector module button request:" << payload.toHex();
    return sendCommand(NivoraVexbusUsbUtils::CommandPressAppConnectorModuleButton, payload,
                       "Press KVT app connector module button reply finished with error",
                       "Press KVT app connector module button reply finished successfully.");
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::enableAppConnectorParameterHandling(bool enable)
{
    const QByteArray payload(1, static_cast<char>(enable ? 0x01 : 0x00));
    qCDebug(dcVexbusUsb()) << "Set KVT app connector paramerter handling" << (enable ? "enabled" : "disabled");
    qCDebug(dcVexbusUsb()) << "Sending enable AppConnector parameter handling request:" << payload.toHex();
    return sendCommand(NivoraVexbusUsbUtils::CommandEnableAppConnectorParameterHandling, payload,
                       "Set KVT app connector paramerter handling reply finished with error",
                       "Set KVT app connector paramerter handling reply finished successfully.");
}

// Firmware update

void NivoraVexbusUsbAdapter::startFirmwareUpdate(const QString &firmwareFile)
{
    FirmwareData firmware;
    if (firmwareFile.isEmpty()) {
        qCDebug(dcVexbusUsb()) << "Using online firmware file for update.";
        if (!m_firmwareDownloader->firmware().isValid()) {
            qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. There is no valid firmware in the downloader. Please update before starting the upgrade.";
            return;
        }
        firmware = m_firmwareDownloader->firmware();
    } else if (!loadLocalFirmware(firmwareFile, &firmware)) {
        return;
    }

    if (!firmware.isValid()) {
        qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. The firmware data is not valid.";
        return;
    }

    setUpdating(true);
    if (!m_available) {
        qCWarning(dcVexbusUsb()) << "The controller is not available, try to connect either way to the bootloader, maybe the update was interrupted";
        handOverToBootloader(firmware);
        return;
    }

    qCDebug(dcVexbusUsb()) << "Start bootloader...";
    NivoraVexbusUsbReply *reply = sendStartBootloader();
    connect(reply, &NivoraVexbusUsbReply::finished, this, [this, reply, firmware]() {
        if (reply->error() != NivoraVexbusUsbReply::ErrorNoError) {
            qCWarning(dcVexbusUsb()) << "Start bootloader finished with error" << reply->error();
            if (reply->error() == NivoraVexbusUsbReply::ErrorInterfaceError)
                qCWarning(dcVexbusUsb()) << "Interface error" << reply->responsePacket().error();
            setUpdating(false);
            emit updateFinished(false);
            return;
        }

        qCDebug(dcVexbusUsb()) << "Start bootloader finished successfully";
        handOverToBootloader(firmware);
    });
}

bool NivoraVexbusUsbAdapter::loadLocalFirmware(const QString &firmwareFile, FirmwareData *firmware)
{
    qCDebug(dcVexbusUsb()) << "Using local firmware file for update" << firmwareFile;
    const QFileInfo fileInfo(firmwareFile);
    if (!fileInfo.exists()) {
        qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. The given firmware file does not exist" << firmwareFile;
        return false;
    }

    if (!fileInfo.isReadable()) {
        qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. The given firmware file is not readable" << firmwareFile;
        return false;
    }

    QFile file(fileInfo.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(dcVexbusUsb()) << "Failed to open local firmware file" << file.fileName() << file.errorString();
        return false;
    }

    QByteArray data;
    if (!FirmwareData::readFile(&file, &data))
        return false;
    qCDebug(dcVexbusUsb()) << "Local update file MD5 checksum:"
                           << QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
    *firmware = FirmwareData(data);
    firmware->setName(fileInfo.fileName());
    return true;
}

void NivoraVexbusUsbAdapter::handOverToBootloader(const FirmwareData &firmware)
{
    m_bootloaderHandler->stop();
    m_bootloaderHandler->setPortName(m_portName);
    m_bootloaderHandler->setBaudrate(m_baudrate);
    m_bootloaderHandler->setFirmwareData(firmware);

    m_interface->disable();
    setAvailable(false);

    qCDebug(dcVexbusUsb()) << "Start the booloader handler with 3 s delay in order to give some time to reboot into the bootloader...";
    QTimer::singleShot(3000, Qt::PreciseTimer, m_bootloaderHandler, &BootloaderHandler::start);
    setState(StateConnectingBootloader);
}

void NivoraVexbusUsbAdapter::onBootloaderHandlerStateChaned(BootloaderHandler::State state)
{
    Q_UNUSED(state)
}

void NivoraVexbusUsbAdapter::onBootloaderHandlerConnectedChanged(bool connected)
{
    if (connected)
        setState(StateConnectedBootloader);
}

void NivoraVexbusUsbAdapter::onBootloaderHandlerFinished(bool success)
{
    qCDebug(dcVexbusUsb()) << "Bootloader process finished" << (success ? "successfully" : "with errors");
    setUpdating(false);
    if (success) {
        m_bootloaderHandler->stop();
        m_interface->enable();
    }
    emit updateFinished(success);
}

void NivoraVexbusUsbAdapter::onFirmwareDownloaderFirmwareChanged(const FirmwareData &firmware)
{
    if (!firmware.isValid()) {
        qCWarning(dcVexbusUsb()) << "The downloaded firmware is not valid" << firmware;
        setFirmwareUpdateAvailable(false);
        return;
    }

    if (firmware != m_bootloaderHandler->firmwareData()) {
        m_bootloaderHandler->setFirmwareData(firmware);
        setFirmwareUpdateAvailable(true);
    }
}

// Init procedure

void NivoraVexbusUsbAdapter::initAdapter()
{
    setState(StateConnecting);
    m_initAttempts = 0;
    runInitProcedure();
}

void NivoraVexbusUsbAdapter::runInitProcedure()
{
    if (m_initReply) {
        qCWarning(dcVexbusUsb()) << "Could not start init procedure because there is already an init request pending.";
        return;
    }

    // Requests on a closed port are lost; the next connection starts afresh.
    if (!m_interface->connected()) {
        qCDebug(dcVexbusUsb()) << "The interface is not connected. Not starting an init attempt.";
        return;
    }

    m_initReply = sendReadFirmwareVersion();
    NivoraVexbusUsbReply *reply = m_initReply;
    connect(reply, &NivoraVexbusUsbReply::finished, this, [this, reply]() { onInitFirmwareVersionFinished(reply); });
}

void NivoraVexbusUsbAdapter::onInitFirmwareVersionFinished(NivoraVexbusUsbReply *reply)
{
    switch (reply->error()) {
    case NivoraVexbusUsbReply::ErrorNoError: {
        setFirmwareVersion(versionFromPayload(reply->payload()));
        qCDebug(dcVexbusUsb()) << "Nivora Vexbus USB adapter firmware version:" << m_firmwareVersion;
        m_initAttempts = 0;
        m_initReply = nullptr;
        NivoraVexbusUsbReply *statusReply = sendGetControllerStatus();
        connect(statusReply, &NivoraVexbusUsbReply::finished, this,
                [this, statusReply]() { onInitControllerStatusFinished(statusReply); });
        break;
    }
    case NivoraVexbusUsbReply::ErrorInterfaceError:
        qCWarning(dcVexbusUsb()) << "Interface error" << reply->responsePacket().error();
        m_initReply = nullptr;
        verifyInitProcedureRetry();
        break;
    case NivoraVexbusUsbReply::ErrorAborted:
        qCDebug(dcVexbusUsb()) << "The init reply has been aborted. Re-initiate init procedure.";
        m_initAttempts = 0;
        m_initReply = nullptr;
        verifyInitProcedureRetry();
        break;
    default:
        qCWarning(dcVexbusUsb()) << "Read initial firmware reply finished with error" << reply->error();
        m_initReply = nullptr;
        verifyInitProcedureRetry();
        break;
    }
}

void NivoraVexbusUsbAdapter::onInitControllerStatusFinished(NivoraVexbusUsbReply *reply)
{
    if (reply->error() != NivoraVexbusUsbReply::ErrorNoError) {
        qCWarning(dcVexbusUsb()) << "Get conroller status reply finished with error" << reply->error();
        if (reply->error() == NivoraVexbusUsbReply::ErrorInterfaceError)
            qCWarning(dcVexbusUsb()) << "Interface error" << reply->responsePacket().error();
        verifyInitProcedureRetry();
        return;
    }

    processStatusPayload(reply->responsePacket().payload());
    qCDebug(dcVexbusUsb()) << "Controller status received: LED mode:" << m_ledMode << ", Vexbus sync:" << m_vexbusSynchronized
                           << ", Vexbus initialized:" << m_vexbusInitialized << ", Vexbus available:" << m_vexbusAvailable
                           << ", " << m_vexbusType;
    m_initAttempts = 0;
    setAvailable(true);
}

void NivoraVexbusUsbAdapter::verifyInitProcedureRetry()
{
    // A disconnection aborts the pending init request; retrying then would
    // send into a closed port and, after the third time-out, reopen a port
    // that was released on purpose (stop(), firmware update).
    if (!m_interface->connected()) {
        qCDebug(dcVexbusUsb()) << "The interface is not connected. The init procedure runs again on the next connection.";
        return;
    }

    m_initAttempts += 1;
    if (m_initAttempts <= 2) {
        runInitProcedure();
        return;
    }

    qCWarning(dcVexbusUsb()) << "Failed to initialize after 3 attempts. Reconnecting the interface";
    m_interface->reconnectInterface();
}

// Notifications

void NivoraVexbusUsbAdapter::processNotification(const NivoraVexbusUsbPacket &packet)
{
    const auto code = static_cast<NivoraVexbusUsbUtils::Notitifaction>(packet.command());
    qCDebug(dcVexbusUsbTraffic()) << "Received controller notification" << code;

    switch (code) {
    case NivoraVexbusUsbUtils::NotificationControllerReady:
        qCDebug(dcVexbusUsb()) << "Controller ready notification received. Start initializing controller data...";
        setAvailable(false);
        if (!m_initReply) {
            initAdapter();
        } else {
            qCDebug(dcVexbusUsb()) << "The controler is ready while we where initializing. Abort the current init attempt and re-initiate the init procedure.";
            m_initReply->abort();
        }
        break;
    case NivoraVexbusUsbUtils::NotificationControllerStatusChanged:
        processStatusPayload(packet.payload());
        qCDebug(dcVexbusUsb()) << "Controller status changed: LED mode:" << m_ledMode << ", Vexbus sync:" << m_vexbusSynchronized
                               << ", Vexbus initialized:" << m_vexbusInitialized << ", Vexbus available:" << m_vexbusAvailable
                               << ", Vexbus type:" << m_vexbusType;
        break;
    case NivoraVexbusUsbUtils::NotificationVexbusData:
        qCDebug(dcVexbusUsbTraffic()) << "Vexbus data received:" << packet.payload().toHex();
        processVexbusPacket(packet.payload());
        emit vexbusFrameReceived(packet.payload());
        break;
    case NivoraVexbusUsbUtils::NotificationErrorOccurred:
        if (packet.payload().size() != 1) {
            qCWarning(dcVexbusUsbTraffic()) << "Received error notification with invalid payload size. Discard packet...";
            return;
        }
        qCWarning(dcVexbusUsb()) << "Received error notification from controller:"
                                 << static_cast<NivoraVexbusUsbUtils::Error>(static_cast<unsigned char>(packet.payload().at(0)));
        break;
    case NivoraVexbusUsbUtils::NotificationDebugMessage: {
        const QByteArray payload = packet.payload();
        const int end = payload.indexOf('\0');
        qCDebug(dcVexbusUsb()) << "############ Controller debug:" << QString::fromUtf8(end < 0 ? payload : payload.left(end));
        break;
    }
    default:
        qCWarning(dcVexbusUsb()) << "Unhandled notification received:" << packet;
        break;
    }
}

void NivoraVexbusUsbAdapter::processStatusPayload(const QByteArray &payload)
{
    // Bytes missing from a short payload read as 0.
    QDataStream stream(payload);
    quint8 ledMode = 0;
    quint8 statusFlags = 0;
    quint8 vexbusType = 0;
    stream >> ledMode >> statusFlags >> vexbusType;

    setLedMode(static_cast<NivoraVexbusUsbUtils::LedMode>(ledMode));
    setVexbusType(static_cast<NivoraVexbusUsbUtils::VexbusType>(vexbusType));
    if (statusFlags == m_statusFlags)
        return;

    m_statusFlags = statusFlags;
    setVexbusSynchronized(statusFlags & NivoraVexbusUsbUtils::VexbusStatusSynchronized);
    setVexbusInitialized(statusFlags & NivoraVexbusUsbUtils::VexbusStatusInitialized);
    setVexbusAvailable(statusFlags & NivoraVexbusUsbUtils::VexbusStatusAvailable);
}

void NivoraVexbusUsbAdapter::processVexbusPacket(const QByteArray &payload)
{
    // A place for decoding bus frames; the frames reach applications
    // through vexbusFrameReceived().
    Q_UNUSED(payload)
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
