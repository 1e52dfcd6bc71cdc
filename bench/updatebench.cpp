// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The firmware update's speed against the emulated line: the bootloader
// handler writes an image into the emulator behind a mocked FTDI adapter
// (umockdev), whose driver answers the serial ioctls, and a plain C host
// writes the same image the same way over an identical line, in the same
// run. The emulator's latency timer follows what the host asks the driver
// for, as ftdi_sio turns low latency into a 1 ms timer. Each time is also
// given against the wire-time limit. Runs under umockdev-wrapper.
//
// The library and the plain host take turns over a few rounds (who goes
// first alternates), so that a change in the machine's load weighs on both;
// each figure is the median of the rounds and the ratio the median of the
// rounds' ratios.
//
// Usage: nivora-bench-update [--rows N] [--rounds N] [--slow-rounds N] [IMAGE]
//   --rounds: rounds of each case (default 5); --slow-rounds: rounds of the
//   case without low latency, ten times slower than the others (default 3)

#include "benchfigure.h"
#include "plainline.h"
#include "plainupdate.h"
#include "serialdriver.h"
#include "testplatform.h"

#include <bootloader/bootloaderhandler.h>
#include <bootloader/firmwaredata.h>
#include <flashimage.h>
#include <vexbusemulator.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

#include <linux/serial.h>
#include <unistd.h>

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

// Bytes on the wire in both directions from the first command to the
// application checksum's answer: enter (7 out, 15 back), flash size (8, 11),
// per row its chunks of at most 11 data bytes (7 + n, 7), program row
// (10, 7) and verify row (10, 8), and the application checksum (7, 8).
static qint64 wireBytes(const FirmwareData &image)
{
    qint64 bytes = 7 + 15 + 8 + 11 + 7 + 8;
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
    int rounds;
};

// The emulated adapter on a thread of its own, as the real one is a device
// of its own: the host under test, the library or the plain C loop, has the
// main thread to itself and blocks it as it likes.
class EmulatorThread
{
public:
    EmulatorThread()
    {
        m_context.moveToThread(&m_thread);
        m_thread.start();
        // Made on its thread, so that its timers belong to it.
        run([this]() { m_emulator = new VexbusEmulator; });
    }
    ~EmulatorThread()
    {
        run([this]() { delete m_emulator; });
        m_thread.quit();
        m_thread.wait();
    }
    // Runs the function on the emulator's thread and waits for it.
    template<typename Function>
    void run(Function function)
    {
        QMetaObject::invokeMethod(&m_context, function, Qt::BlockingQueuedConnection);
    }
    VexbusEmulator *emulator() const { return m_emulator; }

private:
    QThread m_thread;
    QObject m_context;
    VexbusEmulator *m_emulator = nullptr;
};

// An emulator in its bootloader behind a mocked FTDI adapter, its latency
// timer following what the host asks the driver for.
class BenchLine
{
public:
    BenchLine(const FirmwareData &image, const Run &run, int index)
        : m_deviceName(QStringLiteral("ttyUSB%1").arg(index))
    {
        m_path = m_platform.addAdapter(QStringLiteral("BENCH%1").arg(index), m_deviceName);
        m_driver.reset(new SerialDriver(&m_platform, m_deviceName, run.driver));
        VexbusEmulator *emulator = m_emulator.emulator();
        const int fd = m_platform.masterFd(m_deviceName);
        m_emulator.run([&]() {
            emulator->setMode(VexbusEmulator::ModeBootloader);
            // The chip's rows end with the image's last, its metadata row.
            quint16 lastRow = kFirstRow;
            for (const FirmwareDataRow &row : image.rows())
                lastRow = qMax(lastRow, row.rowNumber());
            emulator->bootloader().flash().setRowRange(0, kFirstRow, lastRow);
            emulator->setLinePacing(true);
            emulator->setBaudRate(kBaudRate);
            emulator->setLatencyTimer(run.latencyTimerMs);
            m_attached = emulator->attach(fd);
        });
        m_driver->setFlagsChangedHandler([emulator, run](int flags) {
            const int timer = (flags & ASYNC_LOW_LATENCY) ? kLowLatencyTimerMs : run.latencyTimerMs;
            QMetaObject::invokeMethod(emulator, [emulator, timer, run]() {
                if (run.latencyTimerMs > 0)
                    emulator->setLatencyTimer(timer);
            }, Qt::QueuedConnection);
        });
        m_attached = m_attached && m_driver->isAttached();
    }
    ~BenchLine()
    {
        m_driver->setFlagsChangedHandler(nullptr);
        VexbusEmulator *emulator = m_emulator.emulator();
        m_emulator.run([emulator]() { emulator->detach(); });
    }
    bool isAttached() const { return m_attached; }
    QString path() const { return m_path; }
    int programmedRows()
    {
        int rows = 0;
        VexbusEmulator *emulator = m_emulator.emulator();
        m_emulator.run([&]() { rows = emulator->flash().programmedRowCount(); });
        return rows;
    }

private:
    NivoraTest::TestPlatform m_platform;
    QString m_deviceName;
    QString m_path;
    QScopedPointer<SerialDriver> m_driver;
    EmulatorThread m_emulator;
    bool m_attached = false;
};

