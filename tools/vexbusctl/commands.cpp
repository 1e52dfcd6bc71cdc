// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "commands.h"
#include "releasetrust.h"
#include "terminationsignals.h"
#include "printer.h"
#include "progressbar.h"
#include "serviceadapter.h"
#include "servicelease.h"
#include "waiter.h"

#include "bootloader/firmwaredata.h"
#include "bootloader/firmwaredatarow.h"
#include "bootloader/firmwareupdate.h"
#include "firmware/firmwaredownloader.h"
#include "firmware/releasekey.h"

#include <QDBusArgument>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMetaEnum>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTimer>
#include <QVersionNumber>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace NivoraVexbusUsb;

namespace {

// A reply times out after 2000 ms in the library; waiting a little longer
// lets its own time-out speak first.
constexpr int replyWaitMarginMs = 500;

// The system's serial ports by system location, listed once: QSerialPortInfo's
// own look-up by name compares the short port name only, and lists them all
// on every call.
QHash<QString, QSerialPortInfo> serialPortsByLocation()
{
    QHash<QString, QSerialPortInfo> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports.insert(info.systemLocation(), info);
    return ports;
}

// Local time as QDateTime::currentDateTime().toString(Qt::ISODateWithMs)
// writes it ("yyyy-MM-ddThh:mm:ss.zzz", timeStampLength characters), without
// asking for the zone on every call: that examines the zone's file each
// time, which a monitor would do for every frame. The offset from UTC is
// looked up once a quarter of an hour, since every zone's offset is a whole
// number of quarter hours and its changes come at the start of one.
constexpr int timeStampLength = 23;
void writeTimeStamp(char *text)
{
    constexpr qint64 quarterHourMs = 15 * 60 * 1000;
    constexpr qint64 dayMs = 24 * 60 * 60 * 1000;
    static qint64 offsetQuarter = -1;
    static qint64 offsetMs = 0;
    const qint64 utcMs = QDateTime::currentMSecsSinceEpoch();
    if (utcMs / quarterHourMs != offsetQuarter) {
        offsetQuarter = utcMs / quarterHourMs;
        offsetMs = qint64(QDateTime::fromMSecsSinceEpoch(utcMs).offsetFromUtc()) * 1000;
    }
    const qint64 localMs = utcMs + offsetMs;
    const qint64 days = localMs / dayMs;
    const qint64 msOfDay = localMs % dayMs;
    // The civil date of a day count since 1970-01-01 (after 1970).
    const qint64 z = days + 719468;
    const qint64 era = z / 146097;
    const qint64 dayOfEra = z - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 shiftedMonth = (5 * dayOfYear + 2) / 153;
    const int day = int(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    const int month = int(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    const int year = int(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    // Digit by digit: snprintf() would cost more than all the rest.
    auto put = [text](int position, int width, qint64 value) {
        for (int i = position + width - 1; i >= position; --i, value /= 10)
            text[i] = char('0' + value % 10);
    };
    put(0, 4, year);
    text[4] = '-';
    put(5, 2, month);
    text[7] = '-';
    put(8, 2, day);
    text[10] = 'T';
    put(11, 2, msOfDay / 3600000);
    text[13] = ':';
    put(14, 2, msOfDay / 60000 % 60);
    text[16] = ':';
    put(17, 2, msOfDay / 1000 % 60);
    text[19] = '.';
    put(20, 3, msOfDay % 1000);
}

QString timeStamp()
{
    char text[timeStampLength];
    writeTimeStamp(text);
    return QString::fromLatin1(text, timeStampLength);
}

// A bus frame's line as the monitor prints it, in ASCII: text mode
// "<time> frame  0a 1b 2c", JSON mode {"data":"0a1b2c","event":"frame",
// "time":"<time>"} (QJsonObject's key order). Built as bytes, since a
// monitor at line rate prints hundreds a second.
QByteArray frameLine(const QByteArray &frame, bool json)
{
    static const char digits[] = "0123456789abcdef";
    static const char textMiddle[] = " frame  ";
    static const char jsonStart[] = "{\"data\":\"";
    static const char jsonMiddle[] = "\",\"event\":\"frame\",\"time\":\"";
    static const char jsonEnd[] = "\"}";
    const int hexLength = json ? 2 * frame.size() : qMax(0, 3 * frame.size() - 1);
    const int length = timeStampLength + hexLength
            + (json ? int(sizeof(jsonStart) + sizeof(jsonMiddle) + sizeof(jsonEnd)) - 3 : int(sizeof(textMiddle)) - 1);
    QByteArray line(length, Qt::Uninitialized);
    char *out = line.data();
    auto append = [&out](const char *text, int size) {
        std::memcpy(out, text, size_t(size));
        out += size;
    };
    char time[timeStampLength];
    writeTimeStamp(time);
    if (json) {
        append(jsonStart, int(sizeof(jsonStart)) - 1);
    } else {
        append(time, timeStampLength);
        append(textMiddle, int(sizeof(textMiddle)) - 1);
    }
    for (int i = 0; i < frame.size(); ++i) {
        if (!json && i > 0)
            *out++ = ' ';
        const auto byte = static_cast<unsigned char>(frame.at(i));
        *out++ = digits[byte >> 4];
        *out++ = digits[byte & 0xF];
    }
    if (json) {
        append(jsonMiddle, int(sizeof(jsonMiddle)) - 1);
        append(time, timeStampLength);
        append(jsonEnd, int(sizeof(jsonEnd)) - 1);
    }
    return line;
}

QString orDash(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("-") : value;
}

QString usbId(unsigned short identifier)
{
    return identifier ? QStringLiteral("%1").arg(identifier, 4, 16, QLatin1Char('0')) : QString();
}

// Text from the release server goes to a terminal: its control characters
// (and the format characters that reorder a line) are shown escaped, so
// that it makes no line, colour or cursor movement of its own. A backslash
// is doubled, so that an escape cannot be faked either.
QString printable(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar character : text) {
        const QChar::Category category = character.category();
        if (character == QLatin1Char('\\'))
            result += QStringLiteral("\\\\");
        else if (category == QChar::Other_Control || category == QChar::Other_Format)
            result += character.unicode() < 0x100 ? QStringLiteral("\\x%1").arg(character.unicode(), 2, 16, QLatin1Char('0'))
                                                  : QStringLiteral("\\u%1").arg(character.unicode(), 4, 16, QLatin1Char('0'));
        else
            result += character;
    }
    return result;
}

int interrupted(const Printer *printer)
{
    printer->error(QStringLiteral("interrupted"));
    return ExitInterrupted;
}

// Opens the session and waits for the controller.
int openAndWait(AdapterSession *session, const Printer *printer)
{
    const int opened = session->open();
    if (opened != ExitSuccess)
        return opened;
    const int answered = session->waitForController();
    return answered == ExitInterrupted ? interrupted(printer) : answered;
}

// What status and monitor show of an adapter, read from the library's
// object or from vexbusd.
struct AdapterView
{
    QString port;
    bool available = false;
    bool controllerInBootloader = false;
    QString firmwareVersion;
    QString ledMode;
    QString busType;
    bool busSynchronized = false;
    bool busInitialized = false;
    bool busAvailable = false;
    QString serialPortName;
    QString serialPortSystemLocation;
    QString serialPortDescription;
    QString serialPortManufacturer;
    QString serialPortSerialNumber;
    unsigned short vendorIdentifier = 0;
    unsigned short productIdentifier = 0;
    int baudrate = 0;
};

AdapterView viewOf(const NivoraVexbusUsbAdapter *adapter)
{
    AdapterView view;
    view.port = adapter->portName();
    view.available = adapter->available();
    view.controllerInBootloader = adapter->controllerInBootloader();
    view.firmwareVersion = adapter->firmwareVersion();
    view.ledMode = Names::of(adapter->ledMode());
    view.busType = Names::of(adapter->vexbusType());
    view.busSynchronized = adapter->vexbusSynchronized();
    view.busInitialized = adapter->vexbusInitialized();
    view.busAvailable = adapter->vexbusAvailable();
    view.serialPortName = adapter->serialPortName();
    view.serialPortSystemLocation = adapter->serialPortSystemLocation();
    view.serialPortDescription = adapter->serialPortDescription();
    view.serialPortManufacturer = adapter->serialPortManufacturer();
    view.serialPortSerialNumber = adapter->serialPortSerialNumber();
    view.vendorIdentifier = adapter->serialPortVendorIdentifier();
    view.productIdentifier = adapter->serialPortProductIdentifier();
    view.baudrate = adapter->baudrate();
    return view;
}

// The service names the adapter's state; its serial port is described as
// the library describes it, from the system's list of serial ports.
AdapterView viewOf(const ServiceAdapter *service, const QSerialPortInfo &info)
{
    AdapterView view;
    view.port = service->port();
    view.available = service->available();
    view.controllerInBootloader = service->value(QStringLiteral("ControllerInBootloader")).toBool();
    view.firmwareVersion = service->firmwareVersion();
    view.ledMode = service->value(QStringLiteral("LedMode")).toString();
    view.busType = service->value(QStringLiteral("BusType")).toString();
    view.busSynchronized = service->value(QStringLiteral("BusSynchronized")).toBool();
    view.busInitialized = service->value(QStringLiteral("BusInitialized")).toBool();
    view.busAvailable = service->value(QStringLiteral("BusAvailable")).toBool();
    view.serialPortName = info.portName();
    view.serialPortSystemLocation = info.systemLocation();
    view.serialPortDescription = info.description();
    view.serialPortManufacturer = info.manufacturer();
    view.serialPortSerialNumber = info.serialNumber();
    view.vendorIdentifier = info.vendorIdentifier();
    view.productIdentifier = info.productIdentifier();
    view.baudrate = service->value(QStringLiteral("BaudRate")).toInt();
    return view;
}

QJsonObject statusObject(const AdapterView &adapter)
{
    QJsonObject serialPort;
    serialPort.insert(QStringLiteral("name"), adapter.serialPortName);
    serialPort.insert(QStringLiteral("systemLocation"), adapter.serialPortSystemLocation);
    serialPort.insert(QStringLiteral("description"), adapter.serialPortDescription);
    serialPort.insert(QStringLiteral("manufacturer"), adapter.serialPortManufacturer);
    serialPort.insert(QStringLiteral("serialNumber"), adapter.serialPortSerialNumber);
    serialPort.insert(QStringLiteral("vendorIdentifier"), usbId(adapter.vendorIdentifier));
    serialPort.insert(QStringLiteral("productIdentifier"), usbId(adapter.productIdentifier));
    serialPort.insert(QStringLiteral("baudrate"), adapter.baudrate);

    QJsonObject object;
    object.insert(QStringLiteral("port"), adapter.port);
    object.insert(QStringLiteral("available"), adapter.available);
    object.insert(QStringLiteral("controllerInBootloader"), adapter.controllerInBootloader);
    object.insert(QStringLiteral("firmwareVersion"), adapter.firmwareVersion);
    object.insert(QStringLiteral("ledMode"), adapter.ledMode);
    object.insert(QStringLiteral("vexbusType"), adapter.busType);
    object.insert(QStringLiteral("vexbusSynchronized"), adapter.busSynchronized);
    object.insert(QStringLiteral("vexbusInitialized"), adapter.busInitialized);
    object.insert(QStringLiteral("vexbusAvailable"), adapter.busAvailable);
    object.insert(QStringLiteral("serialPort"), serialPort);
    return object;
}

QString statusText(const AdapterView &adapter)
{
    const QString usb = adapter.vendorIdentifier
            ? usbId(adapter.vendorIdentifier) + QLatin1Char(':') + usbId(adapter.productIdentifier)
            : QString();
    return QStringList{
        Printer::field(QStringLiteral("Port"), adapter.port),
        Printer::field(QStringLiteral("Firmware version"), adapter.firmwareVersion),
        Printer::field(QStringLiteral("LED mode"), adapter.ledMode),
        Printer::field(QStringLiteral("Bus type"), adapter.busType),
        Printer::field(QStringLiteral("Bus synchronized"), Printer::yesNo(adapter.busSynchronized)),
        Printer::field(QStringLiteral("Bus initialized"), Printer::yesNo(adapter.busInitialized)),
        Printer::field(QStringLiteral("Bus available"), Printer::yesNo(adapter.busAvailable)),
        Printer::field(QStringLiteral("Serial port"), QStringLiteral("%1, %2 baud").arg(orDash(adapter.serialPortName)).arg(adapter.baudrate)),
        Printer::field(QStringLiteral("  description"), orDash(adapter.serialPortDescription)),
        Printer::field(QStringLiteral("  manufacturer"), orDash(adapter.serialPortManufacturer)),
        Printer::field(QStringLiteral("  serial number"), orDash(adapter.serialPortSerialNumber)),
        Printer::field(QStringLiteral("  USB ID"), orDash(usb)),
        Printer::field(QStringLiteral("In bootloader"), Printer::yesNo(adapter.controllerInBootloader)),
    }.join(QLatin1Char('\n'));
}

QString busStatusText(const AdapterView &adapter)
{
    return QStringLiteral("led %1, bus %2 synchronized, %3 initialized, %4 available, type %5")
            .arg(adapter.ledMode,
                 adapter.busSynchronized ? QString() : QStringLiteral("not"),
                 adapter.busInitialized ? QString() : QStringLiteral("not"),
                 adapter.busAvailable ? QString() : QStringLiteral("not"),
                 adapter.busType)
            .replace(QStringLiteral("  "), QStringLiteral(" "));
}

// The adapter through vexbusd, when the service owns the one the options
// name; null when the command opens the port itself. *exitCode tells
// whether the command may go on either way (ExitSuccess).
std::unique_ptr<ServiceAdapter> servedAdapter(const CommandContext &context, int *exitCode)
{
    *exitCode = ExitSuccess;
    // The traffic of a port can only be recorded where the port is opened.
    if (context.direct || !context.adapterOptions.recordFile.isEmpty())
        return nullptr;
    std::unique_ptr<ServiceAdapter> service(new ServiceAdapter);
    if (!service->find(context.adapterOptions, context.printer, exitCode))
        return nullptr;
    return service;
}

// Waits until the controller of the service's adapter answers, as
// AdapterSession::waitForController() waits for the port's.
int waitForServedController(const CommandContext &context, ServiceAdapter *service, bool reportFailure = true)
{
    Waiter waiter(context.terminationSignals, [service]() { return service->available() || !service->lease().isEmpty(); });
    waiter.wakeOn(service, &ServiceAdapter::propertiesChanged);
    if (waiter.wait(context.adapterOptions.timeoutMs) == Waiter::Interrupted)
        return interrupted(context.printer);
    if (!service->lease().isEmpty()) {
        context.printer->error(QStringLiteral("%1; run the command when that program has given it back.").arg(service->lease()));
        return ExitNoAdapter;
    }
    if (service->available())
        return ExitSuccess;
    if (!reportFailure)
        return ExitFailure;
    if (service->value(QStringLiteral("State")).toString() == QLatin1String("unconnected")) {
        context.printer->error(QStringLiteral("vexbusd cannot open %1: the device disappeared or closed the line.").arg(service->port()));
        return ExitFailure;
    }
    context.printer->error(QStringLiteral("the controller at %1 did not answer within %2 s: the port is open, but the "
                                          "controller does not answer its firmware-version request. Check that the adapter "
                                          "is powered; after an interrupted update it waits in its bootloader "
                                          "(run: vexbusctl update FILE).")
                                   .arg(service->port()).arg(context.adapterOptions.timeoutMs / 1000.0));
    return ExitFailure;
}

// The name of the library's reply error that an error of vexbusd stands for.
QString replyErrorName(const QString &serviceError)
{
    static const QHash<QString, NivoraVexbusUsbReply::Error> errors{
        {QStringLiteral("Timeout"), NivoraVexbusUsbReply::ErrorTimeout},
        {QStringLiteral("ControllerError"), NivoraVexbusUsbReply::ErrorInterfaceError},
        {QStringLiteral("NotAvailable"), NivoraVexbusUsbReply::ErrorNotAvailable},
        {QStringLiteral("Inhibited"), NivoraVexbusUsbReply::ErrorNotAvailable},
        {QStringLiteral("InvalidArgument"), NivoraVexbusUsbReply::ErrorInvalidArgument},
        {QStringLiteral("UpdateRunning"), NivoraVexbusUsbReply::ErrorUpdateRunning},
        {QStringLiteral("Aborted"), NivoraVexbusUsbReply::ErrorAborted}};
    const QString name = serviceError.section(QLatin1Char('.'), -1);
    if (!serviceError.startsWith(ServiceAdapter::serviceName + QStringLiteral(".Error.")) || !errors.contains(name))
        return name;
    return QString::fromLatin1(QMetaEnum::fromType<NivoraVexbusUsbReply::Error>().valueToKey(errors.value(name)));
}

// A command's failure: the reason on standard error and, for scripts, the
// result with the error's name.
int commandFailed(const CommandContext &context, const QString &description, const QString &target, const QString &message,
                  QJsonObject result, const QString &error, const QString &controllerError)
{
    context.printer->error(QStringLiteral("%1 failed at %2: %3").arg(description, target, message));
    if (context.printer->json()) {
        result.insert(QStringLiteral("success"), false);
        result.insert(QStringLiteral("error"), error);
        result.insert(QStringLiteral("message"), message);
        if (!controllerError.isEmpty())
            result.insert(QStringLiteral("controllerError"), controllerError);
        context.printer->result(QString(), result);
    }
    return ExitFailure;
}

// A command's success; the firmware of a controller that restarted goes with it.
int commandSucceeded(const CommandContext &context, QJsonObject result, QString done, const QString &restartedVersion)
{
    if (!restartedVersion.isEmpty()) {
        result.insert(QStringLiteral("firmwareVersion"), restartedVersion);
        done += QStringLiteral(" with firmware %1").arg(restartedVersion);
    }
    result.insert(QStringLiteral("success"), true);
    context.printer->result(QStringLiteral("ok: %1").arg(done), result);
    return ExitSuccess;
}

// vexbusd's adapters keep the library's response time-out.
constexpr int serviceResponseTimeoutMs = 2000;

// A command through vexbusd: method with arguments stands for send().
struct ServiceRequest
{
    QString method;
    QVariantList arguments;
};

int runServedCommand(const CommandContext &context, ServiceAdapter *service, const QString &command, const QString &description,
                     QString done, const ServiceRequest &request, QJsonObject result, bool restarts)
{
    const int ready = waitForServedController(context, service);
    if (ready != ExitSuccess)
        return ready;

    // A reset takes the controller away; it is back when it answers again.
    bool wentAway = false;
    QObject receiver;
    QObject::connect(service, &ServiceAdapter::propertiesChanged, &receiver, [&wentAway, service]() {
        wentAway = wentAway || !service->available();
    });
    // The service answers after the response time-out at the latest; the
    // call's own limit only guards against a service that never does.
    const int limitMs = 2 * (serviceResponseTimeoutMs + replyWaitMarginMs);
    bool stopped = false;
    const QDBusMessage reply = service->call(request.method, request.arguments, limitMs, &stopped, context.terminationSignals);
    if (stopped)
        return interrupted(context.printer);

    result.insert(QStringLiteral("command"), command);
    result.insert(QStringLiteral("port"), service->port());
    if (reply.type() == QDBusMessage::ErrorMessage) {
        if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
            return commandFailed(context, description, service->port(), QStringLiteral("The request got no outcome within %1 ms.").arg(limitMs),
                                 result, QString::fromLatin1(QMetaEnum::fromType<NivoraVexbusUsbReply::Error>().valueToKey(NivoraVexbusUsbReply::ErrorTimeout)),
                                 QString());
        }
        // The controller's code is named in the sentence, as the library writes it.
        const QRegularExpressionMatch code = QRegularExpression(QStringLiteral("with error code (\\d+) ")).match(reply.errorMessage());
        const QString controllerError = reply.errorName().endsWith(QLatin1String(".ControllerError")) && code.hasMatch()
                ? Names::of(NivoraVexbusUsbUtils::Error(code.captured(1).toInt())) : QString();
        return commandFailed(context, description, service->port(), reply.errorMessage(), result, replyErrorName(reply.errorName()),
                             controllerError);
    }

    if (restarts) {
        context.printer->text(QStringLiteral("reset acknowledged; waiting for the controller to restart"));
        Waiter waiter(context.terminationSignals, [&wentAway]() { return wentAway; });
        waiter.wakeOn(service, &ServiceAdapter::propertiesChanged);
        if (waiter.wait(context.adapterOptions.timeoutMs) == Waiter::Interrupted)
            return interrupted(context.printer);
        const int back = waitForServedController(context, service);
        if (back != ExitSuccess)
            return back;
        return commandSucceeded(context, result, done, service->firmwareVersion());
    }
    return commandSucceeded(context, result, done, QString());
}

// Sends one command with send(), or through vexbusd with request, and waits
// for its reply, whose error and sentence the tool passes on as they are.
// description names the action ("writing 3 bytes to the bus"), done says it
// happened ("wrote 3 bytes to the bus"). A command that restarts the
// controller is done when the controller answers again.
int runCommand(const CommandContext &context, const QString &command, const QString &description, QString done,
               const std::function<NivoraVexbusUsbReply *(NivoraVexbusUsbAdapter *)> &send, const ServiceRequest &request,
               QJsonObject result = QJsonObject(), bool restarts = false)
{
    int found = ExitSuccess;
    const std::unique_ptr<ServiceAdapter> service = servedAdapter(context, &found);
    if (found != ExitSuccess)
        return found;
    if (service)
        return runServedCommand(context, service.get(), command, description, done, request, result, restarts);

    AdapterSession session(context.adapterOptions, context.printer, context.terminationSignals);
    const int ready = openAndWait(&session, context.printer);
    if (ready != ExitSuccess)
        return ready;

    NivoraVexbusUsbAdapter *adapter = session.adapter();
    bool finished = false;
    NivoraVexbusUsbReply::Error error = NivoraVexbusUsbReply::ErrorNoError;
    NivoraVexbusUsbUtils::Error controllerError = NivoraVexbusUsbUtils::ErrorNoError;
    QString message;
    // The reply is gone after its finished(): its outcome is taken there.
    NivoraVexbusUsbReply *reply = send(adapter);
    QObject::connect(reply, &NivoraVexbusUsbReply::finished, adapter, [&, reply]() {
        finished = true;
        error = reply->error();
        controllerError = reply->controllerError();
        message = reply->errorString();
    });
    Waiter waiter(context.terminationSignals, [&finished]() { return finished; });
    waiter.wakeOn(reply, &NivoraVexbusUsbReply::finished);
    // The reply ends by itself after the adapter's response time-out; the
    // wait's own limit only guards against a reply that never does.
    const Waiter::Result waited = waiter.wait(adapter->responseTimeout() + replyWaitMarginMs);
    if (waited == Waiter::Interrupted)
        return interrupted(context.printer);

    result.insert(QStringLiteral("command"), command);
    result.insert(QStringLiteral("port"), adapter->portName());
    if (waited == Waiter::TimedOut) {
        error = NivoraVexbusUsbReply::ErrorTimeout;
        message = QStringLiteral("The request got no outcome within %1 ms.").arg(adapter->responseTimeout() + replyWaitMarginMs);
    }
    if (error != NivoraVexbusUsbReply::ErrorNoError) {
        return commandFailed(context, description, session.target(), message, result,
                             QString::fromLatin1(QMetaEnum::fromType<NivoraVexbusUsbReply::Error>().valueToKey(error)),
                             error == NivoraVexbusUsbReply::ErrorInterfaceError ? Names::of(controllerError) : QString());
    }

    if (restarts) {
        // The controller reboots and announces itself; the init runs again.
        context.printer->text(QStringLiteral("reset acknowledged; waiting for the controller to restart"));
        const int back = session.waitForController();
        if (back == ExitInterrupted)
            return interrupted(context.printer);
        if (back != ExitSuccess)
            return back;
        return commandSucceeded(context, result, done, adapter->firmwareVersion());
    }
    return commandSucceeded(context, result, done, QString());
}

// The key files each trusted key came from, by fingerprint.
using KeyFiles = QHash<QString, QString>;

// The library reads no key files; the keys installed for all users and the
// ones given on the command line are handed to it here.
bool configureDownloader(FirmwareDownloader *downloader, const ReleaseOptions &releaseOptions,
                         const Printer *printer, KeyFiles *keyFiles)
{
    if (!releaseOptions.server.isEmpty()) {
        downloader->setBaseUrl(releaseOptions.server);
        if (downloader->baseUrl() != releaseOptions.server) {
            printer->error(QStringLiteral("--server %1: only https:// URLs are taken").arg(releaseOptions.server));
            return false;
        }
    }
    downloader->setPreReleaseEnabled(releaseOptions.preRelease);
    downloader->setOlderReleasesAllowed(releaseOptions.allowOlder);

    ReleaseTrust trust;
    QString error;
    if (!trust.addInstalledKeys(&error)) {
        printer->error(error);
        return false;
    }
    for (const QString &path : releaseOptions.trustedKeyFiles) {
        if (!trust.addKeyFile(path, &error)) {
            printer->error(QStringLiteral("--trusted-key ") + error);
            return false;
        }
    }
    for (const ReleaseKey &key : trust.keys()) {
        downloader->addTrustedKey(key);
        keyFiles->insert(key.fingerprint(), trust.fileOf(key.fingerprint()));
    }
    return true;
}

bool trustCertificate(const QString &path, const Printer *printer)
{
    if (path.isEmpty() || ReleaseTrust::addCaCertificates(path))
        return true;
    printer->error(QStringLiteral("no PEM certificate in %1.").arg(path));
    return false;
}

// A release as check-update shows it, from the tool's own downloader or
// from vexbusd.
struct ReleaseView
{
    bool authenticated = false;
    QString signingKey;
    // Where the key that verified the release came from.
    QString signingKeyFile;
    QString version;
    QString hardware;
    QDateTime releaseDate;
    QString fileName;
    bool preRelease = false;
    QString server;
};

ReleaseView viewOf(const FirmwareDownloader *downloader, const KeyFiles &keyFiles)
{
    ReleaseView view;
    view.authenticated = downloader->releaseAuthenticated();
    view.signingKey = downloader->releaseKeyFingerprint();
    view.signingKeyFile = keyFiles.value(view.signingKey);
    view.version = downloader->versionString();
    view.hardware = downloader->hardwareName();
    view.releaseDate = downloader->releaseDateTime();
    view.fileName = downloader->updateFileName();
    view.preRelease = downloader->preReleaseEnabled();
    view.server = downloader->baseUrl();
    return view;
}

// The answer of CheckForRelease. The service trusts keys of its own: no
// file of this user's names them.
ReleaseView viewOf(const QVariantMap &release)
{
    ReleaseView view;
    view.authenticated = release.value(QStringLiteral("authenticated")).toBool();
    view.signingKey = release.value(QStringLiteral("signing-key")).toString();
    view.version = release.value(QStringLiteral("version")).toString();
    view.hardware = release.value(QStringLiteral("hardware")).toString();
    view.releaseDate = QDateTime::fromString(release.value(QStringLiteral("release-date")).toString(), Qt::ISODate);
    view.fileName = release.value(QStringLiteral("file-name")).toString();
    view.preRelease = release.value(QStringLiteral("pre-release")).toBool();
    view.server = release.value(QStringLiteral("server")).toString();
    return view;
}

QString signatureText(const ReleaseView &release)
{
    if (!release.authenticated)
        return QStringLiteral("not checked, no trusted key (--trusted-key FILE)");
    return QStringLiteral("verified, key %1 (%2)").arg(release.signingKey, release.signingKeyFile.isEmpty()
                                                                            ? QStringLiteral("trusted by vexbusd")
                                                                            : printable(release.signingKeyFile));
}

QJsonObject releaseObject(const ReleaseView &release)
{
    QJsonObject object;
    object.insert(QStringLiteral("authenticated"), release.authenticated);
    if (release.authenticated) {
        object.insert(QStringLiteral("signingKey"), release.signingKey);
        if (!release.signingKeyFile.isEmpty())
            object.insert(QStringLiteral("signingKeyFile"), release.signingKeyFile);
    }
    object.insert(QStringLiteral("version"), release.version);
    object.insert(QStringLiteral("hardware"), release.hardware);
    object.insert(QStringLiteral("releaseDate"), release.releaseDate.toUTC().toString(Qt::ISODate));
    object.insert(QStringLiteral("fileName"), release.fileName);
    object.insert(QStringLiteral("preRelease"), release.preRelease);
    object.insert(QStringLiteral("server"), release.server);
    return object;
}

QString releaseText(const ReleaseView &release)
{
    const QDateTime date = release.releaseDate;
    return QStringList{
        Printer::field(QStringLiteral("Version"), printable(release.version)),
        Printer::field(QStringLiteral("Hardware"), orDash(printable(release.hardware))),
        Printer::field(QStringLiteral("Release date"), date.toOffsetFromUtc(date.offsetFromUtc()).toString(Qt::ISODate)),
        Printer::field(QStringLiteral("File"), printable(release.fileName)),
        Printer::field(QStringLiteral("Server"), printable(release.server) + (release.preRelease ? QStringLiteral(" (pre-release)") : QString())),
        Printer::field(QStringLiteral("Signature"), signatureText(release)),
    }.join(QLatin1Char('\n'));
}

// Fetches the release description and its verified image.
int fetchRelease(const CommandContext &context, FirmwareDownloader *downloader, const KeyFiles &keyFiles)
{
    bool released = false;
    bool downloaded = false;
    QString failure;
    // The downloader may outlive this call; the receiver ends the connections.
    QObject receiver;
    QObject::connect(downloader, &FirmwareDownloader::firmwareUpdateFinished, &receiver, [&]() { released = true; });
    QObject::connect(downloader, &FirmwareDownloader::firmwareDownloadFinished, &receiver, [&]() { downloaded = true; });
    QObject::connect(downloader, &FirmwareDownloader::errorOccurred, &receiver,
                     [&](const QString &errorString) { failure = errorString; });

    Waiter waiter(context.terminationSignals, [&]() { return downloaded || !failure.isEmpty(); });
    waiter.wakeOn(downloader, &FirmwareDownloader::firmwareDownloadFinished);
    waiter.wakeOn(downloader, &FirmwareDownloader::errorOccurred);
    downloader->checkNewFirmware();
    const Waiter::Result waited = waiter.wait(context.adapterOptions.timeoutMs);
    if (waited == Waiter::Interrupted)
        return interrupted(context.printer);
    if (waited == Waiter::TimedOut) {
        context.printer->error(QStringLiteral("no answer from the release server %1 within %2 s.")
                                       .arg(downloader->baseUrl()).arg(context.adapterOptions.timeoutMs / 1000.0));
        return ExitFailure;
    }

    if (released) {
        const ReleaseView release = viewOf(downloader, keyFiles);
        QJsonObject object = releaseObject(release);
        object.insert(QStringLiteral("verified"), downloaded);
        if (downloaded)
            object.insert(QStringLiteral("rowCount"), downloader->firmware().rows().count());
        context.printer->result(releaseText(release), object);
    }
    if (!failure.isEmpty()) {
        context.printer->error(QStringLiteral("release server %1: %2").arg(printable(downloader->baseUrl()), printable(failure)));
        return ExitFailure;
    }
    context.printer->text(Printer::field(QStringLiteral("Image"), QStringLiteral("verified, %1 rows")
                                                 .arg(downloader->firmware().rows().count())));
    return ExitSuccess;
}

int byteCount(const FirmwareData &image)
{
    int bytes = 0;
    for (const FirmwareDataRow &row : image.rows())
        bytes += row.rowData().size();
    return bytes;
}

void printPhase(const Printer *printer, const QString &event, const QString &text)
{
    QJsonObject object;
    object.insert(QStringLiteral("event"), event);
    printer->result(text, object);
}

// Ends an update that failed: the reason on standard error and, for
// scripts, a last event on standard output with the reason's name.
int updateFailed(const Printer *printer, const QString &error, const QString &message, int exitCode = ExitFailure)
{
    printer->error(message);
    if (printer->json()) {
        printer->result(QString(), QJsonObject{{QStringLiteral("event"), QStringLiteral("finished")},
                                               {QStringLiteral("success"), false},
                                               {QStringLiteral("error"), error},
                                               {QStringLiteral("message"), message}});
    }
    return exitCode;
}

// The library's outcome of a failed update.
int updateFailed(const Printer *printer, const NivoraVexbusUsbAdapter *adapter, int exitCode = ExitFailure)
{
    return updateFailed(printer, FirmwareUpdate::errorName(adapter->updateError()), adapter->updateErrorString(), exitCode);
}

// Hands the image to the adapter and follows the bootloader run to its end.
// An empty file takes the downloader's image.
int writeImage(const CommandContext &context, NivoraVexbusUsbAdapter *adapter, const FirmwareData &image, const QString &file)
{
    const bool controllerAnswered = adapter->available();
    ProgressBar progressBar(context.printer, image.rows().count(), byteCount(image));
    int activity = 0;
    bool finished = false;
    bool success = false;
    QObject receiver;
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::updatePercentageChanged, &receiver, [&](double percentage) {
        ++activity;
        progressBar.update(percentage);
    });
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::stateChanged, &receiver, [&](NivoraVexbusUsbAdapter::State state) {
        ++activity;
        if (state == NivoraVexbusUsbAdapter::StateConnectingBootloader)
            printPhase(context.printer, QStringLiteral("bootloader-starting"),
                       controllerAnswered ? QStringLiteral("the controller reboots into its bootloader; connecting in 3 s")
                                          : QStringLiteral("connecting to the bootloader in 3 s"));
        if (state == NivoraVexbusUsbAdapter::StateConnectedBootloader)
            printPhase(context.printer, QStringLiteral("writing"),
                       QStringLiteral("bootloader port open; writing %1 rows").arg(image.rows().count()));
    });
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::updateFinished, &receiver, [&](bool updateSuccess) {
        finished = true;
        success = updateSuccess;
    });

    adapter->startFirmwareUpdate(file);

    // The run may take long; it fails when nothing moves for the time-out,
    // not counting the pause in which the controller reboots into its
    // bootloader.
    Waiter waiter(context.terminationSignals, [&finished]() { return finished; });
    waiter.wakeOn(adapter, &NivoraVexbusUsbAdapter::updateFinished);
    Waiter::Result waited = Waiter::TimedOut;
    for (int seen = -1; seen != activity;) {
        seen = activity;
        const bool rebooting = adapter->state() == NivoraVexbusUsbAdapter::StateConnectingBootloader;
        waited = waiter.wait(context.adapterOptions.timeoutMs + (rebooting ? adapter->bootloaderHandOverDelay() : 0));
        if (waited != Waiter::TimedOut)
            break;
    }
    progressBar.finish();

    // Ended here, the update is stopped in the library, which then tells
    // what became of the controller.
    if (waited == Waiter::Interrupted) {
        adapter->stop();
        return updateFailed(context.printer, adapter, ExitInterrupted);
    }
    if (waited == Waiter::TimedOut) {
        const QString message = QStringLiteral("the update timed out: nothing happened for %1 s at %2% (%3).")
                                        .arg(context.adapterOptions.timeoutMs / 1000.0)
                                        .arg(QString::number(adapter->updatePercentage(), 'f', 1), FirmwareUpdate::phaseName(adapter->updatePhase()));
        adapter->stop();
        return updateFailed(context.printer, FirmwareUpdate::errorName(FirmwareUpdate::ErrorTimedOut), message);
    }
    if (!success)
        return updateFailed(context.printer, adapter);
    return ExitSuccess;
}

