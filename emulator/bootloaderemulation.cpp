// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloaderemulation.h"
#include "applicationmetadata.h"
#include "bootloaderpacket.h"

namespace NivoraVexbusUsbEmulator {

// Array ID and little-endian row number.
static constexpr int kRowAddressSize = 3;
// The bootloader's packet buffer, which send-data fills.
static constexpr int kRowBufferSize = 300;

using Reply = BootloaderEmulation::Reply;

static Reply status(quint8 code, const QByteArray &payload = QByteArray())
{
    Reply reply;
    reply.status = code;
    reply.payload = payload;
    return reply;
}

static quint16 rowNumberOf(const QByteArray &data)
{
    return static_cast<quint16>(static_cast<quint8>(data.at(1)) | (static_cast<quint8>(data.at(2)) << 8));
}

static void appendLittleEndian(QByteArray *bytes, quint32 value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes->append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

Reply BootloaderEmulation::execute(quint8 command, const QByteArray &data)
{
    switch (command) {
    case BootloaderPacket::CommandEnterBootloader:
        return enter(data);
    case BootloaderPacket::CommandExitBootloader: {
        // Exit resets the chip whether or not the host has entered.
        Reply reply;
        reply.respond = false;
        reply.exitRequested = true;
        return reply;
    }
    case BootloaderPacket::CommandGetFlashSize:
    case BootloaderPacket::CommandSendData:
    case BootloaderPacket::CommandProgramRow:
    case BootloaderPacket::CommandEraseRow:
    case BootloaderPacket::CommandVerifyRow:
    case BootloaderPacket::CommandVerifyChecksum:
    case BootloaderPacket::CommandSyncBootloader:
        break;
    default:
        // Application status and active application belong to bootloaders
        // of two applications; this one knows them as little as any other
        // code, whether entered or not.
        return status(BootloaderPacket::StatusInvalidCommand);
    }
    // Until the host has entered, the bootloader answers its commands as
    // data it does not take.
    if (!m_entered)
        return status(BootloaderPacket::StatusInvalidData);
    switch (command) {
    case BootloaderPacket::CommandGetFlashSize:
        return getFlashSize(data);
    case BootloaderPacket::CommandSendData:
        return sendData(data);
    case BootloaderPacket::CommandProgramRow:
        return programRow(data);
    case BootloaderPacket::CommandEraseRow:
        return eraseRow(data);
    case BootloaderPacket::CommandVerifyRow:
        return verifyRow(data);
    case BootloaderPacket::CommandVerifyChecksum:
        return verifyChecksum(data);
    default: {
        // Sync drops any half-sent row and is not answered.
        m_rowBuffer.clear();
        Reply reply;
        reply.respond = false;
        return reply;
    }
    }
}

void BootloaderEmulation::restart()
{
    m_entered = false;
    m_rowBuffer.clear();
    m_metadataCleared = false;
}

bool BootloaderEmulation::metadataRow(quint8 *arrayId, quint16 *rowNumber) const
{
    const QList<quint8> arrays = m_flash.arrays();
    if (arrays.isEmpty())
        return false;
    *arrayId = arrays.last();
    *rowNumber = m_flash.lastRow(arrays.last());
    return true;
}

bool BootloaderEmulation::isMetadataRow(quint8 arrayId, quint16 rowNumber) const
{
    quint8 metadataArray = 0;
    quint16 metadataRowNumber = 0;
    return metadataRow(&metadataArray, &metadataRowNumber) && arrayId == metadataArray && rowNumber == metadataRowNumber;
}

bool BootloaderEmulation::applicationValid() const
{
    // A fault forced on top of the chip's own computation.
    if (m_applicationInvalid)
        return false;
    for (quint16 rowNumber : m_wrongVerifyRows) {
        if (m_flash.isProgrammed(0, rowNumber))
            return false;
    }
    quint8 arrayId = 0;
    quint16 rowNumber = 0;
    if (!metadataRow(&arrayId, &rowNumber))
        return false;
    const ApplicationMetadata metadata = ApplicationMetadata::fromRow(m_flash.row(arrayId, rowNumber), m_flash.dataSize());
    if (m_fastValidation && metadata.verified == ApplicationMetadata::Verified)
        return true;
    const quint64 dataSize = quint64(qMax(0, m_flash.dataSize()));
    const quint64 first = dataSize * (quint64(metadata.bootloaderLastRow) + 1);
    const QByteArray application = m_flash.read(first, metadata.length);
    // An application said to reach beyond the flash cannot be summed.
    if (quint64(application.size()) != metadata.length)
        return false;
    // With ECC disabled the chip adds the configuration bytes beside the
    // application's data; where the application runs up to the metadata,
    // those of the whole last row, metadata row included.
    QByteArray configuration;
    if (m_flash.configSize() > 0) {
        const quint64 bytesPerConfigByte = dataSize / quint64(m_flash.configSize());
        const quint64 end = first + metadata.length;
        const quint64 configFirst = first / bytesPerConfigByte;
        const quint64 configEnd = (end == m_flash.size() - ApplicationMetadata::Size ? m_flash.size() : end) / bytesPerConfigByte;
        if (configEnd > configFirst)
            configuration = m_flash.readConfig(configFirst, configEnd - configFirst);
    }
    return metadata.validates(application, configuration);
}

bool BootloaderEmulation::validateApplication()
{
    if (!applicationValid())
        return false;
    quint8 arrayId = 0;
    quint16 rowNumber = 0;
    if (m_fastValidation && metadataRow(&arrayId, &rowNumber)) {
        QByteArray row = m_flash.row(arrayId, rowNumber);
        const int offset = ApplicationMetadata::offsetInRow(m_flash.dataSize()) + ApplicationMetadata::VerifiedOffset;
        if (offset >= 0 && offset < row.size()) {
            row[offset] = static_cast<char>(ApplicationMetadata::Verified);
            m_flash.writeRow(arrayId, rowNumber, row);
        }
    }
    return true;
}

// Before the first row a boot programs or erases, as the bootloader with
// fast validation does: the metadata row becomes a row of zeros.
void BootloaderEmulation::clearMetadataOnce()
{
    quint8 arrayId = 0;
    quint16 rowNumber = 0;
    if (!m_fastValidation || m_metadataCleared || !metadataRow(&arrayId, &rowNumber))
        return;
    m_flash.writeRow(arrayId, rowNumber, QByteArray(m_flash.rowSize(), '\0'));
    m_metadataCleared = true;
}

Reply BootloaderEmulation::enter(const QByteArray &data)
{
    // Without a security key the command carries no data.
    if (!data.isEmpty())
        return status(BootloaderPacket::StatusInvalidData);
    m_entered = true;
    m_rowBuffer.clear();
    QByteArray payload;
    appendLittleEndian(&payload, m_siliconId, 4);
    appendLittleEndian(&payload, m_siliconRevision, 1);
    payload.append(static_cast<char>(m_bootloaderMinor));
    payload.append(static_cast<char>(m_bootloaderMajor));
    payload.append('\x01');
    return status(BootloaderPacket::StatusSuccess, payload);
}

Reply BootloaderEmulation::getFlashSize(const QByteArray &data) const
{
    if (data.size() != 1 || !m_flash.hasArray(static_cast<quint8>(data.at(0))))
        return status(BootloaderPacket::StatusInvalidData);
    const quint8 arrayId = static_cast<quint8>(data.at(0));
    QByteArray payload;
    appendLittleEndian(&payload, m_flash.firstRow(arrayId), 2);
    appendLittleEndian(&payload, m_flash.lastRow(arrayId), 2);
    return status(BootloaderPacket::StatusSuccess, payload);
}

Reply BootloaderEmulation::sendData(const QByteArray &data)
{
    if (m_rowBuffer.size() + data.size() > kRowBufferSize)
        return status(BootloaderPacket::StatusInvalidLength);
    m_rowBuffer.append(data);
    return status(BootloaderPacket::StatusSuccess);
}

Reply BootloaderEmulation::programRow(const QByteArray &data)
{
    if (data.size() < kRowAddressSize)
        return status(BootloaderPacket::StatusInvalidData);
    // Data after the row address completes the buffered row, and the buffer
    // is used up whether or not the row gets programmed.
    const QByteArray rowData = m_rowBuffer + data.mid(kRowAddressSize);
    m_rowBuffer.clear();
    return writeRow(data, rowData);
}

Reply BootloaderEmulation::eraseRow(const QByteArray &data)
{
    if (data.size() != kRowAddressSize)
        return status(BootloaderPacket::StatusInvalidData);
    // Erasing programs the row with zeros, the buffer notwithstanding.
    m_rowBuffer.clear();
    return writeRow(data, QByteArray(m_flash.rowSize(), '\0'));
}

Reply BootloaderEmulation::writeRow(const QByteArray &data, const QByteArray &rowData)
{
    // Only a whole row is programmed, and never into the bootloader's own
    // rows or beyond the array.
    if (rowData.size() != m_flash.rowSize())
        return status(BootloaderPacket::StatusInvalidLength);
    const quint8 arrayId = static_cast<quint8>(data.at(0));
    const quint16 rowNumber = rowNumberOf(data);
    if (!m_flash.containsRow(arrayId, rowNumber))
        return status(BootloaderPacket::StatusInvalidRowNumber);
    clearMetadataOnce();
    m_flash.writeRow(arrayId, rowNumber, rowData);
    return status(BootloaderPacket::StatusSuccess);
}

Reply BootloaderEmulation::verifyRow(const QByteArray &data) const
{
    if (data.size() != kRowAddressSize)
        return status(BootloaderPacket::StatusInvalidData);
    const quint8 arrayId = static_cast<quint8>(data.at(0));
    const quint16 rowNumber = rowNumberOf(data);
    // Any row of the array may be summed, the bootloader's own included.
    if (!m_flash.hasArray(arrayId) || rowNumber > m_flash.lastRow(arrayId))
        return status(BootloaderPacket::StatusInvalidRowNumber);
    QByteArray row = m_flash.row(arrayId, rowNumber);
    // The bootloader leaves out the metadata bytes it may change itself, so
    // that the row still verifies against the image.
    const int base = ApplicationMetadata::offsetInRow(m_flash.dataSize());
    if (isMetadataRow(arrayId, rowNumber) && base >= 0 && row.size() >= base + ApplicationMetadata::Size) {
        row[base + ApplicationMetadata::ActiveOffset] = '\0';
        row[base + ApplicationMetadata::VerifiedOffset] = '\0';
    }
    quint8 checksum = SimulatedFlash::rowChecksum(row);
    if (arrayId == 0 && m_wrongVerifyRows.contains(rowNumber))
        ++checksum;
    return status(BootloaderPacket::StatusSuccess, QByteArray(1, static_cast<char>(checksum)));
}

Reply BootloaderEmulation::verifyChecksum(const QByteArray &data)
{
    if (!data.isEmpty())
        return status(BootloaderPacket::StatusInvalidData);
    return status(BootloaderPacket::StatusSuccess, QByteArray(1, validateApplication() ? 1 : 0));
}

} // namespace NivoraVexbusUsbEmulator
