// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// One image row: a row the parser accepts gives fields that, written out
// again as a row line, parse to the same fields.

#include "fuzzcheck.h"
#include "bootloader/firmwaredatarow.h"

using namespace NivoraVexbusUsb;

FUZZ_TARGET(line)
{
    const FirmwareDataRow row(line);
    debugText(row);
    if (!row.isValid())
        return;

    FUZZ_CHECK(line.startsWith(':'));
    FUZZ_CHECK(row.rowSize() > 0 && row.rowData().size() == row.rowSize());
    // Array id, row number and size (both big-endian), data, checksum.
    const char header[] = {static_cast<char>(row.arrayId()), static_cast<char>(row.rowNumber() >> 8),
                           static_cast<char>(row.rowNumber() & 0xFF), static_cast<char>(row.rowSize() >> 8),
                           static_cast<char>(row.rowSize() & 0xFF)};
    const QByteArray bytes = QByteArray(header, sizeof header) + row.rowData() + static_cast<char>(row.checksum());
    const FirmwareDataRow again(':' + bytes.toHex());
    FUZZ_CHECK(again.isValid());
    FUZZ_CHECK(again.arrayId() == row.arrayId() && again.rowNumber() == row.rowNumber());
    FUZZ_CHECK(again.rowData() == row.rowData() && again.checksum() == row.checksum());
    FUZZ_CHECK(again.verifyChecksum() == row.verifyChecksum());
}
