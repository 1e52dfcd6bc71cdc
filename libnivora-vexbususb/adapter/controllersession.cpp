// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adapter/controllersession.h"
#include "adapter/nivoravexbususbadapter.h"
#include "bootloader/bootloaderprobe.h"
#include "devicewatcher/nivoravexbususbportlocation.h"
#include "link/nivoravexbususbclient.h"
#include "link/nivoravexbususbinterface.h"
#include "logging/nivoravexbususblogging.h"

#include <QDataStream>

namespace NivoraVexbusUsb {

ControllerSession::ControllerSession(NivoraVexbusUsbInterface *interface, NivoraVexbusUsbClient *client, QObject *parent) :
    QObject(parent),
    m_interface(interface),
    m_client(client),
    m_unavailableReason(NivoraVexbusUsbAdapter::UnavailableReasonNotConnected)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &ControllerSession::onRetryTimerTimeout);
    m_bootloaderProbe = new BootloaderProbe(this);
    connect(m_bootloaderProbe, &BootloaderProbe::finished, this, &ControllerSession::onBootloaderProbeFinished);
}

void ControllerSession::begin()
{
    m_retryTimer.stop();
    m_active = true;
    m_initialized = false;
    m_consecutiveTimeouts = 0;
    updateUnavailableReason();
    emit initStarted();
    m_initAttempts = 0;
    runInitProcedure();
}

void ControllerSession::portClosed()
{
    m_initAttempts = 0;
    if (m_reconnecting)
        return;
    forgetController();
}

void ControllerSession::stop()
{
    m_enableAfterProbe = false;
    forgetController();
}

void ControllerSession::forgetController()
{
    m_bootloaderProbed = false;
    m_retryTimer.stop();
    m_failedRounds = 0;
    m_active = false;
    m_initialized = false;
    m_lost = false;
    setControllerInBootloader(false);
    updateUnavailableReason();
}

void ControllerSession::restartRequested()
{
    m_initialized = false;
    m_consecutiveTimeouts = 0;
    updateUnavailableReason();
}

void ControllerSession::commandFinished(int replyError)
{
    // Commands that were under way when the controller was lost, or that
    // went out before the init finished, tell nothing new.
    if (!m_initialized)
        return;

    switch (replyError) {
    case NivoraVexbusUsbReply::ErrorTimeout:
        m_consecutiveTimeouts += 1;
        if (m_consecutiveTimeoutLimit > 0 && m_consecutiveTimeouts >= m_consecutiveTimeoutLimit)
            loseController();
        break;
    case NivoraVexbusUsbReply::ErrorNoError:
    case NivoraVexbusUsbReply::ErrorInterfaceError:
        // A refusal is an answer too.
        m_consecutiveTimeouts = 0;
        break;
    default:
        break;
    }
}

void ControllerSession::loseController()
{
    qCWarning(dcVexbusUsb()) << "The controller did not answer" << m_consecutiveTimeouts
                             << "commands in a row. Reporting it lost and initializing it again.";
    m_consecutiveTimeouts = 0;
    m_lost = true;
    m_initialized = false;
    // A controller that restarted into its bootloader without leaving the
    // bus says so only to the bootloader's protocol: ask again.
    m_bootloaderProbed = false;
    m_failedRounds = 0;
    updateUnavailableReason();
    emit controllerLost();
    // Whatever still waits would only time out after the controller was
    // given up: each ends now, with ErrorAborted.
    m_client->abortRequests();
    begin();
}

int ControllerSession::unavailableReason() const
{
    return m_unavailableReason;
}

int ControllerSession::consecutiveTimeoutLimit() const
{
    return m_consecutiveTimeoutLimit;
}

void ControllerSession::setConsecutiveTimeoutLimit(int limit)
{
    if (limit < 0) {
        qCWarning(dcVexbusUsb()) << "Ignoring the consecutive time-out limit of" << limit
                                 << ": it counts time-outs, 0 turns the watch off.";
        return;
    }
    if (m_consecutiveTimeoutLimit == limit)
        return;

    qCDebug(dcVexbusUsb()) << "The controller is reported lost after" << limit << "command time-outs in a row (0: never).";
    m_consecutiveTimeoutLimit = limit;
    emit consecutiveTimeoutLimitChanged(m_consecutiveTimeoutLimit);
}

