// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The commands that look for new firmware and write it.
#include "commands.h"
#include "adaptertransport.h"
#include "output.h"
#include "printer.h"
#include "progressbar.h"
#include "servicetransport.h"
#include "vexbusadapterproxy.h"
#include "waiter.h"

#include "bootloader/firmwaredata.h"
#include "bootloader/firmwareupdate.h"
#include "firmware/firmwaredownloader.h"

#include <QDBusMetaType>
#include <QJsonObject>

#include <memory>

using namespace NivoraVexbusUsb;

namespace {

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

// Hands the image to the adapter and follows the bootloader run to its end.
int writeImage(const CommandContext &context, AdapterTransport *adapter, const QString &file, const FirmwareData &image,
               const ReleaseOptions *releaseOptions, int rowCount, int bytes, bool *written)
{
    const bool controllerAnswered = adapter->status().available;
    ProgressBar progressBar(context.printer, rowCount, bytes);
    const std::unique_ptr<UpdateRun> run(adapter->createUpdate(file, image, releaseOptions));
    int activity = 0;
    QObject::connect(run.get(), &UpdateRun::activity, [&activity]() { ++activity; });
    QObject::connect(run.get(), &UpdateRun::percentageChanged, [&progressBar](double percentage) { progressBar.update(percentage); });
    QObject::connect(run.get(), &UpdateRun::bootloaderStarting, [&]() {
        printPhase(context.printer, QStringLiteral("bootloader-starting"),
                   controllerAnswered ? QStringLiteral("the controller reboots into its bootloader; connecting in 3 s")
                                      : QStringLiteral("connecting to the bootloader in 3 s"));
    });
    QObject::connect(run.get(), &UpdateRun::bootloaderOpened, [&]() {
        printPhase(context.printer, QStringLiteral("writing"), QStringLiteral("bootloader port open; writing %1 rows").arg(rowCount));
    });
    run->start();

    // The run may take long; it fails when nothing moves for the time-out,
    // not counting the pauses in which the controller reboots into its
    // bootloader and into the new firmware.
    UpdateRun *running = run.get();
    Waiter waiter(context.terminationSignals, [running]() { return running->isFinished(); });
    waiter.wakeOn(running, &UpdateRun::finished);
    Waiter::Result waited = Waiter::TimedOut;
    for (int seen = -1; seen != activity;) {
        seen = activity;
        waited = waiter.wait(context.adapterOptions.timeoutMs + run->quietMs());
        if (waited != Waiter::TimedOut)
            break;
    }
    progressBar.finish();

    if (waited == Waiter::Interrupted) {
        run->interrupt();
        return updateFailed(context.printer, run->errorName(), run->errorString(), ExitInterrupted);
    }
    if (waited == Waiter::TimedOut) {
        const QString message = QStringLiteral("the update timed out: nothing happened for %1 s at %2% (%3).")
                                        .arg(context.adapterOptions.timeoutMs / 1000.0)
                                        .arg(QString::number(run->percentage(), 'f', 1), run->phaseName());
        run->stop();
        return updateFailed(context.printer, FirmwareUpdate::errorName(FirmwareUpdate::ErrorTimedOut), message);
    }
    if (!run->succeeded())
        return updateFailed(context.printer, run->errorName(), run->errorString());
    *written = run->written();
    return ExitSuccess;
}

// After the image is written the controller restarts; the update is done
// when it reports its firmware version again, the release's one when the
// image came with a version. runningVersion is the version of a controller
// that answers, else empty.
int waitForNewFirmware(const CommandContext &context, AdapterTransport *adapter, const QString &previousVersion,
                       const QString &expectedVersion)
{
    printPhase(context.printer, QStringLiteral("restarting"), QStringLiteral("image written; waiting for the controller to restart"));
    auto runningVersion = [adapter]() {
        const AdapterStatus status = adapter->status();
        return status.available ? status.firmwareVersion : QString();
    };
    Waiter waiter(context.terminationSignals, [&runningVersion]() { return !runningVersion().isEmpty(); });
    waiter.wakeOn(adapter, &AdapterTransport::changed);
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

} // namespace

int runCheckUpdate(const CommandContext &context, const ReleaseOptions &releaseOptions)
{
    if (!releaseOptionsGiven(releaseOptions) && !context.direct) {
        int found = ExitSuccess;
        ServiceTransport service(context);
        if (service.find(&found, true))
            return found != ExitSuccess ? found : showRelease(context, service.checkForRelease(releaseOptions.preRelease));
    }
    if (!trustCertificate(releaseOptions.caCertificate, context.printer))
        return ExitUsage;
    FirmwareDownloader downloader;
    KeyFiles keyFiles;
    if (!configureDownloader(&downloader, releaseOptions, context.printer, &keyFiles))
        return ExitUsage;
    return showRelease(context, fetchRelease(context, &downloader, keyFiles));
}

int runUpdate(const CommandContext &context, const QString &file, const ReleaseOptions *releaseOptions)
{
    FirmwareData image;
    // A person learns what is wrong with the file before any adapter is opened.
    QString imageError;
    const FirmwareUpdate::Error loaded = releaseOptions ? FirmwareUpdate::ErrorNone : FirmwareUpdate::loadImageFile(file, &image, &imageError);
    if (loaded != FirmwareUpdate::ErrorNone)
        return updateFailed(context.printer, FirmwareUpdate::errorName(loaded), imageError);

    std::unique_ptr<AdapterTransport> adapter;
    const int opened = AdapterTransport::open(context, &adapter);
    if (opened != ExitSuccess)
        return opened;
    ReleaseImage release;
    if (releaseOptions) {
        const int fetched = adapter->fetchRelease(*releaseOptions, &release);
        if (fetched != ExitSuccess)
            return fetched;
    }

    // A controller that does not answer may wait in its bootloader after an
    // interrupted update; the update then goes to the bootloader directly.
    const int answered = adapter->waitForController(false);
    if (answered != ExitSuccess && answered != ExitFailure)
        return answered;
    if (answered != ExitSuccess)
        context.printer->note(QStringLiteral("the controller at %1 does not answer; trying its bootloader directly, "
                                             "as after an interrupted update").arg(adapter->target()));
    const QString previousVersion = adapter->status().firmwareVersion;
    if (releaseOptions) {
        const int notWritten = releaseNotWritten(context, *releaseOptions, previousVersion, release.version,
                                                 adapter->releaseIsOlderThan(previousVersion));
        if (notWritten >= 0)
            return notWritten;
    }

    const int rowCount = releaseOptions ? release.rowCount : image.rows().count();
    printUpdateStart(context, adapter->target(), releaseOptions ? release.imageName : file, rowCount, previousVersion);
    bool written = false;
    const int result = writeImage(context, adapter.get(), file, image, releaseOptions, rowCount,
                                  releaseOptions ? release.byteCount : byteCount(image), &written);
    if (result != ExitSuccess)
        return result;
    // The service found the release running already, since asked.
    if (!written)
        return releaseNotWritten(context, ReleaseOptions(), previousVersion, previousVersion, false);
    return waitForNewFirmware(context, adapter.get(), previousVersion, releaseOptions ? release.version : QString());
}

int runHistory(const CommandContext &context)
{
    // The service keeps the history; it answers through any of its adapters.
    QDBusConnection connection = QDBusConnection::systemBus();
    QList<ServedAdapter> adapters;
    QString error;
    if (!servedAdapters(connection, context.adapterOptions, &adapters, &error)) {
        context.printer->error(QStringLiteral("vexbusd keeps the update history, and it does not answer: %1").arg(error));
        return ExitFailure;
    }
    if (adapters.isEmpty()) {
        context.printer->error(context.adapterOptions.port.isEmpty() && context.adapterOptions.serialPrefix.isEmpty()
                               ? QStringLiteral("vexbusd serves no adapter now, through which it would show its history")
                               : QStringLiteral("vexbusd serves no adapter that fits --port or --serial"));
        return ExitNoAdapter;
    }
    const bool all = context.adapterOptions.port.isEmpty() && context.adapterOptions.serialPrefix.isEmpty();
    qDBusRegisterMetaType<QList<QVariantMap>>();
    std::unique_ptr<VexbusAdapterProxy> proxy = adapterProxy(connection, adapters.first().path);
    proxy->setTimeout(context.adapterOptions.timeoutMs);
    QDBusPendingReply<QList<QVariantMap>> reply = proxy->GetHistory(QVariantMap{{QStringLiteral("all"), all}});
    reply.waitForFinished();
    if (reply.isError()) {
        context.printer->error(QStringLiteral("vexbusd did not give its history: %1").arg(reply.error().message()));
        return ExitFailure;
    }
    const QList<QVariantMap> entries = reply.value();
    if (entries.isEmpty())
        context.printer->note(QStringLiteral("No update recorded."));
    // Oldest first, as a log reads.
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        const QVariantMap &entry = *it;
        const auto value = [&entry](const char *key) { return entry.value(QLatin1String(key)).toString(); };
        QString release = value("release_channel");
        if (!value("release_version").isEmpty())
            release += QLatin1Char(' ') + value("release_version") + (entry.value(QStringLiteral("release_signed")).toBool()
                                                                      ? QStringLiteral(" signed") : QStringLiteral(" unsigned"));
        QString text = QStringLiteral("%1  %2  %3 -> %4  %5  %6  by %7%8")
                .arg(value("started"), value("adapter"), orDash(value("firmware_before")), orDash(value("firmware_after")),
                     value("result"), orDash(release), value("trigger"),
                     value("requester").isEmpty() ? QString() : QStringLiteral(" (%1)").arg(value("requester")));
        if (!value("message").isEmpty())
            text += QStringLiteral("\n    %1: %2").arg(value("error"), value("message"));
        context.printer->result(text, QJsonObject::fromVariantMap(entry));
    }
    return ExitSuccess;
}
