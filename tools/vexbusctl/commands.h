// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_COMMANDS_H
#define VEXBUSCTL_COMMANDS_H

#include "adaptersession.h"
#include "fleetview.h"
#include "names.h"
#include "releases.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class TerminationSignals;
class Printer;

// What every command gets: the adapter options, the output and the
// watcher of Ctrl-C and termination signals. A command goes through vexbusd
// when the service owns the adapter, unless direct says otherwise.
struct CommandContext
{
    AdapterOptions adapterOptions;
    const Printer *printer = nullptr;
    const TerminationSignals *terminationSignals = nullptr;
    // Open the port even where vexbusd owns the adapter.
    bool direct = false;
};

// The commands; each returns the process's exit code.
int runList(const CommandContext &context, bool watch);
int runStatus(const CommandContext &context);
int runMonitor(const CommandContext &context, int frameCount);
int runWrite(const CommandContext &context, const QByteArray &frame);
int runPress(const CommandContext &context, Names::Module module, int button, uint milliSeconds);
int runAppParams(const CommandContext &context, bool enable);
int runReset(const CommandContext &context);
int runCheckUpdate(const CommandContext &context, const ReleaseOptions &releaseOptions);
int runUpdate(const CommandContext &context, const QString &file, const ReleaseOptions *releaseOptions);
// The update history that vexbusd keeps: the gateway's, or the adapter's
// that --port or --serial names.
int runHistory(const CommandContext &context);
// The gateways and adapters that share a broker, from its retained topics.
int runFleet(const CommandContext &context, const FleetView::Options &options);
// Runs command while vexbusd lends it the adapter; its exit code.
int runInhibit(const CommandContext &context, const QStringList &command);
// Checks the system and the adapter; rule folders replace the system's when given.
int runDoctor(const CommandContext &context, const QStringList &ruleFolders);

#endif // VEXBUSCTL_COMMANDS_H
