// One image row: a row the parser accepts gives fields that, written out
// again as a row line, parse to the same fields.

#include "fuzzcheck.h"
#include "bootloader/firmwaredatarow.h"

using namespace NivoraVexbusUsb;

namespace {

QByteArray rowLine(const FirmwareDataRow &row)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(row.arrayId()));
    bytes.append(static_cast<char>(row.rowNumber() >> 8)).append(static_cast<char>(row.rowNumber() & 0xFF));
    bytes.append(static_cast<char>(row.rowSize() >> 8)).append(static_cast<char>(row.rowSize() & 0xFF));
    bytes.append(row.rowData());
    bytes.append(static_cast<char>(row.checksum()));
    return ':' + bytes.toHex();
}

} // namespace

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const FirmwareDataRow row(QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size)));
    QString text;
    QDebug(&text) << row;
    if (!row.isValid())
        return 0;

    FUZZ_CHECK(size > 0 && data[0] == ':');
    FUZZ_CHECK(row.rowSize() > 0 && row.rowData().size() == row.rowSize());
    const FirmwareDataRow again(rowLine(row));
    FUZZ_CHECK(again.isValid());
    FUZZ_CHECK(again.arrayId() == row.arrayId() && again.rowNumber() == row.rowNumber());
    FUZZ_CHECK(again.rowData() == row.rowData() && again.checksum() == row.checksum());
    FUZZ_CHECK(again.verifyChecksum() == row.verifyChecksum());
    return 0;
}
