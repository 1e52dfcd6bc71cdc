// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef CONTROLLERSESSION_H
#define CONTROLLERSESSION_H

#include "link/nivoravexbususbpacket.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

namespace NivoraVexbusUsb {

class BootloaderProbe;
class NivoraVexbusUsbClient;
class NivoraVexbusUsbInterface;
class NivoraVexbusUsbReply;
class NivoraVexbusUsbTrafficRecorder;

// The adapter's conversation with its controller outside the application's
// commands: the init procedure that brings the controller up after each
// connection and after it announced a restart (version, then status, three
// attempts, then a reconnection), the question whether a controller that
// failed them waits in its bootloader, the watch over the application's
// commands that finds a controller gone silent, and the dispatch of the
// notifications the controller sends of its own accord. The adapter turns
// what it reports into its properties; an internal class of the adapter.
class ControllerSession : public QObject
{
    Q_OBJECT

public:
    ControllerSession(NivoraVexbusUsbInterface *interface, NivoraVexbusUsbClient *client, QObject *parent = nullptr);

    // Runs the init procedure anew, as after a connection.
    void begin();
    // The application's command ended: time-outs in a row without a
    // response in between make the controller lost.
    void commandFinished(int replyError);
    // The controller was told to restart; it announces when it is back.
    void restartRequested();
    // The port closed: forgets the failed attempts and, unless the session
    // closed it itself, what it found out about the bootloader.
    void portClosed();
    // The port goes to the application's stop() or to an update: a probe
    // that holds it leaves it closed, and the finding is forgotten.
    void stop();
    void setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder);

    // True when the controller failed the init procedure and its bootloader
    // answered; asked once per connection, after the third failed attempt.
    bool controllerInBootloader() const;

    // A NivoraVexbusUsbAdapter::UnavailableReason.
    int unavailableReason() const;
    // Time-outs of commands in a row after which the controller is lost; 0: never.
    int consecutiveTimeoutLimit() const;
    void setConsecutiveTimeoutLimit(int limit);

    // The longest pause between two failed rounds of the init procedure, in ms.
    static constexpr int maximumRetryDelay = 30000;

    // "X.Y.Z" from the payload of the version's response.
    static QString firmwareVersion(const QByteArray &payload);

signals:
    // The init procedure started.
    void initStarted();
    void firmwareVersionRead(const QString &firmwareVersion);
    // A status payload: LED mode, bus flags, bus type; notified tells
    // whether the controller sent it of its own accord.
    void statusReceived(const QByteArray &payload, bool notified);
    // The init procedure got version and status.
    void initialized();
    // The controller announced that it (re)started; the init follows.
    void controllerReady();
    void controllerInBootloaderChanged(bool controllerInBootloader);
    // The controller stopped answering the application's commands; the
    // init procedure seeks it again.
    void controllerLost();
    void unavailableReasonChanged(int unavailableReason);
    void consecutiveTimeoutLimitChanged(int consecutiveTimeoutLimit);

public:
    // A notification of the controller, from the interface's owner.
    void onPacketReceived(const NivoraVexbusUsbPacket &packet);
    // A function given each bus frame: the adapter emits it as its own
    // signal without a connection between the two.
    using FrameHook = void (*)(QObject *receiver, const QByteArray &frame);
    void setFrameHook(QObject *receiver, FrameHook hook);

private:
    void runInitProcedure();
    void verifyInitProcedureRetry();
    void onInitFirmwareVersionFinished(NivoraVexbusUsbReply *reply);
    void onInitControllerStatusFinished(NivoraVexbusUsbReply *reply);
    void reconnectAfterFailedInit();
    void onRetryTimerTimeout();
    void loseController();
    // The port is gone for the session: what it found out goes with it.
    void forgetController();
    void setInitialized(bool initialized);
    void updateUnavailableReason();
    void onBootloaderProbeFinished(bool bootloaderAnswered);
    void setControllerInBootloader(bool controllerInBootloader);

    NivoraVexbusUsbInterface *m_interface = nullptr;
    NivoraVexbusUsbClient *m_client = nullptr;
    QObject *m_frameHookReceiver = nullptr;
    FrameHook m_frameHook = nullptr;
    int m_initAttempts = 0;
    QPointer<NivoraVexbusUsbReply> m_initReply;
    BootloaderProbe *m_bootloaderProbe = nullptr;
    bool m_bootloaderProbed = false;
    bool m_controllerInBootloader = false;
    // Set while the session itself closes and reopens the port after failed
    // init attempts: the controller stays what it was found to be.
    bool m_reconnecting = false;
    // The interface is enabled again when the probe is done.
    bool m_enableAfterProbe = false;
    // Between the first init on a port and its closing by someone else
    // (the session's own reconnections do not count).
    bool m_active = false;
    bool m_initialized = false;
    bool m_lost = false;
    int m_unavailableReason;
    int m_consecutiveTimeoutLimit = 3;
    int m_consecutiveTimeouts = 0;
    // Rounds of three failed attempts in a row; from the second on, the
    // next round waits, longer each time, so that a dead controller does
    // not keep the port busy.
    int m_failedRounds = 0;
    QTimer m_retryTimer;
};

} // namespace NivoraVexbusUsb

#endif // CONTROLLERSESSION_H
