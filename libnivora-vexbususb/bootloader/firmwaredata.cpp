// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/firmwaredata.h"
#include "bootloader/firmwaredata_p.h"
#include "logging/nivoravexbususblogging.h"

#include <QFile>
#include <QFileInfo>

namespace NivoraVexbusUsb {

namespace {
// Registers the type under the name signals carry it by.
const int firmwareDataTypeId = qRegisterMetaType<FirmwareData>("FirmwareData");
}

FirmwareData::FirmwareData() :
    d(new FirmwareDataPrivate)
{
}

FirmwareData::FirmwareData(const QByteArray &data) :
    d(new FirmwareDataPrivate)
{
    setData(data);
}

FirmwareData::FirmwareData(const QString &fileName) :
    d(new FirmwareDataPrivate)
{
    setFileName(fileName);
}

void FirmwareData::setFileName(const QString &fileName)
{
    d->fileName = fileName;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(dcVexbusUsbBootloader()) << "Could not open file" << fileName << file.errorString();
        return;
    }

    const bool read = readFile(&file, &d->data);
    file.close();
    if (read)
        processData();
}

bool FirmwareData::readFile(QFile *file, QByteArray *data)
{
    // A larger file is refused by its size, before anything of it is read.
    if (file->size() <= maximumFileSize) {
        *data = file->read(maximumFileSize + 1);
        if (data->size() <= maximumFileSize)
            return true;
    }

    qCWarning(dcVexbusUsbBootloader()) << "The firmware file" << file->fileName()
                                       << "is longer than the limit of" << maximumFileSize << "bytes.";
    data->clear();
    return false;
}

void FirmwareData::setData(const QByteArray &data)
{
    d->data = data;
    processData();
}

void FirmwareData::readHeader(const QByteArray &line)
{
    const QByteArray header = BootloaderUtils::readFirmwareAsciiData(line.trimmed());
    // A field the header has no bytes left for reads as 0.
    auto byteAt = [&header](int index) -> quint8 {
        return index < header.size() ? static_cast<quint8>(header.at(index)) : 0;
    };

    d->siliconId = header.size() >= 4 ? static_cast<int>((quint32(byteAt(0)) << 24) | (quint32(byteAt(1)) << 16)
                                                        | (quint32(byteAt(2)) << 8) | quint32(byteAt(3)))
                                     : 0;
    d->siliconRev = header.size() >= 5 ? byteAt(4) : 0;
    d->checksumType = static_cast<BootloaderUtils::ChecksumType>(header.size() >= 6 ? byteAt(5) : 0);
}

