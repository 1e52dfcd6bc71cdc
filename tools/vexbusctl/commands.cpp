// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "commands.h"
#include "terminationsignals.h"
#include "printer.h"
#include "progressbar.h"
#include "servicelease.h"
#include "waiter.h"

#include "bootloader/firmwaredata.h"
#include "bootloader/firmwaredatarow.h"
#include "bootloader/firmwareupdate.h"
#include "firmware/firmwaredownloader.h"
#include "firmware/releasekey.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMetaEnum>
#include <QProcess>
#include <QSerialPortInfo>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

#include <algorithm>

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
// writes it, without asking for the zone on every call: that examines the
// zone's file each time, which a monitor would do for every frame. The
// offset from UTC is looked up once a quarter of an hour, since every zone's
// offset is a whole number of quarter hours and its changes come at the
// start of one.
QString timeStamp()
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
    // "yyyy-MM-ddThh:mm:ss.zzz", digit by digit: snprintf() would cost
    // more than all the rest.
    char text[] = "0000-00-00T00:00:00.000";
    auto put = [&text](int position, int width, qint64 value) {
        for (int i = position + width - 1; i >= position; --i, value /= 10)
            text[i] = char('0' + value % 10);
    };
    put(0, 4, year);
    put(5, 2, month);
    put(8, 2, day);
    put(11, 2, msOfDay / 3600000);
    put(14, 2, msOfDay / 60000 % 60);
    put(17, 2, msOfDay / 1000 % 60);
    put(20, 3, msOfDay % 1000);
    return QString::fromLatin1(text, int(sizeof(text)) - 1);
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

QJsonObject statusObject(const NivoraVexbusUsbAdapter *adapter)
{
    QJsonObject serialPort;
    serialPort.insert(QStringLiteral("name"), adapter->serialPortName());
    serialPort.insert(QStringLiteral("systemLocation"), adapter->serialPortSystemLocation());
    serialPort.insert(QStringLiteral("description"), adapter->serialPortDescription());
    serialPort.insert(QStringLiteral("manufacturer"), adapter->serialPortManufacturer());
    serialPort.insert(QStringLiteral("serialNumber"), adapter->serialPortSerialNumber());
    serialPort.insert(QStringLiteral("vendorIdentifier"), usbId(adapter->serialPortVendorIdentifier()));
    serialPort.insert(QStringLiteral("productIdentifier"), usbId(adapter->serialPortProductIdentifier()));
    serialPort.insert(QStringLiteral("baudrate"), adapter->baudrate());

    QJsonObject object;
    object.insert(QStringLiteral("port"), adapter->portName());
    object.insert(QStringLiteral("available"), adapter->available());
    object.insert(QStringLiteral("firmwareVersion"), adapter->firmwareVersion());
    object.insert(QStringLiteral("ledMode"), Names::of(adapter->ledMode()));
    object.insert(QStringLiteral("vexbusType"), Names::of(adapter->vexbusType()));
    object.insert(QStringLiteral("vexbusSynchronized"), adapter->vexbusSynchronized());
    object.insert(QStringLiteral("vexbusInitialized"), adapter->vexbusInitialized());
    object.insert(QStringLiteral("vexbusAvailable"), adapter->vexbusAvailable());
    object.insert(QStringLiteral("serialPort"), serialPort);
    return object;
}

QString statusText(const NivoraVexbusUsbAdapter *adapter)
{
    const QString usb = adapter->serialPortVendorIdentifier()
            ? usbId(adapter->serialPortVendorIdentifier()) + QLatin1Char(':') + usbId(adapter->serialPortProductIdentifier())
            : QString();
    return QStringList{
        Printer::field(QStringLiteral("Port"), adapter->portName()),
        Printer::field(QStringLiteral("Firmware version"), adapter->firmwareVersion()),
        Printer::field(QStringLiteral("LED mode"), Names::of(adapter->ledMode())),
        Printer::field(QStringLiteral("Bus type"), Names::of(adapter->vexbusType())),
        Printer::field(QStringLiteral("Bus synchronized"), Printer::yesNo(adapter->vexbusSynchronized())),
        Printer::field(QStringLiteral("Bus initialized"), Printer::yesNo(adapter->vexbusInitialized())),
        Printer::field(QStringLiteral("Bus available"), Printer::yesNo(adapter->vexbusAvailable())),
        Printer::field(QStringLiteral("Serial port"), QStringLiteral("%1, %2 baud").arg(orDash(adapter->serialPortName())).arg(adapter->baudrate())),
        Printer::field(QStringLiteral("  description"), orDash(adapter->serialPortDescription())),
        Printer::field(QStringLiteral("  manufacturer"), orDash(adapter->serialPortManufacturer())),
        Printer::field(QStringLiteral("  serial number"), orDash(adapter->serialPortSerialNumber())),
        Printer::field(QStringLiteral("  USB ID"), orDash(usb)),
    }.join(QLatin1Char('\n'));
}

