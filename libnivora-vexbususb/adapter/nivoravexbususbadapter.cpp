// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adapter/nivoravexbususbadapter.h"
#include "adapter/nivoravexbususbadapter_p.h"
#include "adapter/controllersession.h"
#include "adapter/nivoravexbususbfirmwareupdater.h"
#include "adapter/nivoravexbususbupdatereply.h"
#include "devicewatcher/nivoravexbususbportlocation.h"
#include "link/nivoravexbususbclient_p.h"
#include "link/nivoravexbususbinterface_p.h"
#include "link/nivoravexbususbreply_p.h"
#include "logging/nivoravexbususblogging.h"

#include <QDataStream>
#include <QSerialPortInfo>
#include <QTimer>
#include <QVersionNumber>

#include <cstring>

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

using CommandOutcome = NivoraVexbusUsbAdapterPrivate::CommandOutcome;

} // namespace

NivoraVexbusUsbAdapter::NivoraVexbusUsbAdapter(QObject *parent) :
    QObject(parent),
    d_ptr(new NivoraVexbusUsbAdapterPrivate(this))
{
    qCDebug(dcVexbusUsb()) << "Construct nivora Vexbus USB adapter";
    Q_D(NivoraVexbusUsbAdapter);
    d->construct(nullptr);
    d->interface->setWatchMode(NivoraVexbusUsbInterface::WatchModePort);
}

NivoraVexbusUsbAdapter::NivoraVexbusUsbAdapter(const QString &serialNumber, QObject *parent) :
    QObject(parent),
    d_ptr(new NivoraVexbusUsbAdapterPrivate(this))
{
    qCDebug(dcVexbusUsb()) << "Construct nivora Vexbus USB adapter for serialnumber" << serialNumber;
    Q_D(NivoraVexbusUsbAdapter);
    d->construct(nullptr);
    d->interface->setWatchMode(NivoraVexbusUsbInterface::WatchModeSerialNumber);
    d->interface->setSerialNumber(serialNumber);
}

NivoraVexbusUsbAdapter::NivoraVexbusUsbAdapter(NivoraVexbusUsbDeviceWatcher *deviceWatcher, QObject *parent) :
    QObject(parent),
    d_ptr(new NivoraVexbusUsbAdapterPrivate(this))
{
    qCDebug(dcVexbusUsb()) << "Construct nivora Vexbus USB adapter with external device watcher and port mode" << deviceWatcher;
    Q_D(NivoraVexbusUsbAdapter);
    d->construct(deviceWatcher);
    d->interface->setWatchMode(NivoraVexbusUsbInterface::WatchModePort);
}

NivoraVexbusUsbAdapter::NivoraVexbusUsbAdapter(NivoraVexbusUsbDeviceWatcher *deviceWatcher, const QString &serialNumber,
                                               QObject *parent) :
    QObject(parent),
    d_ptr(new NivoraVexbusUsbAdapterPrivate(this))
{
    qCDebug(dcVexbusUsb()) << "Construct nivora Vexbus USB adapter with external device watcher and serial number mode"
                           << deviceWatcher << serialNumber;
    Q_D(NivoraVexbusUsbAdapter);
    d->construct(deviceWatcher);
    d->interface->setWatchMode(NivoraVexbusUsbInterface::WatchModeSerialNumber);
    d->interface->setSerialNumber(serialNumber);
}

NivoraVexbusUsbAdapter::~NivoraVexbusUsbAdapter()
{
    // The port closes as the children go, which aborts pending requests:
    // their outcome no longer reaches an adapter that is going.
    NivoraVexbusUsbClientPrivate::get(d_ptr->client)->setReplyFinishedHook(nullptr, nullptr);
    NivoraVexbusUsbInterfacePrivate::get(d_ptr->interface)->setPacketHook(nullptr, nullptr);
}

