// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_VEXBUSEMULATOR_H
#define NIVORAVEXBUSUSBEMULATOR_VEXBUSEMULATOR_H

#include "bootloaderemulation.h"
#include "bootloaderpacketparser.h"
#include "controllerstatus.h"
#include "recordedrequest.h"
#include "slipdecoder.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QVersionNumber>

namespace NivoraVexbusUsbEmulator {

class TtyLink;

// The controller of the Nivora Vexbus USB adapter and its PSoC bootloader,
// emulated at the far end of a tty: it answers the adapter protocol in
// controller mode and the bootloader protocol in bootloader mode, reboots
// between them as the real device does, records what it receives, and can
// be told to misbehave in the ways the library must survive.
class VexbusEmulator : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Mode mode READ mode NOTIFY modeChanged)
public:
    enum Mode { ModeController, ModeBootloader };
    Q_ENUM(Mode)

    explicit VexbusEmulator(QObject *parent = nullptr);
    ~VexbusEmulator() override;

    // The line. attach() takes the far end of a tty (a PTY master) without
    // owning it; the other side may close and reopen the tty at will.
    bool attach(int fd);
    void detach();
    bool isAttached() const;
    // The line model (see TtyLink): line pacing makes both directions take
    // ten bit times a byte at the baud rate (86.8 us at 115200 8N1), off by
    // default; the latency timer (ms, 0 = off) holds bytes for the host as
    // the adapter's FTDI chip does.
    bool linePacing() const;
    void setLinePacing(bool enabled);
    int baudRate() const;
    void setBaudRate(int baudRate);
    int latencyTimer() const;
    void setLatencyTimer(int ms);

    // Mode. setMode() switches at once, without reboot time or notification
    // (for a device that is found already in its bootloader).
    Mode mode() const { return m_mode; }
    void setMode(Mode mode);
    // True between a reset, bootloader start or exit and the end of the
    // reboot time; a rebooting device neither hears nor says anything.
    bool isRebooting() const { return m_rebootTimer.isActive(); }

    // Controller configuration.
    QVersionNumber firmwareVersion() const { return m_firmwareVersion; }
    void setFirmwareVersion(const QVersionNumber &version) { m_firmwareVersion = version; }
    // Version the controller reports after a bootloader session that left a
    // valid application; a null version keeps the old one.
    QVersionNumber firmwareVersionAfterUpdate() const { return m_firmwareVersionAfterUpdate; }
    void setFirmwareVersionAfterUpdate(const QVersionNumber &version) { m_firmwareVersionAfterUpdate = version; }
    ControllerStatus status() const { return m_status; }
    // A changed status is announced with a status-changed notification when notify is set.
    void setStatus(const ControllerStatus &status, bool notify = true);
    void setLedMode(quint8 ledMode, bool notify = true);
    void setStatusFlags(quint8 statusFlags, bool notify = true);
    void setBusType(quint8 busType, bool notify = true);
    // Reboot time of a soft reset and of the exit from the bootloader, in ms
    // (default 500: longer than the 200 ms a host waits after its exit
    // command, so the ready notification does not race the host's hand-back).
    int resetTime() const { return m_resetTime; }
    void setResetTime(int ms) { m_resetTime = ms; }
    // Time from the start-bootloader acknowledgement to bootloader mode, in ms (default 200).
    int bootloaderStartTime() const { return m_bootloaderStartTime; }
    void setBootloaderStartTime(int ms) { m_bootloaderStartTime = ms; }
    // Whether every boot into controller mode sends the controller-ready notification (default true).
    bool readyOnBoot() const { return m_readyOnBoot; }
    void setReadyOnBoot(bool enabled) { m_readyOnBoot = enabled; }

    // Notifications, sent only in controller mode while not rebooting and
    // not silent; each returns whether it was sent.
    bool sendNotification(quint8 code, const QByteArray &payload = QByteArray());
    bool sendControllerReady();
    bool sendStatusChanged();
    bool sendBusData(const QByteArray &frame);
    bool sendErrorNotification(quint8 error);
    bool sendDebugMessage(const QByteArray &text);
    // Bus-data notifications at the given rate. An empty frame makes the
    // generator send its running number as two big-endian bytes.
    void startBusTraffic(double framesPerSecond, const QByteArray &frame = QByteArray());
    void stopBusTraffic();
    bool isBusTrafficActive() const { return m_trafficTimer.isActive(); }
    qint64 busTrafficFramesSent() const { return m_trafficSent; }

    // The bootloader: identity, flash (to preload or to read back after an
    // update), wrong verify-row fault.
    BootloaderEmulation &bootloader() { return m_bootloader; }
    const BootloaderEmulation &bootloader() const { return m_bootloader; }
    const SimulatedFlash &flash() const { return m_bootloader.flash(); }

    // What was received. Time stamps are elapsed() values.
    QList<RecordedRequest> requests() const { return m_requests; }
    QList<RecordedRequest> requests(RecordedRequest::Protocol protocol, quint8 command) const;
    void clearRequests() { m_requests.clear(); }
    qint64 elapsed() const { return m_clock.elapsed(); }
    // Adapter frames dropped for a bad checksum, a bad escape or too few bytes.
    int droppedFrameCount() const { return m_slip.droppedFrames(); }
    int checksumErrorCount() const { return m_slip.checksumErrors(); }
    int escapeErrorCount() const { return m_slip.escapeErrors(); }
    // Bootloader packets answered with a length or checksum error.
    int bootloaderPacketErrorCount() const { return m_bootloaderPacketErrors; }

    // Faults.
    // Answers nothing and sends no notification while set.
    bool isSilent() const { return m_silent; }
    void setSilent(bool silent) { m_silent = silent; }
    // The next count responses are not sent (the requests still take effect).
    void dropResponses(int count) { m_responsesToDrop = count; }
    // The next response goes out with a wrong checksum.
    void corruptNextResponse() { m_corruptNextResponse = true; }
    // The command is not executed but answered with the code (an adapter
    // error in controller mode, a bootloader status in bootloader mode).
    void setCommandError(Mode mode, quint8 command, quint8 code);
    void clearCommandError(Mode mode, quint8 command);
    void clearCommandErrors() { m_commandErrors.clear(); }
    // Delay of every response, in ms (0: answer at once).
    int responseDelay() const { return m_responseDelay; }
    void setResponseDelay(int ms) { m_responseDelay = ms; }
    // Exit from the bootloader reboots into the bootloader again.
    void setStayInBootloaderAfterExit(bool stay) { m_stayInBootloader = stay; }
    // On the occurrence-th receipt of the command in the mode, the command
    // takes effect but is not answered: the emulator vanishes instead
    // (e.g. ModeBootloader, program row, 5: gone after writing the fifth row).
    void vanishOnCommand(Mode mode, quint8 command, int occurrence = 1);
    void cancelVanish() { m_vanishArmed = false; }
    // Detaches from the line now and emits vanished(), whose receiver (the
    // test platform) closes the PTY master so that the tty hangs up.
    void vanish();

