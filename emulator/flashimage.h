// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_FLASHIMAGE_H
#define NIVORAVEXBUSUSBEMULATOR_FLASHIMAGE_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

namespace NivoraVexbusUsbEmulator {

class BootloaderEmulation;

// A firmware image in the row-oriented text of the PSoC bootloader host
// tools, as the emulated chip reads it: the chip an image was built for (to
// take its geometry from) and the flash contents (to save them in the same
// text). It is the emulator's own reading of the format, independent of the
// library that is tested against the emulator.
class FlashImage
{
public:
    struct Row {
        quint8 arrayId = 0;
        quint16 rowNumber = 0;
        QByteArray data;
    };

    // Reads the header and every row (LF or CR LF line ends, either case of
    // hex digits). A malformed line or a row whose checksum does not match
    // fails with errorString() naming the line.
    bool parse(const QByteArray &text);
    QString errorString() const { return m_errorString; }

    // The image of what a bootloader holds: its identity and every
    // programmed row, ordered by array and row number.
    static FlashImage fromFlash(const BootloaderEmulation &bootloader, quint8 checksumType);
    // The text: upper-case hex, LF line ends, the last line ended too.
    QByteArray toText() const;

    // Makes the image a bootloadable: appends the metadata row (see
    // ApplicationMetadata) at the given place, the chip's last row, for the
    // application that the rows so far make up, contiguous from the first
    // row and numbered from array 0.
    void appendMetadataRow(quint8 arrayId, quint16 rowNumber);

    // Per array, the lowest and the highest row number of the image's rows.
    QMap<quint8, QPair<quint16, quint16>> rowRanges() const;

    // Rows of 256 data and 32 configuration bytes, those of PSoC 3 and
    // PSoC 5LP with ECC disabled, in arrays of 256 rows.
    static constexpr int ConfigRowSize = 288;
    static constexpr int ConfigRowConfigSize = 32;
    static constexpr quint32 ConfigRowsPerArray = 256;
    // What of the chip this image is built for the emulator cannot model
    // exactly, in words; empty when it models all of it.
    QString unmodelledChip() const;

    quint32 siliconId = 0;
    quint8 siliconRevision = 0;
    quint8 checksumType = 0;
    QList<Row> rows;

private:
    bool fail(int line, const QString &message);

    QString m_errorString;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_FLASHIMAGE_H