void NivoraVexbusUsbAdapterPrivate::onPacketReceived(QObject *receiver, const NivoraVexbusUsbPacket &packet)
{
    NivoraVexbusUsbAdapterPrivate *d = static_cast<NivoraVexbusUsbAdapter *>(receiver)->d_func();
    if (packet.type() == NivoraVexbusUsbPacket::TypeNotification)
        d->session->onPacketReceived(packet);
    else
        NivoraVexbusUsbClientPrivate::get(d->client)->onInterfacePacketReceived(packet);
}

void NivoraVexbusUsbAdapterPrivate::construct(NivoraVexbusUsbDeviceWatcher *deviceWatcher)
{
    Q_Q(NivoraVexbusUsbAdapter);
    interface = new NivoraVexbusUsbInterface(deviceWatcher, q);
    interface->setPortName(portName);
    interface->setBaudRate(static_cast<QSerialPort::BaudRate>(baudrate));
    // Before the adapter's own handlers: a closed port aborts the pending
    // replies before the adapter shows itself unavailable.
    client = new NivoraVexbusUsbClient(interface, q);
    NivoraVexbusUsbClientPrivate::get(client)->setReplyFinishedHook(q, &NivoraVexbusUsbAdapterPrivate::onCommandFinished);
    QObject::connect(client, &NivoraVexbusUsbClient::responseTimeoutChanged, q, &NivoraVexbusUsbAdapter::responseTimeoutChanged);
    session = new ControllerSession(interface, client, q);
    QObject::connect(session, &ControllerSession::initStarted, q, [this]() { setState(NivoraVexbusUsbAdapter::StateConnecting); });
    QObject::connect(session, &ControllerSession::firmwareVersionRead, q, [this](const QString &version) { setFirmwareVersion(version); });
    QObject::connect(session, &ControllerSession::statusReceived, q, [this](const QByteArray &payload, bool notified) {
        onControllerStatusReceived(payload, notified);
    });
    QObject::connect(session, &ControllerSession::initialized, q, [this]() {
        setAvailable(true);
        // Available with its version: an update that waits for the restarted controller ends here.
        updater->controllerAnswered(firmwareVersion);
    });
    QObject::connect(session, &ControllerSession::controllerReady, q, [this]() { setAvailable(false); });
    session->setFrameHook(q, [](QObject *receiver, const QByteArray &frame) {
        emit static_cast<NivoraVexbusUsbAdapter *>(receiver)->vexbusFrameReceived(frame);
    });
    // Responses to the client, notifications to the session, by a call each
    // rather than a connection of each to packetReceived(): it runs for
    // every packet.
    NivoraVexbusUsbClientPrivate::get(client)->takePacketsFromOwner();
    NivoraVexbusUsbInterfacePrivate::get(interface)->setPacketHook(q, &NivoraVexbusUsbAdapterPrivate::onPacketReceived);
    QObject::connect(session, &ControllerSession::controllerInBootloaderChanged, q, &NivoraVexbusUsbAdapter::controllerInBootloaderChanged);
    QObject::connect(session, &ControllerSession::controllerLost, q, [this]() { setAvailable(false); });
    QObject::connect(session, &ControllerSession::unavailableReasonChanged, q, [q](int reason) {
        emit q->unavailableReasonChanged(static_cast<NivoraVexbusUsbAdapter::UnavailableReason>(reason));
    });
    QObject::connect(session, &ControllerSession::consecutiveTimeoutLimitChanged, q, &NivoraVexbusUsbAdapter::consecutiveTimeoutLimitChanged);
    QObject::connect(interface, &NivoraVexbusUsbInterface::connectedChanged, q, [this](bool connected) {
        onInterfaceConnectedChanged(connected);
    });

    qRegisterMetaType<FirmwareDownloader *>();
    firmwareDownloader = new FirmwareDownloader(q);
    updater = new NivoraVexbusUsbFirmwareUpdater(interface, firmwareDownloader, [this]() {
        qCDebug(dcVexbusUsb()) << "Starting bootloader on the controller";
        return client->sendRequest(NivoraVexbusUsbUtils::CommandStartBootloader);
    }, [this]() {
        // The controller's reboot, as before the bootloader, and the init
        // procedure's three attempts of a version and a status request.
        return updater->handOverDelay() + 3 * 2 * client->responseTimeout();
    }, q);
    QObject::connect(updater, &NivoraVexbusUsbFirmwareUpdater::handedOver, q, [this]() {
        session->stop();
        setAvailable(false);
        setState(NivoraVexbusUsbAdapter::StateConnectingBootloader);
    });
    QObject::connect(updater, &NivoraVexbusUsbFirmwareUpdater::bootloaderConnected, q, [this]() {
        setState(NivoraVexbusUsbAdapter::StateConnectedBootloader);
    });
    QObject::connect(updater, &NivoraVexbusUsbFirmwareUpdater::percentageChanged, q, &NivoraVexbusUsbAdapter::updatePercentageChanged);
    QObject::connect(updater, &NivoraVexbusUsbFirmwareUpdater::updatingChanged, q, &NivoraVexbusUsbAdapter::updatingChanged);
    QObject::connect(updater, &NivoraVexbusUsbFirmwareUpdater::firmwareUpdateAvailableChanged, q,
                     &NivoraVexbusUsbAdapter::firmwareUpdateAvailableChanged);
    QObject::connect(updater, &NivoraVexbusUsbFirmwareUpdater::phaseChanged, q, &NivoraVexbusUsbAdapter::updatePhaseChanged);
    QObject::connect(updater, &NivoraVexbusUsbFirmwareUpdater::errorChanged, q, &NivoraVexbusUsbAdapter::updateErrorChanged);
    QObject::connect(updater, &NivoraVexbusUsbFirmwareUpdater::errorStringChanged, q, &NivoraVexbusUsbAdapter::updateErrorStringChanged);
    QObject::connect(updater, &NivoraVexbusUsbFirmwareUpdater::finished, q, &NivoraVexbusUsbAdapter::updateFinished);

    // Created last, so that it is deleted after the ports that report to it.
    trafficRecorder = new NivoraVexbusUsbTrafficRecorder(q);
    QObject::connect(trafficRecorder, &NivoraVexbusUsbTrafficRecorder::fileNameChanged, q, &NivoraVexbusUsbAdapter::trafficRecordFileNameChanged);
    interface->setTrafficRecorder(trafficRecorder);
    updater->bootloaderHandler()->setTrafficRecorder(trafficRecorder);
    session->setTrafficRecorder(trafficRecorder);
}

