// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUS_RELEASE_RELEASESIGNER_H
#define VEXBUS_RELEASE_RELEASESIGNER_H

#include <QByteArray>
#include <QString>

// The publisher's side of release signatures, on libcrypto: Ed25519 key
// pairs in PEM and detached signatures of 64 raw bytes, the form the
// library's ReleaseKey verifies.
namespace ReleaseSigner {

// A new key pair: the private key as PKCS#8 PEM, the public one as
// SubjectPublicKeyInfo PEM. False when libcrypto fails.
bool generateKeyPair(QByteArray *privateKeyPem, QByteArray *publicKeyPem);

// The signature of message with an Ed25519 private key in PEM; empty, with
// the reason in errorString, when the key is not one.
QByteArray sign(const QByteArray &privateKeyPem, const QByteArray &message, QString *errorString);

} // namespace ReleaseSigner

#endif // VEXBUS_RELEASE_RELEASESIGNER_H
