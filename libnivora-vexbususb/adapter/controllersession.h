// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef CONTROLLERSESSION_H
#define CONTROLLERSESSION_H

#include "link/nivoravexbususbpacket.h"

#include <QObject>
#include <QPointer>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbClient;
class NivoraVexbusUsbInterface;
class NivoraVexbusUsbReply;

// The adapter's conversation with its controller outside the application's
// commands: the init procedure that brings the controller up after each
// connection and after it announced a restart (version, then status, three
// attempts, then a reconnection), and the dispatch of the notifications the
// controller sends of its own accord. The adapter turns what it reports
// into its properties; an internal class of the adapter.
class ControllerSession : public QObject
{
    Q_OBJECT

public:
    ControllerSession(NivoraVexbusUsbInterface *interface, NivoraVexbusUsbClient *client, QObject *parent = nullptr);

    // Runs the init procedure anew, as after a connection.
    void begin();
    // Forgets the failed attempts, as after the port closed.
    void resetAttempts();

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

private:
    void onPacketReceived(const NivoraVexbusUsbPacket &packet);
    void runInitProcedure();
    void verifyInitProcedureRetry();
    void onInitFirmwareVersionFinished(NivoraVexbusUsbReply *reply);
    void onInitControllerStatusFinished(NivoraVexbusUsbReply *reply);

    NivoraVexbusUsbInterface *m_interface = nullptr;
    NivoraVexbusUsbClient *m_client = nullptr;
    int m_initAttempts = 0;
    QPointer<NivoraVexbusUsbReply> m_initReply;
};

} // namespace NivoraVexbusUsb

#endif // CONTROLLERSESSION_H