// After the image is written the controller restarts; the update is done
// when it reports its firmware version again, the release's one when the
// image came with a version. runningVersion is the version of a controller
// that answers, else empty; wakeOn lets the waiter look again when it may
// have changed.
int waitForNewFirmware(const CommandContext &context, const std::function<QString()> &runningVersion,
                       const std::function<void(Waiter *)> &wakeOn, const QString &previousVersion, const QString &expectedVersion)
{
    printPhase(context.printer, QStringLiteral("restarting"), QStringLiteral("image written; waiting for the controller to restart"));
    Waiter waiter(context.terminationSignals, [&runningVersion]() { return !runningVersion().isEmpty(); });
    wakeOn(&waiter);
    const Waiter::Result restarted = waiter.wait(context.adapterOptions.timeoutMs);
    if (restarted == Waiter::Interrupted)
        return updateFailed(context.printer, QStringLiteral("Interrupted"), QStringLiteral("interrupted while the controller restarts"),
                            ExitInterrupted);
    if (restarted == Waiter::TimedOut)
        return updateFailed(context.printer, QStringLiteral("NoAnswerAfterRestart"),
                            QStringLiteral("the image was written, but the controller did not answer within "
                                           "%1 s after its restart.").arg(context.adapterOptions.timeoutMs / 1000.0));
    const QString version = runningVersion();
    if (!expectedVersion.isEmpty() && version != expectedVersion)
        return updateFailed(context.printer, QStringLiteral("VersionMismatch"),
                            QStringLiteral("the image was written, but the controller came back with firmware %1 instead of "
                                           "the release's %2.").arg(version, expectedVersion));

    QJsonObject result;
    result.insert(QStringLiteral("event"), QStringLiteral("finished"));
    result.insert(QStringLiteral("success"), true);
    result.insert(QStringLiteral("updated"), true);
    result.insert(QStringLiteral("previousFirmwareVersion"), previousVersion);
    result.insert(QStringLiteral("firmwareVersion"), version);
    context.printer->result(QStringLiteral("ok: the controller runs firmware %1").arg(version), result);
    return ExitSuccess;
}