QString busStatusText(const NivoraVexbusUsbAdapter *adapter)
{
    return QStringLiteral("led %1, bus %2 synchronized, %3 initialized, %4 available, type %5")
            .arg(Names::of(adapter->ledMode()),
                 adapter->vexbusSynchronized() ? QString() : QStringLiteral("not"),
                 adapter->vexbusInitialized() ? QString() : QStringLiteral("not"),
                 adapter->vexbusAvailable() ? QString() : QStringLiteral("not"),
                 Names::of(adapter->vexbusType()))
            .replace(QStringLiteral("  "), QStringLiteral(" "));
}

// What follows a command's successful reply before the command counts as
// done; it may add to the result and to the text that says it happened.
using AfterReply = std::function<int(AdapterSession *session, QJsonObject *result, QString *done)>;

// Sends one command with send() and waits for its reply, whose error and
// sentence the tool passes on as they are. description names the action
// ("writing 3 bytes to the bus"), done says it happened ("wrote 3 bytes to
// the bus").
int runCommand(const CommandContext &context, const QString &command, const QString &description, QString done,
               const std::function<NivoraVexbusUsbReply *(NivoraVexbusUsbAdapter *)> &send, QJsonObject result = QJsonObject(),
               const AfterReply &afterReply = AfterReply())
{
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
        context.printer->error(QStringLiteral("%1 failed at %2: %3").arg(description, session.target(), message));
        if (context.printer->json()) {
            result.insert(QStringLiteral("success"), false);
            result.insert(QStringLiteral("error"), QString::fromLatin1(QMetaEnum::fromType<NivoraVexbusUsbReply::Error>().valueToKey(error)));
            result.insert(QStringLiteral("message"), message);
            if (error == NivoraVexbusUsbReply::ErrorInterfaceError)
                result.insert(QStringLiteral("controllerError"), Names::of(controllerError));
            context.printer->result(QString(), result);
        }
        return ExitFailure;
    }

    if (afterReply) {
        const int after = afterReply(&session, &result, &done);
        if (after != ExitSuccess)
            return after;
    }
    result.insert(QStringLiteral("success"), true);
    context.printer->result(QStringLiteral("ok: %1").arg(done), result);
    return ExitSuccess;
}

// The key files each trusted key came from, by fingerprint.
using KeyFiles = QHash<QString, QString>;

bool trustKeyFile(FirmwareDownloader *downloader, const QString &path, KeyFiles *keyFiles)
{
    QFile file(path);
    const ReleaseKey key = file.open(QIODevice::ReadOnly) ? ReleaseKey::fromPem(file.readAll()) : ReleaseKey();
    if (key.isNull())
        return false;
    downloader->addTrustedKey(key);
    keyFiles->insert(key.fingerprint(), path);
    return true;
}

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

    // A key file that was meant to be trusted and cannot be read is an
    // error: skipping it would run unauthenticated, or without the key that
    // the release needs.
    const QDir installed(QStringLiteral(NIVORA_RELEASE_KEY_DIRECTORY));
    const QStringList installedFiles = installed.entryList({QStringLiteral("*.pub"), QStringLiteral("*.pem")}, QDir::Files, QDir::Name);
    for (const QString &name : installedFiles) {
        if (!trustKeyFile(downloader, installed.filePath(name), keyFiles)) {
            printer->error(QStringLiteral("%1: not a readable Ed25519 public key in PEM; repair or remove this file of "
                                          "the key directory").arg(installed.filePath(name)));
            return false;
        }
    }
    for (const QString &path : releaseOptions.trustedKeyFiles) {
        if (!trustKeyFile(downloader, path, keyFiles)) {
            printer->error(QStringLiteral("--trusted-key %1: not a readable Ed25519 public key in PEM "
                                          "(vexbus-release keygen makes one)").arg(path));
            return false;
        }
    }
    return true;
}

