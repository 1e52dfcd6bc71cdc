// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_BOOTLOADEREMULATION_H
#define NIVORAVEXBUSUSBEMULATOR_BOOTLOADEREMULATION_H

#include "simulatedflash.h"

#include <QByteArray>
#include <QSet>

namespace NivoraVexbusUsbEmulator {

// The command handling of the emulated PSoC bootloader: identity, flash row
// range, a row buffer filled by send-data commands, program, erase and
// verify of rows, the application checksum and exit. Transport, framing and
// timing are VexbusEmulator's; this class only turns a command into a reply.
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
    // chip 0x12345678, revision 0, bootloader version 1.
    quint32 siliconId() const { return m_siliconId; }
    void setSiliconId(quint32 siliconId) { m_siliconId = siliconId; }
    quint8 siliconRevision() const { return m_siliconRevision; }
    void setSiliconRevision(quint8 revision) { m_siliconRevision = revision; }
    quint32 bootloaderVersion() const { return m_bootloaderVersion; }
    void setBootloaderVersion(quint32 version) { m_bootloaderVersion = version & 0xFFFFFF; }

    SimulatedFlash &flash() { return m_flash; }
    const SimulatedFlash &flash() const { return m_flash; }

    // Fault: verify-row of this row (array 0) reports a checksum off by one,
    // and the application then no longer verifies.
    void addWrongVerifyRow(quint16 rowNumber) { m_wrongVerifyRows.insert(rowNumber); }
    void clearWrongVerifyRows() { m_wrongVerifyRows.clear(); }
    // Fault: verify-application answers 0 (an application that does not
    // verify) whatever the flash holds.
    void setApplicationInvalid(bool invalid) { m_applicationInvalid = invalid; }

    // True when rows were programmed and every programmed row verifies.
    bool applicationValid() const;

private:
    Reply enter(const QByteArray &data);
    Reply getFlashSize(const QByteArray &data) const;
    Reply sendData(const QByteArray &data);
    Reply programRow(const QByteArray &data);
    Reply eraseRow(const QByteArray &data);
    Reply verifyRow(const QByteArray &data) const;
    Reply verifyChecksum(const QByteArray &data) const;
    quint8 checkRowAddress(const QByteArray &data) const;

    quint32 m_siliconId = 0x12345678;
    quint8 m_siliconRevision = 0;
    quint32 m_bootloaderVersion = 1;
    bool m_entered = false;
    QByteArray m_rowBuffer;
    SimulatedFlash m_flash;
    QSet<quint16> m_wrongVerifyRows;
    bool m_applicationInvalid = false;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_BOOTLOADEREMULATION_H
