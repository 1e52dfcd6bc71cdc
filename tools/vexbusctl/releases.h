// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_RELEASES_H
#define VEXBUSCTL_RELEASES_H

#include "output.h"

#include <QHash>
#include <QString>
#include <QStringList>

class Printer;
struct CommandContext;

namespace NivoraVexbusUsb {
class FirmwareData;
class FirmwareDownloader;
}

// Where releases come from.
struct ReleaseOptions
{
    QString server;
    QString caCertificate;
    bool preRelease = false;
    // Write the release also when the controller runs that version already.
    bool force = false;
    // Write the release also when it is older than the controller's firmware.
    bool allowOlder = false;
    // Public key files of trusted publishers, beside the installed ones.
    QStringList trustedKeyFiles;
};

// Releases come from the server and with the keys that the tool is told of;
// without any, where vexbusd owns the adapter, from the service's.
bool releaseOptionsGiven(const ReleaseOptions &releaseOptions);

// The key files each trusted key came from, by fingerprint.
using KeyFiles = QHash<QString, QString>;

// Hands the installed keys and the ones of the command line to downloader;
// false with the reason printed when one cannot be read.
bool configureDownloader(NivoraVexbusUsb::FirmwareDownloader *downloader, const ReleaseOptions &releaseOptions,
                         const Printer *printer, KeyFiles *keyFiles);
// Trusts the CA certificates in path besides the system's; none for an empty path.
bool trustCertificate(const QString &path, const Printer *printer);

// What asking a release server gave: the release, once described, and
// whether its image was verified; failure says why not.
struct FetchedRelease
{
    bool interrupted = false;
    bool described = false;
    bool verified = false;
    ReleaseView release;
    int rowCount = 0;
    QString failure;
};

// Asks downloader's server for the release and its verified image.
FetchedRelease fetchRelease(const CommandContext &context, NivoraVexbusUsb::FirmwareDownloader *downloader,
                            const KeyFiles &keyFiles);
// Shows what was fetched; the exit code.
int showRelease(const CommandContext &context, const FetchedRelease &fetched);

int byteCount(const NivoraVexbusUsb::FirmwareData &image);

#endif // VEXBUSCTL_RELEASES_H
