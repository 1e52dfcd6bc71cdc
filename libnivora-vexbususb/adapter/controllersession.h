// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef CONTROLLERSESSION_H
#define CONTROLLERSESSION_H

#include "link/nivoravexbususbpacket.h"

#include <QObject>
#include <QPointer>

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
// failed them waits in its bootloader, and the dispatch of the notifications
// the controller sends of its own accord. The adapter turns what it reports
// into its properties; an internal class of the adapter.
class ControllerSession : public QObject
{
    Q_OBJECT

public:
    ControllerSession(NivoraVexbusUsbInterface *interface, NivoraVexbusUsbClient *client, QObject *parent = nullptr);

    // Runs the init procedure anew, as after a connection.
    void begin();
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
    void vexbusFrameReceived(const QByteArray &vexbusFrame);
    void controllerInBootloaderChanged(bool controllerInBootloader);

private:
    void onPacketReceived(const NivoraVexbusUsbPacket &packet);
    void runInitProcedure();
    void verifyInitProcedureRetry();
    void onInitFirmwareVersionFinished(NivoraVexbusUsbReply *reply);
    void onInitControllerStatusFinished(NivoraVexbusUsbReply *reply);
    void reconnectAfterFailedInit();
    void onBootloaderProbeFinished(bool bootloaderAnswered);
    void setControllerInBootloader(bool controllerInBootloader);

    NivoraVexbusUsbInterface *m_interface = nullptr;
    NivoraVexbusUsbClient *m_client = nullptr;
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
};

} // namespace NivoraVexbusUsb

#endif // CONTROLLERSESSION_H
