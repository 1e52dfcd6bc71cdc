// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_APPLICATIONMETADATA_H
#define NIVORAVEXBUSUSBEMULATOR_APPLICATIONMETADATA_H

#include <QByteArray>

namespace NivoraVexbusUsbEmulator {

// The metadata a PSoC bootloadable carries in the last 64 bytes of the data
// area of the chip's last flash row (PSoC 4 and 5LP layout, little-endian):
// how the bootloader finds the application and checks it. The bootloader
// sums the application's bytes, from the row after its own last row for the
// stated length (and, on chips whose rows carry configuration bytes, the
// configuration bytes of that range too), and takes the application as
// valid when the two's complement of that 8-bit sum equals the stored
// checksum and not every data byte is 0x00 or 0xFF.
struct ApplicationMetadata
{
    static constexpr int Size = 64;
    static constexpr int ChecksumOffset = 0;
    static constexpr int EntryAddressOffset = 1;
    static constexpr int BootloaderLastRowOffset = 5;
    static constexpr int LengthOffset = 9;
    static constexpr int ActiveOffset = 16;
    static constexpr int VerifiedOffset = 17;
    // The verified byte of an application the bootloader found valid.
    static constexpr quint8 Verified = 1;

    quint8 checksum = 0;
    quint32 entryAddress = 0;
    quint16 bootloaderLastRow = 0;
    quint32 length = 0;
    quint8 active = 0;
    quint8 verified = 0;

    // The fields from the 64 bytes before the end of the data area of a
    // flash row (dataSize bytes; a negative size: the whole row); a shorter
    // row holds none.
    static ApplicationMetadata fromRow(const QByteArray &row, int dataSize = -1);
    // A row of rowSize bytes with the 64 metadata bytes at the end of its
    // first dataSize bytes (negative: the whole row), zeros elsewhere.
    QByteArray toRow(int rowSize, int dataSize = -1) const;
    // Where in a row of dataSize data bytes the metadata begins.
    static int offsetInRow(int dataSize) { return dataSize - Size; }

    // The two's complement of the 8-bit sum of the bytes.
    static quint8 applicationChecksum(const QByteArray &application);
    // Whether the application (the data bytes the metadata points at and
    // the configuration bytes that the chip adds to them) checks out.
    bool validates(const QByteArray &application, const QByteArray &configuration = QByteArray()) const;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_APPLICATIONMETADATA_H
