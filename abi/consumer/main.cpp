// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// An application of the library's users, built against the headers of an
// earlier release and run against a newer library: the values it keeps on
// its stack, the objects it derives from and the calls it makes must still
// fit. It uses only what that release offered.
#include "adapter/nivoravexbususbadapter.h"
#include "bootloader/firmwaredata.h"
#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "devicewatcher/nivoravexbususbportlocation.h"
#include "firmware/firmwaredownloader.h"
#include "firmware/releasekey.h"
#include "link/nivoravexbususbpacket.h"

#include <QCoreApplication>
#include <QTextStream>

using namespace NivoraVexbusUsb;

namespace {

int failures = 0;

void check(bool passed, const char *what)
{
    if (!passed) {
        QTextStream(stderr) << "FAIL: " << what << Qt::endl;
        ++failures;
    }
}

// A class of the application's own that adds a member behind the library's
// object: a library object grown behind the application's back would write
// over it.
class Downloader : public FirmwareDownloader
{
public:
    quint64 guard = 0x0123456789abcdefULL;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);

    // Values on the application's stack, filled and copied by the library.
    const FirmwareData image(QByteArray("123456780000\n:000022000401020304D0\n:000023000405060708BF\n"));
    check(image.isValid(), "an image parses");
    check(image.rows().count() == 2 && image.rows().at(1).rowNumber() == 0x23, "the image has its two rows");
    FirmwareData named = image;
    named.setName(QStringLiteral("named"));
    check(image.name().isEmpty() && named.name() == QLatin1String("named"), "a copy changes alone");
    const QList<FirmwareData> images{image, named, FirmwareData()};
    check(images.at(1) == named && !images.at(2).isValid(), "images in a list");

    check(ReleaseKey().isNull() && ReleaseKey::fromPem("no key").isNull(), "release keys");
    check(NivoraVexbusUsbPortLocation().isNull(), "a null port location");
    const NivoraVexbusUsbPacket packet(0x10, 7, QByteArray::fromHex("801800c8"));
    check(packet.packetData().toHex() == "1007801800c8", "a request packet");

    // Objects on the heap and on the stack, and one derived from.
    NivoraVexbusUsbDeviceWatcher watcher;
    auto *adapter = new NivoraVexbusUsbAdapter(&watcher);
    adapter->setPortName(QStringLiteral("/dev/nivora-abi-consumer-none"));
    check(!adapter->available() && adapter->firmwareDownloader(), "an adapter before start()");
    delete adapter;

    Downloader downloader;
    downloader.setPreReleaseEnabled(true);
    downloader.setFirmware(image);
    check(downloader.preReleaseEnabled() && downloader.firmware() == image, "a derived downloader");
    check(downloader.guard == 0x0123456789abcdefULL, "the derived class's own member");

    if (failures)
        return 1;
    QTextStream(stdout) << "ok: built against earlier headers, runs against this library" << Qt::endl;
    return 0;
}
