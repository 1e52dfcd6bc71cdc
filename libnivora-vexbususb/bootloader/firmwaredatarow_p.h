// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef FIRMWAREDATAROW_P_H
#define FIRMWAREDATAROW_P_H

// One row's line and the fields parsed from it, shared by its copies.

#include "bootloader/firmwaredatarow.h"

#include <QSharedData>

namespace NivoraVexbusUsb {

class FirmwareDataRowPrivate : public QSharedData
{
public:
    QByteArray data;
    QByteArray rowData;
    quint8 arrayId = 0;
    quint16 rowNumber = 0;
    quint16 rowSize = 0;
    quint8 checksum = 0;
    quint8 verifyChecksum = 0;
    bool valid = false;
};

} // namespace NivoraVexbusUsb

#endif // FIRMWAREDATAROW_P_H
