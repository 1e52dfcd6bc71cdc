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
// --count-instructions runs the service and a reference under callgrind
// instead and counts the instructions each spends on a frame: the figure
// that holds across runs and machines; with --socket-clients the clients
// (three, or --clients N) take the frames through sockets (AcquireFrames)
// instead of the D-Bus signal. --mqtt BROKER turns the service's
// MQTT bridge on against that mosquitto, started here on 127.0.0.1: the
// frames a subscriber gets at line rate, the latency to it beside the D-Bus
// path, and the service's CPU with the bridge on.
//
// --reference names the program on the second line under callgrind: the
// monitor, an adapter in a process of its own (nivora-bench-line
// read-adapter), or a bare Qt program that sends the service's signal for
// each frame it reads (nivora-bench-bareqt relay), which the clients listen
// to as well. With --mqtt the bridge is on under callgrind too.
//
// Usage: nivora-bench-service VEXBUSD VEXBUSCTL POLICY [--frames N] [--seconds S] [--mqtt MOSQUITTO]
//            [--count-instructions [--socket-clients] [--clients N] [--profiles DIR] [--goal RATIO]
//             [--reference monitor | --reference adapter NIVORA-BENCH-LINE | --reference relay NIVORA-BENCH-BAREQT]]
#include "benchfigure.h"
#include "privatebus.h"
#include "testplatform.h"

#include <adapter/nivoravexbususbadapter.h>
#include <vexbusemulator.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QLoggingCategory>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTimer>
#include <QtEndian>

#include <mosquitto.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>
#include <fcntl.h>
#include <sys/socket.h>
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


// The service and the reference on two paced lines at 115200 baud, a
// private bus and the service's settings; the service may run under a
// wrapper (callgrind).
class Setup
{
public:
    Setup(const QString &vexbusd, const QString &vexbusctl) : m_vexbusd(vexbusd), vexbusctl(vexbusctl)
    {
        platform.addAdapter(QStringLiteral("SERVED01"), QStringLiteral("ttyUSB0"));
        platform.addAdapter(QStringLiteral("DIRECT01"), QStringLiteral("ttyUSB1"));
        for (VexbusEmulator *emulator : {&served, &direct})
            emulator->setLinePacing(true);
    }
    ~Setup() { stop(); }

    void stop()
    {
        for (QProcess *process : {&monitor, &service}) {
            if (process->state() == QProcess::NotRunning)
                continue;
            process->terminate();
            if (!process->waitForFinished(10000))
                process->kill();
            process->waitForFinished(1000);
        }
    }

