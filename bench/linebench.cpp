// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The link's figures against vexbus-emulator on its pseudo-terminal, each
// beside a plain C reference on the same line in the same run:
//   request PORT COUNT            round trip of a command minus the wire time of its bytes
//   receive SECONDS ROUNDS TOOL BAREQT PORT PORT PORT PORT [verbose]
//                                 CPU time, read/write and system calls per frame of
//                                 receivers on four lines the emulators fill alike
//   read-plain PORT FRAMES [COUNTER], read-adapter PORT FRAMES [RULES [COUNTER]]
//                                 those receivers (FRAMES 0: until stopped), also for callgrind
//   count-request PORT COUNT      COUNT commands, for instruction counts under callgrind
//   count-plain-request PORT COUNT   its reference
//   emulator PACED-PORT PORT COUNT   the emulator's own time per round trip
//                                 beyond its line model, by the plain C host

#include "benchfigure.h"
#include "plainline.h"

#include <adapter/nivoravexbususbadapter.h>
#include <link/nivoravexbususbinterface.h>


#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

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

// A receiver of the line-rate figures: a process of its own reading one
// emulator's line, watched from outside through /proc (CPU time, read and
// write calls) and its count of frames.
class Receiver
{
public:
    // program and arguments; frames are counted by the program in a shared
    // counter (counterArgument: where its path goes) or are its output lines.
    Receiver(const QString &name, const QString &program, QStringList arguments, bool countsLines)
        : m_name(name)
    {
        m_counter.setFileTemplate(QDir::tempPath() + QStringLiteral("/nivora-bench-XXXXXX"));
        if (!m_counter.open() || !m_counter.resize(sizeof(unsigned long)))
            return;
        if (countsLines) {
            m_process.setStandardOutputFile(m_counter.fileName());
        } else {
            m_shared = reinterpret_cast<volatile unsigned long *>(m_counter.map(0, sizeof(unsigned long)));
            arguments.append(m_counter.fileName());
            m_process.setStandardOutputFile(QProcess::nullDevice());
        }
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(program, arguments);
        m_process.waitForStarted();
    }
    ~Receiver()
    {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_process.processId()), SIGINT);
            if (!m_process.waitForFinished(5000))
                m_process.kill();
        }
    }
    QString name() const { return m_name; }
    qint64 pid() const { return m_process.state() == QProcess::Running ? m_process.processId() : -1; }

    struct Sample {
        long long wallNs = 0;
        qint64 cpuNs = -1;
        qint64 calls = -1;  // read and write calls (syscr + syscw)
        qint64 frames = 0;
    };
    Sample sample()
    {
        Sample sample;
        sample.wallNs = plain_now_ns();
        const QString proc = QStringLiteral("/proc/%1/").arg(pid());
        QFile schedstat(proc + QStringLiteral("schedstat"));
        if (pid() > 0 && schedstat.open(QIODevice::ReadOnly))
            sample.cpuNs = schedstat.readAll().split(' ').value(0).toLongLong();
        QFile io(proc + QStringLiteral("io"));
        if (pid() > 0 && io.open(QIODevice::ReadOnly)) {
            sample.calls = 0;
            for (const QByteArray &line : io.readAll().split('\n'))
                if (line.startsWith("syscr:") || line.startsWith("syscw:"))
                    sample.calls += line.mid(6).trimmed().toLongLong();
        }
        sample.frames = frames();
        return sample;
    }

private:
    qint64 frames()
    {
        if (m_shared)
            return qint64(*m_shared);
        // The monitor's lines: one a frame (status changes do not come on a
        // steady line).
        m_counter.seek(m_counterOffset);
        const QByteArray output = m_counter.readAll();
        m_counterOffset += output.size();
        m_lines += output.count('\n');
        return m_lines;
    }

    QString m_name;
    QProcess m_process;
    QTemporaryFile m_counter;
    volatile unsigned long *m_shared = nullptr;
    qint64 m_counterOffset = 0;
    qint64 m_lines = 0;
};

static double cpuPercent(const Receiver::Sample &from, const Receiver::Sample &to)
{
    if (from.cpuNs < 0 || to.cpuNs < 0 || to.wallNs <= from.wallNs)
        return NAN;
    return 100.0 * double(to.cpuNs - from.cpuNs) / double(to.wallNs - from.wallNs);
}

