// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef BOOTLOADERUTILS_H
#define BOOTLOADERUTILS_H

#include "nivoravexbususb_export.h"

#include <QByteArray>
#include <QObject>

namespace NivoraVexbusUsb {

/**
 * @brief The vocabulary of the controller's bootloader protocol and of its
 * image files: checksum types, commands, status codes and the checksum.
 *
 * The class has no instances; its meta-object makes the enumerations print
 * by name.
 */
class NIVORAVEXBUSUSB_EXPORT BootloaderUtils
{
    Q_GADGET

public:
    /// The checksum that guards bootloader packets, named in an image's header.
    enum ChecksumType {
        ChecksumTypeSum = 0,        ///< two's complement of the 16-bit sum of the bytes
        ChecksumTypeCrc = 1,        ///< CRC-16 (CCITT)
        ChecksumTypeUnknown = 255   ///< no image parsed
    };
    Q_ENUM(ChecksumType)

    /// Command byte of a bootloader packet.
    enum BootloaderCommand {
        BootloaderCommandVerifyChecksum = 0x31,
        BootloaderCommandGetFlashSize = 0x32,
        BootloaderCommandGetApplicationStatus = 0x33,
        BootloaderCommandEraseRow = 0x34,
        BootloaderCommandSyncBootloader = 0x35,
        BootloaderCommandSetActiveApplication = 0x36,
        BootloaderCommandSendData = 0x37,
        BootloaderCommandEnterBootloader = 0x38,
        BootloaderCommandProgrammRow = 0x39,
        BootloaderCommandVerifyRow = 0x3A,
        BootloaderCommandExitBootloader = 0x3B
    };
    Q_ENUM(BootloaderCommand)

    /// Status byte of a bootloader response.
    enum BootloaderError {
        BootloaderErrorNoError = 0x00,
        BootloaderErrorVerificationFailed = 0x02,
        BootloaderErrorInvalidLength = 0x03,
        BootloaderErrorInvalidData = 0x04,
        BootloaderErrorInvalidCommand = 0x05,
        BootloaderErrorUnexpectedDevice = 0x06,
        BootloaderErrorBootloaderVersion = 0x07,
        BootloaderErrorChecksum = 0x08,
        BootloaderErrorInvalidIdArray = 0x09,
        BootloaderErrorInvalidRowNumber = 0x0A,
        BootloaderErrorInvalidApplication = 0x0C,
        BootloaderErrorApplicationActive = 0x0D,
        BootloaderErrorUnknownError = 0x0F
    };
    Q_ENUM(BootloaderError)

    /// Decodes the hexadecimal digits of one image line, skipping anything
    /// else (the leading colon, stray blanks); the line ends at a NUL byte.
    static QByteArray readFirmwareAsciiData(const QByteArray &data);
    /// The 16-bit checksum of a bootloader packet's bytes, of the given type.
    static quint16 calculateChecksum(const QByteArray &data, ChecksumType type);
    /// A command packet of the host: start byte 0x01, the command, the data's
    /// 16-bit little-endian length, the data, the sum checksum (little
    /// endian) over all of that, and end byte 0x17.
    static QByteArray commandPacket(BootloaderCommand command, const QByteArray &data = QByteArray());

    /// The class only holds enumerations and functions.
    BootloaderUtils() = delete;
};

} // namespace NivoraVexbusUsb

#endif // BOOTLOADERUTILS_H
