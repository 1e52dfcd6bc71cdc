// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "firmware/firmwaredownloader.h"
#include "firmware/firmwarerelease.h"
#include "logging/nivoravexbususblogging.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaType>
#include <QRegularExpression>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>
#include <QVersionNumber>

#include <sys/stat.h>

namespace NivoraVexbusUsb {

namespace {

// Dynamic properties of a reply with a size limit: the limit, and the size
// it had or announced when it was stopped for it.
const char sizeLimitProperty[] = "nivoraSizeLimit";
const char refusedSizeProperty[] = "nivoraRefusedSize";

QString hashHex(const QByteArray &data, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, algorithm).toHex());
}

QString md5Hex(const QByteArray &data)
{
    return hashHex(data, QCryptographicHash::Md5);
}

bool isSha256Hex(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{64}$"));
    return pattern.match(text).hasMatch();
}

// The server's contract is lower-case hexadecimal, so the comparison is
// exact: an upper-case sum in a release description never matches.
bool checksumMatches(const QString &checksum, const QString &expected)
{
    return checksum.toUtf8() == expected.toUtf8();
}

QNetworkRequest plainGetRequest(const QString &url)
{
    // No headers and no attributes: redirects are not followed.
    return QNetworkRequest(QUrl(url, QUrl::TolerantMode));
}

} // namespace

QString FirmwareDownloader::defaultBaseUrl()
{
    return QStringLiteral("https://firmware.nivora-vexbus.example/firmware/nivora-vexbususb");
}

FirmwareDownloader::FirmwareDownloader(QObject *parent) :
    QObject(parent),
    m_networkManager(new QNetworkAccessManager(this)),
    m_baseUrl(defaultBaseUrl())
{
    qRegisterMetaType<FirmwareData>("FirmwareData");
    setupCacheDirectory();
}

