// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The link's figures against vexbus-emulator on its pseudo-terminal, each
// beside a plain C reference on the same line in the same run:
//   request PORT COUNT            round trip of a command minus the wire time of its bytes
//   receive PORT SECONDS TOOL     CPU time of receivers while the emulator fills the line
//   count-request PORT COUNT      COUNT commands, for instruction counts under callgrind
//   count-plain-request PORT COUNT   its reference
//   emulator PACED-PORT PORT COUNT   the emulator's own time per round trip
//                                 beyond its line model, by the plain C host

#include "benchfigure.h"
#include "plainline.h"

#include <adapter/nivoravexbususbadapter.h>
#include <link/nivoravexbususbinterface.h>


#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <unistd.h>

using namespace NivoraVexbusUsb;

static constexpr int kBaudRate = 115200;
static constexpr double kByteTimeUs = 10 * 1e6 / kBaudRate;
static constexpr int kConnectTimeoutMs = 10000;
static constexpr int kWarmUpMs = 500;
// vexbusctl's own rules without --verbose, and with it.
static const char kToolRules[] = "VexbusUsb*.debug=false";
static const char kAllOnRules[] = "VexbusUsb*=true";

static void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Bytes on the wire of a frame whose packet bytes (checksum excluded) are
// given: delimiters, checksum and escapes. Counted, not encoded, so that the
// count costs the figures next to nothing.
static int wireLength(const QByteArray &packet)
{
    unsigned char checksum = 0;
    int escapes = 0;
    for (const char byte : packet) {
        const unsigned char value = static_cast<unsigned char>(byte);
        checksum ^= value;
        escapes += value == 0xC0 || value == 0xDB;
    }
    escapes += checksum == 0xC0 || checksum == 0xDB;
    return packet.size() + 3 + escapes;
}

static bool connectAdapter(NivoraVexbusUsbAdapter *adapter, const QString &port)
{
    adapter->setPortName(port);
    adapter->setBaudrate(kBaudRate);
    QEventLoop loop;
    QObject::connect(adapter, &NivoraVexbusUsbAdapter::stateChanged, &loop, [&](NivoraVexbusUsbAdapter::State state) {
        if (state == NivoraVexbusUsbAdapter::StateConnected)
            loop.quit();
    });
    QTimer::singleShot(kConnectTimeoutMs, &loop, &QEventLoop::quit);
    adapter->start();
    if (adapter->state() != NivoraVexbusUsbAdapter::StateConnected)
        loop.exec();
    if (adapter->state() == NivoraVexbusUsbAdapter::StateConnected)
        return true;
    std::fprintf(stderr, "nivora-bench-line: no adapter answers on %s\n", qPrintable(port));
    return false;
}

// The bus frame every benchmark request writes, and its write request's
// payload (length byte and frame), as the adapter and the plain host send it.
static const QByteArray kBusFrame = QByteArray::fromHex("0a1b2c");
static const QByteArray kWritePayload = QByteArray::fromHex("030a1b2c");

// Bus-write commands through the adapter, one at a time: round trip and
// wire bytes. The runner costs each command as little as it can (one event
// loop, connections made once, one watchdog for the series), so that the
// instruction counts are the library's; for them it does not count wire
// bytes either (an application does not listen to the link's bytes).
class CommandRunner
{
public:
    CommandRunner(NivoraVexbusUsbAdapter *adapter, int count, bool countWireBytes) : m_adapter(adapter)
    {
        if (countWireBytes) {
            // The answer tells the request's packet id, and so both frames' bytes on the wire.
            QObject::connect(adapter->serialInterface(), &NivoraVexbusUsbInterface::dataReceived, [this](const QByteArray &data) {
                if (data.size() < 2 || quint8(data.at(0)) != NivoraVexbusUsbUtils::CommandWriteDataToVexbus)
                    return;
                m_wireBytes += wireLength(data) + wireLength(data.left(2) + kWritePayload);
            });
        }
        QObject::connect(m_adapter, &NivoraVexbusUsbAdapter::commandFinished, &m_loop,
                [this](NivoraVexbusUsbUtils::Command, NivoraVexbusUsbReply::Error error) {
            m_ok = error == NivoraVexbusUsbReply::ErrorNoError;
            m_loop.quit();
        });
        m_watchdog.setSingleShot(true);
        QObject::connect(&m_watchdog, &QTimer::timeout, &m_loop, &QEventLoop::quit);
        m_watchdog.start(kConnectTimeoutMs + count * 100);
    }

