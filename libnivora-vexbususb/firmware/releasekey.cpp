// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "firmware/releasekey.h"
#include "firmware/releasekey_p.h"

#include <QCryptographicHash>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace NivoraVexbusUsb {

namespace {

constexpr size_t publicKeySize = 32;

struct PkeyDeleter { void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); } };
struct BioDeleter { void operator()(BIO *bio) const { BIO_free(bio); } };
struct MdContextDeleter { void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); } };
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

} // namespace

ReleaseKey::ReleaseKey() :
    d(new ReleaseKeyPrivate)
{
}

ReleaseKey ReleaseKey::fromPem(const QByteArray &pem)
{
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(pem.constData(), pem.size()));
    if (!bio)
        return ReleaseKey();
    const Pkey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
        return ReleaseKey();

    QByteArray raw(publicKeySize, Qt::Uninitialized);
    size_t length = publicKeySize;
    if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(raw.data()), &length) != 1
            || length != publicKeySize)
        return ReleaseKey();

    ReleaseKey result;
    result.d->publicKey = raw;
    return result;
}

bool ReleaseKey::isNull() const
{
    return d->publicKey.isEmpty();
}

QByteArray ReleaseKey::publicKey() const
{
    return d->publicKey;
}

QString ReleaseKey::fingerprint() const
{
    if (isNull())
        return QString();
    return QString::fromLatin1(QCryptographicHash::hash(d->publicKey, QCryptographicHash::Sha256).toHex().left(16));
}

bool ReleaseKey::verify(const QByteArray &message, const QByteArray &signature) const
{
    if (isNull() || signature.size() != signatureSize)
        return false;

    const Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                               reinterpret_cast<const unsigned char *>(d->publicKey.constData()),
                                               size_t(d->publicKey.size())));
    std::unique_ptr<EVP_MD_CTX, MdContextDeleter> context(EVP_MD_CTX_new());
    if (!key || !context)
        return false;
    // Ed25519 signs the message itself, so no digest is named.
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                            size_t(signature.size()), reinterpret_cast<const unsigned char *>(message.constData()),
                            size_t(message.size())) == 1;
}

ReleaseKey::ReleaseKey(const ReleaseKey &other) = default;
ReleaseKey::ReleaseKey(ReleaseKey &&other) noexcept = default;
ReleaseKey &ReleaseKey::operator=(const ReleaseKey &other) = default;
ReleaseKey &ReleaseKey::operator=(ReleaseKey &&other) noexcept = default;
ReleaseKey::~ReleaseKey() = default;

bool ReleaseKey::operator==(const ReleaseKey &other) const
{
    return d->publicKey == other.d->publicKey;
}

bool ReleaseKey::operator!=(const ReleaseKey &other) const
{
    return !(*this == other);
}


} // namespace NivoraVexbusUsb