void ControllerSession::setInitialized(bool initialized)
{
    m_initialized = initialized;
    if (initialized) {
        m_lost = false;
        m_failedRounds = 0;
        m_consecutiveTimeouts = 0;
    }
    updateUnavailableReason();
}

void ControllerSession::updateUnavailableReason()
{
    int reason = NivoraVexbusUsbAdapter::UnavailableReasonInitializing;
    if (!m_active)
        reason = NivoraVexbusUsbAdapter::UnavailableReasonNotConnected;
    else if (m_initialized)
        reason = NivoraVexbusUsbAdapter::UnavailableReasonNone;
    else if (m_controllerInBootloader)
        reason = NivoraVexbusUsbAdapter::UnavailableReasonControllerInBootloader;
    else if (m_lost)
        reason = NivoraVexbusUsbAdapter::UnavailableReasonControllerNotResponding;

    if (m_unavailableReason == reason)
        return;

    qCDebug(dcVexbusUsb()) << "Unavailable reason:" << static_cast<NivoraVexbusUsbAdapter::UnavailableReason>(reason);
    m_unavailableReason = reason;
    emit unavailableReasonChanged(m_unavailableReason);
}

void ControllerSession::setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder)
{
    m_bootloaderProbe->setTrafficRecorder(recorder);
}

bool ControllerSession::controllerInBootloader() const
{
    return m_controllerInBootloader;
}

QString ControllerSession::firmwareVersion(const QByteArray &payload)
{
    QDataStream stream(payload);
    quint8 major = 0;
    quint8 minor = 0;
    quint8 patch = 0;
    stream >> major >> minor >> patch;
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch);
}

void ControllerSession::runInitProcedure()
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

    qCDebug(dcVexbusUsb()) << "Reading firmware version from controller";
    m_initReply = m_client->sendRequest(NivoraVexbusUsbUtils::CommandGetFirmware);
    NivoraVexbusUsbReply *reply = m_initReply;
    connect(reply, &NivoraVexbusUsbReply::finished, this, [this, reply]() { onInitFirmwareVersionFinished(reply); });
}

void ControllerSession::onInitFirmwareVersionFinished(NivoraVexbusUsbReply *reply)
{
    m_initReply = nullptr;
    switch (reply->error()) {
    case NivoraVexbusUsbReply::ErrorNoError: {
        const QString version = firmwareVersion(reply->payload());
        emit firmwareVersionRead(version);
        qCDebug(dcVexbusUsb()) << "Nivora Vexbus USB adapter firmware version:" << version;
        m_initAttempts = 0;
        qCDebug(dcVexbusUsb()) << "Getting controller status";
        NivoraVexbusUsbReply *statusReply = m_client->sendRequest(NivoraVexbusUsbUtils::CommandGetControllerStatus);
        connect(statusReply, &NivoraVexbusUsbReply::finished, this,
                [this, statusReply]() { onInitControllerStatusFinished(statusReply); });
        break;
    }
    case NivoraVexbusUsbReply::ErrorInterfaceError:
        qCWarning(dcVexbusUsb()) << "Interface error" << reply->controllerError();
        verifyInitProcedureRetry();
        break;
    case NivoraVexbusUsbReply::ErrorAborted:
        qCDebug(dcVexbusUsb()) << "The init reply has been aborted. Re-initiate init procedure.";
        m_initAttempts = 0;
        verifyInitProcedureRetry();
        break;
    default:
        qCWarning(dcVexbusUsb()) << "Read initial firmware reply finished with error" << reply->error();
        verifyInitProcedureRetry();
        break;
    }
}

void ControllerSession::onInitControllerStatusFinished(NivoraVexbusUsbReply *reply)
{
    if (reply->error() != NivoraVexbusUsbReply::ErrorNoError) {
        qCWarning(dcVexbusUsb()) << "Get conroller status reply finished with error" << reply->error();
        if (reply->error() == NivoraVexbusUsbReply::ErrorInterfaceError)
            qCWarning(dcVexbusUsb()) << "Interface error" << reply->controllerError();
        verifyInitProcedureRetry();
        return;
    }

    emit statusReceived(reply->payload(), false);
    m_initAttempts = 0;
    setInitialized(true);
    setControllerInBootloader(false);
    emit initialized();
}