    // Microseconds of the round trip beyond the wire time; NAN on a failure.
    // Out of line, so that callgrind can count it alone (--toggle-collect).
    Q_NEVER_INLINE double run()
    {
        m_wireBytes = 0;
        m_ok = false;
        QElapsedTimer clock;
        clock.start();
        m_adapter->writeDataToVexbus(kBusFrame);
        m_loop.exec();
        const double roundTripUs = clock.nsecsElapsed() / 1e3;
        return m_ok ? roundTripUs - m_wireBytes * kByteTimeUs : NAN;
    }

private:
    NivoraVexbusUsbAdapter *m_adapter;
    QEventLoop m_loop;
    QTimer m_watchdog;
    qint64 m_wireBytes = 0;
    bool m_ok = false;
};

static double percentile(QVector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const int index = qBound(0, int(std::ceil(fraction * values.size())) - 1, values.size() - 1);
    return values.isEmpty() ? NAN : values.at(index);
}

// Out of line, so that callgrind can count the plain host's request alone.
Q_NEVER_INLINE static bool plainRequest(int fd, quint8 id, const unsigned char *payload, QVector<double> *overheadsUs,
                                        QVector<double> *roundTripsUs)
{
    size_t wireBytes = 0;
    const long long ns = plain_request(fd, NivoraVexbusUsbUtils::CommandWriteDataToVexbus, id, payload,
                                       size_t(kWritePayload.size()), kConnectTimeoutMs, &wireBytes);
    if (ns < 0)
        return false;
    if (overheadsUs)
        overheadsUs->append(ns / 1e3 - double(wireBytes) * kByteTimeUs);
    if (roundTripsUs)
        roundTripsUs->append(ns / 1e3);
    return true;
}

// The same write requests from a plain C host: the microseconds beyond the
// wire time (overheadsUs) and in all (roundTripsUs), when given.
static bool plainRoundTrips(const QString &port, int count, QVector<double> *overheadsUs,
                            QVector<double> *roundTripsUs = nullptr)
{
    const int fd = plain_open_tty(QFile::encodeName(port).constData());
    if (fd < 0)
        return false;
    // The emulator attaches when the line opens.
    runEventLoopFor(100);
    const auto *payload = reinterpret_cast<const unsigned char *>(kWritePayload.constData());
    for (int i = 0; i < count; ++i)
        if (!plainRequest(fd, quint8(i), payload, overheadsUs, roundTripsUs)) {
            ::close(fd);
            return false;
        }
    ::close(fd);
    return true;
}

// The plain C host's round trips on a paced line beyond the wire time, less
// those on an unpaced line beyond no time at all: the pseudo-terminal's two
// hops and the host's wake-up are in both, what is left is the time the
// emulator adds to its line model (its wake-ups).
static int emulatorShare(const QString &pacedPort, const QString &port, int count)
{
    QVector<double> paced;
    QVector<double> unpaced;
    if (!plainRoundTrips(pacedPort, count, &paced) || !plainRoundTrips(port, count, nullptr, &unpaced)) {
        std::fprintf(stderr, "nivora-bench-line: the plain round trip failed\n");
        return 1;
    }
    BenchFigure figure;
    figure.figure = QStringLiteral("request");
    figure.subject = QStringLiteral("emulator's own time beyond its line model, median");
    figure.reference = percentile(unpaced, 0.5);
    figure.value = percentile(paced, 0.5) - figure.reference;
    figure.unit = QStringLiteral("us");
    figure.referenceName = QStringLiteral("unpaced round trip");
    figure.goal = QStringLiteral("value < 50 us");
    figure.details.insert(QStringLiteral("count"), count);
    figure.details.insert(QStringLiteral("pacedBeyondWireUs"), percentile(paced, 0.5));
    figure.report();
    return 0;
}

