// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSEMULATOR_EMULATORLOG_H
#define VEXBUSEMULATOR_EMULATORLOG_H

#include <vexbusemulator.h>

#include <QObject>

// The --log output: one line on stderr for every request the emulated
// device receives, every boot, the tty opening and closing, and a vanish,
// each stamped with the milliseconds since the emulator started.
class EmulatorLog : public QObject
{
    Q_OBJECT
public:
    explicit EmulatorLog(NivoraVexbusUsbEmulator::VexbusEmulator *emulator, QObject *parent = nullptr);

    void write(const QString &text);
    void logRequest(const NivoraVexbusUsbEmulator::RecordedRequest &request);
    void logBoot(NivoraVexbusUsbEmulator::VexbusEmulator::Mode mode);
    void logLine(bool open);

private:
    NivoraVexbusUsbEmulator::VexbusEmulator *m_emulator;
};

#endif // VEXBUSEMULATOR_EMULATORLOG_H