static double callsPerFrame(const Receiver::Sample &from, const Receiver::Sample &to)
{
    if (from.calls < 0 || to.calls < 0 || to.frames <= from.frames)
        return NAN;
    return double(to.calls - from.calls) / double(to.frames - from.frames);
}

// System calls of each receiver per frame, counted by strace -c attached to
// all of them for the same time; strace slows them, which changes no count.
static QVector<double> straceCallsPerFrame(const std::vector<std::unique_ptr<Receiver>> &receivers, int seconds)
{
    QVector<double> perFrame;
    std::vector<std::unique_ptr<QProcess>> tracers;
    std::vector<std::unique_ptr<QTemporaryFile>> outputs;
    QVector<Receiver::Sample> before;
    for (const auto &receiver : receivers) {
        outputs.emplace_back(new QTemporaryFile);
        outputs.back()->open();
        tracers.emplace_back(new QProcess);
        tracers.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        tracers.back()->start(QStringLiteral("strace"), {QStringLiteral("-c"), QStringLiteral("-f"), QStringLiteral("-q"), QStringLiteral("-o"),
                                                         outputs.back()->fileName(), QStringLiteral("-p"),
                                                         QString::number(receiver->pid())});
        if (!tracers.back()->waitForStarted())
            return perFrame;
    }
    // strace has attached once the process is traced.
    runEventLoopFor(kWarmUpMs);
    for (const auto &receiver : receivers)
        before.append(receiver->sample());
    runEventLoopFor(seconds * 1000);
    for (size_t i = 0; i < receivers.size(); ++i) {
        const Receiver::Sample after = receivers.at(i)->sample();
        ::kill(pid_t(tracers.at(i)->processId()), SIGINT);
        tracers.at(i)->waitForFinished(10000);
        // The summary's last line: "100.00 seconds usecs/call calls errors total".
        qint64 calls = -1;
        for (const QByteArray &line : outputs.at(i)->readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() >= 4 && fields.last() == "total")
                calls = fields.at(3).toLongLong();
        }
        // Frames counted while strace was attached; the window is a little
        // longer than the samples', by the time strace takes to stop.
        const qint64 frames = after.frames - before.at(int(i)).frames;
        perFrame.append(calls > 0 && frames > 0 ? double(calls) / double(frames) : NAN);
    }
    return perFrame;
}