static int request(const QString &port, int count)
{
    QVector<double> plain;
    if (!plainRoundTrips(port, count, &plain)) {
        std::fprintf(stderr, "nivora-bench-line: the plain round trip on %s failed\n", qPrintable(port));
        return 1;
    }
    QLoggingCategory::setFilterRules(QLatin1String(kToolRules));
    QVector<double> library;
    {
        NivoraVexbusUsbAdapter adapter;
        if (!connectAdapter(&adapter, port))
            return 1;
        CommandRunner runner(&adapter, count, true);
        for (int i = 0; i < count; ++i) {
            const double us = runner.run();
            if (std::isnan(us))
                return 1;
            library.append(us);
        }
        adapter.stop();
    }
    for (const double fraction : {0.5, 0.99}) {
        BenchFigure figure;
        figure.figure = QStringLiteral("request");
        figure.subject = QStringLiteral("round trip beyond wire time, %1").arg(fraction == 0.5 ? "median" : "p99");
        figure.value = percentile(library, fraction);
        figure.unit = QStringLiteral("us");
        figure.referenceName = QStringLiteral("plain C round trip");
        figure.reference = percentile(plain, fraction);
        figure.goal = QStringLiteral("value < 50 us");
        figure.details.insert(QStringLiteral("count"), count);
        figure.report();
    }
    // The line, the emulator and this machine's wake-ups are in both; what
    // is left is the library's own part.
    BenchFigure share;
    share.figure = QStringLiteral("request");
    share.subject = QStringLiteral("library's part: median minus plain C median");
    share.value = percentile(library, 0.5) - percentile(plain, 0.5);
    share.unit = QStringLiteral("us");
    share.referenceName = QStringLiteral("plain C round trip");
    share.reference = percentile(plain, 0.5);
    share.goal = QStringLiteral("value < 50 us");
    share.report();
    return 0;
}

static qint64 processCpuNs(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/schedstat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.readAll().split(' ').value(0).toLongLong();
}

static void reportLineRate(const QString &subject, double percent, double plainPercent, const QString &goal, qint64 frames)
{
    BenchFigure figure;
    figure.figure = QStringLiteral("line rate");
    figure.subject = subject;
    figure.value = percent;
    figure.unit = QStringLiteral("% core");
    figure.referenceName = QStringLiteral("plain C reader");
    figure.reference = plainPercent;
    figure.goal = goal;
    figure.details.insert(QStringLiteral("frames"), double(frames));
    figure.report();
}

static double inProcessReceiver(const QString &port, int seconds, const char *rules, qint64 *frames)
{
    QLoggingCategory::setFilterRules(QLatin1String(rules));
    NivoraVexbusUsbAdapter adapter;
    if (!connectAdapter(&adapter, port))
        return NAN;
    qint64 received = 0;
    QObject::connect(&adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived, [&](const QByteArray &) { ++received; });
    runEventLoopFor(kWarmUpMs);
    received = 0;
    const long long cpu = plain_cpu_ns();
    const long long wall = plain_now_ns();
    runEventLoopFor(seconds * 1000);
    const double percent = 100.0 * double(plain_cpu_ns() - cpu) / double(plain_now_ns() - wall);
    *frames = received;
    adapter.stop();
    QLoggingCategory::setFilterRules(QLatin1String(kToolRules));
    return percent;
}