    bool start(const QString &policy, const QByteArray &settings, const QStringList &wrapper = {})
    {
        if (!served.attach(platform.masterFd(QStringLiteral("ttyUSB0"))) || !direct.attach(platform.masterFd(QStringLiteral("ttyUSB1")))) {
            std::fprintf(stderr, "cannot attach the emulators (run under umockdev-wrapper)\n");
            return false;
        }
        if (!bus.start({policy})) {
            std::fprintf(stderr, "cannot start dbus-daemon\n");
            return false;
        }
        QFile file(directory.filePath(QStringLiteral("vexbusd.conf")));
        if (!file.open(QIODevice::WriteOnly) || file.write("[Adapters]\nIgnore=DIRECT01\n" + settings) < 0)
            return false;
        file.close();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().toUtf8());
        qputenv("QT_LOGGING_RULES", "*.debug=false");
        service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        service.setStandardOutputFile(QProcess::nullDevice());
        const QStringList arguments{m_vexbusd, QStringLiteral("--config"), file.fileName()};
        service.start(wrapper.isEmpty() ? m_vexbusd : wrapper.first(), wrapper.mid(1) + arguments.mid(wrapper.isEmpty() ? 1 : 0));
        client = QDBusConnection::connectToBus(bus.address(), QStringLiteral("bench"));
        return true;
    }

    bool serviceAvailable()
    {
        if (!client.interface()->isServiceRegistered(serviceName))
            return false;
        QDBusMessage get = QDBusMessage::createMethodCall(serviceName, servedPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
        get << interfaceName << QStringLiteral("Available");
        QDBusPendingCall pending = client.asyncCall(get, 5000);
        waitUntil([&pending]() { return pending.isFinished(); }, 6000);
        return pending.reply().arguments().value(0).value<QDBusVariant>().variant().toBool();
    }

    // Clients of the service that listen to the served line's frames.
    void addListeners(int count, QElapsedTimer *clock)
    {
        for (int i = 0; i < count; ++i) {
            listeners.append(QDBusConnection::connectToBus(bus.address(), QStringLiteral("listener%1").arg(i)));
            listenerReceipts.emplace_back(new Receipts);
            listenerReceipts.back()->clock = clock;
            listeners.last().connect(serviceName, servedPath, interfaceName, QStringLiteral("BusFrameReceived"), listenerReceipts.back().get(),
                                     SLOT(take(QByteArray)));
        }
    }
    // The same, each through a frame socket of its own (AcquireFrames);
    // false when the service gives none.
    bool addSocketListeners(int count, QElapsedTimer *clock)
    {
        for (int i = 0; i < count; ++i) {
            listeners.append(QDBusConnection::connectToBus(bus.address(), QStringLiteral("listener%1").arg(i)));
            QDBusMessage acquire = QDBusMessage::createMethodCall(serviceName, servedPath, interfaceName, QStringLiteral("AcquireFrames"));
            acquire << QVariantMap();
            QDBusPendingCall pending = listeners.last().asyncCall(acquire, 60000);
            waitUntil([&pending]() { return pending.isFinished(); }, 61000);
            const int socket = ::fcntl(pending.reply().arguments().value(0).value<QDBusUnixFileDescriptor>().fileDescriptor(),
                                       F_DUPFD_CLOEXEC, 0);
            if (socket < 0) {
                std::fprintf(stderr, "no frame socket: %s\n", qPrintable(pending.reply().errorMessage()));
                return false;
            }
            listenerReceipts.emplace_back(new Receipts);
            Receipts *receipts = listenerReceipts.back().get();
            receipts->clock = clock;
            auto *notifier = new QSocketNotifier(socket, QSocketNotifier::Read, receipts);
            QObject::connect(notifier, &QSocketNotifier::activated, receipts, [socket, receipts]() {
                char datagram[512];
                ssize_t size;
                while ((size = ::recv(socket, datagram, sizeof datagram, MSG_DONTWAIT)) > 16)
                    receipts->take(QByteArray(datagram + 16, int(size) - 16));
            });
            QObject::connect(receipts, &QObject::destroyed, [socket]() { ::close(socket); });
        }
        return true;
    }
    qint64 listenerFrames() const
    {
        qint64 count = 0;
        for (const auto &receipts : listenerReceipts)
            count += receipts->count;
        return count;
    }

    // vexbusctl --direct monitor on the second line; its lines are counted.
    void startMonitor(const QStringList &wrapper = {})
    {
        monitor.setStandardErrorFile(QProcess::nullDevice());
        QObject::connect(&monitor, &QProcess::readyReadStandardOutput, &monitor, [this]() {
            monitorLines += monitor.readAllStandardOutput().count('\n');
        });
        const QStringList arguments{vexbusctl, QStringLiteral("--direct"), QStringLiteral("--port"), QStringLiteral("/dev/ttyUSB1"),
                                    QStringLiteral("monitor")};
        monitor.start(wrapper.isEmpty() ? vexbusctl : wrapper.first(), wrapper.mid(1) + arguments.mid(wrapper.isEmpty() ? 1 : 0));
    }

    // Another program on the second line in place of the monitor; it shares
    // the monitor's process slot, so that stop() ends it.
    void startReference(const QString &program, const QStringList &arguments, const QStringList &wrapper)
    {
        monitor.setStandardOutputFile(QProcess::nullDevice());
        monitor.setStandardErrorFile(QProcess::nullDevice());
        monitor.start(wrapper.first(), wrapper.mid(1) + QStringList{program} + arguments);
    }

    NivoraTest::TestPlatform platform;
    VexbusEmulator served;
    VexbusEmulator direct;
    NivoraTest::PrivateBus bus;
    QTemporaryDir directory;
    QProcess service;
    QProcess monitor;
    qint64 monitorLines = 0;
    QDBusConnection client{QString()};
    QList<QDBusConnection> listeners;
    std::vector<std::unique_ptr<Receipts>> listenerReceipts;

private:
    QString m_vexbusd;

public:
    QString vexbusctl;
};

// The CPU of the service and of the monitor while both lines are full of
// 16-byte frames (21 bytes on the wire, 548 a second).
struct LineRate
{
    double elapsed = 0;
    double serviceCpu = 0;
    double monitorCpu = 0;
    qint64 sent = 0;
};

// vexbusd's CPU while the line is full, beside vexbusctl --direct monitor's
// on the other line in the same window.
BenchFigure serviceCpuFigure(const QString &figureName, const QString &subject, const LineRate &rate)
{
    BenchFigure cpu;
    cpu.figure = figureName;
    cpu.subject = subject;
    cpu.value = 100.0 * rate.serviceCpu / rate.elapsed;
    cpu.unit = QStringLiteral("% core");
    cpu.referenceName = QStringLiteral("vexbusctl --direct monitor");
    cpu.reference = 100.0 * rate.monitorCpu / rate.elapsed;
    cpu.details.insert(QStringLiteral("seconds"), rate.elapsed);
    return cpu;
}

