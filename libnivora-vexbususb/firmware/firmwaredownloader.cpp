// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "firmware/firmwaredownloader.h"
#include "firmware/firmwarerelease.h"
#include "logging/nivoravexbususblogging.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaType>
#include <QRegularExpression>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QVersionNumber>

#include <sys/stat.h>
#include <unistd.h>

namespace NivoraVexbusUsb {

namespace {

// Dynamic properties of a reply with a size limit: the limit, and the size
// it had or announced when it was stopped for it.
const char sizeLimitProperty[] = "nivoraSizeLimit";
const char refusedSizeProperty[] = "nivoraRefusedSize";
// Set on a reply that was stopped because nothing arrived for the time-out.
const char stalledProperty[] = "nivoraStalled";

// The newest authenticated release accepted, in the cache directory. A
// hidden name: no update file name of a release can take it.
const char newestReleaseFileName[] = ".newest-release.json";
// That file holds a few numbers; anything larger is not one of ours.
constexpr qint64 maximumNewestReleaseSize = 4096;

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
    // Qt 6 follows redirects unless told otherwise; a redirect would take
    // the request to a server or a scheme that nobody chose.
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return request;
}

bool isHttpsUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

// A path for writing in the cache: a symbolic link there would take the
// write to wherever it points.
bool isSymbolicLink(const QString &path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISLNK(status.st_mode);
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
        // Another account that may write into the cache could plant an
        // image or lower the release mark, as ssh sees a loose key.
        struct stat status;
        if (::stat(QFile::encodeName(m_cacheDirectory).constData(), &status) != 0 || status.st_uid != ::geteuid()
                || (status.st_mode & (S_IWGRP | S_IWOTH))) {
            qCWarning(dcVexbusUsbBootloader()).noquote()
                    << QStringLiteral("FirmwareDownloader: Not using the cache directory %1: it is writable by others or "
                                      "owned by another user (it must be the user's own, mode 0700). Firmware is downloaded "
                                      "every time and no release mark is kept.").arg(m_cacheDirectory);
            return;
        }
        qCDebug(dcVexbusUsbBootloader()) << "Using cache directory" << m_cacheDirectory;
        m_cacheUsable = true;
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "Creating cache directory" << m_cacheDirectory;
    // The parents are the application's; the cache itself is the user's
    // alone, so that no other account can plant an image in it. Without a
    // cache the downloader still works; only the copy is lost.
    const QString parent = QFileInfo(m_cacheDirectory).path();
    if (!directory.mkpath(parent) || ::mkdir(QFile::encodeName(m_cacheDirectory).constData(), S_IRWXU) != 0)
        qCWarning(dcVexbusUsbBootloader()) << "Failed to create cache directory" << m_cacheDirectory;
    else
        m_cacheUsable = true;
}

QString FirmwareDownloader::baseUrl() const
{
    return m_baseUrl;
}

void FirmwareDownloader::setBaseUrl(const QString &baseUrl)
{
    if (m_baseUrl == baseUrl)
        return;
    if (!isHttpsUrl(baseUrl)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Refusing the release server, only https:// URLs are taken:"
                                           << baseUrl;
        return;
    }

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
    // From now on only an authenticated release counts, also the one taken
    // before the key came.
    if (!m_releaseAuthenticated && (!m_versionString.isEmpty() || !m_firmware.data().isEmpty())) {
        qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Dropping the unauthenticated release" << m_versionString;
        dropRelease();
    }
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

bool FirmwareDownloader::olderReleasesAllowed() const
{
    return m_olderReleasesAllowed;
}

void FirmwareDownloader::setOlderReleasesAllowed(bool olderReleasesAllowed)
{
    if (m_olderReleasesAllowed == olderReleasesAllowed)
        return;

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Older releases allowed" << olderReleasesAllowed;
    m_olderReleasesAllowed = olderReleasesAllowed;
    emit olderReleasesAllowedChanged(m_olderReleasesAllowed);
}

bool FirmwareDownloader::releaseIsOlderThan(const QString &firmwareVersion) const
{
    if (m_versionString.isEmpty())
        return false;
    const QVersionNumber release(m_majorVersion, m_minorVersion, m_patchVersion);
    const QVersionNumber running = QVersionNumber::fromString(firmwareVersion);
    if (!running.isNull())
        return release < running;

    // A controller that waits in its bootloader tells no version; the
    // newest release this cache saw stands in for it.
    QVersionNumber newest;
    qint64 newestTimestamp = 0;
    if (!readNewestRelease(&newest, &newestTimestamp))
        return false;
    return release < newest || (release == newest && m_releaseDateTime.toSecsSinceEpoch() < newestTimestamp);
}

int FirmwareDownloader::transferTimeout() const
{
    return m_transferTimeout;
}

void FirmwareDownloader::setTransferTimeout(int transferTimeout)
{
    transferTimeout = qMax(1, transferTimeout);
    if (m_transferTimeout == transferTimeout)
        return;

    m_transferTimeout = transferTimeout;
    emit transferTimeoutChanged(m_transferTimeout);
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
    QNetworkReply *reply = get(url, FirmwareRelease::maximumDescriptionSize);
    connect(reply, &QNetworkReply::finished, this, [this, reply]() {
        onReleaseReplyFinished(reply);
    });
}

// Every request of the downloader: a body read whole is capped at limit,
// and a transfer that receives nothing for the time-out is stopped.
QNetworkReply *FirmwareDownloader::get(const QString &url, qint64 limit)
{
    QNetworkReply *reply = m_networkManager->get(plainGetRequest(url));
    reply->setProperty(sizeLimitProperty, limit);
    const auto refuseAbove = [reply, limit](qint64 size) {
        if (size <= limit || reply->property(refusedSizeProperty).isValid())
            return;
        reply->setProperty(refusedSizeProperty, size);
        reply->abort();
    };

    auto *stallTimer = new QTimer(reply);
    stallTimer->setSingleShot(true);
    connect(stallTimer, &QTimer::timeout, reply, [reply]() {
        reply->setProperty(stalledProperty, true);
        reply->abort();
    });
    stallTimer->start(m_transferTimeout);
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, refuseAbove, stallTimer]() {
        stallTimer->start();
        // Only a 200 answer carries the resource: the body of any other
        // (an error page) is neither read nor measured against the
        // resource's limit, and the status tells the failure.
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status != 0 && status != 200) {
            reply->abort();
            return;
        }
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            refuseAbove(length.toLongLong());
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [refuseAbove, stallTimer](qint64 received, qint64) {
        stallTimer->start();
        refuseAbove(received);
    });
    connect(reply, &QNetworkReply::finished, stallTimer, &QTimer::stop);
    return reply;
}