int waitForNewFirmware(const CommandContext &context, NivoraVexbusUsbAdapter *adapter, const QString &previousVersion,
                       const QString &expectedVersion)
{
    return waitForNewFirmware(context, [adapter]() { return adapter->available() ? adapter->firmwareVersion() : QString(); },
                              [adapter](Waiter *waiter) {
                                  waiter->wakeOn(adapter, &NivoraVexbusUsbAdapter::availableChanged);
                                  waiter->wakeOn(adapter, &NivoraVexbusUsbAdapter::firmwareVersionChanged);
                              },
                              previousVersion, expectedVersion);
}

// What the controller runs already or what is older than it, which an
// update from the release server leaves alone unless told otherwise; the
// exit code when the update ends here, -1 when it goes on.
int releaseNotWritten(const CommandContext &context, const ReleaseOptions &releaseOptions, const QString &running,
                      const QString &release, bool olderThanRunning)
{
    if (!releaseOptions.force && !running.isEmpty() && running == release) {
        QJsonObject result{{QStringLiteral("event"), QStringLiteral("finished")}, {QStringLiteral("success"), true},
                           {QStringLiteral("firmwareVersion"), running}, {QStringLiteral("updated"), false}};
        context.printer->result(QStringLiteral("ok: the controller runs firmware %1 already; nothing to do (--force writes it again)")
                                        .arg(running), result);
        return ExitSuccess;
    }
    // Going back is a decision of the person who runs the update. A
    // controller in its bootloader tells no version: the newest release
    // this gateway took stands in for it.
    if (!releaseOptions.allowOlder && olderThanRunning) {
        context.printer->error(QStringLiteral("the release %1 is older than %2; nothing written (--allow-older writes it anyway)")
                                       .arg(release, running.isEmpty() ? QStringLiteral("a release this gateway took before")
                                                                       : QStringLiteral("the firmware %1 that the controller runs").arg(running)));
        return ExitFailure;
    }
    return -1;
}