LineRate measureLineRate(Setup &setup, double seconds, const std::function<void()> &atStart)
{
    const QByteArray frame = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    setup.served.startBusTraffic(548, frame);
    setup.direct.startBusTraffic(548, frame);
    waitUntil([]() { return false; }, 500);
    LineRate rate;
    const double serviceStart = cpuSeconds(setup.service.processId());
    const double monitorStart = cpuSeconds(setup.monitor.processId());
    const qint64 sentStart = setup.served.busTrafficFramesSent();
    atStart();
    QElapsedTimer window;
    window.start();
    waitUntil([]() { return false; }, int(seconds * 1000));
    rate.elapsed = window.nsecsElapsed() / 1e9;
    rate.serviceCpu = cpuSeconds(setup.service.processId()) - serviceStart;
    rate.monitorCpu = cpuSeconds(setup.monitor.processId()) - monitorStart;
    rate.sent = setup.served.busTrafficFramesSent() - sentStart;
    setup.served.stopBusTraffic();
    setup.direct.stopBusTraffic();
    return rate;
}

void reportLatency(const QString &figureName, const QString &subject, const QVector<double> &values, const QString &referenceName, const QVector<double> &reference,
                   const QString &goal, const QVector<double> &inProcess = {})
{
    for (const auto &figure : {qMakePair(QStringLiteral("median"), 0.5), qMakePair(QStringLiteral("p99"), 0.99)}) {
        BenchFigure latency;
        latency.figure = figureName;
        latency.subject = QStringLiteral("%1 (%2)").arg(subject, figure.first);
        latency.value = percentile(values, figure.second);
        latency.unit = QStringLiteral("ms");
        latency.referenceName = referenceName;
        latency.reference = percentile(reference, figure.second);
        latency.details.insert(QStringLiteral("addedMs"), latency.value - latency.reference);
        if (!inProcess.isEmpty())
            latency.details.insert(QStringLiteral("addedToAdapterInProcessMs"), latency.value - percentile(inProcess, figure.second));
        latency.details.insert(QStringLiteral("goal"), goal);
        latency.report();
    }
}

// A subscriber of the broker as a person's tool would be: libmosquitto with
// its own thread, noting when each frame arrived by its sequence number.
class MqttSubscriber
{
public:
    explicit MqttSubscriber(QElapsedTimer *clock) : m_clock(clock) {}
    ~MqttSubscriber()
    {
        if (!m_client)
            return;
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, false);
        mosquitto_destroy(m_client);
    }

    bool connect(quint16 port, const QByteArray &topic)
    {
        if (m_client)
            mosquitto_destroy(m_client);
        m_client = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m_client, [](struct mosquitto *, void *self, const struct mosquitto_message *message) {
            static_cast<MqttSubscriber *>(self)->take(QByteArray::fromRawData(static_cast<const char *>(message->payload), message->payloadlen));
        });
        mosquitto_subscribe_callback_set(m_client, [](struct mosquitto *, void *self, int, int, const int *) {
            static_cast<MqttSubscriber *>(self)->m_subscribed.storeRelease(1);
        });
        if (mosquitto_connect(m_client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS || mosquitto_loop_start(m_client) != MOSQ_ERR_SUCCESS
            || mosquitto_subscribe(m_client, nullptr, topic.constData(), 0) != MOSQ_ERR_SUCCESS)
            return false;
        return waitUntil([this]() { return m_subscribed.loadAcquire() == 1; }, 5000);
    }

    qint64 count() const { return m_count.loadAcquire(); }
    QHash<quint32, qint64> arrivals() const
    {
        QMutexLocker locker(&m_mutex);
        return m_arrivals;
    }

private:
    void take(const QByteArray &payload)
    {
        const qint64 now = m_clock->nsecsElapsed();
        m_count.fetchAndAddOrdered(1);
        // {"data":"<hex>",...}: the sequence is the frame's first four bytes.
        const int data = payload.indexOf("\"data\":\"");
        if (data < 0)
            return;
        bool ok = false;
        const quint32 sequence = payload.mid(data + 8, 8).toUInt(&ok, 16);
        if (!ok)
            return;
        QMutexLocker locker(&m_mutex);
        m_arrivals.insert(sequence, now);
    }

    QElapsedTimer *m_clock;
    struct mosquitto *m_client = nullptr;
    QAtomicInt m_subscribed;
    QAtomicInteger<qint64> m_count;
    mutable QMutex m_mutex;
    QHash<quint32, qint64> m_arrivals;
};

