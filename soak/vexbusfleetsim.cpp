// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbus-fleet-sim [--gateways N] [--failing N] [--idle-seconds N]: a fleet
// of gateways on this machine. Each gateway is a vexbusd of its own with its
// own machine id, private bus, state and cache directories and a mocked
// adapter (a umockdev testbed of its own, so that each service sees its own
// adapter only) whose controller is an emulator in this process; all of
// them read one settings file and share one mosquitto and one HTTPS release
// server with release 1.5.0, signed. The fleet idles, then a signed fleet
// policy rolls 1.5.0 out in stages, as an operator would, and the program
// measures at the broker what the fleet costs it and checks that every
// gateway acted on the policy as it says. Run it under umockdev-wrapper, as
// make fleet-sim does.

#include "httpsserver.h"
#include "privatebus.h"
#include "soaksupport.h"
#include "testplatform.h"
#include "vexbusemulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>

#include <mosquitto.h>

#include <csignal>
#include <poll.h>
#include <cstdio>
#include <algorithm>
#include <memory>
#include <vector>

using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

const QVersionNumber installedVersion(1, 4, 12);
const QVersionNumber releasedVersion(1, 5, 0);

// Every daemon of the simulation by process id: a simulation that is
// killed or crashes takes them along.
std::vector<pid_t> simulationChildren;

