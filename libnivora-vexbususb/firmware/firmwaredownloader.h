#ifndef FIRMWAREDOWNLOADER_H
#define FIRMWAREDOWNLOADER_H

#include "nivoravexbususb_export.h"
#include "bootloader/firmwaredata.h"
#include "firmware/releasekey.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

namespace NivoraVexbusUsb {

class FirmwareRelease;

// Asks the firmware release server which controller firmware is current,
// fetches that file, verifies it against the MD5 sum (and the SHA-256, when
// given) of the release description, keeps it in the cache directory and
// offers it parsed.
//
// Server layout below baseUrl(): "release.json", its detached Ed25519
// signature "release.json.sig" and the firmware files, or, with
// preReleaseEnabled, the same below "pre-release/". The cache directory is
// the application's cache location followed by "nivora-vexbususb"; it is
// created readable by the user only.
//
// With trusted keys (addTrustedKey()) a release counts only when one of them
// verifies the signature of the exact bytes of its description, and the
// description gives the image's SHA-256 ("updateFileSha256"). Without a key
// every release is taken as before, with a warning that it is not
// authenticated.
class NIVORAVEXBUSUSB_EXPORT FirmwareDownloader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString updateFileName READ updateFileName NOTIFY updateFileNameChanged)
    Q_PROPERTY(QString versionString READ versionString NOTIFY versionStringChanged)
    Q_PROPERTY(QString hardwareName READ hardwareName NOTIFY hardwareNameChanged)
    Q_PROPERTY(QDateTime releaseDateTime READ releaseDateTime NOTIFY releaseDateTimeChanged)
    Q_PROPERTY(FirmwareData firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(bool preReleaseEnabled READ preReleaseEnabled WRITE setPreReleaseEnabled NOTIFY preReleaseEnabledChanged)
    Q_PROPERTY(QString baseUrl READ baseUrl NOTIFY baseUrlChanged)
    Q_PROPERTY(bool releaseAuthenticated READ releaseAuthenticated NOTIFY releaseAuthenticatedChanged)
    Q_PROPERTY(QString releaseKeyFingerprint READ releaseKeyFingerprint NOTIFY releaseKeyFingerprintChanged)

public:
    // The built-in release server; setBaseUrl() points the downloader at a
    // mirror instead.
    static QString defaultBaseUrl();

    explicit FirmwareDownloader(QObject *parent = nullptr);

    // Root of all requests, without a trailing slash.
    QString baseUrl() const;
    void setBaseUrl(const QString &baseUrl);

    // The directory that holds the cached firmware files.
    QString cacheDirectory() const;

    // Values of the last release description that was accepted.
    QString updateFileName() const;
    void setUpdateFileName(const QString &updateFileName);

    QString versionString() const;
    void setVersionString(const QString &versionString);

    QString hardwareName() const;
    void setHardwareName(const QString &hardwareName);

    QDateTime releaseDateTime() const;
    void setReleaseDateTime(const QDateTime &releaseDateTime);

    int majorVersion() const;
    int minorVersion() const;
    int patchVersion() const;

    // The image last taken from the cache or from a download (a copy).
    FirmwareData firmware() const;
    // Emits firmwareChanged() every time, also for an unchanged image.
    void setFirmware(const FirmwareData &firmware);

    // Take releases from the pre-release area; does not start a check.
    bool preReleaseEnabled() const;
    void setPreReleaseEnabled(bool preReleaseEnabled);

    // The publishers whose signature a release needs. The library reads no
    // key files of its own: the application hands it the keys it trusts.
    QList<ReleaseKey> trustedKeys() const;
    // False for a null key and for a key that is trusted already.
    bool addTrustedKey(const ReleaseKey &key);
    void clearTrustedKeys();

    // Whether a trusted key verified the current release, and which.
    bool releaseAuthenticated() const;
    QString releaseKeyFingerprint() const;

    // True when the current release is older than firmwareVersion (as the
    // adapter reports it, "major.minor.patch"); false when either is
    // unknown. The downloader itself offers older releases as any other: an
    // application decides whether it writes them.
    bool releaseIsOlderThan(const QString &firmwareVersion) const;

    // Reserved flags: they start false and nothing sets them yet.
    bool updateInformationAvailable() const;
    bool updateDataAvailable() const;

    // Empties the release values, its authentication and the image; the
    // expected checksums, preReleaseEnabled, the trusted keys and the cache
    // stay.
    void reset();

    // True for a name that stays inside one directory: not empty, not "."
    // or "..", without "/", "\\" or NUL. The server's file name becomes a
    // path in the cache, so anything else is refused.
    static bool isPlainFileName(const QString &fileName);

    // A firmware file is read whole into memory: a download that announces
    // more (Content-Length) is refused before its body is read, and one
    // whose body passes this is stopped. The release description has a
    // limit of 1 MiB. Both refusals end with errorOccurred().
    static constexpr qint64 maximumDownloadSize = 16 * 1024 * 1024;

Q_SIGNALS:
    void versionStringChanged(const QString &versionString);
    void hardwareNameChanged(const QString &hardwareName);
    void updateFileNameChanged(const QString &updateFileName);
    void releaseDateTimeChanged(const QDateTime &releaseDateTime);
    void firmwareChanged(const FirmwareData &firmware);
    // A release description was fetched and accepted.
    void firmwareUpdateFinished();
    // The firmware of the current release was taken from the cache or
    // downloaded and verified; firmware() holds it.
    void firmwareDownloadFinished();
    void preReleaseEnabledChanged(bool preReleaseEnabled);
    void baseUrlChanged(const QString &baseUrl);
    void releaseAuthenticatedChanged(bool releaseAuthenticated);
    void releaseKeyFingerprintChanged(const QString &releaseKeyFingerprint);
    // A release check or a firmware fetch ended without a new image; the
    // text says why. The log has the same failure as a warning.
    void errorOccurred(const QString &errorString);

public Q_SLOTS:
    // Fetches the release description and, when it is accepted, continues
    // with downloadFirmware(). No retry: a failure waits for the next call.
    void checkNewFirmware();
    // Takes the firmware of the current release from the cache, or
    // downloads, verifies and caches it.
    void downloadFirmware();

private:
    QString releaseUrl() const;
    QString firmwareUrl(const QString &fileName) const;
    void setupCacheDirectory();
    void onReleaseReplyFinished(QNetworkReply *reply);
    void onSignatureReplyFinished(QNetworkReply *reply, const QByteArray &description);
    void takeReleaseDescription(const QByteArray &description, const ReleaseKey &key);
    void refuseRelease(const QString &reason);
    void setReleaseKey(const ReleaseKey &key);
    bool sha256Matches(const QByteArray &data) const;
    void storeRelease(const FirmwareRelease &release);
    void limitReplySize(QNetworkReply *reply, qint64 limit);
    bool refusedForSize(QNetworkReply *reply, const QString &what);
    bool takeCachedFirmware(const QString &cachedFilePath);
    void startFirmwareDownload(const QString &cachedFilePath);
    void onFirmwareReplyFinished(QNetworkReply *reply, const QString &cachedFilePath);
    FirmwareData parseFirmware(const QByteArray &data) const;
    void takeFirmware(const FirmwareData &firmware);

    QNetworkAccessManager *m_networkManager = nullptr;
    QString m_baseUrl;
    QString m_cacheDirectory;
    bool m_updateInformationAvailable = false;
    bool m_updateDataAvailable = false;
    bool m_preReleaseEnabled = false;
    QString m_versionString;
    QString m_hardwareName;
    QString m_updateFileName;
    QString m_updateFileMd5sum;
    QString m_updateFileSha256;
    QList<ReleaseKey> m_trustedKeys;
    bool m_releaseAuthenticated = false;
    QString m_releaseKeyFingerprint;
    QDateTime m_releaseDateTime;
    int m_majorVersion = 0;
    int m_minorVersion = 0;
    int m_patchVersion = 0;
    FirmwareData m_firmware;
};

} // namespace NivoraVexbusUsb

#endif // FIRMWAREDOWNLOADER_H