void printUpdateStart(const CommandContext &context, const QString &target, const QString &image, int rowCount, const QString &previousVersion)
{
    QJsonObject started{{QStringLiteral("event"), QStringLiteral("started")},
                        {QStringLiteral("port"), target},
                        {QStringLiteral("image"), image},
                        {QStringLiteral("rowCount"), rowCount},
                        {QStringLiteral("previousFirmwareVersion"), previousVersion}};
    context.printer->result(QStringLiteral("updating %1 from firmware %2 with %3 (%4 rows)")
                                    .arg(target, orDash(previousVersion), printable(image)).arg(rowCount),
                            started);
}

// Through vexbusd

// The release that vexbusd finds on its release server, shown as
// check-update shows one; the service verifies it with its own keys.
int fetchServedRelease(const CommandContext &context, ServiceAdapter *service, bool preRelease, QVariantMap *release)
{
    bool stopped = false;
    const QDBusMessage reply = service->call(QStringLiteral("CheckForRelease"), {QVariantMap{{QStringLiteral("pre-release"), preRelease}}},
                                             context.adapterOptions.timeoutMs + replyWaitMarginMs, &stopped, context.terminationSignals);
    if (stopped)
        return interrupted(context.printer);
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
        context.printer->error(QStringLiteral("no answer from the release server of vexbusd within %1 s.").arg(context.adapterOptions.timeoutMs / 1000.0));
        return ExitFailure;
    }
    if (reply.type() == QDBusMessage::ErrorMessage) {
        // "Release server URL: what went wrong", as the tool's own errors start.
        QString message = printable(reply.errorMessage());
        if (!message.isEmpty())
            message[0] = message.at(0).toLower();
        context.printer->error(message);
        return ExitFailure;
    }
    *release = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    QJsonObject object = releaseObject(viewOf(*release));
    object.insert(QStringLiteral("verified"), true);
    object.insert(QStringLiteral("rowCount"), release->value(QStringLiteral("row-count")).toInt());
    context.printer->result(releaseText(viewOf(*release)), object);
    context.printer->text(Printer::field(QStringLiteral("Image"), QStringLiteral("verified, %1 rows")
                                                 .arg(release->value(QStringLiteral("row-count")).toInt())));
    return ExitSuccess;
}