void onFatalSignal(int signal)
{
    for (pid_t child : simulationChildren) {
        if (child > 0)
            ::kill(child, SIGKILL);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

bool writeFile(const QString &fileName, const QByteArray &content)
{
    QFile file(fileName);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// What the broker carried in a span of time: the messages that reached the
// simulation's subscriber on '#' (every message a gateway published, once,
// with its topic and payload bytes), and the broker's own counters ($SYS) of
// messages and bytes received and sent, its protocol's headers, pings and
// acknowledgements included.
struct Traffic
{
    qint64 messages = 0;
    qint64 bytes = 0;
    qint64 sysMessagesReceived = 0;
    qint64 sysBytesReceived = 0;
    qint64 sysMessagesSent = 0;
    qint64 sysBytesSent = 0;

    Traffic operator-(const Traffic &other) const
    {
        return {messages - other.messages, bytes - other.bytes, sysMessagesReceived - other.sysMessagesReceived,
                sysBytesReceived - other.sysBytesReceived, sysMessagesSent - other.sysMessagesSent, sysBytesSent - other.sysBytesSent};
    }
};

// The simulation's MQTT client: subscribes to every topic and to the
// broker's counters, counts what it receives and keeps the last message of
// each topic, and publishes the fleet policy. libmosquitto, driven from the
// event loop.
class Observer
{
public:
    ~Observer()
    {
        if (m_client)
            mosquitto_destroy(m_client);
    }

    bool start(quint16 port)
    {
        m_client = mosquitto_new("vexbus-fleet-sim", true, this);
        if (!m_client)
            return false;
        mosquitto_subscribe_callback_set(m_client, [](struct mosquitto *, void *self, int, int, const int *) {
            ++static_cast<Observer *>(self)->m_subscriptions;
        });
        mosquitto_message_callback_set(m_client, [](struct mosquitto *, void *self, const struct mosquitto_message *message) {
            static_cast<Observer *>(self)->onMessage(message);
        });
        if (mosquitto_connect(m_client, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS)
            return false;
        mosquitto_subscribe(m_client, nullptr, "#", 0);
        mosquitto_subscribe(m_client, nullptr, "$SYS/broker/#", 0);
        // libmosquitto reads one packet a call: everything that waits is
        // read now, else a rollout's messages would queue in the socket
        // and arrive seconds late.
        m_timer.callOnTimeout([this]() {
            pollfd socket{mosquitto_socket(m_client), POLLIN, 0};
            for (int packets = 0; packets < 100000; ++packets) {
                if (mosquitto_loop(m_client, 0, 1) != MOSQ_ERR_SUCCESS || ::poll(&socket, 1, 0) != 1 || !(socket.revents & POLLIN))
                    break;
            }
        });
        m_timer.start(10);
        for (QDeadlineTimer wait(5000); !wait.hasExpired() && m_subscriptions < 2;)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return m_subscriptions == 2;
    }

    bool publish(const QString &topic, const QByteArray &payload, bool retain)
    {
        return mosquitto_publish(m_client, nullptr, topic.toUtf8().constData(), int(payload.size()), payload.constData(), 1, retain)
                == MOSQ_ERR_SUCCESS;
    }

    // The counts so far, with the broker's counters as last published.
    Traffic traffic() const
    {
        const auto counter = [this](const char *name) { return m_last.value(QLatin1String(name)).toLongLong(); };
        return {m_messages, m_bytes, counter("$SYS/broker/publish/messages/received"), counter("$SYS/broker/bytes/received"),
                counter("$SYS/broker/publish/messages/sent"), counter("$SYS/broker/bytes/sent")};
    }

    // Waits until the broker published its counters anew (once a second),
    // so that they include what happened until now.
    void awaitCounters()
    {
        const int seen = m_counterUpdates;
        for (QDeadlineTimer wait(3000); !wait.hasExpired() && m_counterUpdates < seen + 1;)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }

    QByteArray last(const QString &topic) const { return m_last.value(topic); }
    // Every message of topics under prefix, in order of arrival.
    QList<QPair<QString, QByteArray>> history(const QString &prefix) const
    {
        QList<QPair<QString, QByteArray>> messages;
        for (const auto &message : m_history) {
            if (message.first.startsWith(prefix))
                messages.append(message);
        }
        return messages;
    }
    int count() const { return int(m_history.size()); }
    const QList<QPair<QString, QByteArray>> &all() const { return m_history; }

private:
    void onMessage(const struct mosquitto_message *message)
    {
        const QString topic = QString::fromUtf8(message->topic);
        const QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
        m_last.insert(topic, payload);
        if (topic.startsWith(QLatin1String("$SYS/"))) {
            if (topic == QLatin1String("$SYS/broker/bytes/received"))
                ++m_counterUpdates;
            return;
        }
        if (message->retain)
            return;
        ++m_messages;
        m_bytes += qint64(strlen(message->topic)) + message->payloadlen;
        m_history.append({topic, payload});
    }

    struct mosquitto *m_client = nullptr;
    int m_subscriptions = 0;
    int m_counterUpdates = 0;
    QTimer m_timer;
    qint64 m_messages = 0;
    qint64 m_bytes = 0;
    QMap<QString, QByteArray> m_last;
    QList<QPair<QString, QByteArray>> m_history;
};

// One gateway: its adapter's testbed and controller, its bus, and its
// service with the files that are its own.
struct Gateway
{
    int index = 0;
    QString serial;
    QString device;
    bool failing = false;
    std::unique_ptr<NivoraTest::TestPlatform> platform;
    std::unique_ptr<VexbusEmulator> emulator;
    std::unique_ptr<NivoraTest::PrivateBus> bus;
    std::unique_ptr<QProcess> service;
    QString directory;
    QStringList tail; // the service's last lines
    QByteArray pending;
    QString id; // the gateway id it published
    // Each time the controller was sent into its bootloader, with the
    // stage of the rollout at the time.
    struct Entry
    {
        qint64 at;
        int stage;
    };
    QList<Entry> bootloaderEntries;
};

} // namespace

class FleetSimulation : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        int gateways = 20;
        int failing = 2;
        int idleSeconds = 60;
        double frameRate = 20;
        QString frames;
        int stageTimeout = 180;
        int closedWindowSeconds = 15;
    };

    explicit FleetSimulation(const Options &options) : m_options(options) {}
    ~FleetSimulation() override;

    int run();

private:
    QString path(const QString &name) const { return m_directory.filePath(name); }
    bool prepareRelease();
    bool startBroker();
    bool writeSettings();
    bool startGateway(Gateway &gateway);
    bool awaitFleetOnline();
    void measureIdle();
    struct Stage
    {
        int sequence;
        int percent;
        bool windowOpen;
        qint64 convergedMs = -1;
        qint64 publishedAt = -1;
        QDateTime publishedUtc = {};
        int admitted = 0;
        // Of the updates the stage started: how long after the policy each
        // began, and how long it took (from the histories).
        QList<qint64> startDelays = {};
        QList<qint64> durations = {};
    };
    bool publishPolicy(const Stage &stage);
    void runStage(int index);
    bool converged(const Stage &stage, QStringList *waitingFor) const;
    int bucket(const QString &serial) const;
    int bucket(const Gateway &gateway) const { return bucket(gateway.serial); }
    static QString serialOf(int index) { return QStringLiteral("FLEET%1").arg(index + 1, 3, 10, QLatin1Char('0')); }
    QJsonObject policyState(const Gateway &gateway) const;
    void checkRollout();
    void checkIdentities();
    void stopGateways();
    void checkHistories();
    void checkFleetView();
    bool report();
    void check(bool held, const QString &what);
    void wait(int ms);
    double perGatewayPerSecond(qint64 count, qint64 ms) const { return ms > 0 ? count * 1000.0 / ms / qMax(1, int(m_gateways.size())) : 0; }

    Options m_options;
    QTemporaryDir m_directory;
    QElapsedTimer m_clock;
    NivoraTest::HttpsServer m_releaseServer;
    std::unique_ptr<QProcess> m_broker;
    QByteArray m_brokerLog;
    quint16 m_brokerPort = 0;
    Observer m_observer;
    std::vector<std::unique_ptr<Gateway>> m_gateways;
    QString m_settings;
    // The rollout's stages; m_stage is the one published last (1-based, 0
    // before any).
    QList<Stage> m_stages;
    int m_stage = 0;
    QString m_rollout = QStringLiteral("rollout-1.5.0");
    QString m_image;
    // How long each update by the policy took, from its history entry.
    QList<qint64> m_updateDurations;
    // The messages of the rollout by topic, gateway and adapter names
    // replaced: what a rollout costs the broker, and why.
    QMap<QString, QPair<qint64, qint64>> m_rolloutTopics;
    // Figures, by phase, for the summary.
    struct Phase
    {
        QString name;
        qint64 ms = 0;
        Traffic traffic;
    };
    QList<Phase> m_phases;
    QList<QPair<QString, bool>> m_checks;
    QStringList m_problems;
};

FleetSimulation::~FleetSimulation()
{
    for (const auto &gateway : m_gateways) {
        if (gateway->service && gateway->service->state() != QProcess::NotRunning) {
            gateway->service->kill();
            gateway->service->waitForFinished(5000);
        }
    }
    if (m_broker && m_broker->state() != QProcess::NotRunning) {
        m_broker->kill();
        m_broker->waitForFinished(5000);
    }
}

void FleetSimulation::wait(int ms)
{
    for (QDeadlineTimer deadline(ms); !deadline.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void FleetSimulation::check(bool held, const QString &what)
{
    m_checks.append({what, held});
}

int FleetSimulation::run()
{
    m_clock.start();
    // The broker drops root for its own user, and the services' files are
    // read by it and by the bus daemons.
    QFile::setPermissions(m_directory.path(), QFile::permissions(m_directory.path()) | QFile::ReadOther | QFile::ExeOther);
    if (!prepareRelease())
        return 2;
    m_brokerPort = NivoraSoak::freePort();
    if (!startBroker() || !m_observer.start(m_brokerPort)) {
        std::fprintf(stderr, "vexbus-fleet-sim: cannot start mosquitto or subscribe to it\n");
        return 2;
    }
    if (!writeSettings())
        return 2;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGSEGV, SIGABRT, SIGBUS, SIGFPE})
        std::signal(signal, onFatalSignal);

    std::printf("fleet simulation: %d gateways (%d of them refuse the new application), one settings file, one mosquitto, "
                "bus frames at %.0f/s on every adapter\n", m_options.gateways, m_options.failing, m_options.frameRate);
    std::fflush(stdout);
    const Traffic beforeStart = m_observer.traffic();
    const qint64 startedAt = m_clock.elapsed();
    // The controllers that refuse the application are taken from both ends
    // of the buckets: the first fails in the first stage that admits it,
    // among others that go on, the next one in the last stage.
    QList<int> byBucket;
    for (int i = 0; i < m_options.gateways; ++i)
        byBucket.append(i);
    std::stable_sort(byBucket.begin(), byBucket.end(), [this](int a, int b) { return bucket(serialOf(a)) < bucket(serialOf(b)); });
    QSet<int> failing;
    for (int k = 0; k < m_options.failing; ++k)
        failing.insert(k % 2 == 0 ? byBucket.at(k / 2) : byBucket.at(m_options.gateways - 1 - k / 2));
    for (int i = 0; i < m_options.gateways; ++i) {
        auto gateway = std::make_unique<Gateway>();
        gateway->index = i;
        gateway->failing = failing.contains(i);
        if (!startGateway(*gateway)) {
            std::fprintf(stderr, "vexbus-fleet-sim: cannot start gateway %d\n", i + 1);
            return 2;
        }
        m_gateways.push_back(std::move(gateway));
    }
    for (pid_t daemon : NivoraSoak::busDaemons())
        simulationChildren.push_back(daemon);
    if (!awaitFleetOnline()) {
        std::fprintf(stderr, "vexbus-fleet-sim: the fleet did not come online within 120 s\n");
        for (const auto &gateway : m_gateways)
            std::fprintf(stderr, "gateway %d said:\n%s\n", gateway->index + 1, qPrintable(gateway->tail.join(QLatin1Char('\n'))));
        stopGateways();
        return 1;
    }
    m_observer.awaitCounters();
    m_phases.append({QStringLiteral("start (connect, discovery)"), m_clock.elapsed() - startedAt,
                     m_observer.traffic() - beforeStart});

    measureIdle();

    // 10 %, then 50 % while the window is closed, then open, then 100 %.
    m_stages = {{1, 10, true}, {2, 50, false}, {3, 50, true}, {4, 100, true}};
    const Traffic beforeRollout = m_observer.traffic();
    const qint64 rolloutAt = m_clock.elapsed();
    const int firstRolloutMessage = m_observer.count();
    for (int i = 0; i < m_stages.size(); ++i)
        runStage(i);
    m_phases.append({QStringLiteral("whole rollout"), m_clock.elapsed() - rolloutAt, m_observer.traffic() - beforeRollout});
    for (int i = firstRolloutMessage; i < m_observer.count(); ++i) {
        QString topic = m_observer.all().at(i).first;
        for (const auto &gateway : m_gateways)
            topic.replace(gateway->serial, QStringLiteral("ADAPTER")).replace(gateway->id, QStringLiteral("GATEWAY"));
        QPair<qint64, qint64> &counts = m_rolloutTopics[topic];
        ++counts.first;
        counts.second += m_observer.all().at(i).first.toUtf8().size() + m_observer.all().at(i).second.size();
    }
    // What a few more seconds bring: nothing should start after the end.
    wait(2000);

    checkRollout();
    checkHistories();
    checkFleetView();
    checkIdentities();
    stopGateways();
    return report() ? 0 : 1;
}

bool FleetSimulation::prepareRelease()
{
    QString error;
    if (!m_releaseServer.start(m_directory.path(), path(QStringLiteral("www")), &error, false)) {
        std::fprintf(stderr, "vexbus-fleet-sim: cannot start the release server: %s\n", qPrintable(error));
        return false;
    }
    const QString image = path(QStringLiteral("www/firmware/vexbus-adapter-1.5.0.cyacd"));
    m_image = image;
    QDir().mkpath(QFileInfo(image).path());
    QProcess keygen;
    keygen.setProcessChannelMode(QProcess::ForwardedChannels);
    keygen.start(QStringLiteral(VEXBUS_RELEASE), {QStringLiteral("keygen"), path(QStringLiteral("publisher"))});
    QProcess write;
    write.setProcessChannelMode(QProcess::ForwardedChannels);
    if (!keygen.waitForFinished(30000) || keygen.exitCode() != 0 || !QFile::copy(QStringLiteral(SAMPLE_FIRMWARE), image))
        return false;
    write.start(QStringLiteral(VEXBUS_RELEASE), {QStringLiteral("write"), image, QStringLiteral("--release-version"), releasedVersion.toString(),
                                                 QStringLiteral("--key"), path(QStringLiteral("publisher.key"))});
    if (!write.waitForFinished(30000) || write.exitCode() != 0) {
        std::fprintf(stderr, "vexbus-fleet-sim: vexbus-release could not write the release\n");
        return false;
    }
    return true;
}

bool FleetSimulation::startBroker()
{
    // Connections and their ends are notices in the log, on stderr (unbuffered); the
    // counters go out on $SYS every second.
    const QString config = path(QStringLiteral("mosquitto.conf"));
    if (!writeFile(config, QStringLiteral("allow_anonymous true\npersistence false\nsys_interval 1\nlog_dest stderr\n"
                                          "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
                                          "connection_messages true\nlistener %1 127.0.0.1\n").arg(m_brokerPort).toUtf8()))
        return false;
    QFile::setPermissions(config, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    m_broker.reset(new QProcess);
    m_broker->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_broker.get(), &QProcess::readyReadStandardOutput, this, [this]() { m_brokerLog += m_broker->readAllStandardOutput(); });
    m_broker->start(QStringLiteral(MOSQUITTO_BROKER), {QStringLiteral("-c"), config});
    if (!m_broker->waitForStarted(5000))
        return false;
    simulationChildren.push_back(pid_t(m_broker->processId()));
    return NivoraSoak::awaitListening(m_brokerPort, 5000);
}

// One file for the whole fleet, as an operator copies it to every gateway:
// no gateway id, no client id of its own.
bool FleetSimulation::writeSettings()
{
    m_settings = path(QStringLiteral("vexbusd.conf"));
    QByteArray text = "[Release]\nServer=" + m_releaseServer.url(QStringLiteral("/firmware")).toUtf8()
            + "\nCaCertificate=" + path(QStringLiteral("server.crt")).toUtf8()
            + "\nTrustedKeys=" + path(QStringLiteral("publisher.pub")).toUtf8()
            + "\n[mqtt]\nBroker=mqtt://127.0.0.1:" + QByteArray::number(m_brokerPort) + "\n";
    if (!m_options.frames.isEmpty())
        text += "Frames=" + m_options.frames.toUtf8() + "\n";
    if (!writeFile(m_settings, text))
        return false;
    QFile::setPermissions(m_settings, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    return true;
}

bool FleetSimulation::startGateway(Gateway &gateway)
{
    const int number = gateway.index + 1;
    gateway.serial = serialOf(gateway.index);
    // Port names of their own: the gateways share this machine's serial-port
    // lock directory.
    gateway.device = QStringLiteral("ttyUSB%1").arg(gateway.index);
    gateway.directory = path(QStringLiteral("gateway-%1").arg(number));
    QDir().mkpath(gateway.directory);
    gateway.platform.reset(new NivoraTest::TestPlatform);
    gateway.platform->addAdapter(gateway.serial, gateway.device);
    gateway.emulator.reset(new VexbusEmulator);
    if (!gateway.emulator->attach(gateway.platform->masterFd(gateway.device)))
        return false;
    gateway.emulator->setFirmwareVersion(installedVersion);
    gateway.emulator->setFirmwareVersionAfterUpdate(releasedVersion);
    // The controller's bootloader finds the new application wrong, every time.
    if (gateway.failing)
        gateway.emulator->bootloader().setApplicationInvalid(true);
    Gateway *self = &gateway;
    connect(gateway.emulator.get(), &VexbusEmulator::modeChanged, this, [this, self](VexbusEmulator::Mode mode) {
        if (mode == VexbusEmulator::ModeBootloader)
            self->bootloaderEntries.append({m_clock.elapsed(), m_stage});
    });
    if (m_options.frameRate > 0)
        gateway.emulator->startBusTraffic(m_options.frameRate);

    gateway.bus.reset(new NivoraTest::PrivateBus);
    if (!gateway.bus->start({QStringLiteral(VEXBUSD_POLICY)}))
        return false;
    // A machine id of its own, as each gateway has.
    const QByteArray machineId = QCryptographicHash::hash("fleet-sim machine " + QByteArray::number(number), QCryptographicHash::Md5).toHex();
    if (!writeFile(gateway.directory + QStringLiteral("/machine-id"), machineId + '\n'))
        return false;

    gateway.service.reset(new QProcess);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("UMOCKDEV_DIR"), gateway.platform->rootDir());
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), gateway.bus->address());
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), gateway.directory + QStringLiteral("/cache"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    gateway.service->setProcessEnvironment(environment);
    gateway.service->setProcessChannelMode(QProcess::MergedChannels);
    QProcess *service = gateway.service.get();
    connect(service, &QProcess::readyReadStandardOutput, this, [self, service]() {
        self->pending += service->readAllStandardOutput();
        for (int end; (end = self->pending.indexOf('\n')) >= 0;) {
            self->tail.append(QString::fromUtf8(self->pending.left(end)));
            self->pending.remove(0, end + 1);
            if (self->tail.count() > 30)
                self->tail.removeFirst();
        }
    });
    service->start(QStringLiteral(VEXBUSD), {QStringLiteral("--config"), m_settings,
                                            QStringLiteral("--machine-id"), gateway.directory + QStringLiteral("/machine-id"),
                                            QStringLiteral("--state-directory"), gateway.directory + QStringLiteral("/state")});
    if (!service->waitForStarted(5000))
        return false;
    simulationChildren.push_back(pid_t(service->processId()));
    return true;
}