void ControllerSession::verifyInitProcedureRetry()
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
    m_lost = true;
    updateUnavailableReason();
    // The first round after a connection or a loss reconnects at once;
    // each further one waits twice as long as the one before.
    const int delay = m_failedRounds == 0 ? 0 : qMin(maximumRetryDelay, 1000 << qMin(m_failedRounds - 1, 5));
    m_failedRounds += 1;
    if (delay == 0) {
        reconnectAfterFailedInit();
        return;
    }
    qCDebug(dcVexbusUsb()) << "Reconnecting the interface in" << delay << "ms";
    m_retryTimer.start(delay);
}

void ControllerSession::onRetryTimerTimeout()
{
    if (!m_interface->connected())
        return;
    reconnectAfterFailedInit();
}

void ControllerSession::reconnectAfterFailedInit()
{
    m_reconnecting = true;
    if (m_bootloaderProbed) {
        m_interface->reconnectInterface();
    } else {
        // Once per connection: the probe needs the port to itself, and the
        // interface takes it again when the probe is done.
        const QString systemLocation = NivoraVexbusUsbPortLocation::ofOpenPort(m_interface->serialPort()).systemLocation();
        m_bootloaderProbed = true;
        m_enableAfterProbe = true;
        m_interface->disable();
        m_bootloaderProbe->start(systemLocation, m_interface->baudrate());
    }
    m_reconnecting = false;
}

void ControllerSession::onBootloaderProbeFinished(bool bootloaderAnswered)
{
    // stop() or an update took the port while the probe held it.
    if (!m_enableAfterProbe)
        return;
    m_enableAfterProbe = false;

    setControllerInBootloader(bootloaderAnswered);
    if (bootloaderAnswered) {
        qCWarning(dcVexbusUsb()) << "The controller waits in its bootloader, as after an interrupted firmware update."
                                 << "Update its firmware, from an image file or from the release service, to start it again.";
    } else {
        qCDebug(dcVexbusUsb()) << "No bootloader answered either.";
    }
    m_interface->enable();
}

void ControllerSession::setControllerInBootloader(bool controllerInBootloader)
{
    if (m_controllerInBootloader == controllerInBootloader)
        return;

    qCDebug(dcVexbusUsb()) << "Controller in its bootloader:" << controllerInBootloader;
    m_controllerInBootloader = controllerInBootloader;
    updateUnavailableReason();
    emit controllerInBootloaderChanged(m_controllerInBootloader);
}

void ControllerSession::setFrameHook(QObject *receiver, FrameHook hook)
{
    m_frameHookReceiver = hook ? receiver : nullptr;
    m_frameHook = hook;
}

void ControllerSession::onPacketReceived(const NivoraVexbusUsbPacket &packet)
{
    // Responses are the client's.
    if (packet.type() != NivoraVexbusUsbPacket::TypeNotification)
        return;

    const auto code = static_cast<NivoraVexbusUsbUtils::Notitifaction>(packet.command());
    qCDebug(dcVexbusUsbTraffic()) << "Received controller notification" << code;

    switch (code) {
    case NivoraVexbusUsbUtils::NotificationControllerReady:
        qCDebug(dcVexbusUsb()) << "Controller ready notification received. Start initializing controller data...";
        emit controllerReady();
        if (!m_initReply) {
            begin();
        } else {
            qCDebug(dcVexbusUsb()) << "The controler is ready while we where initializing. Abort the current init attempt and re-initiate the init procedure.";
            m_initReply->abort();
        }
        break;
    case NivoraVexbusUsbUtils::NotificationControllerStatusChanged:
        emit statusReceived(packet.payload(), true);
        break;
    case NivoraVexbusUsbUtils::NotificationVexbusData:
        qCDebug(dcVexbusUsbTraffic()) << "Vexbus data received:" << packet.payload().toHex();
        if (m_frameHook)
            m_frameHook(m_frameHookReceiver, packet.payload());
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

} // namespace NivoraVexbusUsb