void FirmwareData::processData()
{
    Q_UNUSED(firmwareDataTypeId)
    d->parseComplete = false;
    d->parseError.clear();
    qCDebug(dcVexbusUsbBootloader()) << "Start processing firmware data...";

    const QList<QByteArray> lines = d->data.split('\n');
    if (lines.isEmpty()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware file does not contain any row data.";
        return;
    }

    readHeader(lines.first());
    if (d->fileName.isEmpty()) {
        qCDebug(dcVexbusUsbBootloader()) << "Silicon ID:" << d->siliconId << "Silicon Rev:" << static_cast<int>(d->siliconRev) << d->checksumType;
    } else {
        qCDebug(dcVexbusUsbBootloader()) << "Firmware file" << QFileInfo(d->fileName).fileName() << "Silicon ID:" << d->siliconId
                                         << "Silicon Rev:" << static_cast<int>(d->siliconRev) << d->checksumType;
    }

    for (int i = 1; i < lines.count(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;

        const FirmwareDataRow row(line);
        if (!row.isValid()) {
            qCWarning(dcVexbusUsbBootloader()) << "The firmware file contains invalid row data at line" << i + 1;
            d->parseError = QStringLiteral("line %1 is not a flash row (\":\" followed by array ID, row number, data length, "
                                          "data and checksum in hexadecimal)").arg(i + 1);
            return;
        }
        // The checksum byte makes the row's bytes add up to 0. A row that
        // does not would fail its verification in the bootloader, after
        // the rows before it were written.
        quint8 sum = 0;
        for (const char byte : BootloaderUtils::readFirmwareAsciiData(line.mid(1)))
            sum += static_cast<quint8>(byte);
        if (sum != 0) {
            qCWarning(dcVexbusUsbBootloader()) << "The firmware file contains a row whose checksum does not match its bytes at line" << i + 1;
            d->parseError = QStringLiteral("the checksum of the row at line %1 does not match its bytes").arg(i + 1);
            return;
        }
        qCDebug(dcVexbusUsbBootloader()) << row;
        d->rows.append(row);
    }

    d->parseComplete = true;
    qCDebug(dcVexbusUsbBootloader()) << "Firmware file parsing finished" << (isValid() ? "successfully" : "with errors.");
}

void FirmwareData::clear()
{
    d->data.clear();
    d->rows.clear();
    d->siliconId = 0;
    d->siliconRev = 0xFF;
    d->checksumType = BootloaderUtils::ChecksumTypeUnknown;
}

bool FirmwareData::isValid() const
{
    return !d->data.isEmpty() && !d->rows.isEmpty() && d->siliconId != 0 && d->siliconRev != 0xFF
           && d->checksumType != BootloaderUtils::ChecksumTypeUnknown && d->parseComplete;
}

QString FirmwareData::errorString() const
{
    if (isValid())
        return QString();
    if (!d->parseError.isEmpty())
        return d->parseError;
    if (d->data.isEmpty())
        return QStringLiteral("it is empty");
    if (d->siliconId == 0 || d->siliconRev == 0xFF || d->checksumType == BootloaderUtils::ChecksumTypeUnknown)
        return QStringLiteral("line 1 must give the silicon ID, silicon revision and checksum type in hexadecimal");
    return QStringLiteral("it holds no flash rows");
}

bool FirmwareData::operator==(const FirmwareData &other) const
{
    return d->data == other.d->data && d->name == other.d->name && isValid() == other.isValid();
}

bool FirmwareData::operator!=(const FirmwareData &other) const
{
    return !(*this == other);
}

QDebug operator<<(QDebug debug, const FirmwareData &firmwareData)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "FirmwareData(" << firmwareData.name() << ", " << "Version: " << firmwareData.applicationVersion()
                    << ", " << "Silicon ID: " << firmwareData.siliconId() << ", " << "Silicon Rev: "
                    << static_cast<int>(firmwareData.siliconRev()) << ", " << "Row count: " << firmwareData.rows().count() << ")";
    return debug;
}

FirmwareData::FirmwareData(const FirmwareData &other) = default;
FirmwareData::FirmwareData(FirmwareData &&other) noexcept = default;
FirmwareData &FirmwareData::operator=(const FirmwareData &other) = default;
FirmwareData &FirmwareData::operator=(FirmwareData &&other) noexcept = default;
FirmwareData::~FirmwareData() = default;

QString FirmwareData::name() const
{
    return d->name;
}

void FirmwareData::setName(const QString &name)
{
    d->name = name;
}

QString FirmwareData::applicationVersion() const
{
    return d->applicationVersion;
}

void FirmwareData::setApplicationVersion(const QString &applicationVersion)
{
    d->applicationVersion = applicationVersion;
}

QString FirmwareData::fileName() const
{
    return d->fileName;
}

QByteArray FirmwareData::data() const
{
    return d->data;
}

QList<FirmwareDataRow> FirmwareData::rows() const
{
    return d->rows;
}

int FirmwareData::siliconId() const
{
    return d->siliconId;
}

quint8 FirmwareData::siliconRev() const
{
    return d->siliconRev;
}

BootloaderUtils::ChecksumType FirmwareData::checksumType() const
{
    return d->checksumType;
}

int FirmwareData::siliconRevision() const
{
    return d->siliconRev;
}

} // namespace NivoraVexbusUsb