// Every gateway's bridge online and its adapter's state on the broker,
// connected, naming the gateway.
bool FleetSimulation::awaitFleetOnline()
{
    for (QDeadlineTimer wait(120000); !wait.hasExpired();) {
        int online = 0;
        for (const auto &gateway : m_gateways) {
            const QJsonObject state = json(m_observer.last(QStringLiteral("vexbus/%1/state").arg(gateway->serial)));
            gateway->id = state.value(QStringLiteral("gateway")).toString();
            if (!gateway->id.isEmpty() && state.value(QStringLiteral("state")).toString() == QLatin1String("connected")
                && m_observer.last(QStringLiteral("vexbus/bridge/%1/state").arg(gateway->id)) == "online")
                ++online;
        }
        if (online == int(m_gateways.size()))
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    }
    return false;
}

void FleetSimulation::measureIdle()
{
    // Settled: the last discovery and state messages are out.
    wait(2000);
    m_observer.awaitCounters();
    const Traffic before = m_observer.traffic();
    const qint64 at = m_clock.elapsed();
    wait(m_options.idleSeconds * 1000);
    m_observer.awaitCounters();
    m_phases.append({QStringLiteral("idle"), m_clock.elapsed() - at, m_observer.traffic() - before});
}

void FleetSimulation::checkIdentities()
{
    // Names of their own.
    QSet<QString> ids;
    bool wellFormed = true;
    for (const auto &gateway : m_gateways) {
        ids.insert(gateway->id);
        wellFormed = wellFormed && QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(gateway->id).hasMatch();
    }
    check(ids.size() == int(m_gateways.size()) && wellFormed,
          QStringLiteral("each gateway named itself after its machine id: %1 distinct gateway ids for %2 gateways").arg(ids.size()).arg(m_gateways.size()));

    // Each service saw its own adapter only: every adapter's state always
    // named one gateway, and each gateway published one adapter.
    QMap<QString, QSet<QString>> gatewaysOfAdapter;
    QMap<QString, QSet<QString>> adaptersOfGateway;
    for (const auto &message : m_observer.history(QStringLiteral("vexbus/"))) {
        const QStringList levels = message.first.split(QLatin1Char('/'));
        if (levels.size() != 3 || levels.at(2) != QLatin1String("state") || levels.at(1) == QLatin1String("bridge"))
            continue;
        const QString gatewayId = json(message.second).value(QStringLiteral("gateway")).toString();
        gatewaysOfAdapter[levels.at(1)].insert(gatewayId);
        adaptersOfGateway[gatewayId].insert(levels.at(1));
    }
    bool ownAdapters = gatewaysOfAdapter.size() == int(m_gateways.size()) && adaptersOfGateway.size() == int(m_gateways.size());
    for (const auto &gateway : m_gateways)
        ownAdapters = ownAdapters && adaptersOfGateway.value(gateway->id) == QSet<QString>{gateway->serial};
    check(ownAdapters, QStringLiteral("each gateway saw and published its own adapter only (%1 adapters on the broker)").arg(gatewaysOfAdapter.size()));

    // One connection each, as the broker saw them: no client-id fight.
    QMap<QString, int> connections;
    static const QRegularExpression connected(QStringLiteral("New client connected from \\S+ as (\\S+)"));
    const QString log = QString::fromUtf8(m_brokerLog);
    for (auto match = connected.globalMatch(log); match.hasNext();) {
        const QString client = match.next().captured(1);
        if (client.startsWith(QLatin1String("vexbusd")))
            ++connections[client];
    }
    QStringList wrong;
    for (const auto &gateway : m_gateways) {
        const int count = connections.value(QStringLiteral("vexbusd-") + gateway->id);
        if (count != 1)
            wrong.append(QStringLiteral("%1 connected %2 times").arg(gateway->serial).arg(count));
    }
    const int takeovers = int(log.count(QLatin1String("already connected, closing old connection")));
    check(wrong.isEmpty() && connections.size() == int(m_gateways.size()) && takeovers == 0,
          QStringLiteral("each gateway connected to the broker exactly once under a client id of its own (%1 client ids, %2 take-overs%3)")
                  .arg(connections.size()).arg(takeovers).arg(wrong.isEmpty() ? QString() : QStringLiteral(": ") + wrong.join(QStringLiteral(", "))));
}

