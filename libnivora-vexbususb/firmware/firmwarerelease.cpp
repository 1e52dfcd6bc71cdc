// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "firmware/firmwarerelease.h"
#include "logging/nivoravexbususblogging.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace NivoraVexbusUsb {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("NivoraVexbusUsb::FirmwareDownloader", text);
}

} // namespace

bool FirmwareRelease::refuse(const QString &warning, const QString &errorString)
{
    qCWarning(dcVexbusUsbBootloader()).noquote() << warning;
    *this = FirmwareRelease();
    m_errorString = errorString;
    return false;
}

bool FirmwareRelease::isPlainFileName(const QString &fileName)
{
    // Names that start with a dot are the cache's own (and "." and "..").
    if (fileName.isEmpty() || fileName.startsWith(QLatin1Char('.')))
        return false;

    return !fileName.contains(QLatin1Char('/')) && !fileName.contains(QLatin1Char('\\'))
            && !fileName.contains(QChar(QChar::Null));
}

bool FirmwareRelease::parse(const QByteArray &description)
{
    *this = FirmwareRelease();
    if (description.size() > maximumDescriptionSize) {
        return refuse(QStringLiteral("FirmwareDownloader: Rejecting release, the description has %1 bytes, more than the limit of %2 bytes.")
                          .arg(description.size()).arg(maximumDescriptionSize),
                      tr("The release description is larger than the limit of %1 bytes.").arg(maximumDescriptionSize));
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(description, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Firmware release JSON error:" << parseError.errorString();
        m_errorString = tr("The release description is not valid JSON: %1").arg(parseError.errorString());
        return false;
    }

    // The file name becomes a path in the cache: a name that leaves the
    // cache directory (or names the directory itself) rejects the whole
    // release before any of it is stored.
    const QJsonObject release = document.object();
    const QString fileName = release.value(QStringLiteral("updateFileName")).toString();
    if (!isPlainFileName(fileName)) {
        qCWarning(dcVexbusUsbBootloader()) << "FirmwareDownloader: Rejecting release, the update file name is not a plain file name:"
                                           << fileName;
        m_errorString = tr("The release names an update file that is not a plain file name: \"%1\"").arg(fileName);
        return false;
    }

    // Seconds as a JSON number keep their full range (an integer would end
    // in 2038); a number that is no date is no release.
    const double timestamp = release.value(QStringLiteral("timestamp")).toDouble();
    if (!(timestamp >= 0 && timestamp <= maximumTimestamp)) {
        return refuse(QStringLiteral("FirmwareDownloader: Rejecting release, its timestamp %1 is out of range.").arg(timestamp),
                      tr("The release description gives a timestamp out of range: %1").arg(timestamp));
    }

    m_hardware = release.value(QStringLiteral("hardware")).toString();
    m_majorVersion = release.value(QStringLiteral("majorVersion")).toInt();
    m_minorVersion = release.value(QStringLiteral("minorVersion")).toInt();
    m_patchVersion = release.value(QStringLiteral("patchVersion")).toInt();
    m_updateFileName = fileName;
    m_updateFileMd5sum = release.value(QStringLiteral("updateFileMd5sum")).toString();
    m_updateFileSha256 = release.value(QStringLiteral("updateFileSha256")).toString();
    m_releaseDateTime = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(timestamp));
    return true;
}

QString FirmwareRelease::versionString() const
{
    return QStringLiteral("%1.%2.%3").arg(m_majorVersion).arg(m_minorVersion).arg(m_patchVersion);
}

} // namespace NivoraVexbusUsb