void FirmwareDownloader::setupCacheDirectory()
{
    m_cacheDirectory = QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
            + QStringLiteral("/nivora-vexbususb");
    QDir directory(m_cacheDirectory);
    if (directory.exists()) {
        qCDebug(dcVexbusUsbBootloader()) << "Using cache directory" << m_cacheDirectory;
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "Creating cache directory" << m_cacheDirectory;
    // The parents are the application's; the cache itself is the user's
    // alone, so that no other account can plant an image in it. Without a
    // cache the downloader still works; only the copy is lost.
    const QString parent = QFileInfo(m_cacheDirectory).path();
    if (!directory.mkpath(parent) || ::mkdir(QFile::encodeName(m_cacheDirectory).constData(), S_IRWXU) != 0)
        qCWarning(dcVexbusUsbBootloader()) << "Failed to create cache directory" << m_cacheDirectory;
}

QString FirmwareDownloader::baseUrl() const
{
    return m_baseUrl;
}

void FirmwareDownloader::setBaseUrl(const QString &baseUrl)
{
    if (m_baseUrl == baseUrl)
        return;

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Using release server" << baseUrl;
    m_baseUrl = baseUrl;
    emit baseUrlChanged(m_baseUrl);
}

QString FirmwareDownloader::cacheDirectory() const
{
    return m_cacheDirectory;
}

QString FirmwareDownloader::updateFileName() const
{
    return m_updateFileName;
}

void FirmwareDownloader::setUpdateFileName(const QString &updateFileName)
{
    if (m_updateFileName == updateFileName)
        return;

    m_updateFileName = updateFileName;
    emit updateFileNameChanged(m_updateFileName);
}

QString FirmwareDownloader::versionString() const
{
    return m_versionString;
}

void FirmwareDownloader::setVersionString(const QString &versionString)
{
    if (m_versionString == versionString)
        return;

    m_versionString = versionString;
    emit versionStringChanged(m_versionString);
}

QString FirmwareDownloader::hardwareName() const
{
    return m_hardwareName;
}

void FirmwareDownloader::setHardwareName(const QString &hardwareName)
{
    if (m_hardwareName == hardwareName)
        return;

    m_hardwareName = hardwareName;
    emit hardwareNameChanged(m_hardwareName);
}

QDateTime FirmwareDownloader::releaseDateTime() const
{
    return m_releaseDateTime;
}

void FirmwareDownloader::setReleaseDateTime(const QDateTime &releaseDateTime)
{
    if (m_releaseDateTime == releaseDateTime)
        return;

    m_releaseDateTime = releaseDateTime;
    emit releaseDateTimeChanged(m_releaseDateTime);
}

int FirmwareDownloader::majorVersion() const
{
    return m_majorVersion;
}

int FirmwareDownloader::minorVersion() const
{
    return m_minorVersion;
}

int FirmwareDownloader::patchVersion() const
{
    return m_patchVersion;
}

FirmwareData FirmwareDownloader::firmware() const
{
    return m_firmware;
}

void FirmwareDownloader::setFirmware(const FirmwareData &firmware)
{
    m_firmware = firmware;
    emit firmwareChanged(m_firmware);
}

bool FirmwareDownloader::preReleaseEnabled() const
{
    return m_preReleaseEnabled;
}

void FirmwareDownloader::setPreReleaseEnabled(bool preReleaseEnabled)
{
    if (m_preReleaseEnabled == preReleaseEnabled)
        return;

    m_preReleaseEnabled = preReleaseEnabled;
    emit preReleaseEnabledChanged(m_preReleaseEnabled);
}

QList<ReleaseKey> FirmwareDownloader::trustedKeys() const
{
    return m_trustedKeys;
}

bool FirmwareDownloader::addTrustedKey(const ReleaseKey &key)
{
    if (key.isNull() || m_trustedKeys.contains(key))
        return false;

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Trusting release key" << key.fingerprint();
    m_trustedKeys.append(key);
    return true;
}

void FirmwareDownloader::clearTrustedKeys()
{
    m_trustedKeys.clear();
}

bool FirmwareDownloader::releaseAuthenticated() const
{
    return m_releaseAuthenticated;
}

QString FirmwareDownloader::releaseKeyFingerprint() const
{
    return m_releaseKeyFingerprint;
}

void FirmwareDownloader::setReleaseKey(const ReleaseKey &key)
{
    if (m_releaseAuthenticated != !key.isNull()) {
        m_releaseAuthenticated = !key.isNull();
        emit releaseAuthenticatedChanged(m_releaseAuthenticated);
    }
    if (m_releaseKeyFingerprint != key.fingerprint()) {
        m_releaseKeyFingerprint = key.fingerprint();
        emit releaseKeyFingerprintChanged(m_releaseKeyFingerprint);
    }
}

bool FirmwareDownloader::releaseIsOlderThan(const QString &firmwareVersion) const
{
    const QVersionNumber running = QVersionNumber::fromString(firmwareVersion);
    if (running.isNull() || m_versionString.isEmpty())
        return false;
    return QVersionNumber(m_majorVersion, m_minorVersion, m_patchVersion) < running;
}

bool FirmwareDownloader::updateInformationAvailable() const
{
    return m_updateInformationAvailable;
}

bool FirmwareDownloader::updateDataAvailable() const
{
    return m_updateDataAvailable;
}

void FirmwareDownloader::reset()
{
    setVersionString(QString());
    setHardwareName(QString());
    setUpdateFileName(QString());
    setReleaseDateTime(QDateTime());
    setFirmware(FirmwareData());
    setReleaseKey(ReleaseKey());
    m_majorVersion = 0;
    m_minorVersion = 0;
    m_patchVersion = 0;
}

bool FirmwareDownloader::isPlainFileName(const QString &fileName)
{
    return FirmwareRelease::isPlainFileName(fileName);
}

QString FirmwareDownloader::releaseUrl() const
{
    return m_baseUrl + (m_preReleaseEnabled ? QStringLiteral("/pre-release/release.json")
                                            : QStringLiteral("/release.json"));
}

QString FirmwareDownloader::firmwareUrl(const QString &fileName) const
{
    return m_baseUrl + (m_preReleaseEnabled ? QStringLiteral("/pre-release/") : QStringLiteral("/")) + fileName;
}

void FirmwareDownloader::checkNewFirmware()
{
    const QString url = releaseUrl();
    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Checking for new firmware" << url;
    // Each reply is handled by itself, so overlapping checks need no guard.
    QNetworkReply *reply = m_networkManager->get(plainGetRequest(url));
    limitReplySize(reply, FirmwareRelease::maximumDescriptionSize);
    connect(reply, &QNetworkReply::finished, this, [this, reply]() {
        onReleaseReplyFinished(reply);
    });
}

void FirmwareDownloader::limitReplySize(QNetworkReply *reply, qint64 limit)
{
    reply->setProperty(sizeLimitProperty, limit);
    const auto refuseAbove = [reply, limit](qint64 size) {
        if (size <= limit || reply->property(refusedSizeProperty).isValid())
            return;
        reply->setProperty(refusedSizeProperty, size);
        reply->abort();
    };
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, refuseAbove]() {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            refuseAbove(length.toLongLong());
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [refuseAbove](qint64 received, qint64) {
        refuseAbove(received);
    });
}