// As the fleet guide defines it: the first four bytes of
// SHA-256(ROLLOUT "/" SERIAL), big-endian, modulo 100.
int FleetSimulation::bucket(const QString &serial) const
{
    const QByteArray hash = QCryptographicHash::hash((m_rollout + QLatin1Char('/') + serial).toUtf8(), QCryptographicHash::Sha256);
    const quint32 head = (quint32(quint8(hash.at(0))) << 24) | (quint32(quint8(hash.at(1))) << 16) | (quint32(quint8(hash.at(2))) << 8)
            | quint32(quint8(hash.at(3)));
    return int(head % 100);
}

QJsonObject FleetSimulation::policyState(const Gateway &gateway) const
{
    return json(m_observer.last(QStringLiteral("vexbus/bridge/%1/policy").arg(gateway.id)));
}

// Written and signed with vexbus-release as an operator does, and published
// retained on the fleet topic.
bool FleetSimulation::publishPolicy(const Stage &stage)
{
    const QString folder = path(QStringLiteral("policy-%1").arg(stage.sequence));
    QDir().mkpath(folder);
    // Four hours around now, or two hours from now on, in local time as the
    // gateways keep it.
    const QTime now = QTime::currentTime();
    const QString window = stage.windowOpen ? now.addSecs(-7200).toString(QStringLiteral("HH:mm")) + QLatin1Char('-') + now.addSecs(7200).toString(QStringLiteral("HH:mm"))
                                            : now.addSecs(7200).toString(QStringLiteral("HH:mm")) + QLatin1Char('-') + now.addSecs(14400).toString(QStringLiteral("HH:mm"));
    QProcess write;
    write.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    write.setStandardOutputFile(QProcess::nullDevice());
    write.start(QStringLiteral(VEXBUS_RELEASE), {QStringLiteral("policy"), folder, QStringLiteral("--sequence"), QString::number(stage.sequence),
                                                 QStringLiteral("--target"), releasedVersion.toString(), QStringLiteral("--approve"), m_image,
                                                 QStringLiteral("--rollout"), m_rollout, QStringLiteral("--percent"), QString::number(stage.percent),
                                                 QStringLiteral("--window"), window, QStringLiteral("--key"), path(QStringLiteral("publisher.key"))});
    if (!write.waitForFinished(30000) || write.exitStatus() != QProcess::NormalExit || write.exitCode() != 0)
        return false;
    QProcess payload;
    payload.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    payload.start(QStringLiteral(VEXBUS_RELEASE), {QStringLiteral("payload"), folder + QStringLiteral("/policy.json")});
    if (!payload.waitForFinished(30000) || payload.exitStatus() != QProcess::NormalExit || payload.exitCode() != 0)
        return false;
    const QByteArray message = payload.readAllStandardOutput().trimmed();
    return !message.isEmpty() && m_observer.publish(QStringLiteral("vexbus/fleet/policy"), message, true);
}