// Runs the receivers at the same time, each on its own line with the same
// traffic, for rounds of the given seconds; the first is the plain C reader,
// the reference of the others in every round, the second the bare Qt
// reader, the floor on Qt of those after it.
static bool measureTogether(const std::vector<std::unique_ptr<Receiver>> &receivers, int seconds, int rounds,
                            const QStringList &goals, bool countCalls)
{
    // Each one has to be receiving before the rounds start.
    QElapsedTimer clock;
    clock.start();
    for (const auto &receiver : receivers) {
        while (receiver->sample().frames == 0 && clock.elapsed() < kConnectTimeoutMs)
            runEventLoopFor(50);
        if (receiver->pid() < 0 || receiver->sample().frames == 0) {
            std::fprintf(stderr, "nivora-bench-line: %s receives no frames\n", qPrintable(receiver->name()));
            return false;
        }
    }
    runEventLoopFor(kWarmUpMs);

    const size_t count = receivers.size();
    std::vector<BenchFigure> cpu(count);
    std::vector<BenchFigure> overQt(count);
    std::vector<BenchFigure> calls(count);
    QVector<qint64> frames(int(count), 0);
    for (int round = 0; round < rounds; ++round) {
        QVector<Receiver::Sample> before;
        for (const auto &receiver : receivers)
            before.append(receiver->sample());
        runEventLoopFor(seconds * 1000);
        QVector<Receiver::Sample> after;
        for (const auto &receiver : receivers)
            after.append(receiver->sample());
        const double plainCpu = cpuPercent(before.at(0), after.at(0));
        const double bareQtCpu = cpuPercent(before.at(1), after.at(1));
        const double plainCalls = callsPerFrame(before.at(0), after.at(0));
        for (size_t i = 0; i < count; ++i) {
            const double value = cpuPercent(before.at(int(i)), after.at(int(i)));
            cpu[i].addRound(value, plainCpu);
            overQt[i].addRound(value, bareQtCpu);
            calls[i].addRound(callsPerFrame(before.at(int(i)), after.at(int(i))), plainCalls);
            frames[int(i)] += after.at(int(i)).frames - before.at(int(i)).frames;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        BenchFigure &figure = cpu[i];
        figure.figure = QStringLiteral("line rate");
        figure.subject = i == 0 ? QStringLiteral("reference: frames %1/s").arg(frames.at(0) / (rounds * seconds))
                                : receivers.at(i)->name();
        figure.unit = QStringLiteral("% core");
        figure.referenceName = QStringLiteral("plain C reader");
        figure.details.insert(QStringLiteral("frames"), double(frames.at(int(i))));
        figure.details.insert(QStringLiteral("seconds"), seconds);
        figure.report();
    }
    // The same CPU time against the bare Qt reader's in the same rounds.
    for (size_t i = 2; i < count; ++i) {
        BenchFigure &figure = overQt[i];
        figure.figure = QStringLiteral("line rate");
        figure.subject = receivers.at(i)->name();
        figure.unit = QStringLiteral("% core");
        figure.referenceName = QStringLiteral("bare Qt reader");
        figure.goal = goals.value(int(i));
        figure.report();
    }
    if (!countCalls)
        return true;
    for (size_t i = 1; i < count; ++i) {
        BenchFigure &figure = calls[i];
        figure.figure = QStringLiteral("syscalls");
        figure.subject = QStringLiteral("read/write calls a frame, %1").arg(receivers.at(i)->name().section(QLatin1Char(','), 0, 0));
        figure.unit = QStringLiteral("calls");
        figure.referenceName = QStringLiteral("plain C reader");
        figure.report();
    }
    if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty()) {
        std::printf("strace is not installed: no system calls per frame\n");
        return true;
    }
    const QVector<double> traced = straceCallsPerFrame(receivers, seconds);
    for (size_t i = 1; i < count && int(i) < traced.size(); ++i) {
        BenchFigure figure;
        figure.figure = QStringLiteral("syscalls");
        figure.subject = QStringLiteral("system calls a frame (strace), %1").arg(receivers.at(i)->name().section(QLatin1Char(','), 0, 0));
        figure.value = traced.at(int(i));
        figure.unit = QStringLiteral("calls");
        figure.referenceName = QStringLiteral("plain C reader");
        figure.reference = traced.at(0);
        figure.report();
    }
    return true;
}

// Four lines with the same traffic: the plain C reader, the bare Qt reader,
// an adapter in a process of its own and vexbusctl monitor receive at the
// same time, so that what the machine does weighs on all of them alike;
// with the tool's logging rules, and with verbose once more with all
// library logging on. The event dispatcher is the one the environment
// chooses (QT_NO_GLIB), for all of them.
static int receive(int seconds, int rounds, const QString &tool, const QString &bareQt, const QStringList &ports,
                   bool verboseToo)
{
    const QString self = QCoreApplication::applicationFilePath();
    // Set and empty, it leaves GLib's dispatcher to the tool too, which
    // otherwise chooses Qt's own.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", QByteArray(""));
    const QString dispatcher = qEnvironmentVariableIsEmpty("QT_NO_GLIB") ? QStringLiteral("GLib") : QStringLiteral("Qt");
    bool ok = true;
    for (const bool verbose : {false, true}) {
        if (verbose && !verboseToo)
            break;
        std::vector<std::unique_ptr<Receiver>> receivers;
        receivers.emplace_back(new Receiver(QStringLiteral("plain C reader"), self,
                                            {QStringLiteral("read-plain"), ports.at(0), QStringLiteral("0")}, false));
        receivers.emplace_back(new Receiver(QStringLiteral("bare Qt reader, %1 dispatcher").arg(dispatcher), bareQt,
                                            {QStringLiteral("read"), ports.at(1), QStringLiteral("0")}, false));
        receivers.emplace_back(new Receiver(verbose ? QStringLiteral("in-process adapter, all logging on, %1").arg(dispatcher)
                                                    : QStringLiteral("in-process adapter, %1 dispatcher").arg(dispatcher),
                                            self, {QStringLiteral("read-adapter"), ports.at(2), QStringLiteral("0"),
                                                   QLatin1String(verbose ? kAllOnRules : kToolRules)}, false));
        QStringList monitor{QStringLiteral("--port"), ports.at(3), QStringLiteral("monitor")};
        if (verbose)
            monitor.prepend(QStringLiteral("--verbose"));
        receivers.emplace_back(new Receiver(verbose ? QStringLiteral("vexbusctl --verbose monitor, %1").arg(dispatcher)
                                                    : QStringLiteral("vexbusctl monitor, %1 dispatcher").arg(dispatcher),
                                            tool, monitor, true));
        // The goals are the instruction counts'; the CPU time is their
        // second view, noisier, with the same goals.
        const QStringList goals = verbose ? QStringList() : QStringList{QString(), QString(), QStringLiteral("<= 1.2"),
                                                                         QStringLiteral("<= 1.4")};
        ok = measureTogether(receivers, seconds, rounds, goals, !verbose) && ok;
    }
    return ok ? 0 : 1;
}