// The name the library gives the reason that vexbusd names in its own way
// ("bootloader-not-answering" for ErrorBootloaderNotAnswering).
QString updateErrorName(const QString &serviceName)
{
    FirmwareUpdate::Error error;
    return Names::fromName(serviceName, &error) ? FirmwareUpdate::errorName(error) : serviceName;
}

// Starts an update in vexbusd with method and follows it to its end. The
// update is the service's: leaving here does not stop it half-way.
int writeServedImage(const CommandContext &context, ServiceAdapter *service, const QString &method, const QVariantList &arguments,
                     int rowCount, int bytes, bool *written)
{
    constexpr int bootloaderHandOverMs = 3000;
    const bool controllerAnswered = service->available();
    ProgressBar progressBar(context.printer, rowCount, bytes);
    int activity = 0;
    QObject receiver;
    QObject::connect(service, &ServiceAdapter::propertiesChanged, &receiver, [&](const QStringList &names) {
        ++activity;
        if (names.contains(QStringLiteral("UpdatePercentage")))
            progressBar.update(service->value(QStringLiteral("UpdatePercentage")).toDouble());
        if (!names.contains(QStringLiteral("State")))
            return;
        const QString state = service->value(QStringLiteral("State")).toString();
        if (state == QLatin1String("connecting-bootloader"))
            printPhase(context.printer, QStringLiteral("bootloader-starting"),
                       controllerAnswered ? QStringLiteral("the controller reboots into its bootloader; connecting in 3 s")
                                          : QStringLiteral("connecting to the bootloader in 3 s"));
        if (state == QLatin1String("connected-bootloader"))
            printPhase(context.printer, QStringLiteral("writing"), QStringLiteral("bootloader port open; writing %1 rows").arg(rowCount));
    });

    QDBusPendingCallWatcher watcher(service->asyncCall(method, arguments, 0));
    Waiter waiter(context.terminationSignals, [&watcher]() { return watcher.isFinished(); });
    waiter.wakeOn(&watcher, &QDBusPendingCallWatcher::finished);
    Waiter::Result waited = Waiter::TimedOut;
    for (int seen = -1; seen != activity;) {
        seen = activity;
        const bool rebooting = service->value(QStringLiteral("State")).toString() == QLatin1String("connecting-bootloader");
        waited = waiter.wait(context.adapterOptions.timeoutMs + (rebooting ? bootloaderHandOverMs : 0));
        if (waited != Waiter::TimedOut)
            break;
    }
    progressBar.finish();
    if (waited == Waiter::Interrupted)
        return updateFailed(context.printer, QStringLiteral("Interrupted"),
                            QStringLiteral("interrupted; vexbusd goes on with the update of %1 to its end.").arg(service->port()), ExitInterrupted);
    if (waited == Waiter::TimedOut) {
        return updateFailed(context.printer, FirmwareUpdate::errorName(FirmwareUpdate::ErrorTimedOut),
                            QStringLiteral("the update timed out: nothing happened for %1 s at %2% (%3).")
                                    .arg(context.adapterOptions.timeoutMs / 1000.0)
                                    .arg(QString::number(service->value(QStringLiteral("UpdatePercentage")).toDouble(), 'f', 1),
                                         service->value(QStringLiteral("UpdatePhase")).toString()));
    }

    const QDBusMessage reply = watcher.reply();
    if (reply.type() == QDBusMessage::ErrorMessage) {
        // UpdateFinished came before the answer and named the reason.
        const bool failed = reply.errorName().endsWith(QLatin1String(".UpdateFailed"));
        return updateFailed(context.printer, failed ? updateErrorName(service->updateError()) : replyErrorName(reply.errorName()),
                            reply.errorMessage());
    }
    *written = method != QLatin1String("UpdateFromReleaseServer") || reply.arguments().value(0).toBool();
    return ExitSuccess;
}

