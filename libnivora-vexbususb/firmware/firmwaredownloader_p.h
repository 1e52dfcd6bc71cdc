// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef FIRMWAREDOWNLOADER_P_H
#define FIRMWAREDOWNLOADER_P_H

// The downloader's cache, its trust and the release it holds.

#include "firmware/firmwaredownloader.h"

#include <QDateTime>
#include <QList>

namespace NivoraVexbusUsb {

class FirmwareDownloaderPrivate
{
public:
    QNetworkAccessManager *networkManager = nullptr;
    QString baseUrl;
    QString cacheDirectory;
    bool cacheUsable = false;
    bool updateInformationAvailable = false;
    bool updateDataAvailable = false;
    bool preReleaseEnabled = false;
    QString versionString;
    QString hardwareName;
    QString updateFileName;
    QString updateFileMd5sum;
    QString updateFileSha256;
    QList<ReleaseKey> trustedKeys;
    bool releaseAuthenticated = false;
    bool olderReleasesAllowed = false;
    int transferTimeout = FirmwareDownloader::defaultTransferTimeout;
    QString releaseKeyFingerprint;
    QByteArray releaseDescription;
    QByteArray releaseSignature;
    QDateTime releaseDateTime;
    int majorVersion = 0;
    int minorVersion = 0;
    int patchVersion = 0;
    FirmwareData firmware;
};

} // namespace NivoraVexbusUsb

#endif // FIRMWAREDOWNLOADER_P_H
