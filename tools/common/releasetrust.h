// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_TOOLS_RELEASETRUST_H
#define NIVORA_TOOLS_RELEASETRUST_H

#include "firmware/releasekey.h"

#include <QHash>
#include <QList>
#include <QString>

// What a program trusts of the release server: the publishers' public keys,
// with the file each came from, and the CA certificates of the server. The
// library reads no file; vexbusctl and vexbusd read them here, with one
// policy: a key file that was meant to be trusted and cannot be read stops
// the program with the file's name. Skipping it would run without the key
// that a release needs, or without any key and so unauthenticated.
class ReleaseTrust
{
public:
    // The folder of keys installed for every user of the gateway.
    static QString installedKeyDirectory();

    // Adds the keys of the installed folder (*.pem, *.pub; a missing folder
    // holds none). False, with the file in error, for one that cannot be read.
    bool addInstalledKeys(QString *error);
    // Adds the key in fileName; false, with a sentence in error, when the
    // file holds no readable Ed25519 public key in PEM.
    bool addKeyFile(const QString &fileName, QString *error);
    // Adds the key file, or every key file of the folder, at path; a folder
    // without key files is an error too.
    bool addKeyFileOrFolder(const QString &path, QString *error);

    QList<NivoraVexbusUsb::ReleaseKey> keys() const { return m_keys; }
    bool isEmpty() const { return m_keys.isEmpty(); }
    // The file a trusted key came from; empty for a key of no file here.
    QString fileOf(const QString &fingerprint) const { return m_files.value(fingerprint); }

    // The fingerprint of the key among keys that made signature of
    // message; empty when none did. A release kept for later is verified
    // with this when it is used, with the keys trusted then.
    static QString signerOf(const QList<NivoraVexbusUsb::ReleaseKey> &keys, const QByteArray &message,
                            const QByteArray &signature);

    // Adds the PEM certificates in fileName to the CAs that every TLS
    // connection of the program trusts; false when the file holds none.
    static bool addCaCertificates(const QString &fileName);

private:
    bool add(const QString &fileName);

    QList<NivoraVexbusUsb::ReleaseKey> m_keys;
    QHash<QString, QString> m_files; // by fingerprint
};

#endif // NIVORA_TOOLS_RELEASETRUST_H
