// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef RELEASEKEY_P_H
#define RELEASEKEY_P_H

// The raw key, shared by the copies of one key.

#include "firmware/releasekey.h"

#include <QSharedData>

namespace NivoraVexbusUsb {

class ReleaseKeyPrivate : public QSharedData
{
public:
    QByteArray publicKey;
};

} // namespace NivoraVexbusUsb

#endif // RELEASEKEY_P_H