// Empty for a complete answer with status 200; otherwise what went wrong,
// naming the status when the server sent one.
QString FirmwareDownloader::replyFailure(QNetworkReply *reply) const
{
    if (reply->property(stalledProperty).toBool())
        return tr("no data from the server for %1 s").arg(m_transferTimeout / 1000.0);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 0 && status != 200) {
        const QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        return tr("the server answered with HTTP status %1 %2 instead of 200 OK").arg(status).arg(reason).trimmed();
    }
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    if (status == 0)
        return tr("the server sent no HTTP status");
    return QString();
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
    const QString failure = replyFailure(reply);
    if (!failure.isEmpty()) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Could not get update" << failure;
        emit errorOccurred(tr("Could not get the release description: %1").arg(failure));
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
    // Anything longer than a signature is no signature; it is not read.
    QNetworkReply *signatureReply = get(signatureUrl, ReleaseKey::signatureSize);
    connect(signatureReply, &QNetworkReply::finished, this, [this, signatureReply, description]() {
        onSignatureReplyFinished(signatureReply, description);
    });
}

void FirmwareDownloader::onSignatureReplyFinished(QNetworkReply *reply, const QByteArray &description)
{
    reply->deleteLater();
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 404) {
        refuseRelease(tr("it has no signature (%1 was not found)").arg(reply->url().toString()));
        return;
    }
    const QVariant refusedSize = reply->property(refusedSizeProperty);
    if (refusedSize.isValid()) {
        refuseRelease(tr("its signature is malformed (%1 bytes or more instead of %2)")
                      .arg(refusedSize.toLongLong()).arg(ReleaseKey::signatureSize));
        return;
    }
    const QString failure = replyFailure(reply);
    if (!failure.isEmpty()) {
        refuseRelease(tr("its signature could not be fetched: %1").arg(failure));
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
    // The server no longer offers what was taken before; it is not kept
    // for an update either.
    dropRelease();
    emit errorOccurred(tr("The release was refused: %1.").arg(reason));
}