// Sends frameCount sequence frames on the served line and, 5 ms later each,
// on the direct one: the latency of the served line's frames to each of
// its receivers and of the direct line's to the adapter in this process.
bool measureLatency(Setup &setup, int frameCount, const QList<std::function<QHash<quint32, qint64>()>> &served,
                    const std::function<QHash<quint32, qint64>()> &direct, QList<QVector<double>> *servedMs, QVector<double> *directMs,
                    QElapsedTimer &clock)
{
    QHash<quint32, qint64> sentServed;
    QHash<quint32, qint64> sentDirect;
    for (quint32 sequence = 0; sequence < quint32(frameCount); ++sequence) {
        sentServed.insert(sequence, clock.nsecsElapsed());
        setup.served.sendBusData(sequenceFrame(sequence));
        waitUntil([]() { return false; }, 5);
        sentDirect.insert(sequence, clock.nsecsElapsed());
        setup.direct.sendBusData(sequenceFrame(sequence));
        waitUntil([]() { return false; }, 5);
    }
    waitUntil([&]() {
        for (const auto &arrivals : served) {
            if (arrivals().size() < frameCount)
                return false;
        }
        return direct().size() >= frameCount;
    }, 5000);
    servedMs->clear();
    for (const auto &receiver : served) {
        const QHash<quint32, qint64> arrivals = receiver();
        QVector<double> values;
        for (auto it = arrivals.cbegin(); it != arrivals.cend(); ++it) {
            if (sentServed.contains(it.key()))
                values.append((it.value() - sentServed.value(it.key())) / 1e6);
        }
        servedMs->append(values);
    }
    const QHash<quint32, qint64> directArrivals = direct();
    for (auto it = directArrivals.cbegin(); it != directArrivals.cend(); ++it) {
        if (sentDirect.contains(it.key()))
            directMs->append((it.value() - sentDirect.value(it.key())) / 1e6);
    }
    bool complete = directMs->size() >= frameCount;
    for (const QVector<double> &values : *servedMs)
        complete = complete && values.size() >= frameCount;
    if (!complete)
        std::fprintf(stderr, "frames lost: of %d, %d in process and through the service %s\n", frameCount, int(directMs->size()),
                     qPrintable([servedMs]() {
                         QStringList counts;
                         for (const QVector<double> &values : *servedMs)
                             counts.append(QString::number(values.size()));
                         return counts.join(QStringLiteral(", "));
                     }()));
    return complete;
}

int control(const QString &callgrindControl, const QString &command, qint64 pid)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(callgrindControl, {command, QString::number(pid)});
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// The instructions of a process under callgrind since its counters were
// last zeroed: callgrind_control dumps them to the file named with its pid.
qint64 dumpInstructions(const QString &callgrindControl, const QString &directory, const QString &prefix, qint64 pid, int dump)
{
    if (control(callgrindControl, QStringLiteral("-d"), pid) != 0)
        return -1;
    const QString name = QStringLiteral("%1/%2.%3.%4").arg(directory, prefix).arg(pid).arg(dump);
    QFile file(name);
    if (!waitUntil([&file]() { return file.exists() && file.size() > 0; }, 30000) || !file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "no callgrind dump %s\n", qPrintable(name));
        return -1;
    }
    const QRegularExpressionMatch totals = QRegularExpression(QStringLiteral("^(?:totals|summary): (\\d+)"), QRegularExpression::MultilineOption)
                                                   .match(QString::fromLatin1(file.readAll()));
    return totals.hasMatch() ? totals.captured(1).toLongLong() : -1;
}

