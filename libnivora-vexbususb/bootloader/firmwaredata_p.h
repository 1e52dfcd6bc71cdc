// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef FIRMWAREDATA_P_H
#define FIRMWAREDATA_P_H

// The image's text, its rows and header, shared by the copies of one image.

#include "bootloader/firmwaredata.h"

#include <QSharedData>

namespace NivoraVexbusUsb {

class FirmwareDataPrivate : public QSharedData
{
public:
    QString name;
    QString applicationVersion;
    QString fileName;
    QByteArray data;
    QList<FirmwareDataRow> rows;
    int siliconId = 0;
    quint8 siliconRev = 0xFF;
    BootloaderUtils::ChecksumType checksumType = BootloaderUtils::ChecksumTypeUnknown;
    bool parseComplete = false;
    QString parseError;
};

} // namespace NivoraVexbusUsb

#endif // FIRMWAREDATA_P_H
