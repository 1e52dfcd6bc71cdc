// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/firmwaredata.h"
#include "logging/nivoravexbususblogging.h"

#include <QFile>
#include <QFileInfo>

namespace NivoraVexbusUsb {

namespace {
// Registers the type under the name signals carry it by.
const int firmwareDataTypeId = qRegisterMetaType<FirmwareData>("FirmwareData");
}

FirmwareData::FirmwareData(const QByteArray &data)
{
    setData(data);
}

FirmwareData::FirmwareData(const QString &fileName)
{
    setFileName(fileName);
}

void FirmwareData::setFileName(const QString &fileName)
{
    m_fileName = fileName;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(dcVexbusUsbBootloader()) << "Could not open file" << fileName << file.errorString();
        return;
    }

    const bool read = readFile(&file, &m_data);
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
    m_data = data;
    processData();
}

void FirmwareData::readHeader(const QByteArray &line)
{
    const QByteArray header = BootloaderUtils::readFirmwareAsciiData(line.trimmed());
    // A field the header has no bytes left for reads as 0.
    auto byteAt = [&header](int index) -> quint8 {
        return index < header.size() ? static_cast<quint8>(header.at(index)) : 0;
    };

    m_siliconId = header.size() >= 4 ? static_cast<int>((quint32(byteAt(0)) << 24) | (quint32(byteAt(1)) << 16)
                                                        | (quint32(byteAt(2)) << 8) | quint32(byteAt(3)))
                                     : 0;
    m_siliconRev = header.size() >= 5 ? byteAt(4) : 0;
    m_checksumType = static_cast<BootloaderUtils::ChecksumType>(header.size() >= 6 ? byteAt(5) : 0);
}

void FirmwareData::processData()
{
    Q_UNUSED(firmwareDataTypeId)
    m_parseComplete = false;
    m_parseError.clear();
    qCDebug(dcVexbusUsbBootloader()) << "Start processing firmware data...";

    const QList<QByteArray> lines = m_data.split('\n');
    if (lines.isEmpty()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware file does not contain any row data.";
        return;
    }

    readHeader(lines.first());
    if (m_fileName.isEmpty()) {
        qCDebug(dcVexbusUsbBootloader()) << "Silicon ID:" << m_siliconId << "Silicon Rev:" << static_cast<int>(m_siliconRev) << m_checksumType;
    } else {
        qCDebug(dcVexbusUsbBootloader()) << "Firmware file" << QFileInfo(m_fileName).fileName() << "Silicon ID:" << m_siliconId
                                         << "Silicon Rev:" << static_cast<int>(m_siliconRev) << m_checksumType;
    }

    for (int i = 1; i < lines.count(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;

        const FirmwareDataRow row(line);
        if (!row.isValid()) {
            qCWarning(dcVexbusUsbBootloader()) << "The firmware file contains invalid row data at line" << i + 1;
            m_parseError = QStringLiteral("line %1 is not a flash row (\":\" followed by array ID, row number, data length, "
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
            m_parseError = QStringLiteral("the checksum of the row at line %1 does not match its bytes").arg(i + 1);
            return;
        }
        qCDebug(dcVexbusUsbBootloader()) << row;
        m_rows.append(row);
    }

    m_parseComplete = true;
    qCDebug(dcVexbusUsbBootloader()) << "Firmware file parsing finished" << (isValid() ? "successfully" : "with errors.");
}

void FirmwareData::clear()
{
    m_data.clear();
    m_rows.clear();
    m_siliconId = 0;
    m_siliconRev = 0xFF;
    m_checksumType = BootloaderUtils::ChecksumTypeUnknown;
}

bool FirmwareData::isValid() const
{
    return !m_data.isEmpty() && !m_rows.isEmpty() && m_siliconId != 0 && m_siliconRev != 0xFF
           && m_checksumType != BootloaderUtils::ChecksumTypeUnknown && m_parseComplete;
}

QString FirmwareData::errorString() const
{
    if (isValid())
        return QString();
    if (!m_parseError.isEmpty())
        return m_parseError;
    if (m_data.isEmpty())
        return QStringLiteral("it is empty");
    if (m_siliconId == 0 || m_siliconRev == 0xFF || m_checksumType == BootloaderUtils::ChecksumTypeUnknown)
        return QStringLiteral("line 1 must give the silicon ID, silicon revision and checksum type in hexadecimal");
    return QStringLiteral("it holds no flash rows");
}

bool FirmwareData::operator==(const FirmwareData &other) const
{
    return m_data == other.m_data && m_name == other.m_name && isValid() == other.isValid();
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

} // namespace NivoraVexbusUsb
