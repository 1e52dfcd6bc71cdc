#include "firmware/firmwaredownloader.h"
#include "logging/nivoravexbususblogging.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
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
    if (fileName.isEmpty() || fileName == QLatin1String(".") || fileName == QLatin1String(".."))
        return false;

    return !fileName.contains(QLatin1Char('/')) && !fileName.contains(QLatin1Char('\\'))
            && !fileName.contains(QChar(QChar::Null));
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
    connect(reply, &QNetworkReply::finished, this, [this, reply]() {
        onReleaseReplyFinished(reply);
    });
}

void FirmwareDownloader::onReleaseReplyFinished(QNetworkReply *reply)
{
    reply->deleteLater();
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
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(description, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Firmware release JSON error:"
                                           << parseError.errorString();
        emit errorOccurred(tr("The release description is not valid JSON: %1").arg(parseError.errorString()));
        return;
    }

    // The file name becomes a path in the cache: a name that leaves the
    // cache directory (or names the directory itself) rejects the whole
    // release before any of it is stored.
    const QJsonObject release = document.object();
    const QString fileName = release.value(QStringLiteral("updateFileName")).toString();
    if (!isPlainFileName(fileName)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Rejecting release, the update file name is not a plain file name:"
                                           << fileName;
        emit errorOccurred(tr("The release names an update file that is not a plain file name: \"%1\"").arg(fileName));
        return;
    }

    // A signed release is taken only with the strong checksum of its image.
    if (!key.isNull() && !isSha256Hex(release.value(QStringLiteral("updateFileSha256")).toString())) {
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

void FirmwareDownloader::storeRelease(const QJsonObject &release)
{
    setHardwareName(release.value(QStringLiteral("hardware")).toString());
    m_majorVersion = release.value(QStringLiteral("majorVersion")).toInt();
    m_minorVersion = release.value(QStringLiteral("minorVersion")).toInt();
    m_patchVersion = release.value(QStringLiteral("patchVersion")).toInt();
    setVersionString(QStringLiteral("%1.%2.%3").arg(m_majorVersion).arg(m_minorVersion).arg(m_patchVersion));
    setUpdateFileName(release.value(QStringLiteral("updateFileName")).toString());
    m_updateFileMd5sum = release.value(QStringLiteral("updateFileMd5sum")).toString();
    m_updateFileSha256 = release.value(QStringLiteral("updateFileSha256")).toString();
    // toDouble() keeps the full range of seconds, toInt() would end in 2038.
    const qint64 timestamp = static_cast<qint64>(release.value(QStringLiteral("timestamp")).toDouble());
    setReleaseDateTime(QDateTime::fromSecsSinceEpoch(timestamp));

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
    connect(reply, &QNetworkReply::finished, this, [this, reply, cachedFilePath]() {
        onFirmwareReplyFinished(reply, cachedFilePath);
    });
}

void FirmwareDownloader::onFirmwareReplyFinished(QNetworkReply *reply, const QString &cachedFilePath)
{
    reply->deleteLater();
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
