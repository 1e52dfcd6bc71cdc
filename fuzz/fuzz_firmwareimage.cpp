// A whole image file: whatever it holds, an image the parser accepts has
// rows, each of them sound and a line of the file, and no more rows than
// the file has lines.

#include "fuzzcheck.h"
#include "bootloader/firmwaredata.h"

using namespace NivoraVexbusUsb;

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const FirmwareData image(file);
    QString text;
    QDebug(&text) << image;
    if (!image.isValid())
        return 0;

    const QList<FirmwareDataRow> rows = image.rows();
    FUZZ_CHECK(!rows.isEmpty());
    FUZZ_CHECK(rows.size() <= file.count('\n') + 1);
    for (const FirmwareDataRow &row : rows) {
        FUZZ_CHECK(row.isValid());
        FUZZ_CHECK(file.contains(row.data()));
    }
    return 0;
}
