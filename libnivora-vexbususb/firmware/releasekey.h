// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef RELEASEKEY_H
#define RELEASEKEY_H

#include "nivoravexbususb_export.h"

#include <QByteArray>
#include <QString>
#include <QSharedDataPointer>

namespace NivoraVexbusUsb {

class ReleaseKeyPrivate;
/**
 * @brief An Ed25519 public key of a release publisher, a copyable value.
 *
 * A FirmwareDownloader with trusted keys accepts a release description only
 * with a detached signature that one of them verifies.
 */
class NIVORAVEXBUSUSB_EXPORT ReleaseKey
{
public:
    /// Length of an Ed25519 signature in bytes.
    static constexpr int signatureSize = 64;

    /// A null key, which verifies nothing.
    ReleaseKey();
    /// Copies share the data until one of them changes.
    ReleaseKey(const ReleaseKey &other);
    /// Takes the data of @p other, which is left for assignment or destruction only.
    ReleaseKey(ReleaseKey &&other) noexcept;
    /// Shares the data of @p other.
    ReleaseKey &operator=(const ReleaseKey &other);
    /// Takes the data of @p other, which is left for assignment or destruction only.
    ReleaseKey &operator=(ReleaseKey &&other) noexcept;
    /// Releases this copy's share of the data.
    ~ReleaseKey();

    /// The key of a PEM "PUBLIC KEY" block (SubjectPublicKeyInfo), as
    /// `openssl pkey -pubout` writes it. Anything that is not an Ed25519
    /// public key gives a null key.
    static ReleaseKey fromPem(const QByteArray &pem);

    /// True for a key that verifies nothing.
    bool isNull() const;

    /// The 32 raw bytes of the key.
    QByteArray publicKey() const;
    /// What people compare to tell keys apart: the first 16 lower-case hex
    /// digits of the SHA-256 of the raw key.
    QString fingerprint() const;

    /// True when signature is this key's Ed25519 signature of message.
    bool verify(const QByteArray &message, const QByteArray &signature) const;

    /// True when both hold the same raw key.
    bool operator==(const ReleaseKey &other) const;
    /// The negation of operator==().
    bool operator!=(const ReleaseKey &other) const;

private:
    QSharedDataPointer<ReleaseKeyPrivate> d;
};

} // namespace NivoraVexbusUsb

#endif // RELEASEKEY_H
