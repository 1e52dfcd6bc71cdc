// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBPORTLOCATION_P_H
#define NIVORAVEXBUSUSBPORTLOCATION_P_H

// Where the port is, shared by the copies of one location.

#include "devicewatcher/nivoravexbususbportlocation.h"

#include <QSharedData>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbPortLocationPrivate : public QSharedData
{
public:
    QSerialPortInfo serialPortInfo;
    QString terminalPath;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBPORTLOCATION_P_H
