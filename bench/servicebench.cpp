// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// What sharing an adapter through vexbusd costs: the time a bus frame takes
// from the line to a D-Bus client, against an adapter object in the
// client's own process on a second line of the same run, and the service's
// CPU while the line is full and three clients listen, against vexbusctl
// --direct monitor on the second line. Runs under umockdev-wrapper: both
// lines are mocked ttys whose far ends are emulators in this process; the
// service is a process of its own on a private dbus-daemon.
//
// Usage: nivora-bench-service VEXBUSD VEXBUSCTL POLICY [--frames N] [--seconds S]
#include "benchfigure.h"
#include "privatebus.h"
#include "testplatform.h"

#include <adapter/nivoravexbususbadapter.h>
#include <vexbusemulator.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unistd.h>

using NivoraVexbusUsb::NivoraVexbusUsbAdapter;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

const QString serviceName = QStringLiteral("org.nivora.Vexbus1");
const QString interfaceName = QStringLiteral("org.nivora.Vexbus1.Adapter");
const QString servedPath = QStringLiteral("/org/nivora/Vexbus1/adapter/SERVED01");

// Runs the event loop until done() holds or timeoutMs passed.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs) {
        QEventLoop loop;
        QTimer::singleShot(1, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

double percentile(QVector<double> values, double fraction)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int index = qBound(0, int(fraction * values.size() + 0.5) - 1, values.size() - 1);
    return values.at(index);
}

// User and system time of a process so far, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = file.readAll();
    // The fields after the command's name, which is in parentheses.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

// Receives the frames of one line and notes when each arrived, by the
// sequence number in its first four bytes.
class Receipts : public QObject
{
    Q_OBJECT
public:
    QHash<quint32, qint64> arrivals;
    QElapsedTimer *clock = nullptr;
    qint64 count = 0;
public slots:
    void take(const QByteArray &frame)
    {
        ++count;
        if (frame.size() >= 4)
            arrivals.insert(qFromBigEndian<quint32>(frame.constData()), clock->nsecsElapsed());
    }
};