// A mosquitto of the benchmark's own on a free port of 127.0.0.1.
bool startBroker(QProcess *broker, const QString &program, const QTemporaryDir &directory, quint16 *port)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return false;
    *port = probe.serverPort();
    probe.close();
    QFile config(directory.filePath(QStringLiteral("mosquitto.conf")));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    config.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n").arg(*port).toUtf8());
    config.close();
    // The broker drops root for its own user, which reads the file.
    QFile::setPermissions(directory.path(), QFile::permissions(directory.path()) | QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(config.fileName(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    broker->setStandardOutputFile(QProcess::nullDevice());
    broker->setStandardErrorFile(QProcess::nullDevice());
    broker->start(program, {QStringLiteral("-c"), config.fileName()});
    return broker->waitForStarted(5000);
}

// What --count-instructions measures: the service's clients, and the
// program on the second line whose instructions a frame are its reference.
struct CountOptions
{
    int frames = 200;
    QString profiles;
    int clients = 3;
    bool socketClients = false;
    QString mosquitto;          // the bridge on, against this broker
    QString reference;          // "monitor" (vexbusctl --direct monitor), "adapter" or "relay"
    QString referenceProgram;   // nivora-bench-line for "adapter", nivora-bench-bareqt for "relay"
    QString goal;               // of the ratio to the reference
};

int countInstructions(Setup &setup, const QString &policy, const CountOptions &options)
{
    const int frameCount = options.frames;
    const QString valgrind = QStandardPaths::findExecutable(QStringLiteral("valgrind"));
    const QString callgrindControl = QStandardPaths::findExecutable(QStringLiteral("callgrind_control"));
    if (valgrind.isEmpty() || callgrindControl.isEmpty()) {
        std::fprintf(stderr, "valgrind and callgrind_control are needed to count instructions\n");
        return 1;
    }
    // The profiles stay in the folder given, for callgrind_annotate.
    const QString out = options.profiles.isEmpty() ? setup.directory.path() : QDir(options.profiles).absolutePath();
    QDir().mkpath(out);
    auto wrapper = [&](const QString &prefix) {
        return QStringList{valgrind, QStringLiteral("--quiet"), QStringLiteral("--tool=callgrind"),
                           QStringLiteral("--callgrind-out-file=%1/%2.%p").arg(out, prefix)};
    };
    // Set and empty, it leaves GLib's dispatcher to the service as well,
    // which otherwise chooses Qt's own: every program here on the same one.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", QByteArray(""));
    // Every frame in one write, so that each program reads it at once, as
    // the receivers of the line benchmark's frames at 100 a second do.
    for (VexbusEmulator *emulator : {&setup.served, &setup.direct})
        emulator->setLinePacing(false);
    QElapsedTimer clock;
    clock.start();

    QTemporaryDir brokerDirectory;
    QProcess broker;
    const auto stopBroker = qScopeGuard([&broker, &setup]() {
        setup.stop();
        if (broker.state() == QProcess::NotRunning)
            return;
        broker.terminate();
        if (!broker.waitForFinished(5000))
            broker.kill();
    });
    std::unique_ptr<MqttSubscriber> subscriber;
    QByteArray settings;
    // Socket clients on a gateway whose clients all take sockets: the
    // service sends no signal a frame.
    if (options.socketClients)
        settings += "[DBus]\nBusFrameSignal=false\n";
    if (!options.mosquitto.isEmpty()) {
        quint16 port = 0;
        if (!startBroker(&broker, options.mosquitto, brokerDirectory, &port)) {
            std::fprintf(stderr, "cannot start %s\n", qPrintable(options.mosquitto));
            return 1;
        }
        subscriber.reset(new MqttSubscriber(&clock));
        if (!waitUntil([&]() { return subscriber->connect(port, "vexbus/SERVED01/frame"); }, 5000)) {
            std::fprintf(stderr, "cannot subscribe at the broker\n");
            return 1;
        }
        settings += QStringLiteral("[Release]\nServer=https://127.0.0.1:1/firmware\n[mqtt]\nBroker=mqtt://127.0.0.1:%1\nFrames=all\n")
                            .arg(port).toUtf8();
    }
    if (!setup.start(policy, settings, wrapper(QStringLiteral("vexbusd"))))
        return 1;
    if (options.socketClients) {
        if (!waitUntil([&]() { return setup.serviceAvailable(); }, 120000) || !setup.addSocketListeners(options.clients, &clock))
            return 1;
    } else {
        setup.addListeners(options.clients, &clock);
    }

    // The reference on the second line, counted through a file it maps
    // (the adapter, the relay) or by its lines (the monitor).
    QTemporaryFile counter(QDir::tempPath() + QStringLiteral("/nivora-bench-XXXXXX"));
    volatile unsigned long *shown = nullptr;
    std::vector<std::unique_ptr<Receipts>> relayReceipts;
    QString referenceName = QStringLiteral("vexbusctl --direct monitor");
    if (options.reference == QLatin1String("adapter") || options.reference == QLatin1String("relay")) {
        if (!counter.open() || !counter.resize(sizeof(unsigned long))
            || !(shown = reinterpret_cast<volatile unsigned long *>(counter.map(0, sizeof(unsigned long)))))
            return 1;
        *shown = 0;
        const bool relay = options.reference == QLatin1String("relay");
        referenceName = relay ? QStringLiteral("bare Qt relay, same signal") : QStringLiteral("in-process adapter");
        const QStringList arguments = relay ? QStringList{QStringLiteral("relay"), QStringLiteral("/dev/ttyUSB1"), QStringLiteral("0"), counter.fileName()}
                                            : QStringList{QStringLiteral("read-adapter"), QStringLiteral("/dev/ttyUSB1"), QStringLiteral("0"),
                                                          QStringLiteral("VexbusUsb*.debug=false"), counter.fileName()};
        // The relay's signal has as many listeners as the service's.
        for (int i = 0; relay && i < options.clients; ++i) {
            relayReceipts.emplace_back(new Receipts);
            relayReceipts.back()->clock = &clock;
            QDBusConnection listener = setup.listeners.at(i);
            listener.connect(QString(), QStringLiteral("/org/nivora/Vexbus1/adapter/RELAY01"), interfaceName,
                                             QStringLiteral("BusFrameReceived"), relayReceipts.back().get(), SLOT(take(QByteArray)));
        }
        setup.startReference(options.referenceProgram, arguments, wrapper(QStringLiteral("reference")));
    } else {
        setup.startMonitor(wrapper(QStringLiteral("vexbusctl")));
    }
    const auto referenceFrames = [&]() -> qint64 { return shown ? qint64(*shown) : setup.monitorLines; };
    // The monitor prints the adapter's state before any frame; the others
    // have opened the line when a frame comes through.
    if (!waitUntil([&]() { return (shown || setup.monitorLines > 0) && setup.serviceAvailable(); }, 120000)) {
        std::fprintf(stderr, "the service or the reference did not start under callgrind\n");
        return 1;
    }
    if (shown && !waitUntil([&]() {
            setup.direct.sendBusData(sequenceFrame(0xffffffff));
            return waitUntil([&]() { return *shown > 0; }, 1000);
        }, 120000)) {
        std::fprintf(stderr, "the reference receives no frames under callgrind\n");
        return 1;
    }
    // The bridge is connected once a frame comes through.
    if (subscriber && !waitUntil([&]() {
            setup.served.sendBusData(sequenceFrame(0xffffffff));
            return waitUntil([&]() { return subscriber->count() > 0; }, 1000);
        }, 120000)) {
        std::fprintf(stderr, "no frame reached the MQTT subscriber\n");
        return 1;
    }
    waitUntil([]() { return false; }, 1000);

    // A window without frames, then one of the same length with them: what
    // the frames cost is the difference. A frame every 20 ms leaves both
    // programs time to take each on its own, as at line rate without
    // callgrind's slowness.
    constexpr int spacingMs = 20;
    const qint64 pids[] = {setup.service.processId(), setup.monitor.processId()};
    const QString prefixes[] = {QStringLiteral("vexbusd"), shown ? QStringLiteral("reference") : QStringLiteral("vexbusctl")};
    qint64 idle[2];
    qint64 busy[2];
    for (qint64 pid : pids)
        control(callgrindControl, QStringLiteral("-z"), pid);
    waitUntil([]() { return false; }, frameCount * spacingMs);
    for (int i = 0; i < 2; ++i)
        idle[i] = dumpInstructions(callgrindControl, out, prefixes[i], pids[i], 1);
    for (qint64 pid : pids)
        control(callgrindControl, QStringLiteral("-z"), pid);
    const qint64 received = setup.listenerFrames();
    const qint64 printed = referenceFrames();
    const qint64 published = subscriber ? subscriber->count() : 0;
    QElapsedTimer window;
    window.start();
    for (quint32 sequence = 0; sequence < quint32(frameCount); ++sequence) {
        setup.served.sendBusData(sequenceFrame(sequence));
        setup.direct.sendBusData(sequenceFrame(sequence));
        waitUntil([]() { return false; }, spacingMs);
    }
    if (!waitUntil([&]() {
            return setup.listenerFrames() - received >= options.clients * frameCount && referenceFrames() - printed >= frameCount
                    && (!subscriber || subscriber->count() - published >= frameCount);
        }, 60000)) {
        std::fprintf(stderr, "frames lost under callgrind: %lld of %d by the clients, %lld of %d by the reference, %lld of %d by the subscriber\n",
                     setup.listenerFrames() - received, options.clients * frameCount, referenceFrames() - printed, frameCount,
                     subscriber ? subscriber->count() - published : 0, subscriber ? frameCount : 0);
        return 1;
    }
    // As long as the idle window.
    waitUntil([]() { return false; }, qMax(0, int(frameCount * spacingMs - window.elapsed())));
    for (int i = 0; i < 2; ++i)
        busy[i] = dumpInstructions(callgrindControl, out, prefixes[i], pids[i], 2);
    if (idle[0] < 0 || idle[1] < 0 || busy[0] < 0 || busy[1] < 0)
        return 1;

    const QString clients = options.socketClients ? QStringLiteral("%1 socket client%2").arg(options.clients).arg(options.clients == 1 ? "" : "s")
                                                  : QStringLiteral("%1 D-Bus signal client%2").arg(options.clients).arg(options.clients == 1 ? "" : "s");
    BenchFigure figure;
    figure.figure = QStringLiteral("instructions");
    figure.subject = QStringLiteral("per frame in vexbusd, %1%2%3, %4 dispatcher")
                             .arg(subscriber ? QStringLiteral("MQTT bridge, ") : QString(), clients,
                                  options.socketClients ? QStringLiteral(", no signal") : QString(),
                                  qEnvironmentVariableIsEmpty("QT_NO_GLIB") ? QStringLiteral("GLib") : QStringLiteral("Qt"));
    figure.value = double(busy[0] - idle[0]) / frameCount;
    figure.unit = QStringLiteral("instr");
    figure.referenceName = referenceName;
    figure.reference = double(busy[1] - idle[1]) / frameCount;
    figure.goal = options.goal;
    figure.details.insert(QStringLiteral("frames"), frameCount);
    figure.details.insert(QStringLiteral("idleInstructions"), double(idle[0]));
    figure.details.insert(QStringLiteral("referenceIdleInstructions"), double(idle[1]));
    figure.report();
    return 0;
}

int measureMqtt(Setup &setup, const QString &policy, const QString &mosquitto, int frameCount, double seconds)
{
    QTemporaryDir brokerDirectory;
    QProcess broker;
    quint16 port = 0;
    if (!startBroker(&broker, mosquitto, brokerDirectory, &port)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(mosquitto));
        return 1;
    }
    // The service goes first: a broker that leaves before it is a failure
    // the service would log.
    const auto stopBroker = qScopeGuard([&broker, &setup]() {
        setup.stop();
        broker.terminate();
        if (!broker.waitForFinished(5000))
            broker.kill();
    });
    QElapsedTimer clock;
    clock.start();
    MqttSubscriber subscriber(&clock);
    if (!waitUntil([&]() { return subscriber.connect(port, "vexbus/SERVED01/frame"); }, 5000)) {
        std::fprintf(stderr, "cannot subscribe at the broker\n");
        return 1;
    }
    // The bridge checks for releases too: on a port of 127.0.0.1 that
    // nobody serves, so that nothing leaves the machine.
    if (!setup.start(policy, QStringLiteral("[Release]\nServer=https://127.0.0.1:1/firmware\n[mqtt]\nBroker=mqtt://127.0.0.1:%1\nFrames=all\n")
                                     .arg(port).toUtf8()))
        return 1;
    NivoraVexbusUsbAdapter adapter;
    adapter.setPortName(QStringLiteral("/dev/ttyUSB1"));
    adapter.start();
    if (!waitUntil([&]() { return adapter.available() && setup.serviceAvailable(); }, 20000)) {
        std::fprintf(stderr, "the service or the reference adapter did not start\n");
        return 1;
    }
    // The bridge is connected once a frame comes through.
    if (!waitUntil([&]() {
            setup.served.sendBusData(sequenceFrame(0xffffffff));
            return waitUntil([&]() { return subscriber.count() > 0; }, 200);
        }, 10000)) {
        std::fprintf(stderr, "no frame reached the MQTT subscriber\n");
        return 1;
    }

    Receipts throughDBus;
    Receipts inProcess;
    throughDBus.clock = &clock;
    inProcess.clock = &clock;
    setup.client.connect(serviceName, servedPath, interfaceName, QStringLiteral("BusFrameReceived"), &throughDBus, SLOT(take(QByteArray)));
    QObject::connect(&adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived, &inProcess, &Receipts::take);
    QList<QVector<double>> servedMs;
    QVector<double> directMs;
    if (!measureLatency(setup, frameCount, {[&subscriber]() { return subscriber.arrivals(); }, [&throughDBus]() { return throughDBus.arrivals; }},
                        [&inProcess]() { return inProcess.arrivals; }, &servedMs, &directMs, clock))
        return 1;
    reportLatency(QStringLiteral("mqtt"), QStringLiteral("bus frame to an MQTT subscriber, %1 frames, paced 115200").arg(frameCount), servedMs.at(0),
                  QStringLiteral("D-Bus client, same frames"), servedMs.at(1), QStringLiteral("< 5 ms added at p99"), directMs);
    std::printf("mqtt         added latency against the adapter in process: median %.3f ms, p99 %.3f ms (goal < 5 ms at p99)\n",
                percentile(servedMs.at(0), 0.5) - percentile(directMs, 0.5), percentile(servedMs.at(0), 0.99) - percentile(directMs, 0.99));

    // Line rate: what the subscriber gets, the service's CPU with the
    // bridge on and one D-Bus client, against the monitor on the other line.
    adapter.stop();
    setup.startMonitor();
    waitUntil([]() { return false; }, 2000);
    qint64 receivedStart = 0;
    const LineRate rate = measureLineRate(setup, seconds, [&]() { receivedStart = subscriber.count(); });
    // What is still on its way when the window closes arrives after it.
    const qint64 received = subscriber.count() - receivedStart;

    BenchFigure carried;
    carried.figure = QStringLiteral("mqtt");
    carried.subject = QStringLiteral("frames to an MQTT subscriber at line rate (goal: every frame)");
    carried.value = received / rate.elapsed;
    carried.unit = QStringLiteral("frames/s");
    carried.referenceName = QStringLiteral("frames on the line");
    carried.reference = rate.sent / rate.elapsed;
    carried.details.insert(QStringLiteral("seconds"), rate.elapsed);
    carried.details.insert(QStringLiteral("framesSent"), double(rate.sent));
    carried.details.insert(QStringLiteral("framesReceived"), double(received));
    carried.report();

    serviceCpuFigure(QStringLiteral("mqtt"), QStringLiteral("vexbusd CPU at line rate, MQTT bridge and 1 D-Bus client (goal < 3 %)"), rate)
            .report();
    std::printf("mqtt         %lld frames sent in %.1f s, %lld received by the subscriber\n", rate.sent, rate.elapsed, received);
    return received >= rate.sent * 9 / 10 ? 0 : 1;
}

int measureDBus(Setup &setup, const QString &policy, int frameCount, double seconds)
{
    if (!setup.start(policy, QByteArray()))
        return 1;
    // The reference: the library's adapter in this process.
    NivoraVexbusUsbAdapter adapter;
    adapter.setPortName(QStringLiteral("/dev/ttyUSB1"));
    adapter.start();
    if (!waitUntil([&]() { return adapter.available() && setup.serviceAvailable(); }, 20000)) {
        std::fprintf(stderr, "the service or the reference adapter did not start\n");
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    Receipts throughService;
    Receipts inProcess;
    throughService.clock = &clock;
    inProcess.clock = &clock;
    setup.client.connect(serviceName, servedPath, interfaceName, QStringLiteral("BusFrameReceived"), &throughService, SLOT(take(QByteArray)));
    QObject::connect(&adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived, &inProcess, &Receipts::take);

    // Latency: one frame on each line every 10 ms, the lines 5 ms apart, so
    // that neither waits for the other in this process.
    QList<QVector<double>> serviceMs;
    QVector<double> directMs;
    if (!measureLatency(setup, frameCount, {[&throughService]() { return throughService.arrivals; }},
                        [&inProcess]() { return inProcess.arrivals; }, &serviceMs, &directMs, clock))
        return 1;
    reportLatency(QStringLiteral("service"), QStringLiteral("bus frame to a D-Bus client, %1 frames, paced 115200").arg(frameCount), serviceMs.at(0),
                  QStringLiteral("adapter in process"), directMs, QStringLiteral("< 1 ms added at p99"));
    std::printf("service      added latency: median %.3f ms, p99 %.3f ms (goal < 1 ms at p99)\n",
                percentile(serviceMs.at(0), 0.5) - percentile(directMs, 0.5), percentile(serviceMs.at(0), 0.99) - percentile(directMs, 0.99));

    // CPU: both lines full, three clients of the service, vexbusctl on the
    // other line.
    setup.addListeners(3, &clock);
    adapter.stop();
    setup.startMonitor();
    waitUntil([]() { return false; }, 2000);
    qint64 receivedStart = 0;
    const LineRate rate = measureLineRate(setup, seconds, [&]() { receivedStart = setup.listenerFrames(); });
    const qint64 received = setup.listenerFrames() - receivedStart;

    BenchFigure cpu = serviceCpuFigure(QStringLiteral("service"), QStringLiteral("vexbusd CPU at line rate, 3 clients (goal < 2 %)"), rate);
    cpu.details.insert(QStringLiteral("framesPerSecond"), rate.sent / rate.elapsed);
    cpu.details.insert(QStringLiteral("framesReceivedByClients"), double(received));
    cpu.report();
    std::printf("service      %lld frames sent in %.1f s, %lld received by the 3 clients\n", rate.sent, rate.elapsed, received);
    return received >= 3 * rate.sent * 9 / 10 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    QStringList arguments = application.arguments().mid(1);
    int frameCount = 500;
    double seconds = 5;
    bool countingInstructions = arguments.removeAll(QStringLiteral("--count-instructions")) > 0;
    CountOptions options;
    options.socketClients = arguments.removeAll(QStringLiteral("--socket-clients")) > 0;
    QString mosquitto;
    for (int i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--frames"))
            frameCount = arguments.takeAt(i + 1).toInt(), arguments.removeAt(i--);
        else if (arguments.at(i) == QLatin1String("--seconds"))
            seconds = arguments.takeAt(i + 1).toDouble(), arguments.removeAt(i--);
        else if (arguments.at(i) == QLatin1String("--mqtt"))
            mosquitto = arguments.takeAt(i + 1), arguments.removeAt(i--);
        else if (arguments.at(i) == QLatin1String("--profiles"))
            options.profiles = arguments.takeAt(i + 1), arguments.removeAt(i--);
        else if (arguments.at(i) == QLatin1String("--goal"))
            options.goal = arguments.takeAt(i + 1), arguments.removeAt(i--);
        else if (arguments.at(i) == QLatin1String("--clients"))
            options.clients = arguments.takeAt(i + 1).toInt(), arguments.removeAt(i--);
        else if (arguments.at(i) == QLatin1String("--reference")) {
            arguments.removeAt(i);
            options.reference = arguments.takeAt(i);
            if (options.reference != QLatin1String("monitor") && i < arguments.size())
                options.referenceProgram = arguments.takeAt(i);
            --i;
        }
    }
    if (arguments.size() != 3 || frameCount < 1 || seconds <= 0 || options.clients < 1
        || (!options.reference.isEmpty() && options.reference != QLatin1String("monitor") && options.referenceProgram.isEmpty())) {
        std::fprintf(stderr, "usage: nivora-bench-service VEXBUSD VEXBUSCTL POLICY [--frames N] [--seconds S] [--mqtt MOSQUITTO]\n"
                             "       [--count-instructions [--socket-clients] [--clients N] [--profiles DIR] [--goal RATIO]\n"
                             "        [--reference monitor | --reference adapter NIVORA-BENCH-LINE | --reference relay NIVORA-BENCH-BAREQT]]\n");
        return 2;
    }
    Setup setup(arguments.at(0), arguments.at(1));
    if (countingInstructions) {
        options.frames = frameCount;
        options.mosquitto = mosquitto;
        if (!mosquitto.isEmpty())
            mosquitto_lib_init();
        const int result = countInstructions(setup, arguments.at(2), options);
        if (!mosquitto.isEmpty())
            mosquitto_lib_cleanup();
        return result;
    }
    if (!mosquitto.isEmpty()) {
        mosquitto_lib_init();
        const int result = measureMqtt(setup, arguments.at(2), mosquitto, frameCount, seconds);
        mosquitto_lib_cleanup();
        return result;
    }
    return measureDBus(setup, arguments.at(2), frameCount, seconds);
}

#include "servicebench.moc"