// Every gateway holds the stage's policy; every adapter in the stage's
// buckets is on the new firmware with its update succeeded, or, for a
// controller that refuses it, its update failed and its gateway's rollout
// halted. A closed window converges once the policy is held.
bool FleetSimulation::converged(const Stage &stage, QStringList *waitingFor) const
{
    waitingFor->clear();
    for (const auto &gateway : m_gateways) {
        const QJsonObject policy = policyState(*gateway);
        if (policy.value(QStringLiteral("sequence")).toInt() != stage.sequence) {
            waitingFor->append(gateway->serial + QStringLiteral(" (policy not held)"));
            continue;
        }
        if (!stage.windowOpen || bucket(*gateway) >= stage.percent)
            continue;
        const QJsonObject state = json(m_observer.last(QStringLiteral("vexbus/%1/state").arg(gateway->serial)));
        const QJsonObject last = json(m_observer.last(QStringLiteral("vexbus/%1/update/last").arg(gateway->serial)));
        const bool done = gateway->failing
                ? policy.value(QStringLiteral("state")).toString() == QLatin1String("failed") && last.value(QStringLiteral("result")).toString() == QLatin1String("failed")
                : state.value(QStringLiteral("firmware_version")).toString() == releasedVersion.toString()
                        && last.value(QStringLiteral("result")).toString() == QLatin1String("succeeded");
        if (!done)
            waitingFor->append(gateway->serial);
    }
    return waitingFor->isEmpty();
}

void FleetSimulation::runStage(int index)
{
    Stage &stage = m_stages[index];
    for (const auto &gateway : m_gateways)
        stage.admitted += bucket(*gateway) < stage.percent ? 1 : 0;
    // The phase before ended with the broker's counters brought up to date.
    const Traffic before = m_observer.traffic();
    m_stage = index + 1;
    stage.publishedAt = m_clock.elapsed();
    stage.publishedUtc = QDateTime::currentDateTimeUtc();
    if (!publishPolicy(stage)) {
        m_problems.append(QStringLiteral("stage %1: vexbus-release could not write or sign the policy, or it could not be published").arg(stage.sequence));
        return;
    }
    QStringList waitingFor;
    const QDeadlineTimer deadline(m_options.stageTimeout * 1000);
    while (!deadline.hasExpired() && !converged(stage, &waitingFor))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (waitingFor.isEmpty()) {
        stage.convergedMs = m_clock.elapsed() - stage.publishedAt;
    } else {
        m_problems.append(QStringLiteral("stage %1 did not converge within %2 s, waiting for: %3")
                                  .arg(stage.sequence).arg(m_options.stageTimeout).arg(waitingFor.join(QStringLiteral(", "))));
    }
    // A closed window is watched a while: nobody may start.
    if (!stage.windowOpen)
        wait(m_options.closedWindowSeconds * 1000);
    m_observer.awaitCounters();
    const qint64 ms = m_clock.elapsed() - stage.publishedAt;
    m_phases.append({QStringLiteral("stage %1: %2 %%3").arg(stage.sequence).arg(stage.percent).arg(stage.windowOpen ? QString() : QStringLiteral(", window closed")),
                     ms, m_observer.traffic() - before});
    std::printf("stage %d: %d %% of the adapters%s, %d in the rollout: %s\n", stage.sequence, stage.percent,
                stage.windowOpen ? "" : " with the window closed", stage.admitted,
                stage.convergedMs >= 0 ? qPrintable(QStringLiteral("converged in %1 s").arg(stage.convergedMs / 1000.0, 0, 'f', 1))
                                       : "did not converge");
    std::fflush(stdout);
}

