// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBUPDATEREPLY_P_H
#define NIVORAVEXBUSUSBUPDATEREPLY_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the library's API: it is not installed, and it
// may change from one release to the next without notice.
//

#include "adapter/nivoravexbususbupdatereply.h"

namespace NivoraVexbusUsb {

class NivoraVexbusUsbUpdateReplyPrivate
{
    Q_DECLARE_PUBLIC(NivoraVexbusUsbUpdateReply)

public:
    explicit NivoraVexbusUsbUpdateReplyPrivate(NivoraVexbusUsbUpdateReply *q) : q_ptr(q) {}

    void setPhase(FirmwareUpdate::Phase phase);
    void setPercentage(double percentage);
    void setError(FirmwareUpdate::Error error, const QString &errorString);
    // Ends the update: its last phase, the reason of a failure, finished()
    // and then the deletion.
    void finish(bool success, FirmwareUpdate::Error error = FirmwareUpdate::ErrorNone, const QString &errorString = QString());

    NivoraVexbusUsbUpdateReply *q_ptr;
    FirmwareUpdate::Phase phase = FirmwareUpdate::PhasePreparing;
    double percentage = 0.0;
    FirmwareUpdate::Error error = FirmwareUpdate::ErrorNone;
    QString errorString;
    QString firmwareVersion;
    bool finished = false;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBUPDATEREPLY_P_H