bool FirmwareDownloader::refusedForSize(QNetworkReply *reply, const QString &what)
{
    const QVariant size = reply->property(refusedSizeProperty);
    if (!size.isValid())
        return false;

    const qint64 limit = reply->property(sizeLimitProperty).toLongLong();
    qCWarning(dcVexbusUsbBootloader()).noquote() << QStringLiteral("FirmwareDownloader: Refusing the %1 %2: it has %3 bytes or more, more than the limit of %4 bytes.")
                                                        .arg(what, reply->url().toString()).arg(size.toLongLong()).arg(limit);
    emit errorOccurred(tr("The %1 is larger than the limit of %2 bytes.").arg(what).arg(limit));
    return true;
}

void FirmwareDownloader::onReleaseReplyFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (refusedForSize(reply, tr("release description")))
        return;
    if (reply->error() != QNetworkReply::NoError) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Could not get update" << reply->errorString();
        emit errorOccurred(tr("Could not get the release description: %1").arg(reply->errorString()));
        return;
    }

    const QByteArray description = reply->readAll();
    if (m_trustedKeys.isEmpty()) {
        takeReleaseDescription(description, ReleaseKey());
        return;
    }

    // The signature is checked before anything of the description is read.
    const QString signatureUrl = reply->request().url().toString() + QStringLiteral(".sig");
    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Fetching the release signature" << signatureUrl;
    QNetworkReply *signatureReply = m_networkManager->get(plainGetRequest(signatureUrl));
    connect(signatureReply, &QNetworkReply::finished, this, [this, signatureReply, description]() {
        onSignatureReplyFinished(signatureReply, description);
    });
}

void FirmwareDownloader::onSignatureReplyFinished(QNetworkReply *reply, const QByteArray &description)
{
    reply->deleteLater();
    if (reply->error() == QNetworkReply::ContentNotFoundError) {
        refuseRelease(tr("it has no signature"));
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        refuseRelease(tr("its signature could not be fetched: %1").arg(reply->errorString()));
        return;
    }

    // The signature file holds the 64 raw bytes and nothing else.
    const QByteArray signature = reply->readAll();
    if (signature.size() != ReleaseKey::signatureSize) {
        refuseRelease(tr("its signature is malformed (%1 bytes instead of %2)")
                      .arg(signature.size()).arg(ReleaseKey::signatureSize));
        return;
    }

    for (const ReleaseKey &key : qAsConst(m_trustedKeys)) {
        if (key.verify(description, signature)) {
            takeReleaseDescription(description, key);
            return;
        }
    }
    refuseRelease(tr("its signature is not made by a trusted key"));
}

void FirmwareDownloader::refuseRelease(const QString &reason)
{
    qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Refusing release:" << reason;
    emit errorOccurred(tr("The release was refused: %1.").arg(reason));
}

void FirmwareDownloader::takeReleaseDescription(const QByteArray &description, const ReleaseKey &key)
{
    FirmwareRelease release;
    if (!release.parse(description)) {
        emit errorOccurred(release.errorString());
        return;
    }

    // A signed release is taken only with the strong checksum of its image.
    if (!key.isNull() && !isSha256Hex(release.updateFileSha256())) {
        refuseRelease(tr("it gives no SHA-256 of its image"));
        return;
    }
    if (key.isNull())
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: The release is not authenticated, no trusted key is configured.";

    storeRelease(release);
    setReleaseKey(key);
    emit firmwareUpdateFinished();
    downloadFirmware();
}

void FirmwareDownloader::storeRelease(const FirmwareRelease &release)
{
    setHardwareName(release.hardware());
    m_majorVersion = release.majorVersion();
    m_minorVersion = release.minorVersion();
    m_patchVersion = release.patchVersion();
    setVersionString(release.versionString());
    setUpdateFileName(release.updateFileName());
    m_updateFileMd5sum = release.updateFileMd5sum();
    m_updateFileSha256 = release.updateFileSha256();
    setReleaseDateTime(release.releaseDateTime());

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: check for updates finished sucessfully.";
    qCDebug(dcVexbusUsbBootloader()) << m_updateFileName << m_updateFileMd5sum << m_versionString
                                     << m_releaseDateTime.toString(Qt::TextDate);
}

void FirmwareDownloader::downloadFirmware()
{
    // setUpdateFileName() is public, so the name is checked again here.
    if (!isPlainFileName(m_updateFileName)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Cannot download firmware, the update file name is not a plain file name:"
                                           << m_updateFileName;
        emit errorOccurred(tr("Cannot download firmware: the update file name is not a plain file name: \"%1\"").arg(m_updateFileName));
        return;
    }

    const QString cachedFilePath = m_cacheDirectory + QLatin1Char('/') + m_updateFileName;
    if (takeCachedFirmware(cachedFilePath))
        return;

    startFirmwareDownload(cachedFilePath);
}

