// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "keptimage.h"
#include "releasetrust.h"

#include "bootloader/firmwaredata.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

using namespace NivoraVexbusUsb;

namespace {

const QString imageFileName = QStringLiteral("image.cyacd");
const QString descriptionFileName = QStringLiteral("release.json");
const QString signatureFileName = QStringLiteral("release.json.sig");
const QString recordFileName = QStringLiteral("kept.json");


// What the file holds, up to the image size limit; empty when it is missing.
QByteArray readKept(const QString &fileName)
{
    QFile file(fileName);
    QByteArray data;
    if (!file.open(QIODevice::ReadOnly) || !FirmwareData::readFile(&file, &data))
        return QByteArray();
    return data;
}

bool writeKept(const QString &fileName, const QByteArray &data, QString *error)
{
    QSaveFile file(fileName);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return true;
    *error = QStringLiteral("%1: %2").arg(fileName, file.errorString());
    return false;
}

} // namespace

KeptImage::KeptImage(const QByteArray &image, const QByteArray &description, const QByteArray &signature)
    : m_image(image),
      m_description(description),
      m_signature(signature),
      m_sha256(sha256Of(image))
{
}

QString KeptImage::directoryFor(const QString &adapterKey)
{
    // A key is a serial number or a device path: each character that could
    // leave the folder or hide it is escaped.
    const QByteArray name = adapterKey.toUtf8().toPercentEncoding(QByteArray(), QByteArrayLiteral("."));
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/recovery/")
            + QString::fromLatin1(name);
}

KeptImage KeptImage::load(const QString &directory)
{
    const QDir folder(directory);
    KeptImage kept;
    kept.m_image = readKept(folder.filePath(imageFileName));
    if (kept.m_image.isEmpty())
        return KeptImage();
    kept.m_description = readKept(folder.filePath(descriptionFileName));
    kept.m_signature = readKept(folder.filePath(signatureFileName));
    const QJsonObject record = QJsonDocument::fromJson(readKept(folder.filePath(recordFileName))).object();
    kept.m_version = record.value(QStringLiteral("version")).toString();
    kept.m_sha256 = record.value(QStringLiteral("sha256")).toString();
    return kept;
}

bool KeptImage::store(const QString &directory, QString *error) const
{
    const QDir folder(directory);
    if (!folder.mkpath(QStringLiteral("."))) {
        *error = QStringLiteral("%1: cannot create the folder").arg(directory);
        return false;
    }
    // The record goes last: until it is written, the checksum it holds
    // does not match a half-written image, which is then refused.
    QFile::remove(folder.filePath(recordFileName));
    QFile::remove(folder.filePath(descriptionFileName));
    QFile::remove(folder.filePath(signatureFileName));
    if (!writeKept(folder.filePath(imageFileName), m_image, error))
        return false;
    if (!m_description.isEmpty() && !writeKept(folder.filePath(descriptionFileName), m_description, error))
        return false;
    if (!m_signature.isEmpty() && !writeKept(folder.filePath(signatureFileName), m_signature, error))
        return false;
    const QJsonObject record{
        {QStringLiteral("version"), m_version},
        {QStringLiteral("sha256"), m_sha256},
        {QStringLiteral("installed"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
    };
    return writeKept(folder.filePath(recordFileName), QJsonDocument(record).toJson(), error);
}

QString KeptImage::authenticate(const QList<ReleaseKey> &keys, FirmwareData *image) const
{
    const QString sha256 = sha256Of(m_image);
    if (m_sha256.compare(sha256, Qt::CaseInsensitive) != 0)
        return QStringLiteral("the kept image does not match the checksum kept with it; it changed after it was installed");
    if (m_description.isEmpty() || m_signature.isEmpty())
        return QStringLiteral("the kept image came from a file, without a signed release that vouches for it");
    if (keys.isEmpty())
        return QStringLiteral("no release key is trusted (Release/TrustedKeys), so the kept release cannot be verified");
    if (ReleaseTrust::signerOf(keys, m_description, m_signature).isEmpty())
        return QStringLiteral("the kept release's signature is not made by a trusted key");
    const QJsonObject release = QJsonDocument::fromJson(m_description).object();
    if (release.value(QStringLiteral("updateFileSha256")).toString().compare(sha256, Qt::CaseInsensitive) != 0)
        return QStringLiteral("the kept image is not the image of its signed release (SHA-256 differs)");
    const QString md5 = release.value(QStringLiteral("updateFileMd5sum")).toString();
    if (!md5.isEmpty()
            && md5.compare(QString::fromLatin1(QCryptographicHash::hash(m_image, QCryptographicHash::Md5).toHex()),
                           Qt::CaseInsensitive) != 0)
        return QStringLiteral("the kept image is not the image of its signed release (MD5 differs)");
    const FirmwareData parsed(m_image);
    if (!parsed.isValid())
        return QStringLiteral("the kept image is not a firmware image of the adapter");
    *image = parsed;
    return QString();
}

QString KeptImage::signer(const QList<ReleaseKey> &keys) const
{
    return ReleaseTrust::signerOf(keys, m_description, m_signature);
}

QString KeptImage::sha256Of(const QByteArray &image)
{
    return QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
}