int runServedUpdate(const CommandContext &context, ServiceAdapter *service, const QString &file, const FirmwareData &image,
                    const ReleaseOptions *releaseOptions)
{
    QVariantMap release;
    if (releaseOptions) {
        const int fetched = fetchServedRelease(context, service, releaseOptions->preRelease, &release);
        if (fetched != ExitSuccess)
            return fetched;
    }
    // A controller that does not answer may wait in its bootloader after an
    // interrupted update; the service then goes to the bootloader directly.
    const int answered = waitForServedController(context, service, false);
    if (answered != ExitSuccess && answered != ExitFailure)
        return answered;
    if (answered != ExitSuccess)
        context.printer->note(QStringLiteral("the controller at %1 does not answer; trying its bootloader directly, "
                                             "as after an interrupted update").arg(service->port()));
    const QString previousVersion = service->firmwareVersion();
    const QString version = release.value(QStringLiteral("version")).toString();
    if (releaseOptions) {
        const bool older = !previousVersion.isEmpty()
                && QVersionNumber::fromString(version) < QVersionNumber::fromString(previousVersion);
        const int notWritten = releaseNotWritten(context, *releaseOptions, previousVersion, version, older);
        if (notWritten >= 0)
            return notWritten;
    }

    const int rowCount = releaseOptions ? release.value(QStringLiteral("row-count")).toInt() : image.rows().count();
    printUpdateStart(context, service->port(), releaseOptions ? release.value(QStringLiteral("file-name")).toString() : file,
                     rowCount, previousVersion);
    bool written = false;
    int result = ExitSuccess;
    if (releaseOptions) {
        const QVariantMap options{{QStringLiteral("pre-release"), releaseOptions->preRelease},
                                  {QStringLiteral("force"), releaseOptions->force},
                                  {QStringLiteral("allow-older"), releaseOptions->allowOlder}};
        result = writeServedImage(context, service, QStringLiteral("UpdateFromReleaseServer"), {options}, rowCount,
                                  release.value(QStringLiteral("byte-count")).toInt(), &written);
    } else {
        // The service reads what this user could open, never a path of its own.
        QFile imageFile(file);
        if (!imageFile.open(QIODevice::ReadOnly))
            return updateFailed(context.printer, FirmwareUpdate::errorName(FirmwareUpdate::ErrorImageUnreadable),
                                QStringLiteral("cannot read %1: %2").arg(file, imageFile.errorString()));
        result = writeServedImage(context, service, QStringLiteral("UpdateFromImage"),
                                  {QVariant::fromValue(QDBusUnixFileDescriptor(imageFile.handle()))}, rowCount, byteCount(image), &written);
    }
    if (result != ExitSuccess)
        return result;
    if (!written) {
        // The service found the release running already, since asked.
        return releaseNotWritten(context, ReleaseOptions(), previousVersion, previousVersion, false);
    }
    return waitForNewFirmware(context, [service]() { return service->available() ? service->firmwareVersion() : QString(); },
                              [service](Waiter *waiter) { waiter->wakeOn(service, &ServiceAdapter::propertiesChanged); },
                              previousVersion, version);
}

} // namespace

int runList(const CommandContext &context, bool watch)
{
    NivoraVexbusUsbDeviceWatcher watcher;
    const QList<NivoraVexbusUsbDeviceWatcher::DeviceInfo> deviceInfos = sortedDeviceInfos(&watcher);
    const QHash<QString, QSerialPortInfo> ports = serialPortsByLocation();

    QJsonArray adapters;
    QStringList lines;
    lines << QStringLiteral("%1 %2 %3 %4").arg(QStringLiteral("DEVICE"), -16).arg(QStringLiteral("SERIAL NUMBER"), -16)
                     .arg(QStringLiteral("USB ID"), -10).arg(QStringLiteral("VENDOR AND PRODUCT"));
    for (const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo : deviceInfos) {
        const QSerialPortInfo info = ports.value(deviceInfo.devicePath);
        const QString usb = info.hasVendorIdentifier()
                ? usbId(info.vendorIdentifier()) + QLatin1Char(':') + usbId(info.productIdentifier()) : QString();
        const QString product = QStringList{info.manufacturer(), info.description()}.join(QLatin1Char(' ')).trimmed();
        lines << QStringLiteral("%1 %2 %3 %4").arg(deviceInfo.devicePath, -16).arg(orDash(deviceInfo.serialNumber), -16)
                         .arg(orDash(usb), -10).arg(orDash(product));
        QJsonObject adapter;
        adapter.insert(QStringLiteral("devicePath"), deviceInfo.devicePath);
        adapter.insert(QStringLiteral("serialNumber"), deviceInfo.serialNumber);
        adapter.insert(QStringLiteral("vendorIdentifier"), info.hasVendorIdentifier() ? usbId(info.vendorIdentifier()) : QString());
        adapter.insert(QStringLiteral("productIdentifier"), info.hasProductIdentifier() ? usbId(info.productIdentifier()) : QString());
        adapter.insert(QStringLiteral("manufacturer"), info.manufacturer());
        adapter.insert(QStringLiteral("description"), info.description());
        adapters.append(adapter);
    }
    if (deviceInfos.isEmpty())
        lines = QStringList{QStringLiteral("no adapters found (%1)").arg(noAdapterListed())};
    context.printer->result(lines.join(QLatin1Char('\n')), QJsonObject{{QStringLiteral("adapters"), adapters}});
    if (!watch)
        return ExitSuccess;

    context.printer->note(QStringLiteral("watching for adapters; press Ctrl-C to stop"));
    auto report = [&context](const QString &event, const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo) {
        QJsonObject object;
        object.insert(QStringLiteral("time"), timeStamp());
        object.insert(QStringLiteral("event"), event);
        object.insert(QStringLiteral("devicePath"), deviceInfo.devicePath);
        object.insert(QStringLiteral("serialNumber"), deviceInfo.serialNumber);
        context.printer->result(QStringLiteral("%1 %2 %3 serial number %4").arg(timeStamp(), event, deviceInfo.devicePath,
                                                                                  orDash(deviceInfo.serialNumber)),
                                object);
    };
    QObject::connect(&watcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded, &watcher,
                     [report](const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo) { report(QStringLiteral("added"), deviceInfo); });
    QObject::connect(&watcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved, &watcher,
                     [report](const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo) { report(QStringLiteral("removed"), deviceInfo); });
    Waiter waiter(context.terminationSignals, []() { return false; });
    waiter.wait(0);
    return ExitSuccess;
}

