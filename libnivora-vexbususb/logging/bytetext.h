// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef BYTETEXT_H
#define BYTETEXT_H

#include <QString>

namespace NivoraVexbusUsb {

// One byte as every traffic line and error text of the library shows it:
// "0x0a". Internal; not installed.
inline QString byteText(quint8 byte)
{
    return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
}

} // namespace NivoraVexbusUsb

#endif // BYTETEXT_H
