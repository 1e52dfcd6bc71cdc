// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "releases.h"
#include "adaptersession.h"
#include "commands.h"
#include "printer.h"
#include "releasetrust.h"
#include "waiter.h"

#include "bootloader/firmwaredata.h"
#include "bootloader/firmwaredatarow.h"
#include "firmware/firmwaredownloader.h"
#include "firmware/releasekey.h"

#include <QJsonObject>

using namespace NivoraVexbusUsb;

bool releaseOptionsGiven(const ReleaseOptions &releaseOptions)
{
    return !releaseOptions.server.isEmpty() || !releaseOptions.caCertificate.isEmpty() || !releaseOptions.trustedKeyFiles.isEmpty();
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

FetchedRelease fetchRelease(const CommandContext &context, FirmwareDownloader *downloader, const KeyFiles &keyFiles)
{
    FetchedRelease fetched;
    bool released = false;
    // The downloader may outlive this call; the receiver ends the connections.
    QObject receiver;
    QObject::connect(downloader, &FirmwareDownloader::firmwareUpdateFinished, &receiver, [&]() { released = true; });
    QObject::connect(downloader, &FirmwareDownloader::firmwareDownloadFinished, &receiver, [&]() { fetched.verified = true; });
    QObject::connect(downloader, &FirmwareDownloader::errorOccurred, &receiver,
                     [&](const QString &errorString) { fetched.failure = errorString; });

    Waiter waiter(context.terminationSignals, [&]() { return fetched.verified || !fetched.failure.isEmpty(); });
    waiter.wakeOn(downloader, &FirmwareDownloader::firmwareDownloadFinished);
    waiter.wakeOn(downloader, &FirmwareDownloader::errorOccurred);
    downloader->checkNewFirmware();
    const Waiter::Result waited = waiter.wait(context.adapterOptions.timeoutMs);
    if (waited == Waiter::Interrupted)
        return FetchedRelease{true, false, false, ReleaseView(), 0, QString()};
    if (waited == Waiter::TimedOut) {
        return FetchedRelease{false, false, false, ReleaseView(), 0,
                              QStringLiteral("no answer from the release server %1 within %2 s.")
                                      .arg(downloader->baseUrl()).arg(context.adapterOptions.timeoutMs / 1000.0)};
    }
    fetched.described = released;
    if (released) {
        ReleaseView &view = fetched.release;
        view.authenticated = downloader->releaseAuthenticated();
        view.signingKey = downloader->releaseKeyFingerprint();
        view.signingKeyFile = keyFiles.value(view.signingKey);
        view.version = downloader->versionString();
        view.hardware = downloader->hardwareName();
        view.releaseDate = downloader->releaseDateTime();
        view.fileName = downloader->updateFileName();
        view.preRelease = downloader->preReleaseEnabled();
        view.server = downloader->baseUrl();
    }
    fetched.rowCount = downloader->firmware().rows().count();
    if (!fetched.failure.isEmpty())
        fetched.failure = QStringLiteral("release server %1: %2").arg(printable(downloader->baseUrl()), printable(fetched.failure));
    return fetched;
}

int showRelease(const CommandContext &context, const FetchedRelease &fetched)
{
    if (fetched.interrupted)
        return interrupted(context.printer);
    if (fetched.described) {
        QJsonObject object = releaseObject(fetched.release);
        object.insert(QStringLiteral("verified"), fetched.verified);
        if (fetched.verified)
            object.insert(QStringLiteral("rowCount"), fetched.rowCount);
        context.printer->result(releaseText(fetched.release), object);
    }
    if (!fetched.failure.isEmpty()) {
        context.printer->error(fetched.failure);
        return ExitFailure;
    }
    context.printer->text(Printer::field(QStringLiteral("Image"), QStringLiteral("verified, %1 rows").arg(fetched.rowCount)));
    return ExitSuccess;
}

int byteCount(const FirmwareData &image)
{
    int bytes = 0;
    for (const FirmwareDataRow &row : image.rows())
        bytes += row.rowData().size();
    return bytes;
}
