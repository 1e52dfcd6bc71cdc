// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// A publisher's key as a key file holds it, and a release signature with
// the description it signs: the input is read whole as a PEM key, and split
// into a 64-byte signature followed by the signed bytes. A key either holds
// the 32 bytes of an Ed25519 key or is null, and a signature verifies only
// the exact bytes it was made for.

#include "fuzzcheck.h"
#include "firmware/releasekey.h"

using namespace NivoraVexbusUsb;

namespace {

// The key of the seed corpus's signed description.
const QByteArray publisherPem = "-----BEGIN PUBLIC KEY-----\n"
                                "MCowBQYDK2VwAyEAZX44m7Vy3XBJ6pGFrGNKvF2Q9kfHCz0og7HqBcgZ/fc=\n"
                                "-----END PUBLIC KEY-----\n";

void checkSignature(const ReleaseKey &key, const QByteArray &signature, const QByteArray &message)
{
    if (!key.verify(message, signature))
        return;
    // What verifies is a signature of these bytes alone.
    FUZZ_CHECK(signature.size() == ReleaseKey::signatureSize);
    FUZZ_CHECK(!key.verify(message + '\n', signature));
    FUZZ_CHECK(!key.verify(message, signature + '\0'));
    QByteArray altered = signature;
    altered[0] = char(altered.at(0) ^ 0x01);
    FUZZ_CHECK(!key.verify(message, altered));
}

} // namespace

FUZZ_TARGET(input)
{
    const ReleaseKey parsed = ReleaseKey::fromPem(input);
    if (parsed.isNull()) {
        FUZZ_CHECK(parsed.publicKey().isEmpty() && parsed.fingerprint().isEmpty());
        FUZZ_CHECK(!parsed.verify(input, input.left(ReleaseKey::signatureSize)));
    } else {
        FUZZ_CHECK(parsed.publicKey().size() == 32 && parsed.fingerprint().size() == 16);
        FUZZ_CHECK(ReleaseKey::fromPem(input) == parsed);
    }

    static const ReleaseKey publisher = ReleaseKey::fromPem(publisherPem);
    FUZZ_CHECK(!publisher.isNull());
    const QByteArray signature = input.left(ReleaseKey::signatureSize);
    const QByteArray message = input.mid(ReleaseKey::signatureSize);
    checkSignature(publisher, signature, message);
    if (!parsed.isNull())
        checkSignature(parsed, signature, message);
}
