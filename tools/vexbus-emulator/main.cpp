// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "devicelink.h"
#include "emulatorlog.h"
#include "emulatoroptions.h"
#include "pseudoterminal.h"
#include "terminationsignals.h"
#include "tracereplay.h"

#include <flashimage.h>
#include <vexbusemulator.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QSaveFile>

#include <csignal>
#include <cstdio>

using NivoraVexbusUsbEmulator::VexbusEmulator;

static constexpr int kExitFailure = 1;
static constexpr int kExitUsage = 2;

static void printError(const QString &message)
{
    std::fprintf(stderr, "vexbus-emulator: %s\n", qPrintable(message));
}

static bool saveFlash(const VexbusEmulator &emulator, const EmulatorOptions &options)
{
    const QByteArray text = NivoraVexbusUsbEmulator::FlashImage::fromFlash(emulator.bootloader(), options.checksumType).toText();
    // A link at the name would take the flash to wherever it points.
    if (QFileInfo(options.saveFlashPath).isSymLink()) {
        printError(QStringLiteral("cannot save the flash in %1: it is a symbolic link").arg(options.saveFlashPath));
        return false;
    }
    QSaveFile file(options.saveFlashPath);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())
        return true;
    printError(QStringLiteral("cannot save the flash in %1: %2").arg(options.saveFlashPath, file.errorString()));
    return false;
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexbus-emulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VEXBUS_EMULATOR_VERSION));

    EmulatorOptions options;
    if (!options.parse(QCoreApplication::arguments())) {
        printError(options.errorString());
        std::fprintf(stderr, "Try 'vexbus-emulator --help'.\n");
        return kExitUsage;
    }

    // A reader of stdout or stderr that went away must not end the device.
    ::signal(SIGPIPE, SIG_IGN);
    TerminationSignals terminationSignals;
    if (!terminationSignals.install()) {
        printError(QStringLiteral("cannot watch for termination signals"));
        return kExitFailure;
    }
    QObject::connect(&terminationSignals, &TerminationSignals::received, &application, &QCoreApplication::quit);

    VexbusEmulator emulator;
    options.apply(&emulator);
    PseudoTerminal terminal;
    EmulatorLog *log = options.log ? new EmulatorLog(&emulator, &emulator) : nullptr;

    if (!terminal.open()) {
        printError(terminal.errorString());
        return kExitFailure;
    }

    // A replay plays the recorded adapter instead of the emulated one.
    TraceReplay *replay = nullptr;
    if (!options.replayPath.isEmpty()) {
        replay = new TraceReplay(&application);
        if (!replay->load(options.replayPath)) {
            printError(QStringLiteral("--replay: %1").arg(replay->errorString()));
            return kExitUsage;
        }
        QObject::connect(replay, &TraceReplay::mismatch, &application, [](const QString &message) {
            printError(message);
            QCoreApplication::exit(kExitFailure);
        });
        QObject::connect(replay, &TraceReplay::finished, &application, [&options]() {
            if (!options.quiet)
                printError(QStringLiteral("replay of %1 complete").arg(options.replayPath));
        });
    }


    // The device hears and speaks only while a client holds the tty open,
    // as a real adapter's port drops what comes while it is closed: a
    // response or a frame sent into a closed line would otherwise wait in
    // the tty for the next client. What a client writes first waits in the
    // master until the emulator attaches.
    QObject::connect(&terminal, &PseudoTerminal::slaveOpenChanged, &emulator, [&](bool open) {
        if (log)
            log->logLine(open);
        if (replay) {
            if (open && terminal.isOpen())
                replay->attach(terminal.masterFd());
            else if (!open)
                replay->detach();
        } else if (open && terminal.isOpen()) {
            emulator.attach(terminal.masterFd());
            if (options.busTrafficRate > 0)
                emulator.startBusTraffic(options.busTrafficRate, options.busFrame);
        } else if (!open) {
            emulator.stopBusTraffic();
            emulator.detach();
        }
    });

    DeviceLink link;
    if (!options.linkPath.isEmpty() && !link.create(options.linkPath, terminal.slavePath())) {
        printError(link.errorString());
        return kExitFailure;
    }

    // A vanished device takes its tty and its name along.
    QObject::connect(&emulator, &VexbusEmulator::vanished, &terminal, [&]() {
        terminal.close();
        link.remove();
    });

    std::fprintf(stdout, "%s\n", qPrintable(terminal.slavePath()));
    std::fflush(stdout);
    if (!options.quiet) {
        std::fprintf(stderr, "vexbus-emulator: adapter on %s%s; %s\n", qPrintable(terminal.slavePath()),
                     link.exists() ? qPrintable(QStringLiteral(" (link %1)").arg(link.linkPath())) : "",
                     qPrintable(options.summary()));
        std::fflush(stderr);
    }

    const int exitCode = QCoreApplication::exec();

    emulator.detach();
    terminal.close();
    link.remove();
    if (!options.saveFlashPath.isEmpty() && !saveFlash(emulator, options))
        return kExitFailure;
    return exitCode;
}
