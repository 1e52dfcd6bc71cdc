// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef FIRMWAREDOWNLOADER_H
#define FIRMWAREDOWNLOADER_H

#include "nivoravexbususb_export.h"
#include "bootloader/firmwaredata.h"
#include "firmware/releasekey.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QScopedPointer>

class QNetworkAccessManager;
class QNetworkReply;
class QVersionNumber;

namespace NivoraVexbusUsb {

class FirmwareDownloaderPrivate;
class FirmwareRelease;

/**
 * @brief The firmware release service: finds, downloads, verifies and
 * caches the current controller firmware.
 *
 * The downloader asks the firmware release server which controller firmware
 * is current, fetches that file over HTTPS, verifies it against the MD5 sum
 * (and the SHA-256, when given) of the release description, keeps it in the
 * cache directory and offers it parsed as firmware(). The adapter object
 * owns one downloader and exposes it as its firmwareDownloader property.
 *
 * Server layout below baseUrl(): "release.json", its detached Ed25519
 * signature "release.json.sig" and the firmware files, or, with
 * preReleaseEnabled, the same below "pre-release/". The cache directory is
 * the application's cache location followed by "nivora-vexbususb"; it is
 * created readable by the user only.
 *
 * With trusted keys (addTrustedKey()) a release counts only when one of them
 * verifies the signature of the exact bytes of its description, and the
 * description gives the image's SHA-256 ("updateFileSha256"). Without a key
 * every release is taken as before, with a warning that it is not
 * authenticated. Adding a key drops an unauthenticated release taken
 * before, and a refused release drops whatever release was taken before.
 *
 * The downloader keeps the newest authenticated release it accepted
 * (version and timestamp) in its cache directory and refuses an
 * authenticated release older than that, unless setOlderReleasesAllowed()
 * allows it: a replayed old signature does not take the controller back.
 *
 * Only https:// server URLs are taken; redirects are not followed, an
 * answer other than HTTP status 200 is an error, and a transfer that makes
 * no progress for transferTimeout() ends with errorOccurred().
 */
class NIVORAVEXBUSUSB_EXPORT FirmwareDownloader : public QObject
{
    Q_OBJECT
    /// The firmware file's name on the server and in the cache, from the last release description.
    Q_PROPERTY(QString updateFileName READ updateFileName NOTIFY updateFileNameChanged)
    /// The release's version as "X.Y.Z", from the last release description.
    Q_PROPERTY(QString versionString READ versionString NOTIFY versionStringChanged)
    /// The hardware the release is for, from the last release description.
    Q_PROPERTY(QString hardwareName READ hardwareName NOTIFY hardwareNameChanged)
    /// When the release was published, from the last release description.
    Q_PROPERTY(QDateTime releaseDateTime READ releaseDateTime NOTIFY releaseDateTimeChanged)
    /// The verified image of the current release, once taken from the cache or downloaded.
    Q_PROPERTY(FirmwareData firmware READ firmware NOTIFY firmwareChanged)
    /// Whether releases come from the pre-release area; the one writable property.
    Q_PROPERTY(bool preReleaseEnabled READ preReleaseEnabled WRITE setPreReleaseEnabled NOTIFY preReleaseEnabledChanged)
    /// The root URL of all requests, without a trailing slash.
    Q_PROPERTY(QString baseUrl READ baseUrl NOTIFY baseUrlChanged)
    /// Whether a trusted key verified the signature of the current release.
    Q_PROPERTY(bool releaseAuthenticated READ releaseAuthenticated NOTIFY releaseAuthenticatedChanged)
    /// The fingerprint of the key that verified the current release; empty when none did.
    Q_PROPERTY(QString releaseKeyFingerprint READ releaseKeyFingerprint NOTIFY releaseKeyFingerprintChanged)
    /// Whether an authenticated release older than the newest one accepted before is taken.
    Q_PROPERTY(bool olderReleasesAllowed READ olderReleasesAllowed NOTIFY olderReleasesAllowedChanged)
    /// How long a transfer may make no progress before it is stopped, in milliseconds.
    Q_PROPERTY(int transferTimeout READ transferTimeout NOTIFY transferTimeoutChanged)

public:
    /// The built-in release server; setBaseUrl() points the downloader at a
    /// mirror instead.
    static QString defaultBaseUrl();

    /// A downloader for the built-in release server; creates the cache directory.
    explicit FirmwareDownloader(QObject *parent = nullptr);
    /// Pending transfers are given up with the downloader.
    ~FirmwareDownloader() override;

    /// The root URL of all requests, without a trailing slash.
    QString baseUrl() const;
    /// Points the downloader at a mirror (the directory that holds release.json);
    /// emits baseUrlChanged() when it differs. Only an https:// URL with a
    /// host is taken: any other (http://, file://, a relative one) is
    /// refused with a warning and the URL stays as it was.
    void setBaseUrl(const QString &baseUrl);