bool FirmwareDownloader::takeCachedFirmware(const QString &cachedFilePath)
{
    QFile file(cachedFilePath);
    if (!file.exists()) {
        qCDebug(dcVexbusUsbBootloader()) << "No cached firmware file found in" << m_cacheDirectory;
        return false;
    }

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Found cached firmware file:"
                                     << QFileInfo(file).absoluteFilePath();
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(dcVexbusUsbBootloader()) << "Failed to open cached firmware file" << file.fileName();
        return false;
    }

    const QByteArray data = file.readAll();
    file.close();
    const QString checksum = md5Hex(data);
    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Cached firmware file checksum:" << checksum;
    if (!checksumMatches(checksum, m_updateFileMd5sum)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: The cached checksum does not match the online checksum. Deleting cached firmware file"
                                           << file.fileName();
        file.remove();
        return false;
    }
    if (!sha256Matches(data)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: The cached SHA-256 does not match the release. Deleting cached firmware file"
                                           << file.fileName();
        file.remove();
        return false;
    }

    const FirmwareData firmware = parseFirmware(data);
    if (!firmware.isValid()) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: the cached firmware data is not valid. Deleting cached firmware file"
                                           << file.fileName();
        file.remove();
        return false;
    }

    takeFirmware(firmware);
    return true;
}

void FirmwareDownloader::startFirmwareDownload(const QString &cachedFilePath)
{
    const QString url = firmwareUrl(m_updateFileName);
    qCDebug(dcVexbusUsbBootloader()) << "Start downloading firmware" << url;
    QNetworkReply *reply = m_networkManager->get(plainGetRequest(url));
    limitReplySize(reply, maximumDownloadSize);
    connect(reply, &QNetworkReply::finished, this, [this, reply, cachedFilePath]() {
        onFirmwareReplyFinished(reply, cachedFilePath);
    });
}

void FirmwareDownloader::onFirmwareReplyFinished(QNetworkReply *reply, const QString &cachedFilePath)
{
    reply->deleteLater();
    if (refusedForSize(reply, tr("firmware file")))
        return;
    if (reply->error() != QNetworkReply::NoError) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Could not download update" << reply->errorString();
        emit errorOccurred(tr("Could not download the firmware file: %1").arg(reply->errorString()));
        return;
    }

    const QByteArray data = reply->readAll();
    if (!sha256Matches(data)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: The download SHA-256 does not match the release.";
        emit errorOccurred(tr("The downloaded firmware file does not match the SHA-256 of the release."));
        return;
    }
    const QString checksum = md5Hex(data);
    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Download checksum:" << checksum;
    if (!checksumMatches(checksum, m_updateFileMd5sum)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: The download checksum does not match the online checksum.";
        emit errorOccurred(tr("The downloaded firmware file does not match the MD5 sum of the release (%1 instead of %2).")
                           .arg(checksum, m_updateFileMd5sum));
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Download checksum verified successfully.";
    // Written aside and renamed: a crash or a full disk leaves the old file
    // or none, never part of an image. A cache that cannot be written only
    // costs the next run a download.
    QSaveFile file(cachedFilePath);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        qCDebug(dcVexbusUsbBootloader()) << "Firmware cached successfully" << file.fileName();
    else
        qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Could not cache firmware file" << file.fileName() << file.errorString();

    // An invalid file stays cached: the next fetch finds it, deletes it
    // and downloads again.
    const FirmwareData firmware = parseFirmware(data);
    if (!firmware.isValid()) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: the downloaded firmware data is not valid.";
        emit errorOccurred(tr("The downloaded firmware file is not a valid firmware image."));
        return;
    }

    takeFirmware(firmware);
}

// A release without a SHA-256 is checked by its MD5 sum alone.
bool FirmwareDownloader::sha256Matches(const QByteArray &data) const
{
    return m_updateFileSha256.isEmpty()
            || checksumMatches(hashHex(data, QCryptographicHash::Sha256), m_updateFileSha256);
}

FirmwareData FirmwareDownloader::parseFirmware(const QByteArray &data) const
{
    FirmwareData firmware(data);
    firmware.setName(m_updateFileName);
    firmware.setApplicationVersion(m_versionString);
    return firmware;
}

void FirmwareDownloader::takeFirmware(const FirmwareData &firmware)
{
    setFirmware(firmware);
    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: firmware file available" << m_firmware;
    emit firmwareDownloadFinished();
}

} // namespace NivoraVexbusUsb
