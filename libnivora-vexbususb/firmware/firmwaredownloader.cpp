// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "firmware/firmwaredownloader.h"
#include "firmware/firmwaredownloader_p.h"
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
    d_ptr(new FirmwareDownloaderPrivate)
{
    Q_D(FirmwareDownloader);
    d->networkManager = new QNetworkAccessManager(this);
    d->baseUrl = defaultBaseUrl();
    qRegisterMetaType<FirmwareData>("FirmwareData");
    setupCacheDirectory();
}

FirmwareDownloader::~FirmwareDownloader() = default;

void FirmwareDownloader::setupCacheDirectory()
{
    Q_D(FirmwareDownloader);
    d->cacheDirectory = QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
            + QStringLiteral("/nivora-vexbususb");
    QDir directory(d->cacheDirectory);
    if (directory.exists()) {
        // Another account that may write into the cache could plant an
        // image or lower the release mark, as ssh sees a loose key.
        struct stat status;
        if (::stat(QFile::encodeName(d->cacheDirectory).constData(), &status) != 0 || status.st_uid != ::geteuid()
                || (status.st_mode & (S_IWGRP | S_IWOTH))) {
            qCWarning(dcVexbusUsbBootloader()).noquote()
                    << QStringLiteral("FirmwareDownloader: Not using the cache directory %1: it is writable by others or "
                                      "owned by another user (it must be the user's own, mode 0700). Firmware is downloaded "
                                      "every time and no release mark is kept.").arg(d->cacheDirectory);
            return;
        }
        qCDebug(dcVexbusUsbBootloader()) << "Using cache directory" << d->cacheDirectory;
        d->cacheUsable = true;
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "Creating cache directory" << d->cacheDirectory;
    // The parents are the application's; the cache itself is the user's
    // alone, so that no other account can plant an image in it. Without a
    // cache the downloader still works; only the copy is lost.
    const QString parent = QFileInfo(d->cacheDirectory).path();
    if (!directory.mkpath(parent) || ::mkdir(QFile::encodeName(d->cacheDirectory).constData(), S_IRWXU) != 0)
        qCWarning(dcVexbusUsbBootloader()) << "Failed to create cache directory" << d->cacheDirectory;
    else
        d->cacheUsable = true;
}

QString FirmwareDownloader::baseUrl() const
{
    Q_D(const FirmwareDownloader);
    return d->baseUrl;
}

void FirmwareDownloader::setBaseUrl(const QString &baseUrl)
{
    Q_D(FirmwareDownloader);
    if (d->baseUrl == baseUrl)
        return;
    if (!isHttpsUrl(baseUrl)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Refusing the release server, only https:// URLs are taken:"
                                           << baseUrl;
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Using release server" << baseUrl;
    d->baseUrl = baseUrl;
    emit baseUrlChanged(d->baseUrl);
}

QString FirmwareDownloader::cacheDirectory() const
{
    Q_D(const FirmwareDownloader);
    return d->cacheDirectory;
}

QString FirmwareDownloader::updateFileName() const
{
    Q_D(const FirmwareDownloader);
    return d->updateFileName;
}

void FirmwareDownloader::setUpdateFileName(const QString &updateFileName)
{
    Q_D(FirmwareDownloader);
    if (d->updateFileName == updateFileName)
        return;

    d->updateFileName = updateFileName;
    emit updateFileNameChanged(d->updateFileName);
}

QString FirmwareDownloader::versionString() const
{
    Q_D(const FirmwareDownloader);
    return d->versionString;
}

void FirmwareDownloader::setVersionString(const QString &versionString)
{
    Q_D(FirmwareDownloader);
    if (d->versionString == versionString)
        return;

    d->versionString = versionString;
    emit versionStringChanged(d->versionString);
}

QString FirmwareDownloader::hardwareName() const
{
    Q_D(const FirmwareDownloader);
    return d->hardwareName;
}

void FirmwareDownloader::setHardwareName(const QString &hardwareName)
{
    Q_D(FirmwareDownloader);
    if (d->hardwareName == hardwareName)
        return;

    d->hardwareName = hardwareName;
    emit hardwareNameChanged(d->hardwareName);
}

QDateTime FirmwareDownloader::releaseDateTime() const
{
    Q_D(const FirmwareDownloader);
    return d->releaseDateTime;
}

void FirmwareDownloader::setReleaseDateTime(const QDateTime &releaseDateTime)
{
    Q_D(FirmwareDownloader);
    if (d->releaseDateTime == releaseDateTime)
        return;

    d->releaseDateTime = releaseDateTime;
    emit releaseDateTimeChanged(d->releaseDateTime);
}

int FirmwareDownloader::majorVersion() const
{
    Q_D(const FirmwareDownloader);
    return d->majorVersion;
}

int FirmwareDownloader::minorVersion() const
{
    Q_D(const FirmwareDownloader);
    return d->minorVersion;
}

int FirmwareDownloader::patchVersion() const
{
    Q_D(const FirmwareDownloader);
    return d->patchVersion;
}

FirmwareData FirmwareDownloader::firmware() const
{
    Q_D(const FirmwareDownloader);
    return d->firmware;
}

void FirmwareDownloader::setFirmware(const FirmwareData &firmware)
{
    Q_D(FirmwareDownloader);
    d->firmware = firmware;
    emit firmwareChanged(d->firmware);
}

bool FirmwareDownloader::preReleaseEnabled() const
{
    Q_D(const FirmwareDownloader);
    return d->preReleaseEnabled;
}

void FirmwareDownloader::setPreReleaseEnabled(bool preReleaseEnabled)
{
    Q_D(FirmwareDownloader);
    if (d->preReleaseEnabled == preReleaseEnabled)
        return;

    d->preReleaseEnabled = preReleaseEnabled;
    emit preReleaseEnabledChanged(d->preReleaseEnabled);
}

QList<ReleaseKey> FirmwareDownloader::trustedKeys() const
{
    Q_D(const FirmwareDownloader);
    return d->trustedKeys;
}

bool FirmwareDownloader::addTrustedKey(const ReleaseKey &key)
{
    Q_D(FirmwareDownloader);
    if (key.isNull() || d->trustedKeys.contains(key))
        return false;

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Trusting release key" << key.fingerprint();
    d->trustedKeys.append(key);
    // From now on only an authenticated release counts, also the one taken
    // before the key came.
    if (!d->releaseAuthenticated && (!d->versionString.isEmpty() || !d->firmware.data().isEmpty())) {
        qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Dropping the unauthenticated release" << d->versionString;
        dropRelease();
    }
    return true;
}

void FirmwareDownloader::clearTrustedKeys()
{
    Q_D(FirmwareDownloader);
    d->trustedKeys.clear();
}

QByteArray FirmwareDownloader::releaseDescription() const
{
    Q_D(const FirmwareDownloader);
    return d->releaseDescription;
}

QByteArray FirmwareDownloader::releaseSignature() const
{
    Q_D(const FirmwareDownloader);
    return d->releaseSignature;
}

bool FirmwareDownloader::releaseAuthenticated() const
{
    Q_D(const FirmwareDownloader);
    return d->releaseAuthenticated;
}

QString FirmwareDownloader::releaseKeyFingerprint() const
{
    Q_D(const FirmwareDownloader);
    return d->releaseKeyFingerprint;
}

void FirmwareDownloader::setReleaseKey(const ReleaseKey &key)
{
    Q_D(FirmwareDownloader);
    if (d->releaseAuthenticated != !key.isNull()) {
        d->releaseAuthenticated = !key.isNull();
        emit releaseAuthenticatedChanged(d->releaseAuthenticated);
    }
    if (d->releaseKeyFingerprint != key.fingerprint()) {
        d->releaseKeyFingerprint = key.fingerprint();
        emit releaseKeyFingerprintChanged(d->releaseKeyFingerprint);
    }
}

bool FirmwareDownloader::olderReleasesAllowed() const
{
    Q_D(const FirmwareDownloader);
    return d->olderReleasesAllowed;
}

void FirmwareDownloader::setOlderReleasesAllowed(bool olderReleasesAllowed)
{
    Q_D(FirmwareDownloader);
    if (d->olderReleasesAllowed == olderReleasesAllowed)
        return;

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Older releases allowed" << olderReleasesAllowed;
    d->olderReleasesAllowed = olderReleasesAllowed;
    emit olderReleasesAllowedChanged(d->olderReleasesAllowed);
}

bool FirmwareDownloader::releaseIsOlderThan(const QString &firmwareVersion) const
{
    Q_D(const FirmwareDownloader);
    if (d->versionString.isEmpty())
        return false;
    const QVersionNumber release(d->majorVersion, d->minorVersion, d->patchVersion);
    const QVersionNumber running = QVersionNumber::fromString(firmwareVersion);
    if (!running.isNull())
        return release < running;

    // A controller that waits in its bootloader tells no version; the
    // newest release this cache saw stands in for it.
    QVersionNumber newest;
    qint64 newestTimestamp = 0;
    if (!readNewestRelease(&newest, &newestTimestamp))
        return false;
    return release < newest || (release == newest && d->releaseDateTime.toSecsSinceEpoch() < newestTimestamp);
}

int FirmwareDownloader::transferTimeout() const
{
    Q_D(const FirmwareDownloader);
    return d->transferTimeout;
}

void FirmwareDownloader::setTransferTimeout(int transferTimeout)
{
    Q_D(FirmwareDownloader);
    transferTimeout = qMax(1, transferTimeout);
    if (d->transferTimeout == transferTimeout)
        return;

    d->transferTimeout = transferTimeout;
    emit transferTimeoutChanged(d->transferTimeout);
}

bool FirmwareDownloader::updateInformationAvailable() const
{
    Q_D(const FirmwareDownloader);
    return d->updateInformationAvailable;
}

bool FirmwareDownloader::updateDataAvailable() const
{
    Q_D(const FirmwareDownloader);
    return d->updateDataAvailable;
}

void FirmwareDownloader::reset()
{
    Q_D(FirmwareDownloader);
    setVersionString(QString());
    setHardwareName(QString());
    setUpdateFileName(QString());
    setReleaseDateTime(QDateTime());
    setFirmware(FirmwareData());
    setReleaseKey(ReleaseKey());
    d->releaseDescription.clear();
    d->releaseSignature.clear();
    d->majorVersion = 0;
    d->minorVersion = 0;
    d->patchVersion = 0;
}

bool FirmwareDownloader::isPlainFileName(const QString &fileName)
{
    return FirmwareRelease::isPlainFileName(fileName);
}

QString FirmwareDownloader::releaseUrl() const
{
    Q_D(const FirmwareDownloader);
    return d->baseUrl + (d->preReleaseEnabled ? QStringLiteral("/pre-release/release.json")
                                            : QStringLiteral("/release.json"));
}

QString FirmwareDownloader::firmwareUrl(const QString &fileName) const
{
    Q_D(const FirmwareDownloader);
    return d->baseUrl + (d->preReleaseEnabled ? QStringLiteral("/pre-release/") : QStringLiteral("/")) + fileName;
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
    Q_D(FirmwareDownloader);
    QNetworkReply *reply = d->networkManager->get(plainGetRequest(url));
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
    stallTimer->start(d->transferTimeout);
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
    Q_D(const FirmwareDownloader);
    if (reply->property(stalledProperty).toBool())
        return tr("no data from the server for %1 s").arg(d->transferTimeout / 1000.0);
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
    Q_D(FirmwareDownloader);
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
    if (d->trustedKeys.isEmpty()) {
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
    Q_D(FirmwareDownloader);
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

    for (const ReleaseKey &key : qAsConst(d->trustedKeys)) {
        if (key.verify(description, signature)) {
            takeReleaseDescription(description, key, signature);
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
    Q_D(FirmwareDownloader);
    if (d->versionString.isEmpty() && d->firmware.data().isEmpty() && d->updateFileMd5sum.isEmpty())
        return;
    reset();
    d->updateFileMd5sum.clear();
    d->updateFileSha256.clear();
}

void FirmwareDownloader::takeReleaseDescription(const QByteArray &description, const ReleaseKey &key,
                                                const QByteArray &signature)
{
    Q_D(FirmwareDownloader);
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
            if (!d->olderReleasesAllowed) {
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
    d->releaseDescription = description;
    d->releaseSignature = key.isNull() ? QByteArray() : signature;
    setReleaseKey(key);
    emit firmwareUpdateFinished();
    downloadFirmware();
}

void FirmwareDownloader::storeRelease(const FirmwareRelease &release)
{
    Q_D(FirmwareDownloader);
    setHardwareName(release.hardware());
    d->majorVersion = release.majorVersion();
    d->minorVersion = release.minorVersion();
    d->patchVersion = release.patchVersion();
    setVersionString(release.versionString());
    setUpdateFileName(release.updateFileName());
    d->updateFileMd5sum = release.updateFileMd5sum();
    d->updateFileSha256 = release.updateFileSha256();
    setReleaseDateTime(release.releaseDateTime());

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: check for updates finished sucessfully.";
    qCDebug(dcVexbusUsbBootloader()) << d->updateFileName << d->updateFileMd5sum << d->versionString
                                     << d->releaseDateTime.toString(Qt::TextDate);
}

QString FirmwareDownloader::newestReleasePath() const
{
    Q_D(const FirmwareDownloader);
    return d->cacheDirectory + QLatin1Char('/') + QLatin1String(newestReleaseFileName);
}

bool FirmwareDownloader::readNewestRelease(QVersionNumber *version, qint64 *timestamp) const
{
    Q_D(const FirmwareDownloader);
    if (!d->cacheUsable)
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
    Q_D(FirmwareDownloader);
    if (!d->cacheUsable)
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
    Q_D(FirmwareDownloader);
    // setUpdateFileName() is public, so the name is checked again here.
    if (!isPlainFileName(d->updateFileName)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Cannot download firmware, the update file name is not a plain file name:"
                                           << d->updateFileName;
        emit errorOccurred(tr("Cannot download firmware: the update file name is not a plain file name: \"%1\"").arg(d->updateFileName));
        return;
    }

    const QString cachedFilePath = d->cacheDirectory + QLatin1Char('/') + d->updateFileName;
    if (d->cacheUsable && takeCachedFirmware(cachedFilePath))
        return;

    startFirmwareDownload(cachedFilePath);
}

bool FirmwareDownloader::takeCachedFirmware(const QString &cachedFilePath)
{
    Q_D(FirmwareDownloader);
    QFile file(cachedFilePath);
    if (!file.exists()) {
        qCDebug(dcVexbusUsbBootloader()) << "No cached firmware file found in" << d->cacheDirectory;
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
    if (!checksumMatches(checksum, d->updateFileMd5sum)) {
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
    Q_D(FirmwareDownloader);
    const QString url = firmwareUrl(d->updateFileName);
    qCDebug(dcVexbusUsbBootloader()) << "Start downloading firmware" << url;
    QNetworkReply *reply = get(url, maximumDownloadSize);
    connect(reply, &QNetworkReply::finished, this, [this, reply, cachedFilePath]() {
        onFirmwareReplyFinished(reply, cachedFilePath);
    });
}

void FirmwareDownloader::onFirmwareReplyFinished(QNetworkReply *reply, const QString &cachedFilePath)
{
    Q_D(FirmwareDownloader);
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
    if (!checksumMatches(checksum, d->updateFileMd5sum)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: The download checksum does not match the online checksum.";
        emit errorOccurred(tr("The downloaded firmware file does not match the MD5 sum of the release (%1 instead of %2).")
                           .arg(checksum, d->updateFileMd5sum));
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: Download checksum verified successfully.";
    // Written aside and renamed: a crash or a full disk leaves the old file
    // or none, never part of an image. A cache that cannot be written only
    // costs the next run a download.
    QSaveFile file(cachedFilePath);
    if (!d->cacheUsable) {
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
    Q_D(const FirmwareDownloader);
    return d->updateFileSha256.isEmpty()
            || checksumMatches(hashHex(data, QCryptographicHash::Sha256), d->updateFileSha256);
}

FirmwareData FirmwareDownloader::parseFirmware(const QByteArray &data) const
{
    Q_D(const FirmwareDownloader);
    FirmwareData firmware(data);
    firmware.setName(d->updateFileName);
    firmware.setApplicationVersion(d->versionString);
    return firmware;
}

void FirmwareDownloader::takeFirmware(const FirmwareData &firmware)
{
    Q_D(FirmwareDownloader);
    setFirmware(firmware);
    qCDebug(dcVexbusUsbBootloader()) << "FirmwareDownloader: firmware file available" << d->firmware;
    emit firmwareDownloadFinished();
}

} // namespace NivoraVexbusUsb
