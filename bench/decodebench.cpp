// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// Bytes per second through the link's receive path (the frame decoder and
// the packet parse that the interface runs on every byte it reads), against
// a plain C loop decoding the same bytes, in one run. The stream is bus-data
// notifications as the emulator frames them.

#include "benchfigure.h"
#include "plainline.h"

#include <link/nivoravexbususbframedecoder.h>
#include <link/nivoravexbususbpacket.h>

#include <controllerpacket.h>
#include <slipcodec.h>

#include <benchmark/benchmark.h>

#include <QLoggingCategory>
#include <QMap>

#include <cstdio>
#include <cstdlib>

using namespace NivoraVexbusUsb;
using NivoraVexbusUsbEmulator::ControllerPacket;
using NivoraVexbusUsbEmulator::SlipCodec;

static constexpr int kFrames = 4096;

// Frames of 16 bytes with a running number, so that some need escapes.
static const QByteArray &stream()
{
    static const QByteArray bytes = [] {
        QByteArray all;
        for (int i = 0; i < kFrames; ++i) {
            QByteArray frame = QByteArray::fromHex("00112233445566778899aabbccddeeff");
            frame[0] = char(i & 0xFF);
            frame[1] = char((i * 13) & 0xFF);
            all += SlipCodec::encodeFrame(ControllerPacket::notification(ControllerPacket::NotificationVexbusData,
                                                                         quint8(i), frame));
        }
        return all;
    }();
    return bytes;
}

// The receive path as the interface runs it on what it reads; returns the packets.
static qint64 receive(NivoraVexbusUsbFrameDecoder *decoder, const QByteArray &bytes)
{
    qint64 packets = 0;
    const char *data = bytes.constData();
    int remaining = bytes.size();
    while (remaining > 0) {
        bool frameClosed = false;
        const int taken = decoder->processBytes(data, remaining, &frameClosed);
        data += taken;
        remaining -= taken;
        if (frameClosed) {
            const NivoraVexbusUsbPacket packet(decoder->frame());
            packets += packet.isValid();
        }
    }
    return packets;
}

static void libraryReceivePath(benchmark::State &state)
{
    const QByteArray &bytes = stream();
    NivoraVexbusUsbFrameDecoder decoder;
    qint64 packets = 0;
    for (auto _ : state)
        packets += receive(&decoder, bytes);
    if (packets != qint64(state.iterations()) * kFrames)
        state.SkipWithError("frames lost");
    state.SetBytesProcessed(qint64(state.iterations()) * bytes.size());
}

static void plainCLoop(benchmark::State &state)
{
    const QByteArray &bytes = stream();
    plain_decoder decoder = {};
    for (auto _ : state)
        plain_decoder_feed(&decoder, reinterpret_cast<const unsigned char *>(bytes.constData()), size_t(bytes.size()));
    if (qint64(decoder.frames) != qint64(state.iterations()) * kFrames)
        state.SkipWithError("frames lost");
    state.SetBytesProcessed(qint64(state.iterations()) * bytes.size());
}

BENCHMARK(libraryReceivePath);
BENCHMARK(plainCLoop);

// Keeps the byte rate of every benchmark for the figure.
class RateReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            const auto counter = run.counters.find("bytes_per_second");
            if (counter != run.counters.end())
                rates.insert(QString::fromStdString(run.benchmark_name()), counter->second.value);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    QMap<QString, double> rates;
};

// For instruction counts under callgrind: the stream N times through the
// receive path (count-decode N) or through the plain C loop (count-plain-decode N).
static int count(const char *mode, int repeats)
{
    const QByteArray &bytes = stream();
    if (qstrcmp(mode, "count-decode") == 0) {
        NivoraVexbusUsbFrameDecoder decoder;
        qint64 packets = 0;
        for (int i = 0; i < repeats; ++i)
            packets += receive(&decoder, bytes);
        std::printf("bytes %lld\n", static_cast<long long>(repeats) * bytes.size());
        return packets == qint64(repeats) * kFrames ? 0 : 1;
    }
    plain_decoder decoder = {};
    for (int i = 0; i < repeats; ++i)
        plain_decoder_feed(&decoder, reinterpret_cast<const unsigned char *>(bytes.constData()), size_t(bytes.size()));
    std::printf("bytes %lld\n", static_cast<long long>(repeats) * bytes.size());
    return decoder.frames == static_cast<unsigned long>(repeats) * kFrames ? 0 : 1;
}

int main(int argc, char **argv)
{
    // The tool's rules: debug off, warnings on.
    QLoggingCategory::setFilterRules(QStringLiteral("VexbusUsb*.debug=false"));
    if (argc == 3 && (qstrcmp(argv[1], "count-decode") == 0 || qstrcmp(argv[1], "count-plain-decode") == 0))
        return count(argv[1], atoi(argv[2]));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    BenchFigure figure;
    figure.figure = QStringLiteral("decode");
    figure.subject = QStringLiteral("receive path, bus frames of 16 bytes");
    figure.value = reporter.rates.value(QStringLiteral("libraryReceivePath")) / 1e6;
    figure.unit = QStringLiteral("MB/s");
    figure.referenceName = QStringLiteral("plain C loop");
    figure.reference = reporter.rates.value(QStringLiteral("plainCLoop")) / 1e6;
    figure.goal = QStringLiteral(">= 0.5");
    figure.report();
    return figure.value > 0 && figure.reference > 0 ? 0 : 1;
}
