// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "releasetrust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslConfiguration>

using NivoraVexbusUsb::ReleaseKey;

namespace {

QStringList keyFilesIn(const QDir &folder)
{
    QStringList files;
    for (const QString &name : folder.entryList({QStringLiteral("*.pem"), QStringLiteral("*.pub")}, QDir::Files, QDir::Name))
        files.append(folder.filePath(name));
    return files;
}

} // namespace

QString ReleaseTrust::installedKeyDirectory()
{
    return QStringLiteral(NIVORA_RELEASE_KEY_DIRECTORY);
}

bool ReleaseTrust::add(const QString &fileName)
{
    QFile file(fileName);
    const ReleaseKey key = file.open(QIODevice::ReadOnly) ? ReleaseKey::fromPem(file.readAll()) : ReleaseKey();
    if (key.isNull())
        return false;
    if (!m_keys.contains(key))
        m_keys.append(key);
    m_files.insert(key.fingerprint(), fileName);
    return true;
}

bool ReleaseTrust::addInstalledKeys(QString *error)
{
    for (const QString &fileName : keyFilesIn(QDir(installedKeyDirectory()))) {
        if (!add(fileName)) {
            *error = QStringLiteral("%1: not a readable Ed25519 public key in PEM; repair or remove this file of "
                                    "the key directory").arg(fileName);
            return false;
        }
    }
    return true;
}

bool ReleaseTrust::addKeyFile(const QString &fileName, QString *error)
{
    if (add(fileName))
        return true;
    *error = QStringLiteral("%1: not a readable Ed25519 public key in PEM (vexbus-release keygen makes one)").arg(fileName);
    return false;
}

bool ReleaseTrust::addKeyFileOrFolder(const QString &path, QString *error)
{
    if (!QFileInfo(path).isDir())
        return addKeyFile(path, error);
    const QStringList files = keyFilesIn(QDir(path));
    if (files.isEmpty()) {
        *error = QStringLiteral("%1: a folder without key files (*.pem, *.pub)").arg(path);
        return false;
    }
    for (const QString &fileName : files) {
        if (!addKeyFile(fileName, error))
            return false;
    }
    return true;
}

QString ReleaseTrust::signerOf(const QList<ReleaseKey> &keys, const QByteArray &message, const QByteArray &signature)
{
    for (const ReleaseKey &key : keys) {
        if (key.verify(message, signature))
            return key.fingerprint();
    }
    return QString();
}

bool ReleaseTrust::addCaCertificates(const QString &fileName)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(fileName);
    if (certificates.isEmpty())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    for (const QSslCertificate &certificate : certificates)
        configuration.addCaCertificate(certificate);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}
