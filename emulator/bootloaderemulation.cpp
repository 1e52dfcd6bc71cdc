// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloaderemulation.h"
#include "bootloaderpacket.h"

namespace NivoraVexbusUsbEmulator {

// Enter takes no data or a 6-byte security key (which this part does not check).
static constexpr int kSecurityKeySize = 6;
// Array ID and little-endian row number.
static constexpr int kRowAddressSize = 3;
// The row buffer of the bootloader; more send-data bytes than this do not fit.
static constexpr int kRowBufferSize = 512;

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
    if (command == BootloaderPacket::CommandEnterBootloader)
        return enter(data);
    // Until the host has entered, a PSoC bootloader refuses every other command.
    if (!m_entered)
        return status(BootloaderPacket::StatusInvalidCommand);
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
    case BootloaderPacket::CommandSyncBootloader: {
        // Sync drops any half-sent row and is not answered.
        m_rowBuffer.clear();
        Reply reply;
        reply.respond = false;
        return reply;
    }
    case BootloaderPacket::CommandExitBootloader: {
        Reply reply;
        reply.respond = false;
        reply.exitRequested = true;
        return reply;
    }
    default:
        return status(BootloaderPacket::StatusInvalidCommand);
    }
}

void BootloaderEmulation::restart()
{
    m_entered = false;
    m_rowBuffer.clear();
}

bool BootloaderEmulation::applicationValid() const
{
    if (m_applicationInvalid)
        return false;
    if (m_flash.programmedRowCount() == 0)
        return false;
    for (quint16 rowNumber : m_wrongVerifyRows) {
        if (m_flash.isProgrammed(0, rowNumber))
            return false;
    }
    return true;
}

Reply BootloaderEmulation::enter(const QByteArray &data)
{
    if (!data.isEmpty() && data.size() != kSecurityKeySize)
        return status(BootloaderPacket::StatusInvalidLength);
    m_entered = true;
    m_rowBuffer.clear();
    QByteArray payload;
    appendLittleEndian(&payload, m_siliconId, 4);
    appendLittleEndian(&payload, m_siliconRevision, 1);
    appendLittleEndian(&payload, m_bootloaderVersion, 3);
    return status(BootloaderPacket::StatusSuccess, payload);
}

Reply BootloaderEmulation::getFlashSize(const QByteArray &data) const
{
    if (data.size() != 1)
        return status(BootloaderPacket::StatusInvalidLength);
    const quint8 arrayId = static_cast<quint8>(data.at(0));
    if (!m_flash.hasArray(arrayId))
        return status(BootloaderPacket::StatusInvalidArrayId);
    QByteArray payload;
    appendLittleEndian(&payload, m_flash.firstRow(arrayId), 2);
    appendLittleEndian(&payload, m_flash.lastRow(arrayId), 2);
    return status(BootloaderPacket::StatusSuccess, payload);
}

Reply BootloaderEmulation::sendData(const QByteArray &data)
{
    if (data.isEmpty() || m_rowBuffer.size() + data.size() > kRowBufferSize)
        return status(BootloaderPacket::StatusInvalidLength);
    m_rowBuffer.append(data);
    return status(BootloaderPacket::StatusSuccess);
}

quint8 BootloaderEmulation::checkRowAddress(const QByteArray &data) const
{
    if (data.size() < kRowAddressSize)
        return BootloaderPacket::StatusInvalidLength;
    const quint8 arrayId = static_cast<quint8>(data.at(0));
    if (!m_flash.hasArray(arrayId))
        return BootloaderPacket::StatusInvalidArrayId;
    if (!m_flash.containsRow(arrayId, rowNumberOf(data)))
        return BootloaderPacket::StatusInvalidRowNumber;
    return BootloaderPacket::StatusSuccess;
}

Reply BootloaderEmulation::programRow(const QByteArray &data)
{
    // As on the PSoC, data after the row address completes the buffered row,
    // and the buffer is used up whether or not the row gets programmed.
    const QByteArray rowData = m_rowBuffer + data.mid(kRowAddressSize);
    m_rowBuffer.clear();
    const quint8 addressStatus = checkRowAddress(data);
    if (addressStatus != BootloaderPacket::StatusSuccess)
        return status(addressStatus);
    if (rowData.isEmpty())
        return status(BootloaderPacket::StatusInvalidLength);
    m_flash.writeRow(static_cast<quint8>(data.at(0)), rowNumberOf(data), rowData);
    return status(BootloaderPacket::StatusSuccess);
}

Reply BootloaderEmulation::eraseRow(const QByteArray &data)
{
    if (data.size() != kRowAddressSize)
        return status(BootloaderPacket::StatusInvalidLength);
    const quint8 addressStatus = checkRowAddress(data);
    if (addressStatus == BootloaderPacket::StatusSuccess)
        m_flash.eraseRow(static_cast<quint8>(data.at(0)), rowNumberOf(data));
    return status(addressStatus);
}

Reply BootloaderEmulation::verifyRow(const QByteArray &data) const
{
    if (data.size() != kRowAddressSize)
        return status(BootloaderPacket::StatusInvalidLength);
    const quint8 addressStatus = checkRowAddress(data);
    if (addressStatus != BootloaderPacket::StatusSuccess)
        return status(addressStatus);
    const quint8 arrayId = static_cast<quint8>(data.at(0));
    const quint16 rowNumber = rowNumberOf(data);
    quint8 checksum = SimulatedFlash::rowChecksum(m_flash.row(arrayId, rowNumber));
    if (arrayId == 0 && m_wrongVerifyRows.contains(rowNumber))
        ++checksum;
    return status(BootloaderPacket::StatusSuccess, QByteArray(1, static_cast<char>(checksum)));
}

Reply BootloaderEmulation::verifyChecksum(const QByteArray &data) const
{
    if (!data.isEmpty())
        return status(BootloaderPacket::StatusInvalidLength);
    return status(BootloaderPacket::StatusSuccess, QByteArray(1, applicationValid() ? 1 : 0));
}

} // namespace NivoraVexbusUsbEmulator