// Who updated when, against the policy of the time, and how each ended.
void FleetSimulation::checkRollout()
{
    QStringList outside;
    QStringList notUpdated;
    QStringList notHalted;
    std::printf("\n  %-9s %-32s %6s %8s %-22s %-10s %s\n", "adapter", "gateway", "bucket", "refuses", "controller sent to boot", "firmware", "gateway's policy state");
    for (const auto &gateway : m_gateways) {
        const int b = bucket(*gateway);
        QStringList entries;
        for (const Gateway::Entry &entry : gateway->bootloaderEntries) {
            entries.append(QStringLiteral("stage %1").arg(entry.stage));
            const Stage *stage = entry.stage > 0 ? &m_stages.at(entry.stage - 1) : nullptr;
            if (!stage || !stage->windowOpen || b >= stage->percent)
                outside.append(QStringLiteral("%1 (bucket %2) in stage %3").arg(gateway->serial).arg(b).arg(entry.stage));
        }
        if (gateway->bootloaderEntries.size() > 1)
            outside.append(QStringLiteral("%1 was sent into its bootloader %2 times").arg(gateway->serial).arg(gateway->bootloaderEntries.size()));
        const QString firmware = gateway->emulator->firmwareVersion().toString();
        const QJsonObject policy = policyState(*gateway);
        const QString state = policy.value(QStringLiteral("state")).toString();
        if (gateway->failing) {
            if (state != QLatin1String("failed") || policy.value(QStringLiteral("halt_reason")).toString().isEmpty())
                notHalted.append(gateway->serial);
        } else if (firmware != releasedVersion.toString()
                   || json(m_observer.last(QStringLiteral("vexbus/%1/state").arg(gateway->serial))).value(QStringLiteral("firmware_version")).toString() != firmware) {
            notUpdated.append(gateway->serial);
        }
        std::printf("  %-9s %-32s %6d %8s %-22s %-10s %s\n", qPrintable(gateway->serial), qPrintable(gateway->id), b, gateway->failing ? "yes" : "no",
                    qPrintable(entries.isEmpty() ? QStringLiteral("never") : entries.join(QStringLiteral(", "))), qPrintable(firmware),
                    qPrintable(state + (policy.value(QStringLiteral("halt_reason")).toString().isEmpty() ? QString()
                                                                                                         : QStringLiteral(": ") + policy.value(QStringLiteral("halt_reason")).toString())));
    }
    std::fflush(stdout);
    bool allConverged = true;
    for (const Stage &stage : m_stages)
        allConverged = allConverged && stage.convergedMs >= 0;
    check(allConverged, QStringLiteral("every stage converged"));
    check(outside.isEmpty(), QStringLiteral("no controller was updated outside the policy or its window (bucket below the percentage, window open, once)%1")
                                     .arg(outside.isEmpty() ? QString() : QStringLiteral(": ") + outside.join(QStringLiteral("; "))));
    check(notHalted.isEmpty(), QStringLiteral("every gateway whose controller refused the application halted its rollout and reported it (MQTT policy state \"failed\" with the reason)%1")
                                       .arg(notHalted.isEmpty() ? QString() : QStringLiteral(": not ") + notHalted.join(QStringLiteral(", "))));
    check(notUpdated.isEmpty(), QStringLiteral("every other adapter ends on %1, in the controller and on MQTT%2").arg(releasedVersion.toString())
                                        .arg(notUpdated.isEmpty() ? QString() : QStringLiteral(": not ") + notUpdated.join(QStringLiteral(", "))));
}

void FleetSimulation::stopGateways()
{
    for (const auto &gateway : m_gateways) {
        if (gateway->service && gateway->service->state() != QProcess::NotRunning)
            gateway->service->terminate();
    }
    QStringList unclean;
    for (const auto &gateway : m_gateways) {
        if (!gateway->service || gateway->service->state() == QProcess::NotRunning)
            continue;
        gateway->service->waitForFinished(10000);
        if (gateway->service->exitStatus() != QProcess::NormalExit || gateway->service->exitCode() != 0)
            unclean.append(gateway->serial);
    }
    check(unclean.isEmpty(), QStringLiteral("every vexbusd ran throughout and stopped cleanly%1")
                                     .arg(unclean.isEmpty() ? QString() : QStringLiteral(" (not: ") + unclean.join(QStringLiteral(", ")) + QLatin1Char(')')));
}