// Milliseconds from the port opening to the application checksum's answer; -1 on failure.
static double libraryUpdate(const FirmwareData &image, const Run &run, int index)
{
    BenchLine line(image, run, index);
    if (!line.isAttached())
        return -1;

    BootloaderHandler handler;
    handler.setPortName(line.path());
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
        if (state == BootloaderHandler::StateExitBootloader && clock.isValid())
            elapsedMs = clock.nsecsElapsed() / 1e6;
    });
    QObject::connect(&handler, &BootloaderHandler::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kRunTimeoutMs, &loop, &QEventLoop::quit);
    handler.start();
    loop.exec();
    handler.stop();
    if (line.programmedRows() != image.rows().size())
        return -1;
    return elapsedMs;
}

// The same exchange by the plain C loop, opened as the library opens the
// port (raw, 115200, low latency asked for); -1 on failure.
static double plainUpdate(const FirmwareData &image, const Run &run, int index)
{
    BenchLine line(image, run, index);
    if (!line.isAttached())
        return -1;
    const QList<FirmwareDataRow> rows = image.rows();
    QVector<QByteArray> data;
    QVector<plain_row> plainRows;
    for (const FirmwareDataRow &row : rows)
        data.append(row.rowData());
    for (int i = 0; i < rows.size(); ++i) {
        plain_row plainRow = {};
        plainRow.array_id = rows.at(i).arrayId();
        plainRow.number = rows.at(i).rowNumber();
        plainRow.data = reinterpret_cast<const unsigned char *>(data.at(i).constData());
        plainRow.size = size_t(data.at(i).size());
        plainRow.verify_checksum = rows.at(i).verifyChecksum();
        plainRows.append(plainRow);
    }
    plain_image plainImage = {};
    plainImage.silicon_id = static_cast<unsigned long>(quint32(image.siliconId()));
    plainImage.silicon_rev = image.siliconRev();
    plainImage.rows = plainRows.constData();
    plainImage.row_count = size_t(plainRows.size());

    const int fd = plain_open_tty(QFile::encodeName(line.path()).constData());
    if (fd < 0)
        return -1;
    const bool lowLatency = plain_request_low_latency(fd);
    long long exchangeNs = 0;
    const char *failedStep = nullptr;
    const int result = plain_update(fd, &plainImage, BootloaderHandler::responseTimeout, &exchangeNs, &failedStep);
    if (lowLatency)
        plain_restore_latency(fd);
    ::close(fd);
    if (result != 0) {
        std::fprintf(stderr, "nivora-bench-update: the plain host failed to %s\n", failedStep ? failedStep : "finish");
        return -1;
    }
    if (line.programmedRows() != image.rows().size())
        return -1;
    return exchangeNs / 1e6;
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // The tool's rules: debug off, warnings on.
    QLoggingCategory::setFilterRules(QStringLiteral("VexbusUsb*.debug=false"));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    int rows = 0;
    int rounds = 5;
    int slowRounds = 3;
    QString imageFile;
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == QLatin1String("--rows") && !arguments.isEmpty())
            rows = arguments.takeFirst().toInt();
        else if (argument == QLatin1String("--rounds") && !arguments.isEmpty())
            rounds = qMax(1, arguments.takeFirst().toInt());
        else if (argument == QLatin1String("--slow-rounds") && !arguments.isEmpty())
            slowRounds = qMax(1, arguments.takeFirst().toInt());
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
        {0, SerialDriver::Accepts, QStringLiteral("line only"), rounds},
        {kDefaultLatencyTimerMs, SerialDriver::Accepts, QStringLiteral("16 ms timer, low latency"), rounds},
        {kDefaultLatencyTimerMs, SerialDriver::RefusesSettings, QStringLiteral("16 ms timer, no low latency"), slowRounds},
    };
    QVector<double> results;
    bool failed = false;
    int index = 0;
    for (const Run &run : runs) {
        const QString subject = QStringLiteral("%1, %2").arg(imageName, run.name);
        BenchFigure figure;
        figure.figure = QStringLiteral("update");
        figure.subject = subject;
        figure.unit = QStringLiteral("ms");
        figure.referenceName = QStringLiteral("plain C host");
        figure.goal = QStringLiteral("<= 1.05");
        figure.details.insert(QStringLiteral("rows"), image.rows().size());
        figure.details.insert(QStringLiteral("latencyTimerMs"), run.latencyTimerMs);
        for (int round = 0; round < run.rounds && !failed; ++round) {
            double plainMs = -1;
            double ms = -1;
            if (round % 2 == 0) {
                plainMs = plainUpdate(image, run, index++);
                ms = libraryUpdate(image, run, index++);
            } else {
                ms = libraryUpdate(image, run, index++);
                plainMs = plainUpdate(image, run, index++);
            }
            failed = ms < 0 || plainMs < 0;
            figure.addRound(ms, plainMs);
        }
        results.append(figure.value);
        figure.report();
        const QVector<double> libraryRounds = figure.values;
        const QVector<double> plainRounds = figure.references;
        BenchFigure limit = figure;
        limit.referenceName = QStringLiteral("wire-time limit");
        limit.goal.clear();
        limit.values.clear();
        limit.references.clear();
        limit.subject = subject + QStringLiteral(": library");
        for (const double ms : libraryRounds)
            limit.addRound(ms, limitMs);
        limit.report();
        limit.subject = subject + QStringLiteral(": plain C host");
        limit.values.clear();
        limit.references.clear();
        for (const double ms : plainRounds)
            limit.addRound(ms, limitMs);
        limit.report();
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