Q_SIGNALS:
    void modeChanged(NivoraVexbusUsbEmulator::VexbusEmulator::Mode mode);
    // End of a reboot, with the mode the device came up in.
    void booted(NivoraVexbusUsbEmulator::VexbusEmulator::Mode mode);
    void requestReceived(const NivoraVexbusUsbEmulator::RecordedRequest &request);
    void vanished();
    // The other side closed the tty.
    void lineHungUp();

private:
    void onLinkBytesReceived(const QByteArray &bytes);
    void onLinkHungUp();
    void onRebootTimeout();
    void onTrafficTimeout();

    void handleControllerPacket(const QByteArray &packet);
    quint8 executeControllerCommand(quint8 command, const QByteArray &payload, QByteArray *responsePayload);
    void handleBootloaderPacket(const BootloaderPacketParser::Packet &packet);
    BootloaderEmulation::Reply executeBootloaderCommand(const BootloaderPacketParser::Packet &packet);
    void exitBootloader();
    void record(RecordedRequest::Protocol protocol, quint8 command, quint8 packetId, const QByteArray &payload);
    bool takeVanish(Mode mode, quint8 command);
    bool takeResponseSlot();
    void sendControllerResponse(const QByteArray &packet);
    void sendBootloaderResponse(quint8 status, const QByteArray &payload);
    void transmitResponse(const QByteArray &bytes);
    void reboot(Mode target, int ms);
    void resetReceivers();
    void changeMode(Mode mode);
    static int commandKey(Mode mode, quint8 command) { return (int(mode) << 8) | command; }

    TtyLink *m_link = nullptr;
    Mode m_mode = ModeController;
    Mode m_rebootTarget = ModeController;
    QTimer m_rebootTimer;
    QElapsedTimer m_clock;

    SlipDecoder m_slip;
    BootloaderPacketParser m_bootloaderParser;
    BootloaderEmulation m_bootloader;
    int m_bootloaderPacketErrors = 0;
    qint64 m_lastBootloaderBytesAt = 0;

    QVersionNumber m_firmwareVersion = QVersionNumber(1, 4, 12);
    QVersionNumber m_firmwareVersionAfterUpdate;
    ControllerStatus m_status;
    int m_resetTime = 500;
    int m_bootloaderStartTime = 200;
    bool m_readyOnBoot = true;
    quint8 m_notificationId = 0;
    QList<RecordedRequest> m_requests;

    QTimer m_trafficTimer;
    QElapsedTimer m_trafficClock;
    double m_trafficRate = 0;
    QByteArray m_trafficFrame;
    qint64 m_trafficSent = 0;

    bool m_silent = false;
    int m_responsesToDrop = 0;
    bool m_corruptNextResponse = false;
    QHash<int, quint8> m_commandErrors;
    int m_responseDelay = 0;
    bool m_stayInBootloader = false;
    bool m_vanishArmed = false;
    Mode m_vanishMode = ModeController;
    quint8 m_vanishCommand = 0;
    int m_vanishCountdown = 0;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_VEXBUSEMULATOR_H
