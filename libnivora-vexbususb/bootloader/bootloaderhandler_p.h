// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef BOOTLOADERHANDLER_P_H
#define BOOTLOADERHANDLER_P_H

// The handler's run: the port, the image, where the walk through the rows is.

#include "bootloader/bootloaderhandler.h"
#include "bootloader/bootloaderresponsedecoder.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace NivoraVexbusUsb {

class BootloaderHandlerPrivate
{
public:
    BootloaderHandler::State state = BootloaderHandler::StateIdle;
    QSerialPort *serialPort = nullptr;
    QPointer<NivoraVexbusUsbTrafficRecorder> trafficRecorder;
    QString portName;
    int baudrate = 115200;
    bool connected = false;
    std::unique_ptr<BootloaderResponseDecoder> decoder = std::make_unique<BootloaderResponseDecoder>();
    int deviceSiliconId = 0;
    quint8 deviceSiliconRev = 0;
    quint32 bootloaderVersion = 0;
    quint16 startRow = 0;
    quint16 endRow = 0;
    FirmwareData firmwareData;
    // The image of the running run, copied from firmwareData at start().
    FirmwareData image;
    // The arrays the image uses, in order, and the row range of each.
    QList<quint8> arrays;
    int arrayIndex = 0;
    QHash<quint8, QPair<quint16, quint16>> flashRanges;
    // Set once the first program-row is sent: from then on the application
    // in the flash is no longer whole.
    bool programStarted = false;
    bool leftBootloader = false;
    // Any response came in this run: a bootloader is there.
    bool answered = false;
    // The bootloader accepted enter-bootloader in this run.
    bool entered = false;
    FirmwareUpdate::Error error = FirmwareUpdate::ErrorNone;
    QString errorString;
    int totalBytes = 0;
    int sentBytes = 0;
    double percentage = 0.0;
    int currentRow = 0;
    int rowOffset = 0;
    int lastChunkSize = 0;

    QTimer responseTimer;
    QTimer exitTimer;
    // A run reports its failure once; start() begins a new run.
    bool failureReported = false;
};

} // namespace NivoraVexbusUsb

#endif // BOOTLOADERHANDLER_P_H