    /// The directory that holds the cached firmware files.
    QString cacheDirectory() const;

    /// The firmware file's name, from the last accepted release description.
    QString updateFileName() const;

    /// The release's version as "X.Y.Z", from the last accepted release description.
    QString versionString() const;

    /// The hardware the release is for, from the last accepted release description.
    QString hardwareName() const;

    /// When the release was published; null before a release description was accepted.
    QDateTime releaseDateTime() const;

    /// The first of the release's three version numbers; 0 before a release.
    int majorVersion() const;
    /// The second of the release's three version numbers; 0 before a release.
    int minorVersion() const;
    /// The third of the release's three version numbers; 0 before a release.
    int patchVersion() const;

    /// The image last taken from the cache or from a download (a copy).
    FirmwareData firmware() const;
    /// Stores the image and emits firmwareChanged() every time, also for an unchanged image.
    void setFirmware(const FirmwareData &firmware);

    /// Whether releases come from the pre-release area.
    bool preReleaseEnabled() const;
    /// Takes releases from the pre-release area or not; does not start a check.
    void setPreReleaseEnabled(bool preReleaseEnabled);

    /// The publishers whose signature a release needs. The library reads no
    /// key files of its own: the application hands it the keys it trusts.
    QList<ReleaseKey> trustedKeys() const;
    /// Trusts the key from now on; false for a null key and for a key that
    /// is trusted already.
    bool addTrustedKey(const ReleaseKey &key);
    /// Trusts no key any more: releases are taken unauthenticated, with a warning.
    void clearTrustedKeys();

    /// Whether a trusted key verified the current release.
    bool releaseAuthenticated() const;
    /// The fingerprint of the key that verified the current release; empty when none did.
    QString releaseKeyFingerprint() const;
    /// The exact bytes of the current release's description, as the server
    /// sent them; empty before a release was accepted. With
    /// releaseSignature() a program can keep the release beside the image it
    /// installed and verify both again later, as a release is verified.
    QByteArray releaseDescription() const;
    /// The detached signature that verified releaseDescription(); empty when
    /// no trusted key did.
    QByteArray releaseSignature() const;

    /// Whether an authenticated release older than the newest authenticated
    /// release accepted before (by version, then timestamp) is taken; false
    /// by default, so that such a release is refused.
    bool olderReleasesAllowed() const;
    /// Takes older authenticated releases or refuses them; emits
    /// olderReleasesAllowedChanged() when it differs. The newest release
    /// accepted stays the mark either way.
    void setOlderReleasesAllowed(bool olderReleasesAllowed);

    /// True when the current release is older than firmwareVersion (as the
    /// adapter reports it, "major.minor.patch"). When firmwareVersion is
    /// unknown (a controller that waits in its bootloader), true when the
    /// current release is older than the newest authenticated release this
    /// cache saw; false when there is no current release, or when neither
    /// version is known.
    bool releaseIsOlderThan(const QString &firmwareVersion) const;

    /// The time in milliseconds after which a transfer (release description,
    /// signature or firmware file) that received nothing is stopped with
    /// errorOccurred(); 30000 by default. Also covers a server that accepts
    /// the connection and never answers.
    int transferTimeout() const;
    /// Sets the transfer time-out for the requests that start from now on;
    /// emits transferTimeoutChanged() when it differs. Values below 1 are
    /// taken as 1.
    void setTransferTimeout(int transferTimeout);

    /// Reserved: starts false and nothing sets it yet.
    bool updateInformationAvailable() const;
    /// Reserved: starts false and nothing sets it yet.
    bool updateDataAvailable() const;

    /// Empties the release values, its authentication and the image; the
    /// expected checksums, preReleaseEnabled, the trusted keys and the cache
    /// stay.
    void reset();

    /// True for a name that stays inside one directory: not empty, not
    /// starting with "." (the cache's hidden files are the downloader's
    /// own), without "/", "\\" or NUL. The server's file name becomes a path
    /// in the cache, so anything else is refused.
    static bool isPlainFileName(const QString &fileName);

