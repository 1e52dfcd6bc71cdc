// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The firmware update's speed against the emulated line: the bootloader
// handler writes an image into the emulator behind a mocked FTDI adapter
// (umockdev), whose driver answers the serial ioctls. The emulator's latency
// timer follows what the library asks the driver for, as ftdi_sio turns low
// latency into a 1 ms timer. Runs under umockdev-wrapper.
//
// Usage: nivora-bench-update [--rows N] [IMAGE]

#include "benchfigure.h"
#include "serialdriver.h"
#include "testplatform.h"

#include <bootloader/bootloaderhandler.h>
#include <bootloader/firmwaredata.h>
#include <flashimage.h>
#include <vexbusemulator.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>

#include <linux/serial.h>

using namespace NivoraVexbusUsb;
using NivoraTest::SerialDriver;
using NivoraVexbusUsbEmulator::VexbusEmulator;

static constexpr int kBaudRate = 115200;
static constexpr int kFirstRow = 0x22;
static constexpr int kDefaultLatencyTimerMs = 16;
static constexpr int kLowLatencyTimerMs = 1;
static constexpr int kRunTimeoutMs = 600000;

// An image of rows of 64 bytes for the emulator's chip, as the sample
// image's generator makes them: data rows and, after them, the metadata row
// that ends the chip's flash.
static QByteArray generatedImage(int rows)
{
    NivoraVexbusUsbEmulator::FlashImage image;
    image.siliconId = 0x12345678;
    for (int r = 0; r < rows; ++r) {
        const int number = kFirstRow + r;
        QByteArray data;
        for (int i = 0; i < 64; ++i)
            data.append(char((number * 7 + i) & 0xFF));
        image.rows.append({0, quint16(number), data});
    }
    image.appendMetadataRow(0, quint16(kFirstRow + rows));
    return image.toText();
}

// Bytes on the wire in both directions from the first command to the last
// row verified: enter (7 out, 15 back), flash size (8, 11), per row its
// chunks of at most 11 data bytes (7 + n, 7), program row (10, 7) and
// verify row (10, 8).
static qint64 wireBytes(const FirmwareData &image)
{
    qint64 bytes = 7 + 15 + 8 + 11;
    for (const FirmwareDataRow &row : image.rows()) {
        const int size = row.rowData().size();
        const int chunks = (size + BootloaderHandler::maximumChunkSize - 1) / BootloaderHandler::maximumChunkSize;
        bytes += size + chunks * (7 + 7);
        bytes += 10 + 7 + 10 + 8;
    }
    return bytes;
}

struct Run {
    int latencyTimerMs;
    SerialDriver::Behaviour driver;
    QString name;
};

// Milliseconds from the port opening to the last row verified; -1 on failure.
static double runUpdate(const FirmwareData &image, const Run &run, int index)
{
    NivoraTest::TestPlatform platform;
    const QString deviceName = QStringLiteral("ttyUSB%1").arg(index);
    const QString path = platform.addAdapter(QStringLiteral("BENCH%1").arg(index), deviceName);
    SerialDriver driver(&platform, deviceName, run.driver);

    VexbusEmulator emulator;
    emulator.setMode(VexbusEmulator::ModeBootloader);
    // The chip's rows end with the image's last, its metadata row.
    quint16 lastRow = kFirstRow;
    for (const FirmwareDataRow &row : image.rows())
        lastRow = qMax(lastRow, row.rowNumber());
    emulator.bootloader().flash().setRowRange(0, kFirstRow, lastRow);
    emulator.setLinePacing(true);
    emulator.setBaudRate(kBaudRate);
    emulator.setLatencyTimer(run.latencyTimerMs);
    driver.setFlagsChangedHandler([&emulator, run](int flags) {
        const int timer = (flags & ASYNC_LOW_LATENCY) ? kLowLatencyTimerMs : run.latencyTimerMs;
        QMetaObject::invokeMethod(&emulator, [&emulator, timer, run]() {
            if (run.latencyTimerMs > 0)
                emulator.setLatencyTimer(timer);
        }, Qt::QueuedConnection);
    });
    if (!driver.isAttached() || !emulator.attach(platform.masterFd(deviceName)))
        return -1;

    BootloaderHandler handler;
    handler.setPortName(path);
    handler.setBaudrate(kBaudRate);
    handler.setFirmwareData(image);

    QEventLoop loop;
    QElapsedTimer clock;
    double elapsedMs = -1;
    QObject::connect(&handler, &BootloaderHandler::connectedChanged, &loop, [&](bool connected) {
        if (connected)
            clock.start();
    });
    QObject::connect(&handler, &BootloaderHandler::stateChanged, &loop, [&](BootloaderHandler::State state) {
        if (state == BootloaderHandler::StateVerifyApplication && clock.isValid())
            elapsedMs = clock.nsecsElapsed() / 1e6;
    });
    QObject::connect(&handler, &BootloaderHandler::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kRunTimeoutMs, &loop, &QEventLoop::quit);
    handler.start();
    loop.exec();
    handler.stop();
    if (emulator.flash().programmedRowCount() != image.rows().size())
        return -1;
    return elapsedMs;
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // The tool's rules: debug off, warnings on.
    QLoggingCategory::setFilterRules(QStringLiteral("VexbusUsb*.debug=false"));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    int rows = 0;
    QString imageFile;
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == QLatin1String("--rows") && !arguments.isEmpty())
            rows = arguments.takeFirst().toInt();
        else
            imageFile = argument;
    }
    const FirmwareData image = rows > 0 ? FirmwareData(generatedImage(rows)) : FirmwareData(imageFile);
    if (!image.isValid()) {
        std::fprintf(stderr, "nivora-bench-update: no valid image\n");
        return 2;
    }
    const QString imageName = rows > 0 ? QStringLiteral("%1 KiB image").arg(rows * 64 / 1024)
                                       : QStringLiteral("sample image");
    const double limitMs = wireBytes(image) * 10 * 1000.0 / kBaudRate;

    const QList<Run> runs = {
        {0, SerialDriver::Accepts, QStringLiteral("line only")},
        {kDefaultLatencyTimerMs, SerialDriver::Accepts, QStringLiteral("16 ms timer, low latency")},
        {kDefaultLatencyTimerMs, SerialDriver::RefusesSettings, QStringLiteral("16 ms timer, no low latency")},
    };
    QVector<double> results;
    bool failed = false;
    for (int i = 0; i < runs.size(); ++i) {
        const double ms = runUpdate(image, runs.at(i), i);
        results.append(ms);
        failed = failed || ms < 0;
        BenchFigure figure;
        figure.figure = QStringLiteral("update");
        figure.subject = QStringLiteral("%1, %2").arg(imageName, runs.at(i).name);
        figure.value = ms;
        figure.unit = QStringLiteral("ms");
        figure.referenceName = QStringLiteral("wire-time limit");
        figure.reference = limitMs;
        if (i == 1)
            figure.goal = QStringLiteral("<= 1.10");
        figure.details.insert(QStringLiteral("rows"), image.rows().size());
        figure.details.insert(QStringLiteral("latencyTimerMs"), runs.at(i).latencyTimerMs);
        figure.report();
    }
    BenchFigure speedup;
    speedup.figure = QStringLiteral("update");
    speedup.subject = QStringLiteral("%1, 16 ms timer: time without low latency").arg(imageName);
    speedup.value = results.value(2);
    speedup.unit = QStringLiteral("ms");
    speedup.referenceName = QStringLiteral("with low latency");
    speedup.reference = results.value(1);
    speedup.goal = QStringLiteral(">= 5");
    speedup.report();
    return failed ? 1 : 0;
}
