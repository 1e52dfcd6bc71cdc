// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef FIRMWARERELEASE_H
#define FIRMWARERELEASE_H

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace NivoraVexbusUsb {

// The values of one release description of the release server, read from
// its JSON text, with the checks that every description passes before the
// downloader uses any of it: a size the downloader reads whole, valid JSON,
// an update file name that stays inside the cache directory and a
// timestamp a date can be made of. A plain value of the library's inside,
// so that it can be fuzzed on its own.
class FirmwareRelease
{
public:
    // The description is read whole; no description comes near this.
    static constexpr int maximumDescriptionSize = 1024 * 1024;
    // The last second of the year 9999: far inside what a 64-bit count of
    // milliseconds, and so QDateTime, holds.
    static constexpr double maximumTimestamp = 253402300799.0;

    // A name that stays inside the directory it is joined to: not empty,
    // not starting with "." (which takes "." and "..", and the cache's own
    // hidden files), without a path separator or a null character.
    static bool isPlainFileName(const QString &fileName);

    // Reads a description. On failure logs the warning, keeps the reason
    // for errorOccurred in errorString() and leaves every value empty.
    bool parse(const QByteArray &description);
    QString errorString() const { return m_errorString; }

    QString hardware() const { return m_hardware; }
    int majorVersion() const { return m_majorVersion; }
    int minorVersion() const { return m_minorVersion; }
    int patchVersion() const { return m_patchVersion; }
    QString versionString() const;
    QString updateFileName() const { return m_updateFileName; }
    QString updateFileMd5sum() const { return m_updateFileMd5sum; }
    QString updateFileSha256() const { return m_updateFileSha256; }
    QDateTime releaseDateTime() const { return m_releaseDateTime; }

private:
    bool refuse(const QString &warning, const QString &errorString);

    QString m_errorString;
    QString m_hardware;
    int m_majorVersion = 0;
    int m_minorVersion = 0;
    int m_patchVersion = 0;
    QString m_updateFileName;
    QString m_updateFileMd5sum;
    QString m_updateFileSha256;
    QDateTime m_releaseDateTime;
};

} // namespace NivoraVexbusUsb

#endif // FIRMWARERELEASE_H