bool trustCertificate(const QString &path, const Printer *printer)
{
    if (path.isEmpty())
        return true;
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(path);
    if (certificates.isEmpty()) {
        printer->error(QStringLiteral("no PEM certificate in %1.").arg(path));
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    for (const QSslCertificate &certificate : certificates)
        configuration.addCaCertificate(certificate);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

QString signatureText(const FirmwareDownloader *downloader, const KeyFiles &keyFiles)
{
    if (!downloader->releaseAuthenticated())
        return QStringLiteral("not checked, no trusted key (--trusted-key FILE)");
    const QString fingerprint = downloader->releaseKeyFingerprint();
    return QStringLiteral("verified, key %1 (%2)").arg(fingerprint, printable(keyFiles.value(fingerprint)));
}

QJsonObject releaseObject(const FirmwareDownloader *downloader, const KeyFiles &keyFiles)
{
    QJsonObject object;
    object.insert(QStringLiteral("authenticated"), downloader->releaseAuthenticated());
    if (downloader->releaseAuthenticated()) {
        object.insert(QStringLiteral("signingKey"), downloader->releaseKeyFingerprint());
        object.insert(QStringLiteral("signingKeyFile"), keyFiles.value(downloader->releaseKeyFingerprint()));
    }
    object.insert(QStringLiteral("version"), downloader->versionString());
    object.insert(QStringLiteral("hardware"), downloader->hardwareName());
    object.insert(QStringLiteral("releaseDate"), downloader->releaseDateTime().toUTC().toString(Qt::ISODate));
    object.insert(QStringLiteral("fileName"), downloader->updateFileName());
    object.insert(QStringLiteral("preRelease"), downloader->preReleaseEnabled());
    object.insert(QStringLiteral("server"), downloader->baseUrl());
    return object;
}

QString releaseText(const FirmwareDownloader *downloader, const KeyFiles &keyFiles)
{
    const QDateTime date = downloader->releaseDateTime();
    return QStringList{
        Printer::field(QStringLiteral("Version"), printable(downloader->versionString())),
        Printer::field(QStringLiteral("Hardware"), orDash(printable(downloader->hardwareName()))),
        Printer::field(QStringLiteral("Release date"), date.toOffsetFromUtc(date.offsetFromUtc()).toString(Qt::ISODate)),
        Printer::field(QStringLiteral("File"), printable(downloader->updateFileName())),
        Printer::field(QStringLiteral("Server"), printable(downloader->baseUrl()) + (downloader->preReleaseEnabled() ? QStringLiteral(" (pre-release)") : QString())),
        Printer::field(QStringLiteral("Signature"), signatureText(downloader, keyFiles)),
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
        QJsonObject object = releaseObject(downloader, keyFiles);
        object.insert(QStringLiteral("verified"), downloaded);
        if (downloaded)
            object.insert(QStringLiteral("rowCount"), downloader->firmware().rows().count());
        context.printer->result(releaseText(downloader, keyFiles), object);
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
// image came with a version.
int waitForNewFirmware(const CommandContext &context, NivoraVexbusUsbAdapter *adapter, const QString &previousVersion,
                       const QString &expectedVersion)
{
    printPhase(context.printer, QStringLiteral("restarting"), QStringLiteral("image written; waiting for the controller to restart"));
    Waiter waiter(context.terminationSignals, [adapter]() { return adapter->available() && !adapter->firmwareVersion().isEmpty(); });
    waiter.wakeOn(adapter, &NivoraVexbusUsbAdapter::availableChanged);
    waiter.wakeOn(adapter, &NivoraVexbusUsbAdapter::firmwareVersionChanged);
    const Waiter::Result restarted = waiter.wait(context.adapterOptions.timeoutMs);
    if (restarted == Waiter::Interrupted)
        return updateFailed(context.printer, QStringLiteral("Interrupted"), QStringLiteral("interrupted while the controller restarts"),
                            ExitInterrupted);
    if (restarted == Waiter::TimedOut)
        return updateFailed(context.printer, QStringLiteral("NoAnswerAfterRestart"),
                            QStringLiteral("the image was written, but the controller did not answer within "
                                           "%1 s after its restart.").arg(context.adapterOptions.timeoutMs / 1000.0));
    if (!expectedVersion.isEmpty() && adapter->firmwareVersion() != expectedVersion)
        return updateFailed(context.printer, QStringLiteral("VersionMismatch"),
                            QStringLiteral("the image was written, but the controller came back with firmware %1 instead of "
                                           "the release's %2.").arg(adapter->firmwareVersion(), expectedVersion));

    QJsonObject result;
    result.insert(QStringLiteral("event"), QStringLiteral("finished"));
    result.insert(QStringLiteral("success"), true);
    result.insert(QStringLiteral("updated"), true);
    result.insert(QStringLiteral("previousFirmwareVersion"), previousVersion);
    result.insert(QStringLiteral("firmwareVersion"), adapter->firmwareVersion());
    context.printer->result(QStringLiteral("ok: the controller runs firmware %1").arg(adapter->firmwareVersion()), result);
    return ExitSuccess;
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
    AdapterSession session(context.adapterOptions, context.printer, context.terminationSignals);
    const int ready = openAndWait(&session, context.printer);
    if (ready != ExitSuccess)
        return ready;

    context.printer->result(statusText(session.adapter()), statusObject(session.adapter()));
    return ExitSuccess;
}

int runMonitor(const CommandContext &context, int frameCount)
{
    AdapterSession session(context.adapterOptions, context.printer, context.terminationSignals);
    const int opened = session.open();
    if (opened != ExitSuccess)
        return opened;

    // The controller reports frames from the moment the port is open, also
    // while the adapter still reads its version and status.
    NivoraVexbusUsbAdapter *adapter = session.adapter();
    // One status notification changes several properties in a row; they
    // are shown as one line once the notification is handled, and before
    // anything that comes after it.
    QTimer statusTimer;
    statusTimer.setSingleShot(true);
    statusTimer.setInterval(0);
    bool statusPending = false;
    auto printPendingStatus = [&]() {
        if (!statusPending)
            return;
        statusPending = false;
        statusTimer.stop();
        if (!adapter->available())
            return;
        QJsonObject object = statusObject(adapter);
        object.insert(QStringLiteral("time"), timeStamp());
        object.insert(QStringLiteral("event"), QStringLiteral("status"));
        context.printer->result(QStringLiteral("%1 status %2").arg(timeStamp(), busStatusText(adapter)), object);
    };
    QObject::connect(&statusTimer, &QTimer::timeout, adapter, printPendingStatus);
    int frames = 0;
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived, adapter, [&](const QByteArray &frame) {
        // A counted monitor shows that many frames, also when more arrive
        // before it has finished starting.
        if (frameCount > 0 && frames >= frameCount)
            return;
        printPendingStatus();
        ++frames;
        const QString time = timeStamp();
        if (context.printer->json()) {
            context.printer->jsonLine({{QLatin1String("data"), QString::fromLatin1(frame.toHex())},
                                       {QLatin1String("event"), QStringLiteral("frame")},
                                       {QLatin1String("time"), time}});
        } else {
            context.printer->text(time + QLatin1String(" frame  ") + QString::fromLatin1(frame.toHex(' ')));
        }
    });

    auto scheduleStatus = [&]() {
        statusPending = true;
        statusTimer.start();
    };
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::ledModeChanged, adapter, scheduleStatus);
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::vexbusTypeChanged, adapter, scheduleStatus);
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::vexbusSynchronizedChanged, adapter, scheduleStatus);
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::vexbusInitializedChanged, adapter, scheduleStatus);
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::vexbusAvailableChanged, adapter, scheduleStatus);
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::availableChanged, adapter, [&](bool available) {
        QJsonObject object;
        object.insert(QStringLiteral("time"), timeStamp());
        object.insert(QStringLiteral("event"), available ? QStringLiteral("available") : QStringLiteral("unavailable"));
        object.insert(QStringLiteral("firmwareVersion"), adapter->firmwareVersion());
        context.printer->result(available ? QStringLiteral("%1 adapter available, firmware %2").arg(timeStamp(), adapter->firmwareVersion())
                                          : QStringLiteral("%1 adapter not available").arg(timeStamp()),
                                object);
    });

    const int answered = session.waitForController();
    if (answered != ExitSuccess)
        return answered == ExitInterrupted ? interrupted(context.printer) : answered;
    printPendingStatus();
    context.printer->note(QStringLiteral("monitoring %1 (firmware %2); press Ctrl-C to stop")
                                  .arg(session.target(), adapter->firmwareVersion()));

    Waiter waiter(context.terminationSignals, [&]() { return frameCount > 0 && frames >= frameCount; });
    waiter.wakeOn(adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived);
    const Waiter::Result waited = waiter.wait(0);
    printPendingStatus();
    context.printer->note(QStringLiteral("%1 frame(s) received").arg(frames));
    // Ctrl-C is the normal end of a monitor, but not of one that was asked
    // for a number of frames it did not get.
    return waited == Waiter::Interrupted && frameCount > 0 ? int(ExitInterrupted) : int(ExitSuccess);
}

