// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "commandnames.h"

#include <bootloaderpacket.h>
#include <controllerpacket.h>

#include <QMetaEnum>

namespace CommandNames {

using NivoraVexbusUsbEmulator::BootloaderPacket;
using NivoraVexbusUsbEmulator::ControllerPacket;
using NivoraVexbusUsbEmulator::VexbusEmulator;

static QMetaEnum commandEnum(Mode mode)
{
    return mode == VexbusEmulator::ModeController ? QMetaEnum::fromType<ControllerPacket::Command>()
                                                  : QMetaEnum::fromType<BootloaderPacket::Command>();
}

// The enumerators are called CommandGetFirmware and so on.
static const QLatin1String kPrefix("Command");

QString name(Mode mode, quint8 command)
{
    const char *key = commandEnum(mode).valueToKey(command);
    if (!key)
        return QString();
    return QString::fromLatin1(key).mid(kPrefix.size());
}

bool parse(Mode mode, const QString &text, quint8 *command)
{
    quint32 number = 0;
    if (parseNumber(text, 0xFF, &number)) {
        *command = quint8(number);
        return true;
    }
    const QMetaEnum commands = commandEnum(mode);
    for (int i = 0; i < commands.keyCount(); ++i) {
        if (QString::fromLatin1(commands.key(i)).mid(kPrefix.size()).compare(text, Qt::CaseInsensitive) == 0) {
            *command = quint8(commands.value(i));
            return true;
        }
    }
    return false;
}

bool parseNumber(const QString &text, quint32 maximum, quint32 *value)
{
    // No octal: a leading zero is decimal.
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const QString digits = hex ? text.mid(2) : text;
    if (digits.isEmpty() || digits.startsWith(QLatin1Char('+')) || digits.startsWith(QLatin1Char('-')))
        return false;
    bool ok = false;
    const qulonglong number = digits.toULongLong(&ok, hex ? 16 : 10);
    if (!ok || number > maximum)
        return false;
    *value = quint32(number);
    return true;
}

QString modeName(Mode mode)
{
    return mode == VexbusEmulator::ModeController ? QStringLiteral("controller") : QStringLiteral("bootloader");
}

bool parseMode(const QString &text, Mode *mode)
{
    if (text.compare(QLatin1String("controller"), Qt::CaseInsensitive) == 0)
        *mode = VexbusEmulator::ModeController;
    else if (text.compare(QLatin1String("bootloader"), Qt::CaseInsensitive) == 0)
        *mode = VexbusEmulator::ModeBootloader;
    else
        return false;
    return true;
}

} // namespace CommandNames
