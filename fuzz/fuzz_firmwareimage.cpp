// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// A whole image file: whatever it holds, an image the parser accepts has
// rows, each of them sound and a line of the file, and no more rows than
// the file has lines.

#include "fuzzcheck.h"
#include "bootloader/firmwaredata.h"

using namespace NivoraVexbusUsb;

FUZZ_TARGET(file)
{
    const FirmwareData image(file);
    debugText(image);
    if (!image.isValid())
        return;

    const QList<FirmwareDataRow> rows = image.rows();
    FUZZ_CHECK(!rows.isEmpty());
    FUZZ_CHECK(rows.size() <= file.count('\n') + 1);
    for (const FirmwareDataRow &row : rows)
        FUZZ_CHECK(row.isValid() && file.contains(row.data()));
}