// The receivers themselves, for measureTogether() and for callgrind: they
// stop after the given number of frames (0: when stopped) and show their
// count in the counter file when one is named.
static int readPlain(const QString &port, qint64 frames, const QString &counterPath)
{
    QFile counterFile;
    volatile unsigned long *counter = benchMappedCounter(&counterFile, counterPath);
    const int fd = plain_open_tty(QFile::encodeName(port).constData());
    if (fd < 0)
        return 1;
    static plain_decoder decoder = {};
    plain_read_frames(fd, &decoder, (unsigned long)frames, counter);
    ::close(fd);
    return 0;
}

static int readAdapter(const QString &port, qint64 frames, const QString &rules, const QString &counterPath)
{
    QFile counterFile;
    volatile unsigned long *counter = benchMappedCounter(&counterFile, counterPath);
    QLoggingCategory::setFilterRules(rules);
    NivoraVexbusUsbAdapter adapter;
    if (!connectAdapter(&adapter, port))
        return 1;
    unsigned long received = 0;
    QObject::connect(&adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived, [&](const QByteArray &) {
        ++received;
        if (counter)
            *counter = received;
        if (frames > 0 && qint64(received) >= frames)
            QCoreApplication::quit();
    });
    // Stopped from outside, SIGINT ends it: nothing to tidy.
    QCoreApplication::exec();
    adapter.stop();
    return 0;
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
    if (mode == QLatin1String("receive") && arguments.size() >= 10 && arguments.value(2).toInt() > 0)
        return receive(arguments.value(2).toInt(), qMax(1, arguments.value(3).toInt()), arguments.value(4),
                       arguments.value(5), arguments.mid(6, 4), arguments.value(10) == QLatin1String("verbose"));
    if (mode == QLatin1String("read-plain"))
        return readPlain(port, number, arguments.value(4));
    if (mode == QLatin1String("read-adapter"))
        return readAdapter(port, number, arguments.value(4, QLatin1String(kToolRules)), arguments.value(5));
    if (mode == QLatin1String("count-request") && number > 0)
        return countRequest(port, int(number));
    if (mode == QLatin1String("emulator") && arguments.value(4).toInt() > 0)
        return emulatorShare(port, arguments.value(3), arguments.value(4).toInt());
    if (mode == QLatin1String("count-plain-request") && number > 0)
        return plainRoundTrips(port, int(number), nullptr) ? 0 : 1;
    std::fprintf(stderr, "usage: nivora-bench-line request|count-request|count-plain-request PORT NUMBER\n"
                         "       nivora-bench-line emulator PACED-PORT PORT NUMBER\n"
                         "       nivora-bench-line receive SECONDS ROUNDS VEXBUSCTL BAREQT PORT PORT PORT PORT [verbose]\n"
                         "       nivora-bench-line read-plain PORT FRAMES [COUNTER]\n"
                         "       nivora-bench-line read-adapter PORT FRAMES [RULES [COUNTER]]\n");
    return 2;
}