QString NivoraVexbusUsbAdapter::trafficRecordFileName() const
{
    Q_D(const NivoraVexbusUsbAdapter);
    return d->trafficRecorder->fileName();
}

void NivoraVexbusUsbAdapter::setTrafficRecordFileName(const QString &fileName)
{
    Q_D(NivoraVexbusUsbAdapter);
    d->trafficRecorder->setFileName(fileName);
}

int NivoraVexbusUsbAdapter::responseTimeout() const
{
    Q_D(const NivoraVexbusUsbAdapter);
    return d->client->responseTimeout();
}

void NivoraVexbusUsbAdapter::setResponseTimeout(int responseTimeout)
{
    Q_D(NivoraVexbusUsbAdapter);
    d->client->setResponseTimeout(responseTimeout);
}

NivoraVexbusUsbInterface *NivoraVexbusUsbAdapter::serialInterface() const
{
    Q_D(const NivoraVexbusUsbAdapter);
    return d->interface;
}

FirmwareDownloader *NivoraVexbusUsbAdapter::firmwareDownloader() const
{
    Q_D(const NivoraVexbusUsbAdapter);
    return d->firmwareDownloader;
}

bool NivoraVexbusUsbAdapter::start()
{
    Q_D(NivoraVexbusUsbAdapter);
    if (d->interface->connected())
        d->interface->serialPort()->close();

    d->interface->setPortName(d->portName);
    d->interface->setBaudRate(static_cast<QSerialPort::BaudRate>(d->baudrate));

    if (d->interface->watchMode() == NivoraVexbusUsbInterface::WatchModePort && d->portName.isEmpty()) {
        qCWarning(dcVexbusUsb()) << "Cannot start nivora Vexbus USB adapter. There is no port name specified to watch for.";
        return false;
    }

    if (d->interface->watchMode() == NivoraVexbusUsbInterface::WatchModeSerialNumber && d->interface->serialNumber().isEmpty()) {
        qCWarning(dcVexbusUsb()) << "Cannot start nivora Vexbus USB adapter. There is no serial number specified to watch for.";
        return false;
    }

    d->interface->enable();
    return true;
}

