// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSEMULATOR_COMMANDNAMES_H
#define VEXBUSEMULATOR_COMMANDNAMES_H

#include <vexbusemulator.h>

#include <QString>

// Names of the commands of the adapter protocol (controller mode) and of the
// bootloader protocol (bootloader mode), e.g. GetFirmware, ProgramRow.
namespace CommandNames {

using Mode = NivoraVexbusUsbEmulator::VexbusEmulator::Mode;

// The command's name, or an empty string for a command the mode does not know.
QString name(Mode mode, quint8 command);
// A command from its name (case does not matter) or its number (decimal or 0x hex).
bool parse(Mode mode, const QString &text, quint8 *command);
// A number from decimal or 0x hex digits, at most maximum.
bool parseNumber(const QString &text, quint32 maximum, quint32 *value);
QString modeName(Mode mode);
bool parseMode(const QString &text, Mode *mode);

} // namespace CommandNames

#endif // VEXBUSEMULATOR_COMMANDNAMES_H