// Each gateway's own account, as an operator reads it with vexbusctl
// history: one update by the policy, succeeded, or failed on the gateways
// whose controller refuses the application; nothing else but recoveries.
void FleetSimulation::checkHistories()
{
    QStringList wrong;
    for (const auto &gateway : m_gateways) {
        QProcess history;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), gateway->bus->address());
        history.setProcessEnvironment(environment);
        history.start(QStringLiteral(VEXBUSCTL), {QStringLiteral("history"), QStringLiteral("--json")});
        // The services answer while this process waits: they are processes of their own.
        if (!history.waitForFinished(30000) || history.exitStatus() != QProcess::NormalExit || history.exitCode() != 0) {
            wrong.append(gateway->serial + QStringLiteral(": vexbusctl history failed: ") + QString::fromUtf8(history.readAllStandardError()));
            continue;
        }
        QList<QJsonObject> byPolicy;
        QStringList others;
        for (const QByteArray &line : history.readAllStandardOutput().split('\n')) {
            const QJsonObject entry = json(line);
            if (entry.isEmpty())
                continue;
            const QString trigger = entry.value(QStringLiteral("trigger")).toString();
            if (trigger == QLatin1String("policy"))
                byPolicy.append(entry);
            else if (trigger != QLatin1String("recovery"))
                others.append(trigger + QLatin1Char(' ') + entry.value(QStringLiteral("result")).toString());
        }
        const QJsonObject entry = byPolicy.value(0);
        const QDateTime started = QDateTime::fromString(entry.value(QStringLiteral("started")).toString(), Qt::ISODateWithMs);
        const QDateTime ended = QDateTime::fromString(entry.value(QStringLiteral("ended")).toString(), Qt::ISODateWithMs);
        const int stageIndex = gateway->bootloaderEntries.value(0).stage;
        if (started.isValid() && ended.isValid()) {
            m_updateDurations.append(started.msecsTo(ended));
            if (stageIndex > 0 && !gateway->bootloaderEntries.isEmpty()) {
                Stage &stage = m_stages[stageIndex - 1];
                stage.startDelays.append(stage.publishedUtc.msecsTo(started));
                stage.durations.append(started.msecsTo(ended));
            }
        }
        const QString expected = gateway->failing ? QStringLiteral("failed") : QStringLiteral("succeeded");
        const bool held = byPolicy.size() == 1 && others.isEmpty() && entry.value(QStringLiteral("result")).toString() == expected
                && entry.value(QStringLiteral("release_version")).toString() == releasedVersion.toString()
                && entry.value(QStringLiteral("firmware_before")).toString() == installedVersion.toString()
                && entry.value(QStringLiteral("gateway")).toString() == gateway->id
                && entry.value(QStringLiteral("requester")).toString().endsWith(m_rollout)
                && (gateway->failing || entry.value(QStringLiteral("firmware_after")).toString() == releasedVersion.toString());
        if (!held) {
            wrong.append(QStringLiteral("%1: %2 entries by the policy (%3), others: %4").arg(gateway->serial).arg(byPolicy.size())
                                 .arg(QString::fromUtf8(QJsonDocument(entry).toJson(QJsonDocument::Compact)), others.join(QStringLiteral(", "))));
        }
    }
    check(wrong.isEmpty(), QStringLiteral("each gateway's history (vexbusctl history --json) holds its one update by the policy, %1 or failed, with the release, "
                                          "firmware before and after, gateway and rollout%2")
                                   .arg(QStringLiteral("succeeded"), wrong.isEmpty() ? QString() : QStringLiteral(": ") + wrong.join(QStringLiteral("; "))));
}

// What an operator sees with vexbusctl fleet, from the broker alone: a
// line for each gateway's adapter, online, on its firmware, with the
// outcome of its last update.
void FleetSimulation::checkFleetView()
{
    QProcess fleet;
    fleet.start(QStringLiteral(VEXBUSCTL), {QStringLiteral("fleet"), QStringLiteral("--broker"), QStringLiteral("mqtt://127.0.0.1:%1").arg(m_brokerPort),
                                            QStringLiteral("--json")});
    if (!fleet.waitForFinished(30000) || fleet.exitStatus() != QProcess::NormalExit || fleet.exitCode() != 0) {
        check(false, QStringLiteral("vexbusctl fleet shows the fleet: it failed: ") + QString::fromUtf8(fleet.readAllStandardError()));
        return;
    }
    QMap<QString, QJsonObject> lines;
    for (const QByteArray &line : fleet.readAllStandardOutput().split('\n')) {
        const QJsonObject entry = json(line);
        if (!entry.isEmpty())
            lines.insert(entry.value(QStringLiteral("adapter")).toString(), entry);
    }
    QStringList wrong;
    for (const auto &gateway : m_gateways) {
        const QJsonObject line = lines.value(gateway->serial);
        // A controller that refused the application waits in its bootloader,
        // with no firmware to report.
        const bool held = gateway->failing ? line.value(QStringLiteral("last_update")).toString() == QLatin1String("failed")
                                           : line.value(QStringLiteral("last_update")).toString() == QLatin1String("succeeded")
                        && line.value(QStringLiteral("firmware")).toString() == releasedVersion.toString();
        if (line.value(QStringLiteral("gateway")).toString() != gateway->id || line.value(QStringLiteral("bridge")).toString() != QLatin1String("online") || !held)
            wrong.append(gateway->serial + QStringLiteral(": ") + QString::fromUtf8(QJsonDocument(line).toJson(QJsonDocument::Compact)));
    }
    check(wrong.isEmpty() && lines.size() == int(m_gateways.size()),
          QStringLiteral("vexbusctl fleet shows %1 adapters, each on its gateway, online, with its last update's outcome and the new firmware where it succeeded%2")
                  .arg(lines.size()).arg(wrong.isEmpty() ? QString() : QStringLiteral(": ") + wrong.join(QStringLiteral("; "))));
}