void NivoraVexbusUsbAdapter::stop()
{
    Q_D(NivoraVexbusUsbAdapter);
    // Nothing of an update runs or starts after this.
    d->updater->stop();
    d->session->stop();
    d->interface->disable();
    if (d->state == StateConnectingBootloader || d->state == StateConnectedBootloader)
        d->setState(StateUnconnected);
}

// Properties

// A getter that returns the private member of the property's name.
#define NIVORA_ADAPTER_GETTER(Type, name) \
    Type NivoraVexbusUsbAdapter::name() const \
    { \
        Q_D(const NivoraVexbusUsbAdapter); \
        return d->name; \
    }

NIVORA_ADAPTER_GETTER(NivoraVexbusUsbAdapter::State, state)
NIVORA_ADAPTER_GETTER(QString, portName)
NIVORA_ADAPTER_GETTER(int, baudrate)
NIVORA_ADAPTER_GETTER(QString, serialPortName)
NIVORA_ADAPTER_GETTER(QString, serialPortSystemLocation)
NIVORA_ADAPTER_GETTER(QString, serialPortDescription)
NIVORA_ADAPTER_GETTER(QString, serialPortManufacturer)
NIVORA_ADAPTER_GETTER(QString, serialPortSerialNumber)
NIVORA_ADAPTER_GETTER(unsigned short, serialPortVendorIdentifier)
NIVORA_ADAPTER_GETTER(unsigned short, serialPortProductIdentifier)
NIVORA_ADAPTER_GETTER(bool, available)
NIVORA_ADAPTER_GETTER(QString, firmwareVersion)
NIVORA_ADAPTER_GETTER(NivoraVexbusUsbUtils::LedMode, ledMode)
NIVORA_ADAPTER_GETTER(NivoraVexbusUsbUtils::VexbusType, vexbusType)
NIVORA_ADAPTER_GETTER(bool, vexbusSynchronized)
NIVORA_ADAPTER_GETTER(bool, vexbusInitialized)
NIVORA_ADAPTER_GETTER(bool, vexbusAvailable)

#undef NIVORA_ADAPTER_GETTER

void NivoraVexbusUsbAdapter::setPortName(const QString &portName) { d_func()->portName = portName; }
void NivoraVexbusUsbAdapter::setBaudrate(int baudrate) { d_func()->baudrate = baudrate; }
double NivoraVexbusUsbAdapter::updatePercentage() const { return d_func()->updater->percentage(); }
bool NivoraVexbusUsbAdapter::firmwareUpdateAvailable() const { return d_func()->updater->firmwareUpdateAvailable(); }
bool NivoraVexbusUsbAdapter::updating() const { return d_func()->updater->updating(); }
FirmwareUpdate::Phase NivoraVexbusUsbAdapter::updatePhase() const { return d_func()->updater->phase(); }
FirmwareUpdate::Error NivoraVexbusUsbAdapter::updateError() const { return d_func()->updater->error(); }
QString NivoraVexbusUsbAdapter::updateErrorString() const { return d_func()->updater->errorString(); }
int NivoraVexbusUsbAdapter::bootloaderHandOverDelay() const { return d_func()->updater->handOverDelay(); }
void NivoraVexbusUsbAdapter::setBootloaderHandOverDelay(int milliSeconds) { d_func()->updater->setHandOverDelay(milliSeconds); }
bool NivoraVexbusUsbAdapter::controllerInBootloader() const { return d_func()->session->controllerInBootloader(); }
NivoraVexbusUsbAdapter::UnavailableReason NivoraVexbusUsbAdapter::unavailableReason() const
{
    return static_cast<UnavailableReason>(d_func()->session->unavailableReason());
}
int NivoraVexbusUsbAdapter::consecutiveTimeoutLimit() const { return d_func()->session->consecutiveTimeoutLimit(); }
void NivoraVexbusUsbAdapter::setConsecutiveTimeoutLimit(int limit) { d_func()->session->setConsecutiveTimeoutLimit(limit); }

