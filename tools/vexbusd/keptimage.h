// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_KEPTIMAGE_H
#define VEXBUSD_KEPTIMAGE_H

#include "firmware/releasekey.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace NivoraVexbusUsb {
class FirmwareData;
}

// The last image that the service installed successfully on one adapter,
// kept in its cache directory with the checksum it had then and, for an
// image of the release server, the release description and signature that
// vouched for it. It is what brings back a controller found waiting in its
// bootloader; before that it is verified again as a release is, with the
// keys trusted then, since the cache may have changed in between.
class KeptImage
{
public:
    KeptImage() = default;
    // An image with the release that vouched for it; description and
    // signature are empty for an image that came from a file.
    KeptImage(const QByteArray &image, const QByteArray &description, const QByteArray &signature);

    // Where the image of the adapter with this key is kept: a folder of
    // its own below the service's cache directory.
    static QString directoryFor(const QString &adapterKey);
    // What is kept in directory; a null image when nothing is.
    static KeptImage load(const QString &directory);
    // The SHA-256 of an image in hex, as kept and as the history records it.
    static QString sha256Of(const QByteArray &image);

    bool isNull() const { return m_image.isEmpty(); }
    // The firmware version the controller ran after the update.
    QString version() const { return m_version; }
    void setVersion(const QString &version) { m_version = version; }
    // Replaces what directory holds; false with the reason in error.
    bool store(const QString &directory, QString *error) const;

    // Checks the image as a release is checked: the checksum kept with it,
    // a release description signed by one of keys, the description's
    // checksums of the image, and an image that parses. Empty and the
    // parsed image in image when it passes; the reason otherwise.
    QString authenticate(const QList<NivoraVexbusUsb::ReleaseKey> &keys, NivoraVexbusUsb::FirmwareData *image) const;

    // The fingerprint of the key among keys that signed the kept release.
    QString signer(const QList<NivoraVexbusUsb::ReleaseKey> &keys) const;

private:
    QByteArray m_image;
    QByteArray m_description;
    QByteArray m_signature;
    QString m_version;
    // As kept with the image; computed for a new one.
    QString m_sha256;
};

#endif // VEXBUSD_KEPTIMAGE_H