int runWrite(const CommandContext &context, const QByteArray &frame)
{
    QJsonObject result;
    result.insert(QStringLiteral("data"), QString::fromLatin1(frame.toHex()));
    return runCommand(context, QStringLiteral("write"), QStringLiteral("writing %1 byte(s) to the bus").arg(frame.size()),
                      QStringLiteral("wrote %1 byte(s) to the bus").arg(frame.size()), [frame](NivoraVexbusUsbAdapter *adapter) { return adapter->writeDataToVexbus(frame); }, result);
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
                      send, result);
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
                      result);
}

int runReset(const CommandContext &context)
{
    // The controller reboots and announces itself; the init runs again.
    auto waitForRestart = [&context](AdapterSession *session, QJsonObject *result, QString *done) {
        context.printer->text(QStringLiteral("reset acknowledged; waiting for the controller to restart"));
        const int back = session->waitForController();
        if (back == ExitInterrupted)
            return interrupted(context.printer);
        if (back != ExitSuccess)
            return back;
        const QString version = session->adapter()->firmwareVersion();
        result->insert(QStringLiteral("firmwareVersion"), version);
        *done += QStringLiteral(" with firmware %1").arg(version);
        return int(ExitSuccess);
    };
    return runCommand(context, QStringLiteral("reset"), QStringLiteral("the reset"), QStringLiteral("the controller restarted"),
                      [](NivoraVexbusUsbAdapter *adapter) { return adapter->resetController(); }, QJsonObject(), waitForRestart);
}