bool FleetSimulation::report()
{
    const int n = int(m_gateways.size());
    std::printf("\nrollout stages (from publishing the policy until every gateway held it and every adapter in its buckets had updated, or failed and halted)\n");
    std::printf("  %-6s %8s %-8s %10s %8s %14s %22s %18s\n", "stage", "percent", "window", "in rollout", "updates", "converged in",
                "updates began after", "and took");
    const auto range = [](QList<qint64> values) {
        if (values.isEmpty())
            return QStringLiteral("-");
        std::sort(values.begin(), values.end());
        return QStringLiteral("%1 to %2 s").arg(values.first() / 1000.0, 0, 'f', 1).arg(values.last() / 1000.0, 0, 'f', 1);
    };
    for (const Stage &stage : m_stages) {
        std::printf("  %-6d %8d %-8s %10d %8d %14s %22s %18s\n", stage.sequence, stage.percent, stage.windowOpen ? "open" : "closed", stage.admitted,
                    int(stage.durations.size()),
                    stage.convergedMs >= 0 ? qPrintable(QStringLiteral("%1 s").arg(stage.convergedMs / 1000.0, 0, 'f', 1)) : "never",
                    qPrintable(range(stage.startDelays)), qPrintable(range(stage.durations)));
    }
    std::printf("\nbroker traffic by phase: messages the gateways published, as a subscriber on '#' counts them (topic and payload bytes),\n"
                "and the bytes the broker received by its own counters ($SYS: MQTT headers, pings and acknowledgements included)\n");
    std::printf("  %-36s %8s %9s %14s %16s %16s\n", "phase", "seconds", "messages", "msg/s/gateway", "bytes/s/gateway", "$SYS in B/s/gw");
    for (const Phase &phase : m_phases) {
        std::printf("  %-36s %8.1f %9lld %14.3f %16.1f %16.1f\n", qPrintable(phase.name), phase.ms / 1000.0,
                    static_cast<long long>(phase.traffic.messages), perGatewayPerSecond(phase.traffic.messages, phase.ms),
                    perGatewayPerSecond(phase.traffic.bytes, phase.ms), perGatewayPerSecond(phase.traffic.sysBytesReceived, phase.ms));
    }
    const auto phase = [this](const QString &name) {
        for (const Phase &candidate : m_phases) {
            if (candidate.name == name)
                return candidate;
        }
        return Phase();
    };
    const Phase idle = phase(QStringLiteral("idle"));
    const Phase rollout = phase(QStringLiteral("whole rollout"));
    std::printf("\nestimate for 10,000 gateways (from %d gateways)\n", n);
    std::printf("  idle: %.1f messages/s, %.0f bytes/s of messages, %.0f bytes/s into the broker with the protocol's own\n",
                perGatewayPerSecond(idle.traffic.messages, idle.ms) * 10000, perGatewayPerSecond(idle.traffic.bytes, idle.ms) * 10000,
                perGatewayPerSecond(idle.traffic.sysBytesReceived, idle.ms) * 10000);
    if (!m_updateDurations.isEmpty() && rollout.ms > 0) {
        // The policy's own messages are the operator's, not the gateways'.
        const int updates = int(m_updateDurations.size());
        const double messages = double(rollout.traffic.messages - m_stages.size()) / updates;
        const double bytes = double(rollout.traffic.sysBytesReceived) / updates;
        qint64 total = 0;
        for (qint64 duration : m_updateDurations)
            total += duration;
        const double seconds = total / 1000.0 / updates;
        std::printf("  rollout: %.1f messages and %.0f bytes into the broker per updated adapter; an update took %.1f s on average\n",
                    messages, bytes, seconds);
        std::printf("  the rollout's messages by topic (all adapters together):\n");
        for (auto it = m_rolloutTopics.cbegin(); it != m_rolloutTopics.cend(); ++it)
            std::printf("    %-56s %6lld messages %9lld bytes\n", qPrintable(it.key()), static_cast<long long>(it.value().first),
                        static_cast<long long>(it.value().second));
        for (int percent : {10, 100}) {
            const int updating = 10000 * percent / 100;
            std::printf("  a stage of %d %% (%d adapters updating at once): %.0f messages/s, %.0f bytes/s into the broker while it runs\n",
                        percent, updating, updating * messages / seconds, updating * bytes / seconds);
        }
    }
    if (m_options.frames.isEmpty()) {
        std::printf("  bus frames: none reached the broker ([mqtt] Frames unset, default none) although every bus carried %.0f frames/s;\n"
                    "  with Frames=all each would be a message: %.0f messages/s for 10,000 gateways\n",
                    m_options.frameRate, m_options.frameRate * 10000);
    }
    bool held = true;
    std::printf("\n");
    for (const QString &problem : m_problems)
        std::printf("  %s\n", qPrintable(problem));
    for (const auto &check : m_checks) {
        std::printf("%s: %s\n", check.second ? "ok" : "FAILED", qPrintable(check.first));
        held = held && check.second;
    }
    if (!held) {
        for (const auto &gateway : m_gateways)
            std::printf("gateway %s said last:\n%s\n", qPrintable(gateway->serial), qPrintable(gateway->tail.join(QLatin1Char('\n'))));
    }
    std::fflush(stdout);
    return held;
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A fleet of vexbusd gateways on one mosquitto, rolling a release out by a signed fleet policy."));
    parser.addHelpOption();
    parser.addOptions({{QStringLiteral("gateways"), QStringLiteral("How many gateways (default 20)."), QStringLiteral("N"), QStringLiteral("20")},
                       {QStringLiteral("failing"), QStringLiteral("How many of them refuse the new application (default 2)."), QStringLiteral("N"), QStringLiteral("2")},
                       {QStringLiteral("idle-seconds"), QStringLiteral("How long the idle fleet is measured (default 60)."), QStringLiteral("N"), QStringLiteral("60")},
                       {QStringLiteral("frame-rate"), QStringLiteral("Bus frames per second on each adapter's bus (default 20)."), QStringLiteral("N"), QStringLiteral("20")},
                       {QStringLiteral("frames"), QStringLiteral("[mqtt] Frames in the fleet's settings file (default: not set)."), QStringLiteral("VALUE")},
                       {QStringLiteral("stage-timeout"), QStringLiteral("How long a stage of the rollout may take to converge (default 180)."), QStringLiteral("SECONDS"), QStringLiteral("180")},
                       {QStringLiteral("closed-window-seconds"), QStringLiteral("How long the fleet is watched with the window closed (default 15)."), QStringLiteral("SECONDS"), QStringLiteral("15")}});
    parser.process(application);
    FleetSimulation::Options options;
    options.gateways = parser.value(QStringLiteral("gateways")).toInt();
    options.failing = parser.value(QStringLiteral("failing")).toInt();
    options.idleSeconds = parser.value(QStringLiteral("idle-seconds")).toInt();
    options.frameRate = parser.value(QStringLiteral("frame-rate")).toDouble();
    options.frames = parser.value(QStringLiteral("frames"));
    options.stageTimeout = parser.value(QStringLiteral("stage-timeout")).toInt();
    options.closedWindowSeconds = parser.value(QStringLiteral("closed-window-seconds")).toInt();
    if (options.gateways < 1 || options.gateways > 64 || options.failing < 0 || options.failing >= options.gateways || options.idleSeconds < 1
        || options.stageTimeout < 1 || options.closedWindowSeconds < 0) {
        std::fprintf(stderr, "vexbus-fleet-sim: --gateways takes 1 to 64, --failing fewer than the gateways, --idle-seconds and --stage-timeout at least 1\n");
        return 2;
    }
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    mosquitto_lib_init();
    const int result = FleetSimulation(options).run();
    mosquitto_lib_cleanup();
    return result;
}

#include "vexbusfleetsim.moc"
