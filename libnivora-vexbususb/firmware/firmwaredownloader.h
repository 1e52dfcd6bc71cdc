#ifndef FIRMWAREDOWNLOADER_H
#define FIRMWAREDOWNLOADER_H

#include "nivoravexbususb_export.h"
#include "bootloader/firmwaredata.h"

#include <QDateTime>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QJsonObject;
class QNetworkReply;

namespace NivoraVexbusUsb {

// Asks the firmware release server which controller firmware is current,
// fetches that file, verifies it against the MD5 sum of the release
// description, keeps it in the cache directory and offers it parsed.
//
// Server layout below baseUrl(): "release.json" and the firmware files, or,
// with preReleaseEnabled, "pre-release/release.json" and
// "pre-release/<file>". The cache directory is the application's cache
// location followed by "nivora-vexbususb".
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

    // Reserved flags: they start false and nothing sets them yet.
    bool updateInformationAvailable() const;
    bool updateDataAvailable() const;

    // Empties the release values and the image; the expected checksum,
    // preReleaseEnabled and the cache stay.
    void reset();

    // True for a name that stays inside one directory: not empty, not "."
    // or "..", without "/", "\\" or NUL. The server's file name becomes a
    // path in the cache, so anything else is refused.
    static bool isPlainFileName(const QString &fileName);

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
    void storeRelease(const QJsonObject &release);
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
    QDateTime m_releaseDateTime;
    int m_majorVersion = 0;
    int m_minorVersion = 0;
    int m_patchVersion = 0;
    FirmwareData m_firmware;
};

} // namespace NivoraVexbusUsb

#endif // FIRMWAREDOWNLOADER_H
