// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "vexbusemulator.h"
#include "bootloaderpacket.h"
#include "controllerpacket.h"
#include "slipcodec.h"
#include "ttylink.h"

#include <utility>

namespace NivoraVexbusUsbEmulator {

// Longest gap between two ticks of the traffic generator; high rates send
// several frames a tick, computed from the clock, so the rate stays exact.
static constexpr int kMaximumTrafficIntervalMs = 100;
// A bootloader packet arrives in one burst; after this much silence a
// partial packet is given up, as the PSoC's packet time-out does, so that
// stray bytes cannot swallow the next command.
static constexpr qint64 kBootloaderPacketGapMs = 50;

VexbusEmulator::VexbusEmulator(QObject *parent)
    : QObject(parent), m_link(new TtyLink(this))
{
    qRegisterMetaType<RecordedRequest>();
    qRegisterMetaType<VexbusEmulator::Mode>();
    m_clock.start();
    m_rebootTimer.setSingleShot(true);
    connect(&m_rebootTimer, &QTimer::timeout, this, &VexbusEmulator::onRebootTimeout);
    connect(&m_trafficTimer, &QTimer::timeout, this, &VexbusEmulator::onTrafficTimeout);
    connect(m_link, &TtyLink::bytesReceived, this, &VexbusEmulator::onLinkBytesReceived);
    connect(m_link, &TtyLink::hungUp, this, &VexbusEmulator::onLinkHungUp);
}

VexbusEmulator::~VexbusEmulator() = default;

bool VexbusEmulator::attach(int fd)
{
    resetReceivers();
    return m_link->attach(fd);
}

void VexbusEmulator::detach()
{
    m_link->detach();
    resetReceivers();
}

bool VexbusEmulator::isAttached() const
{
    return m_link->isAttached();
}

bool VexbusEmulator::linePacing() const
{
    return m_link->linePacing();
}

void VexbusEmulator::setLinePacing(bool enabled)
{
    m_link->setLinePacing(enabled);
}

int VexbusEmulator::baudRate() const
{
    return m_link->baudRate();
}

void VexbusEmulator::setBaudRate(int baudRate)
{
    m_link->setBaudRate(baudRate);
}

int VexbusEmulator::latencyTimer() const
{
    return m_link->latencyTimer();
}

void VexbusEmulator::setLatencyTimer(int ms)
{
    m_link->setLatencyTimer(ms);
}

void VexbusEmulator::setMode(Mode mode)
{
    m_rebootTimer.stop();
    resetReceivers();
    m_bootloader.restart();
    changeMode(mode);
}

void VexbusEmulator::changeMode(Mode mode)
{
    if (m_mode == mode)
        return;
    m_mode = mode;
    Q_EMIT modeChanged(mode);
}

void VexbusEmulator::setStatus(const ControllerStatus &status, bool notify)
{
    if (m_status == status)
        return;
    m_status = status;
    if (notify)
        sendStatusChanged();
}

void VexbusEmulator::setLedMode(quint8 ledMode, bool notify)
{
    ControllerStatus status = m_status;
    status.setLedMode(ledMode);
    setStatus(status, notify);
}

void VexbusEmulator::setStatusFlags(quint8 statusFlags, bool notify)
{
    ControllerStatus status = m_status;
    status.setStatusFlags(statusFlags);
    setStatus(status, notify);
}

void VexbusEmulator::setBusType(quint8 busType, bool notify)
{
    ControllerStatus status = m_status;
    status.setBusType(busType);
    setStatus(status, notify);
}

bool VexbusEmulator::sendNotification(quint8 code, const QByteArray &payload)
{
    if (m_mode != ModeController || isRebooting() || m_silent || !isAttached())
        return false;
    m_link->write(SlipCodec::encodeFrame(ControllerPacket::notification(code, m_notificationId++, payload)));
    return true;
}

bool VexbusEmulator::sendControllerReady()
{
    return sendNotification(ControllerPacket::NotificationControllerReady);
}

bool VexbusEmulator::sendStatusChanged()
{
    return sendNotification(ControllerPacket::NotificationControllerStatusChanged, m_status.toPayload());
}

bool VexbusEmulator::sendBusData(const QByteArray &frame)
{
    return sendNotification(ControllerPacket::NotificationVexbusData, frame);
}

bool VexbusEmulator::sendErrorNotification(quint8 error)
{
    return sendNotification(ControllerPacket::NotificationErrorOccurred, QByteArray(1, static_cast<char>(error)));
}

bool VexbusEmulator::sendDebugMessage(const QByteArray &text)
{
    return sendNotification(ControllerPacket::NotificationDebugMessage, text);
}

void VexbusEmulator::startBusTraffic(double framesPerSecond, const QByteArray &frame)
{
    stopBusTraffic();
    if (framesPerSecond <= 0)
        return;
    m_trafficRate = framesPerSecond;
    m_trafficFrame = frame;
    m_trafficSent = 0;
    m_trafficClock.start();
    m_trafficTimer.start(qBound(1, int(1000.0 / framesPerSecond), kMaximumTrafficIntervalMs));
    onTrafficTimeout();
}

void VexbusEmulator::stopBusTraffic()
{
    m_trafficTimer.stop();
}

void VexbusEmulator::onTrafficTimeout()
{
    // The first frame goes at once, frame n at n / rate seconds.
    const qint64 due = qint64(double(m_trafficClock.elapsed()) * m_trafficRate / 1000.0) + 1;
    while (m_trafficSent < due) {
        QByteArray frame = m_trafficFrame;
        if (frame.isEmpty()) {
            frame.append(static_cast<char>((m_trafficSent >> 8) & 0xFF));
            frame.append(static_cast<char>(m_trafficSent & 0xFF));
        }
        sendBusData(frame);
        ++m_trafficSent;
    }
}

QList<RecordedRequest> VexbusEmulator::requests(RecordedRequest::Protocol protocol, quint8 command) const
{
    QList<RecordedRequest> matching;
    for (const RecordedRequest &request : m_requests) {
        if (request.protocol() == protocol && request.command() == command)
            matching.append(request);
    }
    return matching;
}

void VexbusEmulator::setCommandError(Mode mode, quint8 command, quint8 code)
{
    m_commandErrors.insert(commandKey(mode, command), code);
}

void VexbusEmulator::clearCommandError(Mode mode, quint8 command)
{
    m_commandErrors.remove(commandKey(mode, command));
}

void VexbusEmulator::vanishOnCommand(Mode mode, quint8 command, int occurrence)
{
    m_vanishArmed = true;
    m_vanishMode = mode;
    m_vanishCommand = command;
    m_vanishCountdown = qMax(1, occurrence);
}

void VexbusEmulator::vanish()
{
    m_vanishArmed = false;
    stopBusTraffic();
    detach();
    Q_EMIT vanished();
}

void VexbusEmulator::onLinkBytesReceived(const QByteArray &bytes)
{
    if (isRebooting())
        return;
    if (m_mode == ModeController) {
        const QList<QByteArray> packets = m_slip.feed(bytes);
        for (const QByteArray &packet : packets) {
            // A packet may start a reboot or make the emulator vanish; what
            // follows it in the same read is then not heard.
            if (isRebooting() || !isAttached())
                return;
            handleControllerPacket(packet);
        }
    } else {
        if (elapsed() - m_lastBootloaderBytesAt > kBootloaderPacketGapMs)
            m_bootloaderParser.reset();
        m_lastBootloaderBytesAt = elapsed();
        m_bootloaderParser.setChecksumType(m_bootloader.checksumType());
        const QList<BootloaderPacketParser::Packet> packets = m_bootloaderParser.feed(bytes);
        for (const BootloaderPacketParser::Packet &packet : packets) {
            if (isRebooting() || !isAttached())
                return;
            handleBootloaderPacket(packet);
        }
    }
}

void VexbusEmulator::onLinkHungUp()
{
    // Whatever half a frame was on the line when it closed, a reopened line starts afresh.
    resetReceivers();
    Q_EMIT lineHungUp();
}

void VexbusEmulator::resetReceivers()
{
    m_slip.reset();
    m_bootloaderParser.reset();
}

void VexbusEmulator::record(RecordedRequest::Protocol protocol, quint8 command, quint8 packetId,
                            const QByteArray &payload)
{
    const RecordedRequest request(protocol, command, packetId, payload, elapsed());
    m_requests.append(request);
    Q_EMIT requestReceived(request);
}

bool VexbusEmulator::takeVanish(Mode mode, quint8 command)
{
    if (!m_vanishArmed || mode != m_vanishMode || command != m_vanishCommand)
        return false;
    if (--m_vanishCountdown > 0)
        return false;
    vanish();
    return true;
}

void VexbusEmulator::handleControllerPacket(const QByteArray &packet)
{
    const quint8 command = static_cast<quint8>(packet.at(0));
    const quint8 packetId = static_cast<quint8>(packet.at(1));
    const QByteArray payload = packet.mid(2);
    record(RecordedRequest::ProtocolController, command, packetId, payload);
    QByteArray responsePayload;
    const quint8 error = executeControllerCommand(command, payload, &responsePayload);
    if (takeVanish(ModeController, command))
        return;
    sendControllerResponse(ControllerPacket::response(command, packetId, error, responsePayload));
}

quint8 VexbusEmulator::executeControllerCommand(quint8 command, const QByteArray &payload,
                                                QByteArray *responsePayload)
{
    const auto injected = m_commandErrors.constFind(commandKey(ModeController, command));
    if (injected != m_commandErrors.constEnd())
        return injected.value();
    const ControllerPacket::Error error = ControllerPacket::validateRequest(command, payload);
    if (error != ControllerPacket::ErrorNoError)
        return error;
    switch (command) {
    case ControllerPacket::CommandGetFirmware:
        for (int i = 0; i < 3; ++i)
            responsePayload->append(static_cast<char>(m_firmwareVersion.segmentAt(i)));
        break;
    case ControllerPacket::CommandGetControllerStatus:
        *responsePayload = m_status.toPayload();
        break;
    case ControllerPacket::CommandSoftReset:
        reboot(ModeController, m_resetTime);
        break;
    case ControllerPacket::CommandStartBootloader:
        reboot(ModeBootloader, m_bootloaderStartTime);
        break;
    default:
        // Button presses, parameter handling and bus writes are acknowledged
        // and recorded; their effect on the bus is not emulated.
        break;
    }
    return ControllerPacket::ErrorNoError;
}

void VexbusEmulator::handleBootloaderPacket(const BootloaderPacketParser::Packet &packet)
{
    if (packet.result == BootloaderPacketParser::ResultOk)
        record(RecordedRequest::ProtocolBootloader, packet.command, 0, packet.data);
    const BootloaderEmulation::Reply reply = executeBootloaderCommand(packet);
    if (packet.result == BootloaderPacketParser::ResultOk && takeVanish(ModeBootloader, packet.command))
        return;
    if (reply.respond)
        sendBootloaderResponse(reply.status, reply.payload);
    if (reply.exitRequested)
        exitBootloader();
}

BootloaderEmulation::Reply VexbusEmulator::executeBootloaderCommand(const BootloaderPacketParser::Packet &packet)
{
    BootloaderEmulation::Reply reply;
    if (packet.result != BootloaderPacketParser::ResultOk) {
        ++m_bootloaderPacketErrors;
        reply.status = packet.result == BootloaderPacketParser::ResultChecksumError
                ? BootloaderPacket::StatusChecksum
                : BootloaderPacket::StatusInvalidLength;
        return reply;
    }
    const auto injected = m_commandErrors.constFind(commandKey(ModeBootloader, packet.command));
    if (injected != m_commandErrors.constEnd()) {
        reply.status = injected.value();
        return reply;
    }
    return m_bootloader.execute(packet.command, packet.data);
}

void VexbusEmulator::exitBootloader()
{
    if (m_stayInBootloader) {
        reboot(ModeBootloader, m_resetTime);
        return;
    }
    // Only an application that verifies brings a new version along; without
    // one the old application keeps running.
    if (m_bootloader.validateApplication() && !m_firmwareVersionAfterUpdate.isNull())
        m_firmwareVersion = m_firmwareVersionAfterUpdate;
    reboot(ModeController, m_resetTime);
}

bool VexbusEmulator::takeResponseSlot()
{
    if (m_silent)
        return false;
    if (m_responsesToDrop > 0) {
        --m_responsesToDrop;
        return false;
    }
    return true;
}

void VexbusEmulator::sendControllerResponse(const QByteArray &packet)
{
    if (!takeResponseSlot())
        return;
    const quint8 checksum = SlipCodec::checksum(packet);
    const bool corrupt = std::exchange(m_corruptNextResponse, false);
    transmitResponse(SlipCodec::encodeFrame(packet, corrupt ? quint8(checksum ^ 0xFF) : checksum));
}

void VexbusEmulator::sendBootloaderResponse(quint8 status, const QByteArray &payload)
{
    if (!takeResponseSlot())
        return;
    QByteArray bytes = BootloaderPacket::build(status, payload, m_bootloader.checksumType() == BootloaderPacket::ChecksumCrc
                                                                    ? BootloaderPacket::ChecksumCrc
                                                                    : BootloaderPacket::ChecksumSum);
    if (std::exchange(m_corruptNextResponse, false)) {
        // Flip the checksum's low byte, which sits before its high byte and the end byte.
        bytes[bytes.size() - 3] = static_cast<char>(bytes.at(bytes.size() - 3) ^ 0xFF);
    }
    transmitResponse(bytes);
}

void VexbusEmulator::transmitResponse(const QByteArray &bytes)
{
    if (m_responseDelay <= 0) {
        m_link->write(bytes);
        return;
    }
    QTimer::singleShot(m_responseDelay, m_link, [link = m_link, bytes]() { link->write(bytes); });
}

void VexbusEmulator::reboot(Mode target, int ms)
{
    m_rebootTarget = target;
    resetReceivers();
    m_rebootTimer.start(qMax(0, ms));
}

void VexbusEmulator::onRebootTimeout()
{
    resetReceivers();
    m_bootloader.restart();
    changeMode(m_rebootTarget);
    Q_EMIT booted(m_mode);
    if (m_mode == ModeController && m_readyOnBoot)
        sendControllerReady();
}

} // namespace NivoraVexbusUsbEmulator
