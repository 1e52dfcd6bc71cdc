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
#include <cstring>
#include <functional>

namespace {

// The options: the global ones first, then those of the commands, which
// name theirs. A row: name, value name (none for a switch), help and the
// default value.
struct Option
{
    const char *name;
    const char *valueName;
    const char *help;
    const char *defaultValue;
};

const Option options[] = {
    {"port", "PATH", "The adapter's serial port (a tty, a link to one, or a serial bridge's pseudo-terminal).", nullptr},
    {"serial", "PREFIX", "The adapter whose USB serial number starts with PREFIX.", nullptr},
    {"baud", "N", "Baud rate of the serial line (default 115200).", "115200"},
    {"json", nullptr, "Machine-readable output: one JSON object per line.", nullptr},
    {"verbose", nullptr, "Show the library's log at debug level (otherwise warnings only).", nullptr},
    {"timeout", "S", "Seconds to wait for the controller to answer, for progress of an update and for the release server "
                     "(default 10). A command's reply has 2 s.", "10"},
    {"direct", nullptr, "Open the adapter's port even where vexbusd owns the adapter; by default the commands go through the "
                        "service then.", nullptr},
    {"record", "FILE", "Record the serial traffic with the adapter (link and bootloader, both directions, with time stamps) "
                       "into FILE, a trace that vexbus-emulator --replay plays back; the command then opens the port itself, "
                       "as with --direct.", nullptr},
    {"watch", nullptr, "list: keep printing adapters that arrive or leave.", nullptr},
    {"count", "N", "monitor: stop after N bus frames.", nullptr},
    {"ms", "N", "press: how long the button is held, 0 to 65535 ms (default 200).", "200"},
    {"online", nullptr, "update: take the firmware from the release server.", nullptr},
    {"force", nullptr, "update --online: write the release also when the controller runs that version already.", nullptr},
    {"allow-older", nullptr, "update --online: write the release also when it is older than the controller's firmware or than "
                             "a signed release this gateway took before.", nullptr},
    {"pre-release", nullptr, "check-update, update: take releases from the pre-release area.", nullptr},
    {"server", "URL", "check-update, update: base URL of a release server mirror (the directory that holds release.json).", nullptr},
    {"ca-certificate", "FILE", "check-update, update: also trust the CA certificates in FILE (PEM), for a mirror with a private CA.", nullptr},
    {"trusted-key", "FILE", "check-update, update: also trust the release publisher's Ed25519 public key in FILE (PEM); may be "
                            "repeated. The keys in " NIVORA_RELEASE_KEY_DIRECTORY " are always trusted. With a trusted key, "
                            "unsigned releases are refused.", nullptr},
    {"broker", "URL", "fleet: the MQTT broker, mqtt://HOST[:PORT] or mqtts://HOST[:PORT].", nullptr},
    {"user", "NAME", "fleet: the user at the broker.", nullptr},
    {"password-file", "FILE", "fleet: a file whose first line is the broker user's password.", nullptr},
    {"ca-file", "FILE", "fleet: CA certificates (PEM) for mqtts://; the system's without it.", nullptr},
    {"base-topic", "TOPIC", "fleet: the topic below which the gateways publish (default vexbus).", "vexbus"},
    {"udev-rules-dir", "DIR", "doctor: look for udev rules in DIR instead of the system's rule folders; may be repeated, the "
                              "first folder wins.", nullptr},
};
// The options before this one are every command's.
constexpr const char *firstCommandOption = "watch";

QCommandLineOption commandLineOption(const char *name)
{
    for (const Option &option : options) {
        if (std::strcmp(option.name, name) != 0)
            continue;
        QCommandLineOption result(QLatin1String(option.name), QString::fromUtf8(option.help));
        if (option.valueName)
            result.setValueName(QLatin1String(option.valueName));
        if (option.defaultValue)
            result.setDefaultValue(QLatin1String(option.defaultValue));
        return result;
    }
    Q_UNREACHABLE();
    return QCommandLineOption(QString());
}

// A command as the handler sees it: the parsed command line and what every
// command gets.
struct Invocation
{
    const QCommandLineParser &parser;
    const QStringList &arguments;
    const CommandContext &context;

