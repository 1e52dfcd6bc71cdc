// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "commands.h"
#include "terminationsignals.h"
#include "printer.h"
#include "progressbar.h"
#include "waiter.h"

#include "bootloader/bootloaderutils.h"
#include "bootloader/firmwaredata.h"
#include "bootloader/firmwaredatarow.h"
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
// The adapter gives the controller this long to reboot into its bootloader.
constexpr int bootloaderHandOverMs = 3000;

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

QString timeStamp()
{
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
}

QString orDash(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("-") : value;
}

QString usbId(unsigned short identifier)
{
    return identifier ? QStringLiteral("%1").arg(identifier, 4, 16, QLatin1Char('0')) : QString();
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

// Checks an image file before the adapter gets it, so that a person learns
// which line is wrong.
bool loadImageFile(const QString &path, const Printer *printer, FirmwareData *image)
{
    const QFileInfo fileInfo(path);
    if (!fileInfo.exists()) {
        printer->error(QStringLiteral("no image file at %1.").arg(path));
        return false;
    }
    QFile file(fileInfo.absoluteFilePath());
    if (!fileInfo.isFile() || !file.open(QIODevice::ReadOnly)) {
        printer->error(QStringLiteral("cannot read the image file %1: %2").arg(path, file.errorString()));
        return false;
    }

    const QByteArray data = file.readAll();
    const QList<QByteArray> lines = data.split('\n');
    const QByteArray header = BootloaderUtils::readFirmwareAsciiData(lines.value(0).trimmed());
    if (header.size() < 6) {
        printer->error(QStringLiteral("invalid image file %1, line 1: the header must give the silicon ID, silicon "
                                      "revision and checksum type as 12 hexadecimal digits.").arg(path));
        return false;
    }
    int rowCount = 0;
    for (int i = 1; i < lines.count(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        if (!FirmwareDataRow(line).isValid()) {
            printer->error(QStringLiteral("invalid image file %1, line %2: not a flash row (\":\" followed by array ID, "
                                          "row number, data length, data and checksum in hexadecimal).")
                                   .arg(path).arg(i + 1));
            return false;
        }
        // The checksum byte makes the row's bytes add up to 0. A row that
        // does not would fail its verification in the bootloader and leave
        // the controller without an application.
        quint8 sum = 0;
        for (const char byte : BootloaderUtils::readFirmwareAsciiData(line))
            sum += quint8(byte);
        if (sum != 0) {
            printer->error(QStringLiteral("invalid image file %1, line %2: the row's checksum does not match its bytes.")
                                   .arg(path).arg(i + 1));
            return false;
        }
        ++rowCount;
    }
    if (rowCount == 0) {
        printer->error(QStringLiteral("invalid image file %1: it holds no flash rows.").arg(path));
        return false;
    }

    *image = FirmwareData(data);
    if (!image->isValid()) {
        printer->error(QStringLiteral("invalid image file %1.").arg(path));
        return false;
    }
    return true;
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
    if (!releaseOptions.server.isEmpty())
        downloader->setBaseUrl(releaseOptions.server);
    downloader->setPreReleaseEnabled(releaseOptions.preRelease);

    const QDir installed(QStringLiteral(NIVORA_RELEASE_KEY_DIRECTORY));
    const QStringList installedFiles = installed.entryList({QStringLiteral("*.pub"), QStringLiteral("*.pem")}, QDir::Files, QDir::Name);
    for (const QString &name : installedFiles) {
        if (!trustKeyFile(downloader, installed.filePath(name), keyFiles))
            printer->note(QStringLiteral("ignoring %1: not an Ed25519 public key in PEM").arg(installed.filePath(name)));
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
    return QStringLiteral("verified, key %1 (%2)").arg(fingerprint, keyFiles.value(fingerprint));
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
        Printer::field(QStringLiteral("Version"), downloader->versionString()),
        Printer::field(QStringLiteral("Hardware"), orDash(downloader->hardwareName())),
        Printer::field(QStringLiteral("Release date"), date.toOffsetFromUtc(date.offsetFromUtc()).toString(Qt::ISODate)),
        Printer::field(QStringLiteral("File"), downloader->updateFileName()),
        Printer::field(QStringLiteral("Server"), downloader->baseUrl() + (downloader->preReleaseEnabled() ? QStringLiteral(" (pre-release)") : QString())),
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
        context.printer->error(QStringLiteral("release server %1: %2").arg(downloader->baseUrl(), failure));
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
// scripts, a last event on standard output.
int updateFailed(const Printer *printer, const QString &message, int exitCode = ExitFailure)
{
    printer->error(message);
    if (printer->json()) {
        printer->result(QString(), QJsonObject{{QStringLiteral("event"), QStringLiteral("finished")},
                                               {QStringLiteral("success"), false},
                                               {QStringLiteral("error"), message}});
    }
    return exitCode;
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
    if (!adapter->updating())
        return updateFailed(context.printer, QStringLiteral("the adapter did not start the update (see its warning above)."));

    // The run may take long; it fails when nothing moves for the time-out,
    // not counting the pause in which the controller reboots into its
    // bootloader.
    Waiter waiter(context.terminationSignals, [&finished]() { return finished; });
    waiter.wakeOn(adapter, &NivoraVexbusUsbAdapter::updateFinished);
    Waiter::Result waited = Waiter::TimedOut;
    for (int seen = -1; seen != activity;) {
        seen = activity;
        const bool rebooting = adapter->state() == NivoraVexbusUsbAdapter::StateConnectingBootloader;
        waited = waiter.wait(context.adapterOptions.timeoutMs + (rebooting ? bootloaderHandOverMs : 0));
        if (waited != Waiter::TimedOut)
            break;
    }
    progressBar.finish();

    const QString percentage = QString::number(adapter->updatePercentage(), 'f', 1);
    if (waited == Waiter::Interrupted)
        return updateFailed(context.printer, QStringLiteral("update interrupted at %1%; the controller may stay in its "
                                                            "bootloader: run the update again.").arg(percentage),
                            ExitInterrupted);
    if (waited == Waiter::TimedOut)
        return updateFailed(context.printer, QStringLiteral("the update timed out: nothing happened for %1 s at %2% (%3).")
                                                     .arg(context.adapterOptions.timeoutMs / 1000.0)
                                                     .arg(percentage, Names::of(adapter->state())));
    if (!success && adapter->state() == NivoraVexbusUsbAdapter::StateConnected)
        return updateFailed(context.printer, QStringLiteral("the controller refused to start its bootloader; nothing was written."));
    if (!success)
        return updateFailed(context.printer, QStringLiteral("the update failed at %1% (%2); the controller stays in its "
                                                            "bootloader: run the update again.")
                                                     .arg(percentage, Names::of(adapter->state())));
    return ExitSuccess;
}

// After the image is written the controller restarts; the update is done
// when it reports its firmware version again.
int waitForNewFirmware(const CommandContext &context, NivoraVexbusUsbAdapter *adapter, const QString &previousVersion)
{
    printPhase(context.printer, QStringLiteral("restarting"), QStringLiteral("image written; waiting for the controller to restart"));
    Waiter waiter(context.terminationSignals, [adapter]() { return adapter->available() && !adapter->firmwareVersion().isEmpty(); });
    waiter.wakeOn(adapter, &NivoraVexbusUsbAdapter::availableChanged);
    waiter.wakeOn(adapter, &NivoraVexbusUsbAdapter::firmwareVersionChanged);
    const Waiter::Result restarted = waiter.wait(context.adapterOptions.timeoutMs);
    if (restarted == Waiter::Interrupted)
        return updateFailed(context.printer, QStringLiteral("interrupted while the controller restarts"), ExitInterrupted);
    if (restarted == Waiter::TimedOut)
        return updateFailed(context.printer, QStringLiteral("the image was written, but the controller did not answer within "
                                                            "%1 s after its restart.").arg(context.adapterOptions.timeoutMs / 1000.0));

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
        QJsonObject object;
        object.insert(QStringLiteral("time"), timeStamp());
        object.insert(QStringLiteral("event"), QStringLiteral("frame"));
        object.insert(QStringLiteral("data"), QString::fromLatin1(frame.toHex()));
        context.printer->result(QStringLiteral("%1 frame  %2").arg(timeStamp(), QString::fromLatin1(frame.toHex(' '))), object);
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
    if (!releaseOptions && !loadImageFile(file, context.printer, &image))
        return ExitFailure;
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

    // The library offers any release it trusts; going back is a decision of
    // the person who runs the update.
    if (releaseOptions && !releaseOptions->allowOlder && adapter->firmwareDownloader()->releaseIsOlderThan(previousVersion)) {
        context.printer->error(QStringLiteral("the release %1 is older than the firmware %2 that the controller runs; "
                                              "nothing written (--allow-older writes it anyway)")
                                       .arg(adapter->firmwareDownloader()->versionString(), previousVersion));
        return ExitFailure;
    }

    QJsonObject started{{QStringLiteral("event"), QStringLiteral("started")},
                        {QStringLiteral("port"), session.target()},
                        {QStringLiteral("image"), releaseOptions ? image.name() : file},
                        {QStringLiteral("rowCount"), image.rows().count()},
                        {QStringLiteral("previousFirmwareVersion"), previousVersion}};
    context.printer->result(QStringLiteral("updating %1 from firmware %2 with %3 (%4 rows)")
                                    .arg(session.target(), orDash(previousVersion), releaseOptions ? image.name() : file)
                                    .arg(image.rows().count()),
                            started);

    const int written = writeImage(context, adapter, image, releaseOptions ? QString() : QFileInfo(file).absoluteFilePath());
    if (written != ExitSuccess)
        return written;
    return waitForNewFirmware(context, adapter, previousVersion);
}
