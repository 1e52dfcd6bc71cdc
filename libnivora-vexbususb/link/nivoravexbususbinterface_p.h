// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBINTERFACE_P_H
#define NIVORAVEXBUSUSBINTERFACE_P_H

// The link's state: the port, the device it follows and its buffers.

#include "link/nivoravexbususbinterface.h"
#include "link/nivoravexbususbframedecoder.h"

#include <QPointer>

#include <memory>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbInterfacePrivate
{
public:
    static NivoraVexbusUsbInterfacePrivate *get(NivoraVexbusUsbInterface *interface) { return interface->d_func(); }

    /**
     * A function told of every valid packet before packetReceived() is
     * emitted: the interface's owner hands responses to its client and
     * notifications to whoever takes them, at the cost of a call instead of
     * a connection each. A null @p hook removes it; the owner removes it
     * before it goes.
     */
    using PacketHook = void (*)(QObject *receiver, const NivoraVexbusUsbPacket &packet);
    void setPacketHook(QObject *receiver, PacketHook hook)
    {
        packetHookReceiver = hook ? receiver : nullptr;
        packetHook = hook;
    }

    NivoraVexbusUsbInterface::WatchMode watchMode = NivoraVexbusUsbInterface::WatchModePort;
    NivoraVexbusUsbDeviceWatcher *deviceWatcher = nullptr;
    QSerialPort *serialPort = nullptr;
    QPointer<NivoraVexbusUsbTrafficRecorder> trafficRecorder;
    bool connected = false;
    bool enabled = false;
    QString portName;
    QString serialNumber;
    // The device path of the open port, however it was found.
    QString devicePath;
    QSerialPort::BaudRate baudrate = QSerialPort::Baud115200;
    std::unique_ptr<NivoraVexbusUsbFrameDecoder> decoder = std::make_unique<NivoraVexbusUsbFrameDecoder>();
    // The frame being encoded by sendPacket(), written to the port in one piece.
    QByteArray sendBuffer;
    // The bytes of the last read, kept for its memory.
    QByteArray readBuffer;
    // Set while onReadyRead() hands frames to receivers, so that it learns
    // of the interface's deletion by one of them.
    bool *deletedFlag = nullptr;
    QObject *packetHookReceiver = nullptr;
    PacketHook packetHook = nullptr;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBINTERFACE_P_H
