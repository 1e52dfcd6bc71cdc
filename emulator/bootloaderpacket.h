// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_BOOTLOADERPACKET_H
#define NIVORAVEXBUSUSBEMULATOR_BOOTLOADERPACKET_H

#include <QByteArray>
#include <QObject>

namespace NivoraVexbusUsbEmulator {

// The packets of the PSoC bootloader host protocol: start byte 0x01, command
// (host) or status (bootloader), 16-bit little-endian length, data, 16-bit
// little-endian checksum, end byte 0x17. Nothing is escaped. Which checksum
// a chip's bootloader uses is fixed when it is built, and its images name it
// in their header: the sum, or a CRC-16.
class BootloaderPacket
{
    Q_GADGET
public:
    enum Command : quint8 {
        CommandVerifyChecksum = 0x31,
        CommandGetFlashSize = 0x32,
        CommandGetApplicationStatus = 0x33,
        CommandEraseRow = 0x34,
        CommandSyncBootloader = 0x35,
        CommandSetActiveApplication = 0x36,
        CommandSendData = 0x37,
        CommandEnterBootloader = 0x38,
        CommandProgramRow = 0x39,
        CommandVerifyRow = 0x3A,
        CommandExitBootloader = 0x3B
    };
    Q_ENUM(Command)

    enum Status : quint8 {
        StatusSuccess = 0x00,
        StatusVerificationFailed = 0x02,
        StatusInvalidLength = 0x03,
        StatusInvalidData = 0x04,
        StatusInvalidCommand = 0x05,
        StatusUnexpectedDevice = 0x06,
        StatusBootloaderVersion = 0x07,
        StatusChecksum = 0x08,
        StatusInvalidArrayId = 0x09,
        StatusInvalidRowNumber = 0x0A,
        StatusInvalidApplication = 0x0C,
        StatusApplicationActive = 0x0D,
        StatusUnknownError = 0x0F
    };
    Q_ENUM(Status)

    static constexpr quint8 StartByte = 0x01;
    static constexpr quint8 EndByte = 0x17;
    // Start, code, two length bytes, two checksum bytes, end.
    static constexpr int OverheadSize = 7;

    enum ChecksumType : quint8 { ChecksumSum = 0, ChecksumCrc = 1 };


    BootloaderPacket() = delete;

    // ChecksumSum: the two's complement of the 16-bit sum of the bytes, 0
    // for no bytes. ChecksumCrc: CRC-16/X-25 (reflected 0x8408, initial
    // 0xFFFF, inverted) with its two bytes swapped, 0 for no bytes. Any
    // other type counts as the sum, as a bootloader built without the CRC
    // option does.
    static quint16 checksum(const QByteArray &bytes, quint8 type = ChecksumSum);

    // A packet with the given code byte (command or status) and data.
    static QByteArray build(quint8 code, const QByteArray &data, ChecksumType type = ChecksumSum);
    // The same packet with the given checksum instead of the right one.
    static QByteArray build(quint8 code, const QByteArray &data, quint16 checksum);
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_BOOTLOADERPACKET_H