int runCheckUpdate(const CommandContext &context, const ReleaseOptions &releaseOptions)
{
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
    if (releaseOptions && !releaseOptions->force && !previousVersion.isEmpty()
            && previousVersion == adapter->firmwareDownloader()->versionString()) {
        QJsonObject result{{QStringLiteral("event"), QStringLiteral("finished")}, {QStringLiteral("success"), true},
                           {QStringLiteral("firmwareVersion"), previousVersion}, {QStringLiteral("updated"), false}};
        context.printer->result(QStringLiteral("ok: the controller runs firmware %1 already; nothing to do (--force writes it again)")
                                        .arg(previousVersion), result);
        return ExitSuccess;
    }

    // Going back is a decision of the person who runs the update. A
    // controller in its bootloader tells no version: the newest release
    // this gateway took stands in for it.
    if (releaseOptions && !releaseOptions->allowOlder && adapter->firmwareDownloader()->releaseIsOlderThan(previousVersion)) {
        context.printer->error(QStringLiteral("the release %1 is older than %2; nothing written (--allow-older writes it anyway)")
                                       .arg(adapter->firmwareDownloader()->versionString(),
                                            previousVersion.isEmpty() ? QStringLiteral("a release this gateway took before")
                                                                      : QStringLiteral("the firmware %1 that the controller runs").arg(previousVersion)));
        return ExitFailure;
    }

    QJsonObject started{{QStringLiteral("event"), QStringLiteral("started")},
                        {QStringLiteral("port"), session.target()},
                        {QStringLiteral("image"), releaseOptions ? image.name() : file},
                        {QStringLiteral("rowCount"), image.rows().count()},
                        {QStringLiteral("previousFirmwareVersion"), previousVersion}};
    context.printer->result(QStringLiteral("updating %1 from firmware %2 with %3 (%4 rows)")
                                    .arg(session.target(), orDash(previousVersion), releaseOptions ? printable(image.name()) : file)
                                    .arg(image.rows().count()),
                            started);

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
