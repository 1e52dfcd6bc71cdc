#include "devicelink.h"
#include "emulatorlog.h"
#include "emulatoroptions.h"
#include "pseudoterminal.h"
#include "terminationsignals.h"

#include <vexbusemulator.h>

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

using NivoraVexbusUsbEmulator::VexbusEmulator;

static constexpr int kExitFailure = 1;
static constexpr int kExitUsage = 2;

static void printError(const QString &message)
{
    std::fprintf(stderr, "vexbus-emulator: %s\n", qPrintable(message));
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
    // A request shows a client on the line before the next poll would.
    QObject::connect(&emulator, &VexbusEmulator::requestReceived, &terminal, &PseudoTerminal::pollSlave);
    EmulatorLog *log = options.log ? new EmulatorLog(&emulator, &emulator) : nullptr;

    if (!terminal.open()) {
        printError(terminal.errorString());
        return kExitFailure;
    }
    if (!emulator.attach(terminal.masterFd())) {
        printError(QStringLiteral("cannot attach the emulator to %1").arg(terminal.slavePath()));
        return kExitFailure;
    }

    // Bus traffic flows while a client holds the tty open, so that nothing
    // piles up in the line for the next one.
    QObject::connect(&terminal, &PseudoTerminal::slaveOpenChanged, &emulator, [&](bool open) {
        if (log)
            log->logLine(open);
        if (options.busTrafficRate <= 0)
            return;
        if (open)
            emulator.startBusTraffic(options.busTrafficRate, options.busFrame);
        else
            emulator.stopBusTraffic();
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

    QCoreApplication::exec();

    emulator.detach();
    terminal.close();
    link.remove();
    return 0;
}
