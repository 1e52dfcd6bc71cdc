// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbusctl: finds Nivora Vexbus USB adapters, shows their state, watches
// the bus, sends commands and updates the controller's firmware.
#include "commands.h"
#include "terminationsignals.h"
#include "names.h"
#include "printer.h"

#include "nivoravexbususbversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <cmath>
#include <cstdio>
#include <functional>

namespace {

struct Command
{
    const char *name;
    const char *synopsis;
    const char *description;
};

const Command commands[] = {
    {"list", "list [--watch]", "List the adapters that udev finds (device path, serial number, USB ID, vendor and product)."},
    {"status", "status", "Connect, wait for the controller and show its firmware version, LED mode, bus type, bus flags and serial port."},
    {"monitor", "monitor [--count N]", "Print every bus frame (time stamp and hexadecimal) and every status change until Ctrl-C."},
    {"write", "write HEX...", "Write one frame (at most 255 bytes, e.g. 0a1b2c, 0a 1b 2c or 0a:1b:2c) to the bus."},
    {"press", "press ixo|remote|app BUTTON [--ms N]", "Press a button of an emulated bus module for N ms (default 200)."},
    {"app-params", "app-params on|off", "Switch the app connector's parameter handling on or off."},
    {"reset", "reset", "Reset the controller and wait until it answers again."},
    {"check-update", "check-update [--pre-release] [--server URL] [--trusted-key FILE]", "Ask the release server for the current firmware and verify its image."},
    {"update", "update FILE | update --online [--pre-release] [--server URL] [--trusted-key FILE] [--force] [--allow-older]", "Write new firmware into the controller, from an image file or from the release server."},
    {"inhibit", "inhibit -- COMMAND [ARGUMENT...]", "Run COMMAND while vexbusd lends it the adapter: the service closes the port until COMMAND ends."},
    {"doctor", "doctor [--udev-rules-dir DIR]", "Check what stands between you and the adapter (USB driver, udev rule, ModemManager, brltty, permission, other programs on the port, latency timer, controller or its bootloader), each problem with its fix. Exit code 1 when a problem was found."},
};

const Command *findCommand(const QString &name)
{
    for (const Command &command : commands) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

QString overview()
{
    QString text = QStringLiteral("\nCommands:\n");
    for (const Command &command : commands)
        text += QStringLiteral("  %1\n      %2\n").arg(QLatin1String(command.synopsis), QLatin1String(command.description));
    text += QStringLiteral("\nRun \"vexbusctl COMMAND --help\" for the options of a command.\n"
                           "Exit codes: 0 success, 1 failure, 2 usage error, 3 no usable adapter, 130 interrupted.");
    return text;
}

// All messages of the library go to standard error, prefixed with their
// category, so that they stand apart from the tool's own output.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    Printer::endOpenLine();
    const char *level = type == QtDebugMsg || type == QtInfoMsg ? "debug" : "warning";
    const QByteArray line = QStringLiteral("[%1] %2: %3\n")
                                    .arg(QLatin1String(context.category ? context.category : "default"),
                                         QLatin1String(level), message).toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

int usageError(const Printer &printer, const QString &message)
{
    printer.error(message + QStringLiteral(" (see vexbusctl --help)"));
    return ExitUsage;
}

bool parseUnsigned(const QString &text, uint maximum, uint *value)
{
    bool ok = false;
    const uint parsed = text.toUInt(&ok);
    if (!ok || parsed > maximum)
        return false;
    *value = parsed;
    return true;
}

// Hexadecimal bytes, written together or in groups separated by blanks or
// colons; every group holds whole bytes ("0a1b 2c", not "0a1 b2c").
bool parseHexFrame(const QString &text, QByteArray *frame)
{
    const QStringList groups = text.split(QRegularExpression(QStringLiteral("[\\s:]+")), Qt::SkipEmptyParts);
    const QRegularExpression hexBytes(QStringLiteral("^([0-9a-fA-F]{2})+$"));
    QByteArray bytes;
    for (const QString &group : groups) {
        if (!hexBytes.match(group).hasMatch())
            return false;
        bytes += QByteArray::fromHex(group.toLatin1());
    }
    if (bytes.isEmpty())
        return false;
    *frame = bytes;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // The tool waits on a few descriptors and timers; Qt's own event
    // dispatcher does that with less work a wake-up than GLib's main loop,
    // which counts when a monitor wakes up twice for every bus frame. The
    // dispatcher is chosen when the application is made; the variable is
    // taken back then, so that a command run by inhibit gets the
    // environment as it was. A user's own setting stays.
    const bool choseDispatcher = !qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (choseDispatcher)
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication application(argc, argv);
    if (choseDispatcher)
        qunsetenv("QT_NO_GLIB");
    QCoreApplication::setApplicationName(QStringLiteral("vexbusctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NIVORAVEXBUSUSB_VERSION_STRING));

    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("The adapter's serial port (a tty, a link to one, or a serial bridge's pseudo-terminal)."), QStringLiteral("PATH"));
    const QCommandLineOption serialOption(QStringLiteral("serial"), QStringLiteral("The adapter whose USB serial number starts with PREFIX."), QStringLiteral("PREFIX"));
    const QCommandLineOption baudOption(QStringLiteral("baud"), QStringLiteral("Baud rate of the serial line (default 115200)."), QStringLiteral("N"), QStringLiteral("115200"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Machine-readable output: one JSON object per line."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"), QStringLiteral("Show the library's log at debug level (otherwise warnings only)."));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QStringLiteral("Seconds to wait for the controller to answer, for progress of an update and for the release server (default 10). A command's reply has 2 s."), QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption directOption(QStringLiteral("direct"), QStringLiteral("Open the adapter's port even where vexbusd owns the adapter; by default the commands go through the service then."));
    const QCommandLineOption recordOption(QStringLiteral("record"), QStringLiteral("Record the serial traffic with the adapter (link and bootloader, both directions, with time stamps) into FILE, a trace that vexbus-emulator --replay plays back; the command then opens the port itself, as with --direct."), QStringLiteral("FILE"));
    const QCommandLineOption watchOption(QStringLiteral("watch"), QStringLiteral("list: keep printing adapters that arrive or leave."));
    const QCommandLineOption countOption(QStringLiteral("count"), QStringLiteral("monitor: stop after N bus frames."), QStringLiteral("N"));
    const QCommandLineOption msOption(QStringLiteral("ms"), QStringLiteral("press: how long the button is held, 0 to 65535 ms (default 200)."), QStringLiteral("N"), QStringLiteral("200"));
    const QCommandLineOption forceOption(QStringLiteral("force"), QStringLiteral("update --online: write the release also when the controller runs that version already."));
    const QCommandLineOption allowOlderOption(QStringLiteral("allow-older"), QStringLiteral("update --online: write the release also when it is older than the controller's firmware or than a signed release this gateway took before."));
    const QCommandLineOption trustedKeyOption(QStringLiteral("trusted-key"), QStringLiteral("check-update, update: also trust the release publisher's Ed25519 public key in FILE (PEM); may be repeated. "
                                                                                             "The keys in " NIVORA_RELEASE_KEY_DIRECTORY " are always trusted. With a trusted key, unsigned releases are refused."), QStringLiteral("FILE"));
    const QCommandLineOption onlineOption(QStringLiteral("online"), QStringLiteral("update: take the firmware from the release server."));
    const QCommandLineOption preReleaseOption(QStringLiteral("pre-release"), QStringLiteral("check-update, update: take releases from the pre-release area."));
    const QCommandLineOption serverOption(QStringLiteral("server"), QStringLiteral("check-update, update: base URL of a release server mirror (the directory that holds release.json)."), QStringLiteral("URL"));
    const QCommandLineOption rulesOption(QStringLiteral("udev-rules-dir"), QStringLiteral("doctor: look for udev rules in DIR instead of the system's rule folders; may be repeated, the first folder wins."), QStringLiteral("DIR"));
    const QCommandLineOption caOption(QStringLiteral("ca-certificate"), QStringLiteral("check-update, update: also trust the CA certificates in FILE (PEM), for a mirror with a private CA."), QStringLiteral("FILE"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Finds Nivora Vexbus USB adapters, shows their state, watches the bus, "
                                                    "sends commands and updates the controller's firmware."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addOptions({portOption, serialOption, baudOption, jsonOption, verboseOption, timeoutOption, directOption, recordOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command; see below."));
    parser.parse(QCoreApplication::arguments());

    const QStringList positional = parser.positionalArguments();
    const Command *command = positional.isEmpty() ? nullptr : findCommand(positional.first());
    if (command) {
        // The command's own options, and its help.
        parser.setApplicationDescription(QLatin1String(command->description));
        parser.clearPositionalArguments();
        parser.addPositionalArgument(QLatin1String(command->name), QLatin1String(command->description), QLatin1String(command->synopsis));
        const QString name = QLatin1String(command->name);
        if (name == QLatin1String("list"))
            parser.addOption(watchOption);
        if (name == QLatin1String("monitor"))
            parser.addOption(countOption);
        if (name == QLatin1String("press"))
            parser.addOption(msOption);
        if (name == QLatin1String("update"))
            parser.addOptions({onlineOption, forceOption, allowOlderOption});
        if (name == QLatin1String("doctor"))
            parser.addOption(rulesOption);
        if (name == QLatin1String("update") || name == QLatin1String("check-update"))
            parser.addOptions({preReleaseOption, serverOption, caOption, trustedKeyOption});
        if (name == QLatin1String("press")) {
            QString buttons;
            for (const QString &module : {QStringLiteral("ixo"), QStringLiteral("remote"), QStringLiteral("app")}) {
                Names::Module value;
                Names::moduleFromName(module, &value);
                buttons += QStringLiteral("\n  %1: %2").arg(module, Names::buttonNames(value).join(QStringLiteral(", ")));
            }
            parser.setApplicationDescription(parser.applicationDescription() + QStringLiteral("\nButtons:") + buttons);
        }
    } else {
        parser.setApplicationDescription(parser.applicationDescription() + overview());
    }
    // Errors of the command line are usage errors like any other (exit 2).
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(Printer(false), parser.errorText());
    if (parser.isSet(helpOption))
        parser.showHelp(ExitSuccess);
    if (parser.isSet(versionOption))
        parser.showVersion();

    const Printer printer(parser.isSet(jsonOption));
    if (!command) {
        if (positional.isEmpty()) {
            std::fputs(qPrintable(parser.helpText()), stdout);
            return ExitUsage;
        }
        return usageError(printer, QStringLiteral("unknown command \"%1\"").arg(positional.first()));
    }

    // Warnings only, unless asked for more; QT_LOGGING_RULES still wins.
    // The doctor's findings say what the library's warnings would.
    const bool doctor = QLatin1String(command->name) == QLatin1String("doctor");
    QLoggingCategory::setFilterRules(parser.isSet(verboseOption) ? QStringLiteral("VexbusUsb*=true")
                                     : doctor ? QStringLiteral("VexbusUsb*.debug=false\nVexbusUsb*.warning=false")
                                              : QStringLiteral("VexbusUsb*.debug=false"));
    qInstallMessageHandler(messageHandler);

    CommandContext context;
    context.printer = &printer;
    // Ctrl-C ends a monitor or a watch cleanly and any other wait at once.
    TerminationSignals terminationSignals;
    if (!terminationSignals.install()) {
        printer.error(QStringLiteral("cannot watch for Ctrl-C"));
        return ExitFailure;
    }
    context.terminationSignals = &terminationSignals;

    uint number = 0;
    if (parser.isSet(portOption) && parser.isSet(serialOption))
        return usageError(printer, QStringLiteral("give either --port or --serial, not both"));
    if ((parser.isSet(portOption) && parser.value(portOption).isEmpty())
            || (parser.isSet(serialOption) && parser.value(serialOption).isEmpty()))
        return usageError(printer, QStringLiteral("--port and --serial take a path and a serial number prefix"));
    context.adapterOptions.port = parser.value(portOption);
    context.adapterOptions.serialPrefix = parser.value(serialOption);
    if (!parseUnsigned(parser.value(baudOption), 4000000, &number) || number == 0)
        return usageError(printer, QStringLiteral("--baud takes a baud rate such as 115200"));
    context.adapterOptions.baudrate = int(number);
    bool ok = false;
    const double timeout = parser.value(timeoutOption).toDouble(&ok);
    if (!ok || !std::isfinite(timeout) || qRound(timeout * 1000) < 1 || timeout > 3600)
        return usageError(printer, QStringLiteral("--timeout takes seconds, at least 0.001 and at most 3600"));
    context.adapterOptions.timeoutMs = qRound(timeout * 1000);
    context.direct = parser.isSet(directOption);
    context.adapterOptions.recordFile = parser.value(recordOption);
    if (parser.isSet(recordOption) && context.adapterOptions.recordFile.isEmpty())
        return usageError(printer, QStringLiteral("--record takes the path of a trace file"));

    const QStringList arguments = parser.positionalArguments().mid(1);
    const QString name = QLatin1String(command->name);
    auto expectArguments = [&](int count) { return arguments.count() == count; };

    // These record nothing: list and check-update never talk to an adapter, and doctor only asks.
    if (parser.isSet(recordOption) && (name == QLatin1String("list") || name == QLatin1String("check-update") || doctor))
        return usageError(printer, QStringLiteral("--record records the traffic with an adapter; %1 has none").arg(name));
    if (name == QLatin1String("list")) {
        if (!expectArguments(0))
            return usageError(printer, QStringLiteral("list takes no arguments"));
        return runList(context, parser.isSet(watchOption));
    }
    if (doctor) {
        if (!expectArguments(0))
            return usageError(printer, QStringLiteral("doctor takes no arguments"));
        return runDoctor(context, parser.values(rulesOption));
    }
    if (name == QLatin1String("status")) {
        if (!expectArguments(0))
            return usageError(printer, QStringLiteral("status takes no arguments"));
        return runStatus(context);
    }
    if (name == QLatin1String("monitor")) {
        uint count = 0;
        if (!expectArguments(0) || (parser.isSet(countOption) && (!parseUnsigned(parser.value(countOption), 1000000000, &count) || count == 0)))
            return usageError(printer, QStringLiteral("usage: monitor [--count N] with N at least 1"));
        return runMonitor(context, int(count));
    }
    if (name == QLatin1String("write")) {
        QByteArray frame;
        // The bytes may come as one argument or as several.
        if (arguments.isEmpty() || !parseHexFrame(arguments.join(QLatin1Char(' ')), &frame))
            return usageError(printer, QStringLiteral("usage: write HEX..., whole bytes in hexadecimal digits (spaces and colons allowed)"));
        if (frame.size() > 255)
            return usageError(printer, QStringLiteral("a frame holds at most 255 bytes, this one %1").arg(frame.size()));
        return runWrite(context, frame);
    }
    if (name == QLatin1String("press")) {
        Names::Module module;
        if (!expectArguments(2) || !Names::moduleFromName(arguments.at(0), &module))
            return usageError(printer, QStringLiteral("usage: press ixo|remote|app BUTTON [--ms N]"));
        const int button = Names::buttonFromName(module, arguments.at(1));
        if (button < 0)
            return usageError(printer, QStringLiteral("unknown %1 button \"%2\"; the buttons are: %3")
                                               .arg(arguments.at(0), arguments.at(1), Names::buttonNames(module).join(QStringLiteral(", "))));
        uint milliSeconds = 0;
        if (!parseUnsigned(parser.value(msOption), 65535, &milliSeconds))
            return usageError(printer, QStringLiteral("--ms takes 0 to 65535 milliseconds"));
        return runPress(context, module, button, milliSeconds);
    }
    if (name == QLatin1String("app-params")) {
        if (!expectArguments(1) || (arguments.first() != QLatin1String("on") && arguments.first() != QLatin1String("off")))
            return usageError(printer, QStringLiteral("usage: app-params on|off"));
        return runAppParams(context, arguments.first() == QLatin1String("on"));
    }
    if (name == QLatin1String("reset")) {
        if (!expectArguments(0))
            return usageError(printer, QStringLiteral("reset takes no arguments"));
        return runReset(context);
    }

    if (name == QLatin1String("inhibit")) {
        if (arguments.isEmpty())
            return usageError(printer, QStringLiteral("usage: inhibit -- COMMAND [ARGUMENT...]"));
        return runInhibit(context, arguments);
    }

    ReleaseOptions releaseOptions;
    releaseOptions.server = parser.value(serverOption);
    releaseOptions.caCertificate = parser.value(caOption);
    releaseOptions.preRelease = parser.isSet(preReleaseOption);
    // Options of update alone; check-update does not know them.
    if (name == QLatin1String("update")) {
        releaseOptions.force = parser.isSet(forceOption);
        releaseOptions.allowOlder = parser.isSet(allowOlderOption);
    }
    releaseOptions.trustedKeyFiles = parser.values(trustedKeyOption);
    if (name == QLatin1String("check-update")) {
        if (!expectArguments(0))
            return usageError(printer, QStringLiteral("check-update takes no arguments"));
        return runCheckUpdate(context, releaseOptions);
    }

    // update
    const bool online = parser.isSet(onlineOption);
    if (online ? !expectArguments(0) : !expectArguments(1))
        return usageError(printer, QStringLiteral("usage: update FILE, or update --online"));
    if (!online && (parser.isSet(preReleaseOption) || parser.isSet(serverOption) || parser.isSet(caOption) || parser.isSet(forceOption)))
        return usageError(printer, QStringLiteral("--pre-release, --server, --ca-certificate and --force go with --online"));
    if (!online && (parser.isSet(trustedKeyOption) || parser.isSet(allowOlderOption)))
        return usageError(printer, QStringLiteral("--trusted-key and --allow-older go with --online"));
    return runUpdate(context, online ? QString() : arguments.first(), online ? &releaseOptions : nullptr);
}