static double toolReceiver(const QString &tool, const QString &port, int seconds, bool verbose)
{
    QProcess process;
    QStringList arguments{QStringLiteral("--port"), port, QStringLiteral("monitor")};
    if (verbose)
        arguments.prepend(QStringLiteral("--verbose"));
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(tool, arguments);
    if (!process.waitForStarted())
        return NAN;
    runEventLoopFor(1000 + kWarmUpMs);
    const qint64 cpu = processCpuNs(process.processId());
    const long long wall = plain_now_ns();
    runEventLoopFor(seconds * 1000);
    const qint64 cpuAfter = processCpuNs(process.processId());
    const double percent = 100.0 * double(cpuAfter - cpu) / double(plain_now_ns() - wall);
    ::kill(pid_t(process.processId()), SIGINT);
    process.waitForFinished(5000);
    return cpu < 0 || cpuAfter < 0 ? NAN : percent;
}

static int receive(const QString &port, int seconds, const QString &tool)
{
    const int fd = plain_open_tty(QFile::encodeName(port).constData());
    if (fd < 0)
        return 1;
    plain_decoder decoder = {};
    plain_receive(fd, &decoder, kWarmUpMs * 1000000LL);
    decoder.frames = 0;
    const double plainPercent = 100.0 * plain_receive(fd, &decoder, seconds * 1000000000LL) / (seconds * 1e9);
    const qint64 plainFrames = qint64(decoder.frames);
    ::close(fd);
    reportLineRate(QStringLiteral("reference: frames %1/s").arg(plainFrames / seconds), plainPercent, plainPercent,
                   QString(), plainFrames);

    qint64 frames = 0;
    const double quiet = inProcessReceiver(port, seconds, kToolRules, &frames);
    reportLineRate(QStringLiteral("in-process adapter, tool's logging rules"), quiet, plainPercent,
                   QStringLiteral("value < 1 %"), frames);
    const double allOn = inProcessReceiver(port, seconds, kAllOnRules, &frames);
    reportLineRate(QStringLiteral("in-process adapter, all logging on"), allOn, plainPercent, QString(), frames);
    reportLineRate(QStringLiteral("vexbusctl monitor, tool's logging rules"),
                   toolReceiver(tool, port, seconds, false), plainPercent, QStringLiteral("<= 1"), 0);
    reportLineRate(QStringLiteral("vexbusctl --verbose monitor, all logging on"),
                   toolReceiver(tool, port, seconds, true), plainPercent, QString(), 0);
    return std::isnan(quiet) || std::isnan(allOn) ? 1 : 0;
}

static int countRequest(const QString &port, int count)
{
    QLoggingCategory::setFilterRules(QLatin1String(kToolRules));
    NivoraVexbusUsbAdapter adapter;
    if (!connectAdapter(&adapter, port))
        return 1;
    CommandRunner runner(&adapter, count, false);
    for (int i = 0; i < count; ++i) {
        if (std::isnan(runner.run()))
            return 1;
    }
    adapter.stop();
    return 0;
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString mode = arguments.value(1);
    const QString port = arguments.value(2);
    const qint64 number = arguments.value(3).toLongLong();
    if (mode == QLatin1String("request") && number > 0)
        return request(port, int(number));
    if (mode == QLatin1String("receive") && number > 0)
        return receive(port, int(number), arguments.value(4));
    if (mode == QLatin1String("count-request") && number > 0)
        return countRequest(port, int(number));
    if (mode == QLatin1String("emulator") && arguments.value(4).toInt() > 0)
        return emulatorShare(port, arguments.value(3), arguments.value(4).toInt());
    if (mode == QLatin1String("count-plain-request") && number > 0)
        return plainRoundTrips(port, int(number), nullptr) ? 0 : 1;
    std::fprintf(stderr, "usage: nivora-bench-line request|receive|count-request|count-plain-request PORT NUMBER [VEXBUSCTL]\n"
                         "       nivora-bench-line emulator PACED-PORT PORT NUMBER\n");
    return 2;
}