    /// The largest firmware download in bytes (16 MiB). A firmware file is
    /// read whole into memory: a download that announces more
    /// (Content-Length) is refused before its body is read, and one whose
    /// body passes this is stopped. The release description has a limit of
    /// 1 MiB. Both refusals end with errorOccurred().
    static constexpr qint64 maximumDownloadSize = 16 * 1024 * 1024;
    /// The default of transferTimeout(), in milliseconds.
    static constexpr int defaultTransferTimeout = 30000;

Q_SIGNALS:
    /// Emitted when the release's version text changed.
    void versionStringChanged(const QString &versionString);
    /// Emitted when the release's hardware name changed.
    void hardwareNameChanged(const QString &hardwareName);
    /// Emitted when the release's firmware file name changed.
    void updateFileNameChanged(const QString &updateFileName);
    /// Emitted when the release's publication time changed.
    void releaseDateTimeChanged(const QDateTime &releaseDateTime);
    /// Emitted each time an image is stored, also an unchanged one.
    void firmwareChanged(const FirmwareData &firmware);
    /// Emitted when a release description was fetched and accepted.
    void firmwareUpdateFinished();
    /// Emitted when the firmware of the current release was taken from the
    /// cache or downloaded and verified; firmware() holds it.
    void firmwareDownloadFinished();
    /// Emitted when setPreReleaseEnabled() changed the setting.
    void preReleaseEnabledChanged(bool preReleaseEnabled);
    /// Emitted when setBaseUrl() changed the root URL.
    void baseUrlChanged(const QString &baseUrl);
    /// Emitted when the releaseAuthenticated property changed.
    void releaseAuthenticatedChanged(bool releaseAuthenticated);
    /// Emitted when the releaseKeyFingerprint property changed.
    void releaseKeyFingerprintChanged(const QString &releaseKeyFingerprint);
    /// Emitted when setOlderReleasesAllowed() changed the setting.
    void olderReleasesAllowedChanged(bool olderReleasesAllowed);
    /// Emitted when setTransferTimeout() changed the time-out.
    void transferTimeoutChanged(int transferTimeout);
    /// Emitted when a release check or a firmware fetch ended without a new
    /// image; the text says why. The log has the same failure as a warning.
    void errorOccurred(const QString &errorString);

public Q_SLOTS:
    /// Fetches the release description and, when it is accepted, continues
    /// with downloadFirmware(). No retry: a failure waits for the next call.
    void checkNewFirmware();
    /// Takes the firmware of the current release from the cache, or
    /// downloads, verifies and caches it.
    void downloadFirmware();

private:
    // Set from the release description the downloader accepted.
    /// Sets the file name; emits updateFileNameChanged() when it differs.
    Q_DECL_HIDDEN void setUpdateFileName(const QString &updateFileName);
    /// Sets the version text; emits versionStringChanged() when it differs.
    Q_DECL_HIDDEN void setVersionString(const QString &versionString);
    /// Sets the hardware name; emits hardwareNameChanged() when it differs.
    Q_DECL_HIDDEN void setHardwareName(const QString &hardwareName);
    /// Sets the release time; emits releaseDateTimeChanged() when it differs.
    Q_DECL_HIDDEN void setReleaseDateTime(const QDateTime &releaseDateTime);
    Q_DECL_HIDDEN QString releaseUrl() const;
    Q_DECL_HIDDEN QString firmwareUrl(const QString &fileName) const;
    Q_DECL_HIDDEN void setupCacheDirectory();
    Q_DECL_HIDDEN QNetworkReply *get(const QString &url, qint64 sizeLimit);
    Q_DECL_HIDDEN QString replyFailure(QNetworkReply *reply) const;
    Q_DECL_HIDDEN void onReleaseReplyFinished(QNetworkReply *reply);
    Q_DECL_HIDDEN void onSignatureReplyFinished(QNetworkReply *reply, const QByteArray &description);
    Q_DECL_HIDDEN void takeReleaseDescription(const QByteArray &description, const ReleaseKey &key,
                                              const QByteArray &signature = QByteArray());
    Q_DECL_HIDDEN void refuseRelease(const QString &reason);
    Q_DECL_HIDDEN void dropRelease();
    Q_DECL_HIDDEN void setReleaseKey(const ReleaseKey &key);
    Q_DECL_HIDDEN bool sha256Matches(const QByteArray &data) const;
    Q_DECL_HIDDEN void storeRelease(const FirmwareRelease &release);
    Q_DECL_HIDDEN QString newestReleasePath() const;
    Q_DECL_HIDDEN bool readNewestRelease(QVersionNumber *version, qint64 *timestamp) const;
    Q_DECL_HIDDEN void keepNewestRelease(const FirmwareRelease &release);
    Q_DECL_HIDDEN bool refusedForSize(QNetworkReply *reply, const QString &what);
    Q_DECL_HIDDEN bool takeCachedFirmware(const QString &cachedFilePath);
    Q_DECL_HIDDEN void startFirmwareDownload(const QString &cachedFilePath);
    Q_DECL_HIDDEN void onFirmwareReplyFinished(QNetworkReply *reply, const QString &cachedFilePath);
    Q_DECL_HIDDEN FirmwareData parseFirmware(const QByteArray &data) const;
    Q_DECL_HIDDEN void takeFirmware(const FirmwareData &firmware);

    Q_DECLARE_PRIVATE(FirmwareDownloader)
    const QScopedPointer<FirmwareDownloaderPrivate> d_ptr;
};

} // namespace NivoraVexbusUsb

#endif // FIRMWAREDOWNLOADER_H
