// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_BOOTLOADEREMULATION_H
#define NIVORAVEXBUSUSBEMULATOR_BOOTLOADEREMULATION_H

#include "simulatedflash.h"

#include <QByteArray>
#include <QSet>

namespace NivoraVexbusUsbEmulator {

// The command handling of the emulated PSoC bootloader, answering as the
// vendor's bootloader (single application, no security key, fast
// application validation if chosen) does: identity, flash row range, a row
// buffer filled by send-data commands and completed by program-row, program,
// erase and verify of whole rows, the application checksum from the
// metadata row and exit. Transport, framing and timing are VexbusEmulator's; this class
// only turns a command into a reply.
class BootloaderEmulation
{
public:
    struct Reply {
        bool respond = true;        // false for the commands the bootloader does not answer
        quint8 status = 0;          // BootloaderPacket::Status
        QByteArray payload;
        bool exitRequested = false; // the host asked to leave the bootloader
    };

    // Runs one well-formed command packet.
    Reply execute(quint8 command, const QByteArray &data);
    // A fresh boot of the bootloader: not entered, row buffer empty. The
    // flash keeps its contents.
    void restart();
    bool isEntered() const { return m_entered; }
    int rowBufferSize() const { return m_rowBuffer.size(); }

    // Identity reported by enter-bootloader. The defaults are the example
    // chip 0x12345678, revision 0, and a bootloader of version 1.30, which
    // reports its version as the bytes minor, major, 0x01.
    quint32 siliconId() const { return m_siliconId; }
    void setSiliconId(quint32 siliconId) { m_siliconId = siliconId; }
    quint8 siliconRevision() const { return m_siliconRevision; }
    void setSiliconRevision(quint8 revision) { m_siliconRevision = revision; }
    quint8 bootloaderMajorVersion() const { return m_bootloaderMajor; }
    quint8 bootloaderMinorVersion() const { return m_bootloaderMinor; }
    void setBootloaderVersion(quint8 major, quint8 minor) { m_bootloaderMajor = major; m_bootloaderMinor = minor; }
    // The packet checksum the bootloader was built with
    // (BootloaderPacket::ChecksumType): the sum by default, a CRC-16 for 1.
    quint8 checksumType() const { return m_checksumType; }
    void setChecksumType(quint8 type) { m_checksumType = type; }

    SimulatedFlash &flash() { return m_flash; }
    const SimulatedFlash &flash() const { return m_flash; }

    // Fast application validation, as the bootloader may be built: an
    // application once found valid is marked verified in its metadata and
    // taken as valid from then on without summing it, and the first row
    // programmed or erased after a boot clears the metadata row, so that a
    // half-written application does not keep the mark.
    bool fastValidation() const { return m_fastValidation; }
    void setFastValidation(bool enabled) { m_fastValidation = enabled; }

    // Fault: verify-row of this row (array 0) reports a checksum off by one,
    // and the application then no longer verifies.
    void addWrongVerifyRow(quint16 rowNumber) { m_wrongVerifyRows.insert(rowNumber); }
    void clearWrongVerifyRows() { m_wrongVerifyRows.clear(); }
    // Fault: verify-application answers 0 (an application that does not
    // verify) whatever the flash holds.
    void setApplicationInvalid(bool invalid) { m_applicationInvalid = invalid; }

    // The bootloader's own check of the application: the checksum of the
    // bytes that the metadata in the last row of the highest array points
    // at equals the one stored there (see ApplicationMetadata), or with fast
    // validation the metadata says the application was verified. A row with
    // the wrong-verify-row fault programmed fails it too.
    bool applicationValid() const;
    // The check as the bootloader runs it, on verify-application and on
    // exit: with fast validation a valid application gets the mark.
    bool validateApplication();

private:
    Reply enter(const QByteArray &data);
    Reply getFlashSize(const QByteArray &data) const;
    Reply sendData(const QByteArray &data);
    Reply programRow(const QByteArray &data);
    Reply eraseRow(const QByteArray &data);
    Reply writeRow(const QByteArray &data, const QByteArray &rowData);
    Reply verifyRow(const QByteArray &data) const;
    Reply verifyChecksum(const QByteArray &data);
    bool isMetadataRow(quint8 arrayId, quint16 rowNumber) const;
    bool metadataRow(quint8 *arrayId, quint16 *rowNumber) const;
    void clearMetadataOnce();

    quint32 m_siliconId = 0x12345678;
    quint8 m_siliconRevision = 0;
    quint8 m_bootloaderMajor = 1;
    quint8 m_bootloaderMinor = 30;
    quint8 m_checksumType = 0;
    bool m_entered = false;
    QByteArray m_rowBuffer;
    SimulatedFlash m_flash;
    QSet<quint16> m_wrongVerifyRows;
    bool m_applicationInvalid = false;
    bool m_fastValidation = false;
    bool m_metadataCleared = false;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_BOOTLOADEREMULATION_H
