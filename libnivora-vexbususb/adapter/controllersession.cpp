// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adapter/controllersession.h"
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
    m_client(client)
{
    connect(m_interface, &NivoraVexbusUsbInterface::packetReceived, this, &ControllerSession::onPacketReceived);
    m_bootloaderProbe = new BootloaderProbe(this);
    connect(m_bootloaderProbe, &BootloaderProbe::finished, this, &ControllerSession::onBootloaderProbeFinished);
}

void ControllerSession::begin()
{
    emit initStarted();
    m_initAttempts = 0;
    runInitProcedure();
}

void ControllerSession::portClosed()
{
    m_initAttempts = 0;
    if (m_reconnecting)
        return;
    m_bootloaderProbed = false;
    setControllerInBootloader(false);
}

void ControllerSession::stop()
{
    m_enableAfterProbe = false;
    m_bootloaderProbed = false;
    setControllerInBootloader(false);
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
    emit controllerInBootloaderChanged(m_controllerInBootloader);
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

} // namespace NivoraVexbusUsb