QByteArray sequenceFrame(quint32 sequence)
{
    QByteArray frame(16, '\x5a');
    qToBigEndian(sequence, frame.data());
    return frame;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    QStringList arguments = application.arguments().mid(1);
    int frameCount = 500;
    double seconds = 5;
    for (int i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--frames"))
            frameCount = arguments.takeAt(i + 1).toInt(), arguments.removeAt(i--);
        else if (arguments.at(i) == QLatin1String("--seconds"))
            seconds = arguments.takeAt(i + 1).toDouble(), arguments.removeAt(i--);
    }
    if (arguments.size() != 3 || frameCount < 1 || seconds <= 0) {
        std::fprintf(stderr, "usage: nivora-bench-service VEXBUSD VEXBUSCTL POLICY [--frames N] [--seconds S]\n");
        return 2;
    }
    const QString vexbusd = arguments.at(0);
    const QString vexbusctl = arguments.at(1);

    // Two paced lines at 115200 baud: the service's and the reference's.
    NivoraTest::TestPlatform platform;
    platform.addAdapter(QStringLiteral("SERVED01"), QStringLiteral("ttyUSB0"));
    platform.addAdapter(QStringLiteral("DIRECT01"), QStringLiteral("ttyUSB1"));
    VexbusEmulator served;
    VexbusEmulator direct;
    for (VexbusEmulator *emulator : {&served, &direct})
        emulator->setLinePacing(true);
    if (!served.attach(platform.masterFd(QStringLiteral("ttyUSB0"))) || !direct.attach(platform.masterFd(QStringLiteral("ttyUSB1")))) {
        std::fprintf(stderr, "cannot attach the emulators (run under umockdev-wrapper)\n");
        return 1;
    }

    NivoraTest::PrivateBus bus;
    if (!bus.start({arguments.at(2)})) {
        std::fprintf(stderr, "cannot start dbus-daemon\n");
        return 1;
    }
    QTemporaryDir directory;
    QFile settings(directory.filePath(QStringLiteral("vexbusd.conf")));
    if (!settings.open(QIODevice::WriteOnly) || settings.write("[Adapters]\nIgnore=DIRECT01\n") < 0)
        return 1;
    settings.close();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().toUtf8());
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QProcess service;
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(vexbusd, {QStringLiteral("--config"), settings.fileName()});

    // The reference: the library's adapter in this process.
    NivoraVexbusUsbAdapter adapter;
    adapter.setPortName(QStringLiteral("/dev/ttyUSB1"));
    adapter.start();

    QDBusConnection client = QDBusConnection::connectToBus(bus.address(), QStringLiteral("bench"));
    auto available = [&client]() {
        QDBusMessage get = QDBusMessage::createMethodCall(serviceName, servedPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
        get << interfaceName << QStringLiteral("Available");
        QDBusPendingCall pending = client.asyncCall(get, 1000);
        waitUntil([&pending]() { return pending.isFinished(); }, 2000);
        return pending.reply().arguments().value(0).value<QDBusVariant>().variant().toBool();
    };
    if (!waitUntil([&]() { return adapter.available() && client.interface()->isServiceRegistered(serviceName) && available(); }, 20000)) {
        std::fprintf(stderr, "the service or the reference adapter did not start\n");
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    Receipts throughService;
    Receipts inProcess;
    throughService.clock = &clock;
    inProcess.clock = &clock;
    client.connect(serviceName, servedPath, interfaceName, QStringLiteral("BusFrameReceived"), &throughService, SLOT(take(QByteArray)));
    QObject::connect(&adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived, &inProcess, &Receipts::take);

    // Latency: one frame on each line every 10 ms, the lines 5 ms apart, so
    // that neither waits for the other in this process.
    QHash<quint32, qint64> sentServed;
    QHash<quint32, qint64> sentDirect;
    for (quint32 sequence = 0; sequence < quint32(frameCount); ++sequence) {
        sentServed.insert(sequence, clock.nsecsElapsed());
        served.sendBusData(sequenceFrame(sequence));
        waitUntil([]() { return false; }, 5);
        sentDirect.insert(sequence, clock.nsecsElapsed());
        direct.sendBusData(sequenceFrame(sequence));
        waitUntil([]() { return false; }, 5);
    }
    waitUntil([&]() { return throughService.arrivals.size() >= frameCount && inProcess.arrivals.size() >= frameCount; }, 5000);
    QVector<double> serviceMs;
    QVector<double> directMs;
    for (quint32 sequence = 0; sequence < quint32(frameCount); ++sequence) {
        if (throughService.arrivals.contains(sequence))
            serviceMs.append((throughService.arrivals.value(sequence) - sentServed.value(sequence)) / 1e6);
        if (inProcess.arrivals.contains(sequence))
            directMs.append((inProcess.arrivals.value(sequence) - sentDirect.value(sequence)) / 1e6);
    }
    if (serviceMs.size() < frameCount || directMs.size() < frameCount) {
        std::fprintf(stderr, "frames lost: %d of %d through the service, %d of %d in process\n", int(serviceMs.size()), frameCount,
                     int(directMs.size()), frameCount);
        return 1;
    }
    const QString subject = QStringLiteral("bus frame to a D-Bus client, %1 frames, paced 115200").arg(frameCount);
    for (const auto &figure : {qMakePair(QStringLiteral("median"), 0.5), qMakePair(QStringLiteral("p99"), 0.99)}) {
        BenchFigure latency;
        latency.figure = QStringLiteral("service");
        latency.subject = QStringLiteral("%1 (%2)").arg(subject, figure.first);
        latency.value = percentile(serviceMs, figure.second);
        latency.unit = QStringLiteral("ms");
        latency.referenceName = QStringLiteral("adapter in process");
        latency.reference = percentile(directMs, figure.second);
        latency.details.insert(QStringLiteral("addedMs"), latency.value - latency.reference);
        latency.details.insert(QStringLiteral("goal"), QStringLiteral("< 1 ms added at p99"));
        latency.report();
    }
    std::printf("service      added latency: median %.3f ms, p99 %.3f ms (goal < 1 ms at p99)\n",
                percentile(serviceMs, 0.5) - percentile(directMs, 0.5), percentile(serviceMs, 0.99) - percentile(directMs, 0.99));

    // CPU: both lines full of 16-byte frames (21 bytes on the wire, 548 a
    // second), three clients of the service, vexbusctl on the other line.
    QList<QDBusConnection> listeners;
    QList<Receipts *> listenerReceipts;
    for (int i = 0; i < 3; ++i) {
        listeners.append(QDBusConnection::connectToBus(bus.address(), QStringLiteral("listener%1").arg(i)));
        listenerReceipts.append(new Receipts);
        listenerReceipts.last()->clock = &clock;
        listeners.last().connect(serviceName, servedPath, interfaceName, QStringLiteral("BusFrameReceived"), listenerReceipts.last(),
                                 SLOT(take(QByteArray)));
    }
    adapter.stop();
    QProcess monitor;
    monitor.setStandardOutputFile(QProcess::nullDevice());
    monitor.setStandardErrorFile(QProcess::nullDevice());
    monitor.start(vexbusctl, {QStringLiteral("--direct"), QStringLiteral("--port"), QStringLiteral("/dev/ttyUSB1"), QStringLiteral("monitor")});
    waitUntil([]() { return false; }, 2000);
    const QByteArray frame = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    served.startBusTraffic(548, frame);
    direct.startBusTraffic(548, frame);
    waitUntil([]() { return false; }, 500);
    const double serviceStart = cpuSeconds(service.processId());
    const double monitorStart = cpuSeconds(monitor.processId());
    const qint64 sentStart = served.busTrafficFramesSent();
    qint64 receivedStart = 0;
    for (const Receipts *receipts : listenerReceipts)
        receivedStart += receipts->count;
    QElapsedTimer window;
    window.start();
    waitUntil([]() { return false; }, int(seconds * 1000));
    const double elapsed = window.nsecsElapsed() / 1e9;
    const double serviceCpu = cpuSeconds(service.processId()) - serviceStart;
    const double monitorCpu = cpuSeconds(monitor.processId()) - monitorStart;
    const qint64 sent = served.busTrafficFramesSent() - sentStart;
    qint64 received = -receivedStart;
    for (const Receipts *receipts : listenerReceipts)
        received += receipts->count;
    served.stopBusTraffic();
    direct.stopBusTraffic();

    BenchFigure cpu;
    cpu.figure = QStringLiteral("service");
    cpu.subject = QStringLiteral("vexbusd CPU at line rate, 3 clients (goal < 2 %)");
    cpu.value = 100.0 * serviceCpu / elapsed;
    cpu.unit = QStringLiteral("% core");
    cpu.referenceName = QStringLiteral("vexbusctl --direct monitor");
    cpu.reference = 100.0 * monitorCpu / elapsed;
    cpu.details.insert(QStringLiteral("seconds"), elapsed);
    cpu.details.insert(QStringLiteral("framesPerSecond"), sent / elapsed);
    cpu.details.insert(QStringLiteral("framesReceivedByClients"), double(received));
    cpu.report();
    std::printf("service      %lld frames sent in %.1f s, %lld received by the 3 clients\n", sent, elapsed, received);
    qDeleteAll(listenerReceipts);

    monitor.terminate();
    monitor.waitForFinished(5000);
    service.terminate();
    if (!service.waitForFinished(5000))
        service.kill();
    return received >= 3 * sent * 9 / 10 ? 0 : 1;
}

#include "servicebench.moc"