int runStatus(const CommandContext &context)
{
    int found = ExitSuccess;
    const std::unique_ptr<ServiceAdapter> service = servedAdapter(context, &found);
    if (found != ExitSuccess)
        return found;
    if (service) {
        const int ready = waitForServedController(context, service.get());
        if (ready != ExitSuccess)
            return ready;
        const AdapterView view = viewOf(service.get(), serialPortsByLocation().value(service->port()));
        context.printer->result(statusText(view), statusObject(view));
        return ExitSuccess;
    }

    AdapterSession session(context.adapterOptions, context.printer, context.terminationSignals);
    const int ready = openAndWait(&session, context.printer);
    // A controller waiting in its bootloader has a status worth showing.
    if (ready != ExitSuccess && !(session.adapter() && session.adapter()->controllerInBootloader()))
        return ready;

    context.printer->result(statusText(viewOf(session.adapter())), statusObject(viewOf(session.adapter())));
    return ready;
}

namespace {

// What a monitor prints, whichever way it reaches the adapter: frames, the
// bus status and the adapter coming and going.
class MonitorOutput
{
public:
    MonitorOutput(const CommandContext &context, int frameCount, const std::function<AdapterView()> &view)
        : m_context(context),
          m_frameCount(frameCount),
          m_view(view)
    {
        m_statusTimer.setSingleShot(true);
        m_statusTimer.setInterval(0);
        QObject::connect(&m_statusTimer, &QTimer::timeout, [this]() { printPendingStatus(); });
    }

    int frames() const { return m_frames; }
    bool complete() const { return m_frameCount > 0 && m_frames >= m_frameCount; }

    void frame(const QByteArray &frame)
    {
        // A counted monitor shows that many frames, also when more arrive
        // before it has finished starting.
        if (complete())
            return;
        printPendingStatus();
        ++m_frames;
        m_context.printer->asciiLine(frameLine(frame, m_context.printer->json()));
    }

    // One status notification changes several properties in a row; they
    // are shown as one line once the notification is handled, and before
    // anything that comes after it.
    void statusChanged()
    {
        m_statusPending = true;
        m_statusTimer.start();
    }

    void printPendingStatus()
    {
        if (!m_statusPending)
            return;
        m_statusPending = false;
        m_statusTimer.stop();
        const AdapterView view = m_view();
        if (!view.available)
            return;
        QJsonObject object = statusObject(view);
        object.insert(QStringLiteral("time"), timeStamp());
        object.insert(QStringLiteral("event"), QStringLiteral("status"));
        m_context.printer->result(QStringLiteral("%1 status %2").arg(timeStamp(), busStatusText(view)), object);
    }

    void availabilityChanged(bool available, const QString &firmwareVersion)
    {
        QJsonObject object;
        object.insert(QStringLiteral("time"), timeStamp());
        object.insert(QStringLiteral("event"), available ? QStringLiteral("available") : QStringLiteral("unavailable"));
        object.insert(QStringLiteral("firmwareVersion"), firmwareVersion);
        m_context.printer->result(available ? QStringLiteral("%1 adapter available, firmware %2").arg(timeStamp(), firmwareVersion)
                                            : QStringLiteral("%1 adapter not available").arg(timeStamp()),
                                  object);
    }

    // Runs until Ctrl-C or the last frame asked for; the exit code.
    template<typename Sender, typename Signal>
    int run(const QString &target, const QString &firmwareVersion, const Sender *sender, Signal frameSignal)
    {
        printPendingStatus();
        m_context.printer->note(QStringLiteral("monitoring %1 (firmware %2); press Ctrl-C to stop").arg(target, firmwareVersion));
        Waiter waiter(m_context.terminationSignals, [this]() { return complete(); });
        waiter.wakeOn(sender, frameSignal);
        const Waiter::Result waited = waiter.wait(0);
        printPendingStatus();
        m_context.printer->note(QStringLiteral("%1 frame(s) received").arg(m_frames));
        // Ctrl-C is the normal end of a monitor, but not of one that was
        // asked for a number of frames it did not get.
        return waited == Waiter::Interrupted && m_frameCount > 0 ? int(ExitInterrupted) : int(ExitSuccess);
    }

private:
    const CommandContext &m_context;
    const int m_frameCount;
    const std::function<AdapterView()> m_view;
    QTimer m_statusTimer;
    bool m_statusPending = false;
    int m_frames = 0;
};

int runServedMonitor(const CommandContext &context, ServiceAdapter *service, int frameCount)
{
    const QSerialPortInfo info = serialPortsByLocation().value(service->port());
    MonitorOutput output(context, frameCount, [service, info]() { return viewOf(service, info); });
    QObject::connect(service, &ServiceAdapter::busFrameReceived, service, [&output](const QByteArray &frame) { output.frame(frame); });
    QObject::connect(service, &ServiceAdapter::propertiesChanged, service, [&output, service](const QStringList &names) {
        static const QStringList statusProperties{QStringLiteral("LedMode"), QStringLiteral("BusType"), QStringLiteral("BusSynchronized"),
                                                  QStringLiteral("BusInitialized"), QStringLiteral("BusAvailable")};
        if (std::any_of(names.cbegin(), names.cend(), [](const QString &name) { return statusProperties.contains(name); }))
            output.statusChanged();
        if (names.contains(QStringLiteral("Available")))
            output.availabilityChanged(service->available(), service->firmwareVersion());
    });
    // An adapter that the service has started already is new to this
    // monitor as it would be on the port: it says so, with its status.
    const bool startedAlready = service->available();
    const int answered = waitForServedController(context, service);
    if (answered != ExitSuccess)
        return answered;
    if (startedAlready) {
        output.availabilityChanged(true, service->firmwareVersion());
        output.statusChanged();
    }
    return output.run(service->port(), service->firmwareVersion(), service, &ServiceAdapter::busFrameReceived);
}

} // namespace

int runMonitor(const CommandContext &context, int frameCount)
{
    int found = ExitSuccess;
    const std::unique_ptr<ServiceAdapter> service = servedAdapter(context, &found);
    if (found != ExitSuccess)
        return found;
    if (service)
        return runServedMonitor(context, service.get(), frameCount);

    AdapterSession session(context.adapterOptions, context.printer, context.terminationSignals);
    const int opened = session.open();
    if (opened != ExitSuccess)
        return opened;

    // The controller reports frames from the moment the port is open, also
    // while the adapter still reads its version and status.
    NivoraVexbusUsbAdapter *adapter = session.adapter();
    MonitorOutput output(context, frameCount, [adapter]() { return viewOf(adapter); });
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived, adapter, [&output](const QByteArray &frame) { output.frame(frame); });
    auto statusChanged = [&output]() { output.statusChanged(); };
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::ledModeChanged, adapter, statusChanged);
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::vexbusTypeChanged, adapter, statusChanged);
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::vexbusSynchronizedChanged, adapter, statusChanged);
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::vexbusInitializedChanged, adapter, statusChanged);
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::vexbusAvailableChanged, adapter, statusChanged);
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::availableChanged, adapter, [&output, adapter](bool available) {
        output.availabilityChanged(available, adapter->firmwareVersion());
    });

    const int answered = session.waitForController();
    if (answered != ExitSuccess)
        return answered == ExitInterrupted ? interrupted(context.printer) : answered;
    return output.run(session.target(), adapter->firmwareVersion(), adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived);
}

