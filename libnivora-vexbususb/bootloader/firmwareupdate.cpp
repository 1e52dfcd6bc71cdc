// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/firmwareupdate.h"
#include "bootloader/firmwaredata.h"
#include "logging/nivoravexbususblogging.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>

namespace NivoraVexbusUsb {

FirmwareUpdate::Error FirmwareUpdate::loadImageFile(const QString &fileName, FirmwareData *image, QString *errorString)
{
    qCDebug(dcVexbusUsb()) << "Using local firmware file for update" << fileName;
    const QFileInfo fileInfo(fileName);
    if (!fileInfo.exists()) {
        qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. The given firmware file does not exist" << fileName;
        *errorString = QStringLiteral("There is no image file at %1.").arg(fileName);
        return ErrorImageUnreadable;
    }

    if (!fileInfo.isReadable()) {
        qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. The given firmware file is not readable" << fileName;
        *errorString = QStringLiteral("The image file %1 is not readable.").arg(fileName);
        return ErrorImageUnreadable;
    }

    QFile file(fileInfo.absoluteFilePath());
    if (!fileInfo.isFile() || !file.open(QIODevice::ReadOnly)) {
        const QString reason = fileInfo.isFile() ? file.errorString() : QStringLiteral("not a file");
        qCWarning(dcVexbusUsb()) << "Failed to open local firmware file" << file.fileName() << reason;
        *errorString = QStringLiteral("Cannot read the image file %1: %2.").arg(fileName, reason);
        return ErrorImageUnreadable;
    }

    QByteArray data;
    if (!FirmwareData::readFile(&file, &data)) {
        *errorString = QStringLiteral("The image file %1 is longer than the limit of %2 bytes.")
                               .arg(fileName).arg(FirmwareData::maximumFileSize);
        return ErrorImageTooLarge;
    }
    qCDebug(dcVexbusUsb()) << "Local update file MD5 checksum:" << QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
    *image = FirmwareData(data);
    image->setName(fileInfo.fileName());
    if (!image->isValid()) {
        qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. The firmware data is not valid.";
        *errorString = QStringLiteral("The image file %1 is invalid: %2.").arg(fileName, image->errorString());
        return ErrorImageInvalid;
    }
    errorString->clear();
    return ErrorNone;
}

QString FirmwareUpdate::errorName(Error error)
{
    return QString::fromLatin1(QMetaEnum::fromType<Error>().valueToKey(error));
}

QString FirmwareUpdate::phaseName(Phase phase)
{
    return QString::fromLatin1(QMetaEnum::fromType<Phase>().valueToKey(phase));
}

} // namespace NivoraVexbusUsb