    bool isSet(const char *option) const { return parser.isSet(QLatin1String(option)); }
    QString value(const char *option) const { return parser.value(QLatin1String(option)); }
    QStringList values(const char *option) const { return parser.values(QLatin1String(option)); }
    int usageError(const QString &message) const;
};

int usageError(const Printer &printer, const QString &message)
{
    printer.error(message + QStringLiteral(" (see vexbusctl --help)"));
    return ExitUsage;
}

int Invocation::usageError(const QString &message) const
{
    return ::usageError(*context.printer, message);
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

// The command's words after its name, none expected.
int noArguments(const Invocation &call, const char *command, const std::function<int()> &run)
{
    if (!call.arguments.isEmpty())
        return call.usageError(QStringLiteral("%1 takes no arguments").arg(QLatin1String(command)));
    return run();
}

int list(const Invocation &call)
{
    return noArguments(call, "list", [&call]() { return runList(call.context, call.isSet("watch")); });
}

int doctor(const Invocation &call)
{
    return noArguments(call, "doctor", [&call]() { return runDoctor(call.context, call.values("udev-rules-dir")); });
}

int status(const Invocation &call)
{
    return noArguments(call, "status", [&call]() { return runStatus(call.context); });
}

int reset(const Invocation &call)
{
    return noArguments(call, "reset", [&call]() { return runReset(call.context); });
}

int monitor(const Invocation &call)
{
    uint count = 0;
    if (!call.arguments.isEmpty() || (call.isSet("count") && (!parseUnsigned(call.value("count"), 1000000000, &count) || count == 0)))
        return call.usageError(QStringLiteral("usage: monitor [--count N] with N at least 1"));
    return runMonitor(call.context, int(count));
}

int write(const Invocation &call)
{
    QByteArray frame;
    // The bytes may come as one argument or as several.
    if (call.arguments.isEmpty() || !parseHexFrame(call.arguments.join(QLatin1Char(' ')), &frame))
        return call.usageError(QStringLiteral("usage: write HEX..., whole bytes in hexadecimal digits (spaces and colons allowed)"));
    if (frame.size() > 255)
        return call.usageError(QStringLiteral("a frame holds at most 255 bytes, this one %1").arg(frame.size()));
    return runWrite(call.context, frame);
}

int press(const Invocation &call)
{
    const QStringList &arguments = call.arguments;
    Names::Module module;
    if (arguments.count() != 2 || !Names::moduleFromName(arguments.at(0), &module))
        return call.usageError(QStringLiteral("usage: press ixo|remote|app BUTTON [--ms N]"));
    const int button = Names::buttonFromName(module, arguments.at(1));
    if (button < 0)
        return call.usageError(QStringLiteral("unknown %1 button \"%2\"; the buttons are: %3")
                                       .arg(arguments.at(0), arguments.at(1), Names::buttonNames(module).join(QStringLiteral(", "))));
    uint milliSeconds = 0;
    if (!parseUnsigned(call.value("ms"), 65535, &milliSeconds))
        return call.usageError(QStringLiteral("--ms takes 0 to 65535 milliseconds"));
    return runPress(call.context, module, button, milliSeconds);
}

QString pressHelp()
{
    QString buttons;
    for (const QString &module : {QStringLiteral("ixo"), QStringLiteral("remote"), QStringLiteral("app")}) {
        Names::Module value;
        Names::moduleFromName(module, &value);
        buttons += QStringLiteral("\n  %1: %2").arg(module, Names::buttonNames(value).join(QStringLiteral(", ")));
    }
    return QStringLiteral("\nButtons:") + buttons;
}

int appParams(const Invocation &call)
{
    const QStringList &arguments = call.arguments;
    if (arguments.count() != 1 || (arguments.first() != QLatin1String("on") && arguments.first() != QLatin1String("off")))
        return call.usageError(QStringLiteral("usage: app-params on|off"));
    return runAppParams(call.context, arguments.first() == QLatin1String("on"));
}

int history(const Invocation &call)
{
    return noArguments(call, "history", [&call]() { return runHistory(call.context); });
}

int fleet(const Invocation &call)
{
    if (!call.arguments.isEmpty() || call.value("broker").isEmpty())
        return call.usageError(QStringLiteral("usage: fleet --broker URL [--user NAME] [--password-file FILE] [--ca-file FILE]"));
    FleetView::Options options;
    options.broker = call.value("broker");
    options.user = call.value("user");
    options.passwordFile = call.value("password-file");
    options.caFile = call.value("ca-file");
    options.baseTopic = call.value("base-topic");
    options.timeoutMs = call.context.adapterOptions.timeoutMs;
    return runFleet(call.context, options);
}

int inhibit(const Invocation &call)
{
    if (call.arguments.isEmpty())
        return call.usageError(QStringLiteral("usage: inhibit -- COMMAND [ARGUMENT...]"));
    return runInhibit(call.context, call.arguments);
}

ReleaseOptions releaseOptions(const Invocation &call)
{
    ReleaseOptions releaseOptions;
    releaseOptions.server = call.value("server");
    releaseOptions.caCertificate = call.value("ca-certificate");
    releaseOptions.preRelease = call.isSet("pre-release");
    releaseOptions.trustedKeyFiles = call.values("trusted-key");
    return releaseOptions;
}

int checkUpdate(const Invocation &call)
{
    return noArguments(call, "check-update", [&call]() { return runCheckUpdate(call.context, releaseOptions(call)); });
}

int update(const Invocation &call)
{
    const bool online = call.isSet("online");
    if (call.arguments.count() != (online ? 0 : 1))
        return call.usageError(QStringLiteral("usage: update FILE, or update --online"));
    if (!online && (call.isSet("pre-release") || call.isSet("server") || call.isSet("ca-certificate") || call.isSet("force")))
        return call.usageError(QStringLiteral("--pre-release, --server, --ca-certificate and --force go with --online"));
    if (!online && (call.isSet("trusted-key") || call.isSet("allow-older")))
        return call.usageError(QStringLiteral("--trusted-key and --allow-older go with --online"));
    ReleaseOptions options = releaseOptions(call);
    options.force = call.isSet("force");
    options.allowOlder = call.isSet("allow-older");
    return runUpdate(call.context, online ? QString() : call.arguments.first(), online ? &options : nullptr);
}

// The commands, as git's table has them: a row each with its synopsis,
// description, options and handler.
struct Command
{
    const char *name;
    const char *synopsis;
    const char *description;
    std::initializer_list<const char *> options;
    int (*handler)(const Invocation &call);
    // Talks to an adapter, so that its traffic can be recorded.
    bool recorded;
    // More of the command's help.
    QString (*moreHelp)();
};

const Command commands[] = {
    {"list", "list [--watch]", "List the adapters that udev finds (device path, serial number, USB ID, vendor and product).",
     {"watch"}, list, false, nullptr},
    {"status", "status", "Connect, wait for the controller and show its firmware version, LED mode, bus type, bus flags and serial port.",
     {}, status, true, nullptr},
    {"monitor", "monitor [--count N]", "Print every bus frame (time stamp and hexadecimal) and every status change until Ctrl-C.",
     {"count"}, monitor, true, nullptr},
    {"write", "write HEX...", "Write one frame (at most 255 bytes, e.g. 0a1b2c, 0a 1b 2c or 0a:1b:2c) to the bus.",
     {}, write, true, nullptr},
    {"press", "press ixo|remote|app BUTTON [--ms N]", "Press a button of an emulated bus module for N ms (default 200).",
     {"ms"}, press, true, pressHelp},
    {"app-params", "app-params on|off", "Switch the app connector's parameter handling on or off.", {}, appParams, true, nullptr},
    {"reset", "reset", "Reset the controller and wait until it answers again.", {}, reset, true, nullptr},
    {"check-update", "check-update [--pre-release] [--server URL] [--trusted-key FILE]",
     "Ask the release server for the current firmware and verify its image.",
     {"pre-release", "server", "ca-certificate", "trusted-key"}, checkUpdate, false, nullptr},
    {"update", "update FILE | update --online [--pre-release] [--server URL] [--trusted-key FILE] [--force] [--allow-older]",
     "Write new firmware into the controller, from an image file or from the release server.",
     {"online", "force", "allow-older", "pre-release", "server", "ca-certificate", "trusted-key"}, update, true, nullptr},
    {"history", "history",
     "Show the firmware updates that vexbusd recorded, refusals included, oldest first: of the whole gateway, or of the "
     "adapter --port or --serial names.", {}, history, false, nullptr},
    {"fleet", "fleet --broker URL [--user NAME] [--password-file FILE] [--ca-file FILE] [--base-topic TOPIC]",
     "Show the gateways and adapters that share an MQTT broker, from what the broker keeps retained: a line per gateway and "
     "adapter with its state, firmware, target version and last update.",
     {"broker", "user", "password-file", "ca-file", "base-topic"}, fleet, false, nullptr},
    {"inhibit", "inhibit -- COMMAND [ARGUMENT...]",
     "Run COMMAND while vexbusd lends it the adapter: the service closes the port until COMMAND ends.", {}, inhibit, true, nullptr},
    {"doctor", "doctor [--udev-rules-dir DIR]",
     "Check what stands between you and the adapter (USB driver, udev rule, ModemManager, brltty, permission, other programs "
     "on the port, latency timer, controller or its bootloader), each problem with its fix. Exit code 1 when a problem was found.",
     {"udev-rules-dir"}, doctor, false, nullptr},
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

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Finds Nivora Vexbus USB adapters, shows their state, watches the bus, "
                                                    "sends commands and updates the controller's firmware."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    for (const Option &option : options) {
        if (std::strcmp(option.name, firstCommandOption) == 0)
            break;
        parser.addOption(commandLineOption(option.name));
    }
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command; see below."));
    parser.parse(QCoreApplication::arguments());

    const QStringList positional = parser.positionalArguments();
    const Command *command = positional.isEmpty() ? nullptr : findCommand(positional.first());
    if (command) {
        // The command's own options, and its help.
        parser.setApplicationDescription(QLatin1String(command->description) + (command->moreHelp ? command->moreHelp() : QString()));
        parser.clearPositionalArguments();
        parser.addPositionalArgument(QLatin1String(command->name), QLatin1String(command->description), QLatin1String(command->synopsis));
        for (const char *option : command->options)
            parser.addOption(commandLineOption(option));
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

    const Printer printer(parser.isSet(QStringLiteral("json")));
    if (!command) {
        if (positional.isEmpty()) {
            std::fputs(qPrintable(parser.helpText()), stdout);
            return ExitUsage;
        }
        return usageError(printer, QStringLiteral("unknown command \"%1\"").arg(positional.first()));
    }

    // Warnings only, unless asked for more; QT_LOGGING_RULES still wins.
    // The doctor's findings say what the library's warnings would.
    const bool doctor = command->handler == ::doctor;
    QLoggingCategory::setFilterRules(parser.isSet(QStringLiteral("verbose")) ? QStringLiteral("VexbusUsb*=true")
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

    const QStringList arguments = parser.positionalArguments().mid(1);
    const Invocation call{parser, arguments, context};
    uint number = 0;
    if (call.isSet("port") && call.isSet("serial"))
        return usageError(printer, QStringLiteral("give either --port or --serial, not both"));
    if ((call.isSet("port") && call.value("port").isEmpty()) || (call.isSet("serial") && call.value("serial").isEmpty()))
        return usageError(printer, QStringLiteral("--port and --serial take a path and a serial number prefix"));
    context.adapterOptions.port = call.value("port");
    context.adapterOptions.serialPrefix = call.value("serial");
    if (!parseUnsigned(call.value("baud"), 4000000, &number) || number == 0)
        return usageError(printer, QStringLiteral("--baud takes a baud rate such as 115200"));
    context.adapterOptions.baudrate = int(number);
    bool ok = false;
    const double timeout = call.value("timeout").toDouble(&ok);
    if (!ok || !std::isfinite(timeout) || qRound(timeout * 1000) < 1 || timeout > 3600)
        return usageError(printer, QStringLiteral("--timeout takes seconds, at least 0.001 and at most 3600"));
    context.adapterOptions.timeoutMs = qRound(timeout * 1000);
    context.direct = call.isSet("direct");
    context.adapterOptions.recordFile = call.value("record");
    if (call.isSet("record") && context.adapterOptions.recordFile.isEmpty())
        return usageError(printer, QStringLiteral("--record takes the path of a trace file"));
    // list and check-update never talk to an adapter, and doctor only asks.
    if (call.isSet("record") && !command->recorded)
        return usageError(printer, QStringLiteral("--record records the traffic with an adapter; %1 has none").arg(QLatin1String(command->name)));
    return command->handler(call);
}