// A property setter: returns early when nothing changes, otherwise logs
// (the statement given last, which may read the new value), stores and
// emits the change signal.
#define NIVORA_ADAPTER_SETTER(Type, name, Name, log) \
    void NivoraVexbusUsbAdapterPrivate::set##Name(Type value) \
    { \
        if (name == value) \
            return; \
        log; \
        name = value; \
        emit q_func()->name##Changed(name); \
    }

NIVORA_ADAPTER_SETTER(NivoraVexbusUsbAdapter::State, state, State, qCDebug(dcVexbusUsb()) << "State changed" << value)
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

void NivoraVexbusUsbAdapterPrivate::setAvailable(bool available)
{
    Q_Q(NivoraVexbusUsbAdapter);
    if (this->available != available) {
        qCDebug(dcVexbusUsb()) << "The adapter is" << (available ? "now available." : "not available any more.");
        this->available = available;
        emit q->availableChanged(available);
    }

    // Runs also when the value did not change: an unavailable adapter always
    // shows no controller data.
    if (available) {
        setState(NivoraVexbusUsbAdapter::StateConnected);
        return;
    }

    setState(NivoraVexbusUsbAdapter::StateUnconnected);
    statusFlags = 0;
    setLedMode(NivoraVexbusUsbUtils::LedModeUnknown);
    setVexbusType(NivoraVexbusUsbUtils::VexbusTypeUnknown);
    setVexbusSynchronized(false);
    setVexbusInitialized(false);
    setVexbusAvailable(false);
    setFirmwareVersion(QString());
}

void NivoraVexbusUsbAdapterPrivate::clearSerialPortInformation()
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

void NivoraVexbusUsbAdapterPrivate::onInterfaceConnectedChanged(bool connected)
{
    if (!connected) {
        // The client has aborted the pending replies already.
        session->portClosed();
        setAvailable(false);
        clearSerialPortInformation();
        return;
    }

    qCDebug(dcVexbusUsb()) << "The interface is now connected connected.";
    // A terminal device that the system does not enumerate tells only its
    // name and path; the USB details stay empty.
    const NivoraVexbusUsbPortLocation location = NivoraVexbusUsbPortLocation::ofOpenPort(interface->serialPort());
    if (location.isNull()) {
        qCWarning(dcVexbusUsb()) << "The serial port information for" << portName << "are not valid";
        return;
    }

    qCDebug(dcVexbusUsb()) << "Initialize serial port information...";
    const QSerialPortInfo info = location.serialPortInfo();
    portName = location.systemLocation();
    setSerialPortName(location.portName());
    setSerialPortSystemLocation(location.systemLocation());
    setSerialPortDescription(info.description());
    setSerialPortManufacturer(info.manufacturer());
    setSerialPortSerialNumber(info.serialNumber());
    setSerialPortVendorIdentifier(info.vendorIdentifier());
    setSerialPortProductIdentifier(info.productIdentifier());
    session->begin();
}

// Commands

NivoraVexbusUsbReply *NivoraVexbusUsbAdapterPrivate::sendCommand(NivoraVexbusUsbUtils::Command command, const QByteArray &payload,
                                                                 const CommandOutcome &outcome, const QString &invalidArgument)
{
    // The outcome comes back through the client's hook, with the command's
    // CommandOutcome as context: no connection per request.
    NivoraVexbusUsbClientPrivate *link = NivoraVexbusUsbClientPrivate::get(client);
    if (!invalidArgument.isEmpty()) {
        return link->refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorInvalidArgument, invalidArgument, &outcome);
    } else if (updater->updating()) {
        return link->refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorUpdateRunning,
                                   QStringLiteral("A firmware update holds the adapter; nothing was sent. Give the "
                                                  "command again once the update has finished."), &outcome);
    } else if (!available) {
        return link->refuseRequest(command, payload, NivoraVexbusUsbReply::ErrorNotAvailable,
                                   QStringLiteral("The adapter is not available; nothing was sent. Give the command "
                                                  "again once the adapter is plugged in and initialised."), &outcome);
    }
    return link->sendRequest(command, payload, &outcome);
}