int runWrite(const CommandContext &context, const QByteArray &frame)
{
    QJsonObject result;
    result.insert(QStringLiteral("data"), QString::fromLatin1(frame.toHex()));
    return runCommand(context, QStringLiteral("write"), QStringLiteral("writing %1 byte(s) to the bus").arg(frame.size()),
                      QStringLiteral("wrote %1 byte(s) to the bus").arg(frame.size()), [frame](NivoraVexbusUsbAdapter *adapter) { return adapter->writeDataToVexbus(frame); },
                      {QStringLiteral("WriteFrame"), {frame}}, result);
}

int runPress(const CommandContext &context, Names::Module module, int button, uint milliSeconds)
{
    const QString moduleName = Names::moduleName(module);
    const QString buttonName = Names::buttonName(module, button);
    auto send = [module, button, milliSeconds](NivoraVexbusUsbAdapter *adapter) {
        switch (module) {
        case Names::Module::Ixo:
            return adapter->pressIxoButton(NivoraVexbusUsbAdapter::IxoModuleButton(button), milliSeconds);
        case Names::Module::RemoteService:
            return adapter->pressRemoteServiceButton(NivoraVexbusUsbAdapter::RemoteServiceModuleButton(button), milliSeconds);
        case Names::Module::AppConnector:
            break;
        }
        return adapter->pressAppConnectorButton(NivoraVexbusUsbAdapter::AppConnectorModuleButton(button), milliSeconds);
    };

    QJsonObject result;
    result.insert(QStringLiteral("module"), moduleName);
    result.insert(QStringLiteral("button"), buttonName);
    result.insert(QStringLiteral("milliSeconds"), int(milliSeconds));
    return runCommand(context, QStringLiteral("press"),
                      QStringLiteral("pressing %1 button %2 for %3 ms").arg(moduleName, buttonName).arg(milliSeconds),
                      QStringLiteral("pressed %1 button %2 for %3 ms").arg(moduleName, buttonName).arg(milliSeconds),
                      send, {QStringLiteral("PressButton"), {moduleName, buttonName, milliSeconds}}, result);
}

int runAppParams(const CommandContext &context, bool enable)
{
    QJsonObject result;
    result.insert(QStringLiteral("enabled"), enable);
    const QString state = enable ? QStringLiteral("on") : QStringLiteral("off");
    return runCommand(context, QStringLiteral("app-params"),
                      QStringLiteral("switching app connector parameter handling %1").arg(state),
                      QStringLiteral("app connector parameter handling is %1").arg(state),
                      [enable](NivoraVexbusUsbAdapter *adapter) { return adapter->enableAppConnectorParameterHandling(enable); },
                      {QStringLiteral("SetParameterHandling"), {enable}}, result);
}

int runReset(const CommandContext &context)
{
    return runCommand(context, QStringLiteral("reset"), QStringLiteral("the reset"), QStringLiteral("the controller restarted"),
                      [](NivoraVexbusUsbAdapter *adapter) { return adapter->resetController(); }, {QStringLiteral("Reset"), {}},
                      QJsonObject(), true);
}

namespace {

// Releases come from the server and with the keys that the tool is told of;
// without any, where vexbusd owns the adapter, from the service's.
bool releaseOptionsGiven(const ReleaseOptions &releaseOptions)
{
    return !releaseOptions.server.isEmpty() || !releaseOptions.caCertificate.isEmpty() || !releaseOptions.trustedKeyFiles.isEmpty();
}

} // namespace

int runCheckUpdate(const CommandContext &context, const ReleaseOptions &releaseOptions)
{
    if (!releaseOptionsGiven(releaseOptions)) {
        int found = ExitSuccess;
        ServiceAdapter service;
        if (!context.direct && service.find(context.adapterOptions, context.printer, &found, true)) {
            QVariantMap release;
            return found != ExitSuccess ? found : fetchServedRelease(context, &service, releaseOptions.preRelease, &release);
        }
    }
    if (!trustCertificate(releaseOptions.caCertificate, context.printer))
        return ExitUsage;
    FirmwareDownloader downloader;
    KeyFiles keyFiles;
    if (!configureDownloader(&downloader, releaseOptions, context.printer, &keyFiles))
        return ExitUsage;
    return fetchRelease(context, &downloader, keyFiles);
}

int runUpdate(const CommandContext &context, const QString &file, const ReleaseOptions *releaseOptions)
{
    FirmwareData image;
    // A person learns what is wrong with the file before any adapter is opened.
    QString imageError;
    const FirmwareUpdate::Error loaded = releaseOptions ? FirmwareUpdate::ErrorNone : FirmwareUpdate::loadImageFile(file, &image, &imageError);
    if (loaded != FirmwareUpdate::ErrorNone)
        return updateFailed(context.printer, FirmwareUpdate::errorName(loaded), imageError);

    int found = ExitSuccess;
    const std::unique_ptr<ServiceAdapter> service = servedAdapter(context, &found);
    if (found != ExitSuccess)
        return found;
    if (service) {
        if (releaseOptions && releaseOptionsGiven(*releaseOptions)) {
            context.printer->error(QStringLiteral("vexbusd owns %1 and takes releases from the server and with the keys of its "
                                                  "settings; --server, --ca-certificate and --trusted-key go with --direct, "
                                                  "while vexbusd lends the adapter: vexbusctl inhibit --port %1 -- "
                                                  "vexbusctl --direct --port %1 update --online ...").arg(service->port()));
            return ExitUsage;
        }
        return runServedUpdate(context, service.get(), file, image, releaseOptions);
    }
    if (releaseOptions && !trustCertificate(releaseOptions->caCertificate, context.printer))
        return ExitUsage;

    AdapterSession session(context.adapterOptions, context.printer, context.terminationSignals);
    const int opened = session.open();
    if (opened != ExitSuccess)
        return opened;
    NivoraVexbusUsbAdapter *adapter = session.adapter();

    if (releaseOptions) {
        KeyFiles keyFiles;
        if (!configureDownloader(adapter->firmwareDownloader(), *releaseOptions, context.printer, &keyFiles))
            return ExitUsage;
        const int fetched = fetchRelease(context, adapter->firmwareDownloader(), keyFiles);
        if (fetched != ExitSuccess)
            return fetched;
        image = adapter->firmwareDownloader()->firmware();
    }

    // A controller that does not answer may wait in its bootloader after an
    // interrupted update; the adapter then goes to the bootloader directly.
    const int answered = session.waitForController(false);
    if (answered == ExitInterrupted)
        return interrupted(context.printer);
    if (answered != ExitSuccess)
        context.printer->note(QStringLiteral("the controller at %1 does not answer; trying its bootloader directly, "
                                             "as after an interrupted update").arg(session.target()));
    const QString previousVersion = adapter->firmwareVersion();
    if (releaseOptions) {
        const int notWritten = releaseNotWritten(context, *releaseOptions, previousVersion, adapter->firmwareDownloader()->versionString(),
                                                 adapter->firmwareDownloader()->releaseIsOlderThan(previousVersion));
        if (notWritten >= 0)
            return notWritten;
    }

    printUpdateStart(context, session.target(), releaseOptions ? image.name() : file, image.rows().count(), previousVersion);
    const int written = writeImage(context, adapter, image, releaseOptions ? QString() : QFileInfo(file).absoluteFilePath());
    if (written != ExitSuccess)
        return written;
    return waitForNewFirmware(context, adapter, previousVersion, releaseOptions ? adapter->firmwareDownloader()->versionString() : QString());
}

int runInhibit(const CommandContext &context, const QStringList &command)
{
    ServiceLease lease(context.printer);
    const int taken = lease.take(context.adapterOptions, QStringLiteral("vexbusctl inhibit -- %1").arg(command.join(QLatin1Char(' '))));
    if (taken != ExitSuccess)
        return taken;
    context.printer->note(QStringLiteral("vexbusd lends %1 to %2").arg(lease.port(), command.first()));

    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    Waiter waiter(context.terminationSignals, [&process]() { return process.state() == QProcess::NotRunning; });
    waiter.wakeOn(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    waiter.wakeOn(&process, &QProcess::errorOccurred);
    process.start(command.first(), command.mid(1));
    const Waiter::Result waited = waiter.wait(0);
    if (waited == Waiter::Interrupted) {
        process.terminate();
        process.waitForFinished(5000);
        lease.release();
        return interrupted(context.printer);
    }
    // The service opens the port again before this program ends.
    lease.release();
    if (process.error() == QProcess::FailedToStart) {
        context.printer->error(QStringLiteral("cannot run %1: %2").arg(command.first(), process.errorString()));
        return ExitFailure;
    }
    if (process.exitStatus() == QProcess::CrashExit) {
        context.printer->error(QStringLiteral("%1 ended abnormally").arg(command.first()));
        return ExitFailure;
    }
    return process.exitCode();
}
