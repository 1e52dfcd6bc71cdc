// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "emulatorlog.h"
#include "commandnames.h"

#include <cstdio>

using NivoraVexbusUsbEmulator::RecordedRequest;
using NivoraVexbusUsbEmulator::VexbusEmulator;

EmulatorLog::EmulatorLog(VexbusEmulator *emulator, QObject *parent)
    : QObject(parent), m_emulator(emulator)
{
    connect(emulator, &VexbusEmulator::requestReceived, this, &EmulatorLog::logRequest);
    connect(emulator, &VexbusEmulator::booted, this, &EmulatorLog::logBoot);
    connect(emulator, &VexbusEmulator::vanished, this, [this]() {
        write(QStringLiteral("vanished: the tty is closed, the device is gone"));
    });
}

void EmulatorLog::write(const QString &text)
{
    const QByteArray line = QStringLiteral("[%1 ms] %2\n").arg(m_emulator->elapsed(), 8).arg(text).toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

void EmulatorLog::logRequest(const RecordedRequest &request)
{
    const VexbusEmulator::Mode mode = request.protocol() == RecordedRequest::ProtocolController
            ? VexbusEmulator::ModeController
            : VexbusEmulator::ModeBootloader;
    const QString number = QStringLiteral("0x") + QString::number(request.command(), 16).toUpper().rightJustified(2, QLatin1Char('0'));
    const QString name = CommandNames::name(mode, request.command());
    QString text = QStringLiteral("%1 %2").arg(CommandNames::modeName(mode), name.isEmpty() ? number : QStringLiteral("%1 (%2)").arg(name, number));
    // Bootloader packets carry no packet id.
    if (mode == VexbusEmulator::ModeController)
        text += QStringLiteral(" id %1").arg(request.packetId());
    const QByteArray payload = request.payload();
    text += payload.isEmpty() ? QStringLiteral(" payload -")
                              : QStringLiteral(" payload %1").arg(QString::fromLatin1(payload.toHex(' ')));
    write(text);
}

void EmulatorLog::logBoot(VexbusEmulator::Mode mode)
{
    if (mode == VexbusEmulator::ModeBootloader) {
        write(QStringLiteral("booted into bootloader mode"));
        return;
    }
    QString text = QStringLiteral("booted into controller mode, firmware %1").arg(m_emulator->firmwareVersion().toString());
    const int rows = m_emulator->flash().programmedRowCount();
    if (rows > 0) {
        text += QStringLiteral("; flash: %1 rows programmed, application %2")
                .arg(rows)
                .arg(m_emulator->bootloader().applicationValid() ? QStringLiteral("valid") : QStringLiteral("not valid"));
    }
    write(text);
}

void EmulatorLog::logLine(bool open)
{
    write(open ? QStringLiteral("line: a client opened the tty")
               : QStringLiteral("line: hang-up, the last client closed the tty"));
}