void FirmwareDownloader::dropRelease()
{
    if (m_versionString.isEmpty() && m_firmware.data().isEmpty() && m_updateFileMd5sum.isEmpty())
        return;
    reset();
    m_updateFileMd5sum.clear();
    m_updateFileSha256.clear();
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

    if (!key.isNull()) {
        QVersionNumber newest;
        qint64 newestTimestamp = 0;
        const QVersionNumber version(release.majorVersion(), release.minorVersion(), release.patchVersion());
        const qint64 timestamp = release.releaseDateTime().toSecsSinceEpoch();
        if (readNewestRelease(&newest, &newestTimestamp)
                && (version < newest || (version == newest && timestamp < newestTimestamp))) {
            const QString older = tr("it is older than release %1 of %2, the newest accepted before")
                    .arg(newest.toString(), QDateTime::fromSecsSinceEpoch(newestTimestamp, Qt::UTC).toString(Qt::ISODate));
            if (!m_olderReleasesAllowed) {
                refuseRelease(older);
                return;
            }
            qCWarning(dcVexbusUsbBootloader()).noquote() << QStringLiteral("FirmwareDownloader: Taking release %1 although %2.")
                                                                .arg(release.versionString(), older);
        } else {
            keepNewestRelease(release);
        }
    }

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

QString FirmwareDownloader::newestReleasePath() const
{
    return m_cacheDirectory + QLatin1Char('/') + QLatin1String(newestReleaseFileName);
}

bool FirmwareDownloader::readNewestRelease(QVersionNumber *version, qint64 *timestamp) const
{
    if (!m_cacheUsable)
        return false;
    QFile file(newestReleasePath());
    if (!file.exists())
        return false;
    const QByteArray content = file.open(QIODevice::ReadOnly) ? file.read(maximumNewestReleaseSize + 1) : QByteArray();
    const QJsonObject object = QJsonDocument::fromJson(content).object();
    const QJsonValue major = object.value(QStringLiteral("majorVersion"));
    const QJsonValue minor = object.value(QStringLiteral("minorVersion"));
    const QJsonValue patch = object.value(QStringLiteral("patchVersion"));
    const QJsonValue seconds = object.value(QStringLiteral("timestamp"));
    if (content.size() > maximumNewestReleaseSize || !major.isDouble() || !minor.isDouble() || !patch.isDouble()
            || !seconds.isDouble()) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Ignoring the unreadable record of the newest release"
                                           << file.fileName();
        return false;
    }
    *version = QVersionNumber(major.toInt(), minor.toInt(), patch.toInt());
    *timestamp = qint64(seconds.toDouble());
    return true;
}

void FirmwareDownloader::keepNewestRelease(const FirmwareRelease &release)
{
    if (!m_cacheUsable)
        return;
    const QString path = newestReleasePath();
    if (isSymbolicLink(path)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Not writing through the symbolic link" << path;
        return;
    }
    const QJsonObject object{{QStringLiteral("majorVersion"), release.majorVersion()},
                             {QStringLiteral("minorVersion"), release.minorVersion()},
                             {QStringLiteral("patchVersion"), release.patchVersion()},
                             {QStringLiteral("timestamp"), double(release.releaseDateTime().toSecsSinceEpoch())}};
    const QByteArray content = QJsonDocument(object).toJson(QJsonDocument::Compact);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Could not keep the newest release in" << path << file.errorString();
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
    if (m_cacheUsable && takeCachedFirmware(cachedFilePath))
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
    QNetworkReply *reply = get(url, maximumDownloadSize);
    connect(reply, &QNetworkReply::finished, this, [this, reply, cachedFilePath]() {
        onFirmwareReplyFinished(reply, cachedFilePath);
    });
}

void FirmwareDownloader::onFirmwareReplyFinished(QNetworkReply *reply, const QString &cachedFilePath)
{
    reply->deleteLater();
    if (refusedForSize(reply, tr("firmware file")))
        return;
    const QString failure = replyFailure(reply);
    if (!failure.isEmpty()) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Could not download update" << failure;
        emit errorOccurred(tr("Could not download the firmware file: %1").arg(failure));
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
    if (!m_cacheUsable) {
        qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Not caching the firmware file, the cache directory is not used";
    } else if (isSymbolicLink(cachedFilePath)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Not caching the firmware file through the symbolic link"
                                           << cachedFilePath;
    } else if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit()) {
        qCDebug(dcVexbusUsbBootloader()) << "Firmware cached successfully" << file.fileName();
    } else {
        qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Could not cache firmware file" << file.fileName() << file.errorString();
    }

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
