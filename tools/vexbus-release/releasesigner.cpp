// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "releasesigner.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace ReleaseSigner {

namespace {

struct PkeyDeleter { void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); } };
struct PkeyContextDeleter { void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); } };
struct MdContextDeleter { void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); } };
struct BioDeleter { void operator()(BIO *bio) const { BIO_free(bio); } };
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using Bio = std::unique_ptr<BIO, BioDeleter>;

constexpr size_t signatureSize = 64;

QByteArray bioContent(BIO *bio)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return QByteArray(data, int(length));
}

} // namespace

bool generateKeyPair(QByteArray *privateKeyPem, QByteArray *publicKeyPem)
{
    std::unique_ptr<EVP_PKEY_CTX, PkeyContextDeleter> context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY *generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &generated) != 1)
        return false;
    const Pkey key(generated);

    Bio privateBio(BIO_new(BIO_s_mem()));
    Bio publicBio(BIO_new(BIO_s_mem()));
    if (!privateBio || !publicBio
            || PEM_write_bio_PrivateKey(privateBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1
            || PEM_write_bio_PUBKEY(publicBio.get(), key.get()) != 1)
        return false;
    *privateKeyPem = bioContent(privateBio.get());
    *publicKeyPem = bioContent(publicBio.get());
    return true;
}

QByteArray sign(const QByteArray &privateKeyPem, const QByteArray &message, QString *errorString)
{
    Bio bio(BIO_new_mem_buf(privateKeyPem.constData(), privateKeyPem.size()));
    const Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
        *errorString = QStringLiteral("not an Ed25519 private key in PEM");
        return QByteArray();
    }

    std::unique_ptr<EVP_MD_CTX, MdContextDeleter> context(EVP_MD_CTX_new());
    QByteArray signature(int(signatureSize), Qt::Uninitialized);
    size_t length = signatureSize;
    // Ed25519 signs the message itself, so no digest is named.
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1
            || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                              reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size())) != 1
            || length != signatureSize) {
        *errorString = QStringLiteral("libcrypto could not sign");
        return QByteArray();
    }
    return signature;
}

} // namespace ReleaseSigner