void NivoraVexbusUsbAdapterPrivate::onCommandFinished(QObject *receiver, NivoraVexbusUsbReply *reply, const void *context)
{
    auto *adapter = static_cast<NivoraVexbusUsbAdapter *>(receiver)->d_func();
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
    adapter->session->commandFinished(reply->error());
    // Only a response carries the controller's error code.
    const NivoraVexbusUsbUtils::Error controllerError = reply->error() == NivoraVexbusUsbReply::ErrorInterfaceError
            ? reply->controllerError() : NivoraVexbusUsbUtils::ErrorNoError;
    emit adapter->q_func()->commandFinished(static_cast<NivoraVexbusUsbUtils::Command>(reply->requestPacket().command()),
                                            reply->error(), controllerError);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::readFirmwareVersion()
{
    Q_D(NivoraVexbusUsbAdapter);
    // Answered from what the init procedure read: nothing goes to the
    // controller and nothing of the adapter changes.
    if (!d->available) {
        return NivoraVexbusUsbClientPrivate::get(d->client)->refuseRequest(NivoraVexbusUsbUtils::CommandGetFirmware, QByteArray(), NivoraVexbusUsbReply::ErrorNotAvailable,
                                                                            QStringLiteral("The adapter is not available, so no firmware version is known. Read it "
                                                                                           "again once the adapter is plugged in and initialised."));
    }
    const QVersionNumber version = QVersionNumber::fromString(d->firmwareVersion);
    QByteArray response;
    response.append(static_cast<char>(NivoraVexbusUsbUtils::CommandGetFirmware));
    response.append('\0'); // packet id
    response.append(static_cast<char>(NivoraVexbusUsbUtils::ErrorNoError));
    for (int i = 0; i < 3; ++i)
        response.append(static_cast<char>(version.segmentAt(i)));
    auto *reply = new NivoraVexbusUsbReply(NivoraVexbusUsbPacket(NivoraVexbusUsbUtils::CommandGetFirmware, 0, QByteArray()), this);
    // Later, as any reply, so that the caller can connect to finished() first.
    QTimer::singleShot(0, reply, [reply, response]() {
        NivoraVexbusUsbReplyPrivate::get(reply)->setFinished(NivoraVexbusUsbPacket(response));
        reply->deleteLater();
    });
    return reply;
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::requestFirmwareVersion()
{
    Q_D(NivoraVexbusUsbAdapter);
    static constexpr CommandOutcome outcome{"Read firmware version reply finished with error",
                                            "Read firmware version reply finished successfully.",
                                            &NivoraVexbusUsbAdapterPrivate::takeFirmwareVersionReply};
    qCDebug(dcVexbusUsb()) << "Reading firmware version from controller";
    return d->sendCommand(NivoraVexbusUsbUtils::CommandGetFirmware, QByteArray(), outcome);
}

void NivoraVexbusUsbAdapterPrivate::takeFirmwareVersionReply(NivoraVexbusUsbReply *reply)
{
    if (reply->error() == NivoraVexbusUsbReply::ErrorNoError)
        setFirmwareVersion(ControllerSession::firmwareVersion(reply->payload()));
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::resetController()
{
    Q_D(NivoraVexbusUsbAdapter);
    static constexpr CommandOutcome outcome{"Reset controller request finished with error",
                                            "Reset controller request finished successfully. The controller is resetting...",
                                            &NivoraVexbusUsbAdapterPrivate::takeResetReply};
    qCDebug(dcVexbusUsb()) << "Reset controller...";
    qCDebug(dcVexbusUsb()) << "Resetting controller";
    return d->sendCommand(NivoraVexbusUsbUtils::CommandSoftReset, QByteArray(), outcome);
}

void NivoraVexbusUsbAdapterPrivate::takeResetReply(NivoraVexbusUsbReply *reply)
{
    if (reply->error() == NivoraVexbusUsbReply::ErrorInterfaceError)
        qCWarning(dcVexbusUsb()) << "Interface error" << reply->controllerError();
    if (reply->error() != NivoraVexbusUsbReply::ErrorNoError)
        return;
    session->restartRequested();
    setState(NivoraVexbusUsbAdapter::StateUnconnected);
    setAvailable(false);
    setState(NivoraVexbusUsbAdapter::StateConnecting);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::writeDataToVexbus(const QByteArray &data)
{
    Q_D(NivoraVexbusUsbAdapter);
    static constexpr CommandOutcome outcome{"Write data to Vexbus reply finished with error", "Data sent successfully to Vexbus.",
                                            nullptr};
    const QByteArray frame = data.isNull() ? QByteArray::fromHex(testFrameHex) : data;
    // The length byte must describe the frame; a longer frame cannot be sent.
    if (frame.size() > maximumVexbusFrameSize) {
        const QString reason = QStringLiteral("The frame has %1 bytes, but at most %2 bytes fit in one write request; "
                                              "nothing was sent. Split the frame.").arg(frame.size()).arg(maximumVexbusFrameSize);
        qCWarning(dcVexbusUsb()) << "Cannot write data to Vexbus: the frame has" << frame.size()
                                 << "bytes, but at most" << maximumVexbusFrameSize << "bytes fit in one write request.";
        return d->sendCommand(NivoraVexbusUsbUtils::CommandWriteDataToVexbus, frame, outcome, reason);
    }

    qCDebug(dcVexbusUsb()) << "Write data to Vexbus:" << frame.toHex();
    qCDebug(dcVexbusUsb()) << "Sending data to Vexbus RS485:" << frame.toHex();
    // Built in place: QByteArray(1, size) + frame allocates twice.
    QByteArray payload(1 + frame.size(), Qt::Uninitialized);
    payload[0] = static_cast<char>(frame.size());
    std::memcpy(payload.data() + 1, frame.constData(), size_t(frame.size()));
    return d->sendCommand(NivoraVexbusUsbUtils::CommandWriteDataToVexbus, payload, outcome);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::pressIxoButton(IxoModuleButton button, uint milliSeconds)
{
    Q_D(NivoraVexbusUsbAdapter);
    qCDebug(dcVexbusUsb()) << "Press IXO module button" << button << "for" << milliSeconds << "ms";
    static constexpr CommandOutcome outcome{"Set IXO module buffer data reply finished with error",
                                            "Set IXO module buffer data reply finished successfully.", nullptr};
    return d->sendIxoModuleBuffer(0x80, button | 0x08, milliSeconds, outcome);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::pressRemoteServiceButton(RemoteServiceModuleButton button, uint milliSeconds)
{
    Q_D(NivoraVexbusUsbAdapter);
    qCDebug(dcVexbusUsb()) << "Press KVT remote service module button" << button << "for" << milliSeconds << "ms";
    // The controller takes this press through its IXO module buffer.
    static constexpr CommandOutcome outcome{"Press KVT remote service module button reply finished with error",
                                            "Press KVT remote service module button reply finished successfully.", nullptr};
    return d->sendIxoModuleBuffer(0x00, button, milliSeconds, outcome);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapterPrivate::sendIxoModuleBuffer(unsigned char mode, unsigned char button, uint milliSeconds,
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
    Q_D(NivoraVexbusUsbAdapter);
    qCDebug(dcVexbusUsb()) << "Press KVT app connector module button" << button << "for" << milliSeconds << "ms";
    const QByteArray payload = QByteArray(1, static_cast<char>(button)) + durationBytes(milliSeconds);
    qCDebug(dcVexbusUsb()) << "Sending press app connector module button request:" << payload.toHex();
    static constexpr CommandOutcome outcome{"Press KVT app connector module button reply finished with error",
                                            "Press KVT app connector module button reply finished successfully.", nullptr};
    return d->sendCommand(NivoraVexbusUsbUtils::CommandPressAppConnectorModuleButton, payload, outcome);
}

NivoraVexbusUsbReply *NivoraVexbusUsbAdapter::enableAppConnectorParameterHandling(bool enable)
{
    Q_D(NivoraVexbusUsbAdapter);
    const QByteArray payload(1, static_cast<char>(enable ? 0x01 : 0x00));
    qCDebug(dcVexbusUsb()) << "Set KVT app connector paramerter handling" << (enable ? "enabled" : "disabled");
    qCDebug(dcVexbusUsb()) << "Sending enable AppConnector parameter handling request:" << payload.toHex();
    static constexpr CommandOutcome outcome{"Set KVT app connector paramerter handling reply finished with error",
                                            "Set KVT app connector paramerter handling reply finished successfully.", nullptr};
    return d->sendCommand(NivoraVexbusUsbUtils::CommandEnableAppConnectorParameterHandling, payload, outcome);
}

// Firmware update

void NivoraVexbusUsbAdapter::startFirmwareUpdate(const QString &firmwareFile)
{
    Q_D(NivoraVexbusUsbAdapter);
    if (firmwareFile.isEmpty()) {
        d->updater->start(nullptr, true, d->updateLink());
        return;
    }
    // The file is read once, here; the update works on the parsed image.
    FirmwareData image;
    QString errorString;
    const FirmwareUpdate::Error error = FirmwareUpdate::loadImageFile(firmwareFile, &image, &errorString);
    if (error != FirmwareUpdate::ErrorNone) {
        d->updater->refuse(error, errorString);
        return;
    }
    d->updater->start(&image, true, d->updateLink());
}

NivoraVexbusUsbUpdateReply *NivoraVexbusUsbAdapter::updateFirmware(const FirmwareData &image)
{
    Q_D(NivoraVexbusUsbAdapter);
    return d->updater->start(&image, false, d->updateLink());
}

NivoraVexbusUsbUpdateReply *NivoraVexbusUsbAdapter::updateFirmware()
{
    Q_D(NivoraVexbusUsbAdapter);
    return d->updater->start(nullptr, false, d->updateLink());
}

NivoraVexbusUsbFirmwareUpdater::Link NivoraVexbusUsbAdapterPrivate::updateLink() const
{
    return {available, portName, baudrate};
}

// Controller status

void NivoraVexbusUsbAdapterPrivate::onControllerStatusReceived(const QByteArray &payload, bool notified)
{
    // Bytes missing from a short payload read as 0.
    QDataStream stream(payload);
    quint8 ledMode = 0;
    quint8 statusFlags = 0;
    quint8 vexbusType = 0;
    stream >> ledMode >> statusFlags >> vexbusType;

    setLedMode(static_cast<NivoraVexbusUsbUtils::LedMode>(ledMode));
    setVexbusType(static_cast<NivoraVexbusUsbUtils::VexbusType>(vexbusType));
    if (statusFlags != this->statusFlags) {
        this->statusFlags = statusFlags;
        setVexbusSynchronized(statusFlags & NivoraVexbusUsbUtils::VexbusStatusSynchronized);
        setVexbusInitialized(statusFlags & NivoraVexbusUsbUtils::VexbusStatusInitialized);
        setVexbusAvailable(statusFlags & NivoraVexbusUsbUtils::VexbusStatusAvailable);
    }

    qCDebug(dcVexbusUsb()) << (notified ? "Controller status changed: LED mode:" : "Controller status received: LED mode:") << this->ledMode
                           << ", Vexbus sync:" << vexbusSynchronized << ", Vexbus initialized:" << vexbusInitialized
                           << ", Vexbus available:" << vexbusAvailable << ", Vexbus type:" << this->vexbusType;
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
