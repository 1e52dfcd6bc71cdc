// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBTRAFFICRECORDER_P_H
#define NIVORAVEXBUSUSBTRAFFICRECORDER_P_H

// The recorder's file and the bytes it gathers into one line.

#include "logging/nivoravexbususbtrafficrecorder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbTrafficRecorderPrivate
{
public:
    QFile file;
    // The file is opened by descriptor, which leaves QFile without a name.
    QString fileName;
    QElapsedTimer clock;
    // Bytes of one port and direction written in one go arrive one call at
    // a time; they are gathered into one line until the event loop turns.
    QByteArray pending;
    NivoraVexbusUsbTrafficRecorder::Port pendingPort = NivoraVexbusUsbTrafficRecorder::PortLink;
    NivoraVexbusUsbTrafficRecorder::Direction pendingDirection = NivoraVexbusUsbTrafficRecorder::DirectionOut;
    qint64 pendingTimeNs = 0;
    QTimer pendingTimer;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBTRAFFICRECORDER_P_H
