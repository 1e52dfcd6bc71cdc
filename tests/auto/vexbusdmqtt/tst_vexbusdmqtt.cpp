// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbusd's MQTT bridge against Debian's mosquitto, started here on
// 127.0.0.1 with a password file and an ACL: the adapter's retained state,
// its frames, Home Assistant discovery, commands with their responses, a
// broker that restarts and credentials that the broker refuses. The
// adapter is mocked, its controller an emulator in this process; releases
// come from a local HTTPS server, signed with a key of the test's own.
#include "httpsserver.h"
#include "privatebus.h"
#include "testplatform.h"
#include "toolprocess.h"
#include "vexbusemulator.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <mosquitto.h>

#include <cmath>
#include <csignal>
#include <memory>

using NivoraTest::TestPlatform;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

const QString serial = QStringLiteral("A5XK1234");
const QByteArray bridgeUser = "vexbusd";
const QByteArray bridgePassword = "bridge-secret";
const QByteArray operatorUser = "operator";
const QByteArray operatorPassword = "operator-secret";
// The gateway's own settings name it, unless a test derives it.
const QString bridgeState = QStringLiteral("vexbus/bridge/test-gateway/state");
const QString gatewayConfig = QStringLiteral("homeassistant/binary_sensor/vexbus_gateway_test-gateway/bridge/config");

QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

// Why Home Assistant's update entity would drop this state message: its
// schema takes these keys only, strings where it names versions and texts,
// and a percentage from 0 to 100 or null. Empty when it takes it.
QString refusedByHomeAssistant(const QByteArray &payload)
{
    const QJsonObject update = json(payload);
    const QStringList texts{"installed_version", "latest_version", "title", "release_summary", "release_url", "entity_picture"};
    for (auto it = update.constBegin(); it != update.constEnd(); ++it) {
        if (texts.contains(it.key())) {
            if (!it.value().isString())
                return it.key() + " is no string in " + QString::fromUtf8(payload);
        } else if (it.key() == QLatin1String("in_progress")) {
            if (!it.value().isBool())
                return "in_progress is no boolean in " + QString::fromUtf8(payload);
        } else if (it.key() == QLatin1String("update_percentage")) {
            const double percentage = it.value().toDouble(-1);
            if (!it.value().isNull() && (percentage < 0 || percentage > 100))
                return "update_percentage is out of range in " + QString::fromUtf8(payload);
        } else {
            return it.key() + " is no key of the update entity in " + QString::fromUtf8(payload);
        }
    }
    return QString();
}

// A client of the broker as a person's tool would be: libmosquitto with
// its own thread, collecting every message it receives.
class Probe
{
public:
    ~Probe()
    {
        if (m_client) {
            mosquitto_disconnect(m_client);
            mosquitto_loop_stop(m_client, false);
            mosquitto_destroy(m_client);
        }
    }

    bool connect(quint16 port, const QByteArray &user, const QByteArray &password)
    {
        m_client = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m_client, [](struct mosquitto *, void *self, const struct mosquitto_message *message) {
            auto *probe = static_cast<Probe *>(self);
            QMutexLocker locker(&probe->m_mutex);
            probe->m_messages.append({QString::fromUtf8(message->topic),
                                      QByteArray(static_cast<const char *>(message->payload), message->payloadlen)});
        });
        mosquitto_subscribe_callback_set(m_client, [](struct mosquitto *, void *self, int, int, const int *) {
            static_cast<Probe *>(self)->m_subscribed.storeRelease(1);
        });
        mosquitto_username_pw_set(m_client, user.constData(), password.constData());
        return mosquitto_connect(m_client, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS && mosquitto_loop_start(m_client) == MOSQ_ERR_SUCCESS;
    }

    // Waits for the broker's acknowledgement, so that nothing published
    // after it is missed.
    bool subscribe(const QString &pattern)
    {
        m_subscribed.storeRelease(0);
        if (mosquitto_subscribe(m_client, nullptr, pattern.toUtf8().constData(), 1) != MOSQ_ERR_SUCCESS)
            return false;
        return QTest::qWaitFor([this]() { return m_subscribed.loadAcquire() == 1; }, 5000);
    }

    bool publish(const QString &topic, const QByteArray &payload, bool retain = false)
    {
        return mosquitto_publish(m_client, nullptr, topic.toUtf8().constData(), int(payload.size()), payload.constData(), 1, retain)
                == MOSQ_ERR_SUCCESS;
    }

    QList<QPair<QString, QByteArray>> messages() const
    {
        QMutexLocker locker(&m_mutex);
        return m_messages;
    }

    QList<QByteArray> payloads(const QString &topic) const
    {
        QList<QByteArray> payloads;
        for (const auto &message : messages()) {
            if (message.first == topic)
                payloads.append(message.second);
        }
        return payloads;
    }

    // The last payload on topic; a null array before any.
    QByteArray last(const QString &topic) const
    {
        const QList<QByteArray> all = payloads(topic);
        return all.isEmpty() ? QByteArray() : all.last();
    }

    void clear()
    {
        QMutexLocker locker(&m_mutex);
        m_messages.clear();
    }

private:
    struct mosquitto *m_client = nullptr;
    QAtomicInt m_subscribed;
    mutable QMutex m_mutex;
    QList<QPair<QString, QByteArray>> m_messages;
};

} // namespace

class TestVexbusdMqtt : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void publishesTheAdapterForNewcomers();
    void reportsTheSameOnDBusAndMqtt();
    void answersEveryCommand_data();
    void answersEveryCommand();
    void connectsOrSaysWhy_data();
    void connectsOrSaysWhy();
    void takesTheFleetPolicyFromItsTopic();
    // Last: it makes a second mocked platform.
    void gatewaysShareOneBrokerAndOneFile();

private:
    QString path(const QString &name) const { return m_directory.filePath(name); }
    bool startBroker();
    void stopBroker();
    // Starts vexbusd with the [mqtt] lines and the other settings given.
    bool startService(const QByteArray &mqttLines, const QByteArray &otherSettings = QByteArray());
    void stopService();
    void tearDown();
    std::unique_ptr<Probe> probe(const QString &pattern = QStringLiteral("#"));
    QString topic(const QString &leaf) const { return QStringLiteral("vexbus/%1/%2").arg(serial, leaf); }

    QTemporaryDir m_directory;
    NivoraTest::HttpsServer m_releaseServer;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
    quint16 m_closedPort = 0;
    QProcess m_broker;
    std::unique_ptr<TestPlatform> m_platform;
    std::unique_ptr<VexbusEmulator> m_emulator;
    std::unique_ptr<NivoraTest::PrivateBus> m_bus;
    std::unique_ptr<QProcess> m_vexbusd;
    QByteArray m_serviceOutput;
    QByteArray m_serviceSettings;
    QByteArray m_fixtureFunction;
};

void TestVexbusdMqtt::initTestCase()
{
    mosquitto_lib_init();
    // The broker drops root for its own user, which reads the files here.
    QVERIFY(QFile::setPermissions(m_directory.path(), QFile::permissions(m_directory.path()) | QFile::ReadOther | QFile::ExeOther));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path(QStringLiteral("cache"))));

    for (const auto &account : {qMakePair(bridgeUser, bridgePassword), qMakePair(operatorUser, operatorPassword)}) {
        // -c makes the file with the first account.
        const NivoraTest::ToolResult added = NivoraTest::runTool(QStringLiteral(MOSQUITTO_PASSWD), (
                (account.first == bridgeUser ? QStringList{"-c", "-b"} : QStringList{"-b"}) + QStringList{path("passwords"), QString::fromUtf8(account.first), QString::fromUtf8(account.second)}));
        QVERIFY2(added.exitCode == 0, qPrintable(added.describe()));
    }
    // The bridge may use its own topics only; the operator every topic.
    QFile acl(path(QStringLiteral("acl")));
    QVERIFY(acl.open(QIODevice::WriteOnly));
    acl.write("user vexbusd\ntopic readwrite vexbus/#\ntopic readwrite homeassistant/#\n\nuser operator\ntopic readwrite #\n");
    acl.close();
    QFile password(path(QStringLiteral("bridge-password")));
    QVERIFY(password.open(QIODevice::WriteOnly));
    password.write(bridgePassword + "\n");
    password.close();
    for (const QString &name : {QStringLiteral("passwords"), QStringLiteral("acl")})
        QVERIFY(QFile::setPermissions(path(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));

    // The current release, 1.5.0, signed by a publisher the service
    // trusts, on a server whose certificate the broker's TLS listener uses.
    QString error;
    QVERIFY2(m_releaseServer.start(m_directory.path(), path(QStringLiteral("www")), &error, false), qPrintable(error));
    QVERIFY(QFile::setPermissions(path(QStringLiteral("server.key")), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));

    // Ports of their own: free now, the broker's from then on, and one
    // that nobody takes.
    quint16 *ports[] = {&m_port, &m_tlsPort, &m_closedPort};
    QTcpServer probePorts[3];
    for (int i = 0; i < 3; ++i) {
        QVERIFY(probePorts[i].listen(QHostAddress::LocalHost));
        *ports[i] = probePorts[i].serverPort();
    }
    for (QTcpServer &probePort : probePorts)
        probePort.close();
    QFile config(path(QStringLiteral("mosquitto.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("allow_anonymous false\npassword_file %1\nacl_file %2\npersistence false\n"
                                "listener %3 127.0.0.1\nlistener %4 127.0.0.1\ncertfile %5\nkeyfile %6\n")
                         .arg(path("passwords"), path("acl")).arg(m_port).arg(m_tlsPort)
                         .arg(path("server.crt"), path("server.key")).toUtf8());
    config.close();

    const NivoraTest::ToolResult keygen = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE), {"keygen", path("publisher")});
    QVERIFY2(keygen.exitCode == 0, qPrintable(keygen.describe()));
    const QString image = path(QStringLiteral("www/firmware/vexbus-adapter-1.5.0.cyacd"));
    QVERIFY(QDir().mkpath(QFileInfo(image).path()) && QFile::copy(QStringLiteral(SAMPLE_FIRMWARE), image));
    const NivoraTest::ToolResult release = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE),
            {"write", image, "--release-version", "1.5.0", "--key", path("publisher.key")});
    QVERIFY2(release.exitCode == 0, qPrintable(release.describe()));
}

void TestVexbusdMqtt::cleanupTestCase()
{
    tearDown();
    mosquitto_lib_cleanup();
}

bool TestVexbusdMqtt::startBroker()
{
    m_broker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_broker.setStandardOutputFile(QProcess::nullDevice());
    m_broker.start(QStringLiteral(MOSQUITTO_BROKER), {QStringLiteral("-c"), path(QStringLiteral("mosquitto.conf"))});
    if (!m_broker.waitForStarted(5000))
        return false;
    // Ready once it takes a client.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        Probe ready;
        if (ready.connect(m_port, operatorUser, operatorPassword))
            return true;
        QTest::qWait(50);
    }
    return false;
}

void TestVexbusdMqtt::stopBroker()
{
    if (m_broker.state() == QProcess::NotRunning)
        return;
    m_broker.terminate();
    NivoraTest::waitForFinished(&m_broker, 5000);
}

std::unique_ptr<Probe> TestVexbusdMqtt::probe(const QString &pattern)
{
    std::unique_ptr<Probe> probe(new Probe);
    if (!probe->connect(m_port, operatorUser, operatorPassword) || !probe->subscribe(pattern))
        return nullptr;
    return probe;
}

bool TestVexbusdMqtt::startService(const QByteArray &mqttLines, const QByteArray &otherSettings)
{
    QFile settings(path(QStringLiteral("vexbusd.conf")));
    if (!settings.open(QIODevice::WriteOnly))
        return false;
    settings.write((otherSettings.contains("[Gateway]") ? QByteArray() : QByteArray("[Gateway]\nId=test-gateway\n"))
                   + "[Release]\nServer=" + m_releaseServer.url(QStringLiteral("/firmware")).toUtf8()
                   + "\nCaCertificate=" + path(QStringLiteral("server.crt")).toUtf8() + "\n" + otherSettings
                   + "\n[mqtt]\n" + (mqttLines.contains("Broker=") ? QByteArray() : "Broker=mqtt://127.0.0.1:" + QByteArray::number(m_port))
                   + "\nUser=vexbusd\nPasswordFile=" + path(QStringLiteral("bridge-password")).toUtf8() + "\n" + mqttLines);
    settings.close();
    stopService();
    m_serviceOutput.clear();
    m_serviceSettings = mqttLines + '|' + otherSettings;
    m_vexbusd.reset(new QProcess);
    // Warnings of all, and the adapter's course of events, which tells
    // when the service has taken a notification.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false;VexbusUsb.debug=true"));
    m_vexbusd->setProcessEnvironment(environment);
    m_vexbusd->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_vexbusd.get(), &QProcess::readyReadStandardOutput, this, [this]() { m_serviceOutput += m_vexbusd->readAllStandardOutput(); });
    m_vexbusd->start(QStringLiteral(VEXBUSD), {QStringLiteral("--config"), settings.fileName(),
                                              QStringLiteral("--state-directory"), path(QStringLiteral("state"))});
    return m_vexbusd->waitForStarted(5000);
}

void TestVexbusdMqtt::stopService()
{
    if (!m_vexbusd)
        return;
    m_vexbusd->terminate();
    const bool finished = NivoraTest::waitForFinished(m_vexbusd.get(), 5000);
    m_serviceOutput += m_vexbusd->readAllStandardOutput();
    const bool clean = finished && m_vexbusd->exitStatus() == QProcess::NormalExit && m_vexbusd->exitCode() == 0;
    m_vexbusd.reset();
    QVERIFY2(clean, m_serviceOutput.right(6000).constData());
}

void TestVexbusdMqtt::init()
{
    // The rows of a function share the fixture while they pass.
    if (m_platform && m_fixtureFunction == QTest::currentTestFunction())
        return;
    tearDown();
    m_fixtureFunction = QTest::currentTestFunction();
    m_platform.reset(new TestPlatform);
    m_platform->addAdapter(serial);
    m_emulator.reset(new VexbusEmulator);
    QVERIFY(m_emulator->attach(m_platform->masterFd(QStringLiteral("ttyUSB0"))));
    m_bus.reset(new NivoraTest::PrivateBus);
    QVERIFY(m_bus->start({QStringLiteral(VEXBUSD_POLICY)}));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus->address().toUtf8());
    QVERIFY(startBroker());
}

void TestVexbusdMqtt::cleanup()
{
    if (!QTest::currentTestFailed())
        return;
    qInfo().noquote() << "vexbusd said:\n" << m_serviceOutput.right(6000);
    tearDown();
}

void TestVexbusdMqtt::tearDown()
{
    stopService();
    stopBroker();
    m_bus.reset();
    m_emulator.reset();
    m_platform.reset();
}

void TestVexbusdMqtt::publishesTheAdapterForNewcomers()
{
    QVERIFY(startService("Commands=press, update\nButtons=app:open, ixo:program:500\nFrames=all\n", "TrustedKeys=" + path("publisher.pub").toUtf8()));
    std::unique_ptr<Probe> watcher = probe();
    QVERIFY(watcher);
    QTRY_COMPARE_WITH_TIMEOUT(watcher->last(bridgeState), QByteArray("online"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(watcher->last(topic("availability")), QByteArray("online"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher->last(topic("update"))).value("latest_version").toString(), QStringLiteral("1.5.0"), 10000);
    QJsonObject state = json(watcher->last(topic("state")));
    QCOMPARE(state.value("state").toString(), QStringLiteral("connected"));
    QCOMPARE(state.value("firmware_version").toString(), QStringLiteral("1.4.12"));
    QCOMPARE(state.value("serial_number").toString(), serial);
    QCOMPARE(json(watcher->last(topic("update"))).value("installed_version").toString(), QStringLiteral("1.4.12"));
    for (const QByteArray &update : watcher->payloads(topic("update")))
        QVERIFY2(refusedByHomeAssistant(update).isEmpty(), qPrintable(refusedByHomeAssistant(update)));
    QCOMPARE(json(watcher->last(topic("update/status"))),
             (QJsonObject{{"phase", "idle"}, {"percentage", 0}, {"error", "none"}, {"error_string", ""},
                          {"recovery", "none"}, {"recovery_message", ""}, {"policy_sequence", 0}, {"policy_state", "none"},
                          {"policy_message", ""}, {"policy_refusal", ""}}));

    // What a newcomer gets from the broker alone, and each discovery
    // configuration with the keys Home Assistant needs for its component.
    auto retained = [this]() {
        std::unique_ptr<Probe> newcomer = probe();
        QTest::qWait(300);
        QMap<QString, QByteArray> messages;
        for (const auto &message : newcomer->messages())
            messages.insert(message.first, message.second);
        return messages;
    };
    const QMap<QString, QStringList> required{
        {"binary_sensor/vexbus_A5XK1234/available", {"state_topic", "payload_on", "payload_off"}},
        {"binary_sensor/vexbus_A5XK1234/bus_synchronized", {"state_topic", "value_template"}},
        {"binary_sensor/vexbus_A5XK1234/bus_initialized", {"state_topic", "value_template"}},
        {"binary_sensor/vexbus_A5XK1234/bus_available", {"state_topic", "value_template"}},
        {"binary_sensor/vexbus_A5XK1234/controller_in_bootloader", {"state_topic", "value_template", "device_class"}},
        {"sensor/vexbus_A5XK1234/firmware_version", {"state_topic", "value_template"}},
        {"sensor/vexbus_A5XK1234/led_mode", {"state_topic", "value_template"}},
        {"sensor/vexbus_A5XK1234/bus_type", {"state_topic", "value_template"}},
        {"event/vexbus_A5XK1234/frame", {"state_topic", "event_types"}},
        {"button/vexbus_A5XK1234/press_app_open", {"command_topic", "payload_press"}},
        {"button/vexbus_A5XK1234/press_ixo_program", {"command_topic", "payload_press"}},
        {"update/vexbus_A5XK1234/firmware", {"state_topic", "command_topic", "payload_install", "json_attributes_topic"}},
    };
    auto checkDiscovery = [&](const QMap<QString, QByteArray> &messages) {
        QStringList configs;
        for (auto it = messages.cbegin(); it != messages.cend(); ++it) {
            if (it.key().startsWith(QLatin1String("homeassistant/")) && it.key() != gatewayConfig)
                configs.append(it.key().mid(14).chopped(7));
        }
        QCOMPARE(configs, required.keys());
        QStringList uniqueIds;
        for (auto it = required.cbegin(); it != required.cend(); ++it) {
            const QJsonObject config = json(messages.value(QStringLiteral("homeassistant/%1/config").arg(it.key())));
            for (const QString &key : it.value() + QStringList{"unique_id", "name", "device", "availability", "default_entity_id"})
                QVERIFY2(config.contains(key), qPrintable(it.key() + " lacks " + key));
            // Home Assistant removed object_id; default_entity_id is the
            // component and a lower-case slug.
            QVERIFY2(!config.contains("object_id"), qPrintable(it.key()));
            QCOMPARE(config.value("default_entity_id").toString(),
                     it.key().section('/', 0, 0) + ".vexbus_a5xk1234_" + it.key().section('/', 2));
            uniqueIds.append(config.value("unique_id").toString());
            const QJsonObject device = config.value("device").toObject();
            QCOMPARE(device.value("identifiers").toArray(), QJsonArray{"vexbus_A5XK1234"});
            QCOMPARE(device.value("via_device").toString(), QStringLiteral("vexbus_gateway_test-gateway"));
            // Its gateway's bridge, never another gateway's.
            QCOMPARE(config.value("availability").toArray().first().toObject().value("topic").toString(), bridgeState);
            QCOMPARE(device.value("serial_number").toString(), serial);
            QCOMPARE(device.value("sw_version").toString(), QStringLiteral("1.4.12"));
            QVERIFY(!device.value("model").toString().isEmpty());
            // Every topic it names is one the bridge serves.
            for (const QString &key : {QStringLiteral("state_topic"), QStringLiteral("command_topic"), QStringLiteral("json_attributes_topic")}) {
                const QString named = config.value(key).toString();
                QVERIFY2(named.isEmpty() || messages.contains(named) || named.endsWith(QLatin1String("/press"))
                         || named.endsWith(QLatin1String("/update/install")) || named.endsWith(QLatin1String("/frame")),
                         qPrintable(it.key() + " names " + named));
            }
        }
        uniqueIds.removeDuplicates();
        QCOMPARE(uniqueIds.count(), required.count());
        QCOMPARE(json(json(messages.value("homeassistant/button/vexbus_A5XK1234/press_ixo_program/config")).value("payload_press")
                      .toString().toUtf8()), (QJsonObject{{"module", "ixo"}, {"button", "program"}, {"ms", 500}}));
        QCOMPARE(json(messages.value("homeassistant/update/vexbus_A5XK1234/firmware/config")).value("command_topic").toString(),
                 topic("update/install"));
    };
    QMap<QString, QByteArray> messages = retained();
    QCOMPARE(messages.value(bridgeState), QByteArray("online"));
    // The gateway is a device of its own, whose bridge stays readable while it is away.
    const QJsonObject gateway = json(messages.value(gatewayConfig));
    QCOMPARE(gateway.value("state_topic").toString(), bridgeState);
    QCOMPARE(gateway.value("device").toObject().value("identifiers").toArray(), QJsonArray{"vexbus_gateway_test-gateway"});
    QVERIFY(!gateway.contains("availability"));
    QCOMPARE(json(messages.value(topic("state"))), state);
    checkDiscovery(messages);
    if (QTest::currentTestFailed())
        return;

    // Changes go out, retained; frames as they come, in order.
    watcher->clear();
    m_emulator->setLedMode(2);
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher->last(topic("state"))).value("led_mode").toString(), QStringLiteral("blink-slow"), 5000);
    const QList<QByteArray> frames{QByteArray::fromHex("0a1b2c"), QByteArray::fromHex("ff00"), QByteArray(255, '\x5a')};
    for (const QByteArray &frame : frames)
        QVERIFY(m_emulator->sendBusData(frame));
    QTRY_COMPARE_WITH_TIMEOUT(watcher->payloads(topic("frame")).count(), frames.count(), 5000);
    for (int i = 0; i < frames.count(); ++i) {
        const QByteArray payload = watcher->payloads(topic("frame")).at(i);
        const QJsonObject frame = json(payload);
        QCOMPARE(frame.value("data").toString(), QString::fromLatin1(frames.at(i).toHex()));
        QCOMPARE(frame.value("event_type").toString(), QStringLiteral("frame"));
        const QString time = frame.value("time").toString();
        const QDateTime received = QDateTime::fromString(time, Qt::ISODateWithMs);
        QVERIFY(received.isValid());
        // Exactly the bytes Qt's own JSON and date formatting make of them.
        QCOMPARE(received.toUTC().toString(Qt::ISODateWithMs), time);
        QCOMPARE(payload, QJsonDocument(frame).toJson(QJsonDocument::Compact));
        QVERIFY(qAbs(received.msecsTo(QDateTime::currentDateTimeUtc())) < 60000);
    }
    QCOMPARE(json(retained().value(topic("state"))).value("led_mode").toString(), QStringLiteral("blink-slow"));

    // A broker that restarts without memory gets it all again; the frames
    // of the outage are dropped and counted.
    watcher.reset();
    stopBroker();
    QTRY_VERIFY_WITH_TIMEOUT(m_serviceOutput.contains("VexbusdMqtt: Lost the MQTT broker"), 5000);
    QVERIFY(m_emulator->sendBusData(QByteArray::fromHex("01")) && m_emulator->sendBusData(QByteArray::fromHex("02")));
    // The service takes the notifications in order: the frames are in once the LED mode is.
    m_emulator->setLedMode(0);
    QTRY_VERIFY_WITH_TIMEOUT(m_serviceOutput.contains("LED mode changed NivoraVexbusUsb::NivoraVexbusUsbUtils::LedModeOff"), 5000);
    QVERIFY(startBroker());
    std::unique_ptr<Probe> returning = probe();
    QTRY_COMPARE_WITH_TIMEOUT(returning->last(bridgeState), QByteArray("online"), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(!returning->last(QStringLiteral("homeassistant/update/vexbus_A5XK1234/firmware/config")).isEmpty(), 5000);
    QVERIFY2(m_serviceOutput.contains("VexbusdMqtt: Dropped 2 MQTT messages while the broker was out of reach; 2 since the start"),
             m_serviceOutput.right(3000).constData());
    messages = retained();
    QCOMPARE(json(messages.value(topic("state"))).value("led_mode").toString(), QStringLiteral("off"));
    checkDiscovery(messages);
    if (QTest::currentTestFailed())
        return;

    // An adapter that leaves takes its entities along.
    m_emulator->detach();
    m_platform->unplug(QStringLiteral("ttyUSB0"));
    QTRY_COMPARE_WITH_TIMEOUT(returning->last(topic("availability")), QByteArray("offline"), 10000);
    messages = retained();
    // The gateway stays, with its bridge and its fleet policy state.
    QCOMPARE(messages.keys().join(QLatin1Char(' ')), QStringList({gatewayConfig, topic("availability"),
             QStringLiteral("vexbus/bridge/test-gateway/policy"), bridgeState}).join(QLatin1Char(' ')));
    QCOMPARE(messages.value(topic("availability")), QByteArray("offline"));
}

void TestVexbusdMqtt::reportsTheSameOnDBusAndMqtt()
{
    QVERIFY(startService(QByteArray()));
    std::unique_ptr<Probe> watcher = probe();
    QVERIFY(watcher);
    QTRY_COMPARE_WITH_TIMEOUT(watcher->last(topic("availability")), QByteArray("online"), 10000);
    const QString connectionName = QStringLiteral("parity");
    QDBusConnection connection = QDBusConnection::connectToBus(m_bus->address(), connectionName);
    const auto disconnect = qScopeGuard([connectionName]() { QDBusConnection::disconnectFromBus(connectionName); });
    const QString path = QStringLiteral("/org/nivora/Vexbus1/adapter/A5XK1234");
    const QString interface = QStringLiteral("org.nivora.Vexbus1.Adapter");

    // Where MQTT publishes each property of the D-Bus interface: the topic
    // below the adapter and the key of its JSON object.
    const QMap<QString, QPair<QString, QString>> fields{
        {"State", {"state", "state"}},
        {"Available", {"state", "available"}},
        {"ControllerInBootloader", {"state", "controller_in_bootloader"}},
        {"FirmwareVersion", {"state", "firmware_version"}},
        {"LedMode", {"state", "led_mode"}},
        {"BusType", {"state", "bus_type"}},
        {"BusSynchronized", {"state", "bus_synchronized"}},
        {"BusInitialized", {"state", "bus_initialized"}},
        {"BusAvailable", {"state", "bus_available"}},
        {"Port", {"state", "port"}},
        {"SerialNumber", {"state", "serial_number"}},
        {"BaudRate", {"state", "baud_rate"}},
        {"Updating", {"state", "updating"}},
        {"InhibitedBy", {"state", "inhibited_by"}},
        {"InhibitReason", {"state", "inhibit_reason"}},
        {"UpdatePhase", {"update/status", "phase"}},
        {"UpdatePercentage", {"update/status", "percentage"}},
        {"UpdateError", {"update/status", "error"}},
        {"UpdateErrorString", {"update/status", "error_string"}},
        {"Recovery", {"update/status", "recovery"}},
        {"RecoveryMessage", {"update/status", "recovery_message"}},
        {"PolicySequence", {"update/status", "policy_sequence"}},
        {"PolicyState", {"update/status", "policy_state"}},
        {"PolicyMessage", {"update/status", "policy_message"}},
        {"PolicyRefusal", {"update/status", "policy_refusal"}},
    };
    // The first difference; empty when both say the same.
    auto difference = [&]() {
        QDBusMessage getAll = QDBusMessage::createMethodCall(QStringLiteral("org.nivora.Vexbus1"), path,
                                                             QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
        getAll << interface;
        const QVariantMap properties = qdbus_cast<QVariantMap>(connection.call(getAll).arguments().value(0));
        if (properties.count() != fields.count())
            return QStringLiteral("D-Bus has %1 properties, MQTT %2 fields").arg(properties.count()).arg(fields.count());
        for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
            if (!fields.contains(it.key()))
                return QStringLiteral("%1 has no MQTT field").arg(it.key());
            const QPair<QString, QString> field = fields.value(it.key());
            const QJsonValue published = json(watcher->last(topic(field.first))).value(field.second);
            const QJsonValue property = QJsonValue::fromVariant(it.value());
            const bool same = property.isDouble() ? published.isDouble() && published.toDouble() == property.toDouble()
                                                  : published == property;
            if (!same)
                return QStringLiteral("%1 is %2 on D-Bus, %3 on MQTT").arg(it.key(), it.value().toString(),
                                                                          QString::fromUtf8(QJsonDocument(QJsonArray{published}).toJson(QJsonDocument::Compact)));
        }
        return QString();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(difference().isEmpty(), qPrintable(difference()), 5000);
    QCOMPARE(json(watcher->last(topic("state"))).value("baud_rate").toInt(), 115200);
    // Without [mqtt] Frames no frame goes out, and Home Assistant is
    // offered no event entity that would never fire.
    QVERIFY(m_emulator->sendBusData(QByteArray::fromHex("0a1b2c")));
    m_emulator->setLedMode(2);
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher->last(topic("state"))).value("led_mode").toString(), QStringLiteral("blink-slow"), 5000);
    QVERIFY(watcher->payloads(topic("frame")).isEmpty());
    QVERIFY(watcher->last(QStringLiteral("homeassistant/event/vexbus_A5XK1234/frame/config")).isEmpty());

    // Lent to another program: the inhibit fields, and an adapter away.
    QDBusMessage inhibit = QDBusMessage::createMethodCall(QStringLiteral("org.nivora.Vexbus1"), path, interface, QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("parity check");
    QCOMPARE(connection.call(inhibit).type(), QDBusMessage::ReplyMessage);
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher->last(topic("state"))).value("inhibit_reason").toString(), QStringLiteral("parity check"), 5000);
    QTRY_VERIFY2_WITH_TIMEOUT(difference().isEmpty(), qPrintable(difference()), 5000);
    QVERIFY(!json(watcher->last(topic("state"))).value("inhibited_by").toString().isEmpty());
}

void TestVexbusdMqtt::answersEveryCommand_data()
{
    QTest::addColumn<QByteArray>("settings"); // the [mqtt] lines and, after a |, other settings
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("error"); // a piece of the error; empty for success
    QTest::addColumn<QJsonValue>("transaction");
    QTest::addColumn<int>("requestsSent");
    QTest::addColumn<QByteArray>("lastPayload"); // of the controller's last request, hex

    const QByteArray allowed = "Commands=write, press, update\n|TrustedKeys=" + path("publisher.pub").toUtf8();
    const QString nothing = QStringLiteral("Nothing was sent.");
    // Rows of the same settings follow each other: the service restarts
    // only when they change.
    QTest::newRow("commands off by default") << QByteArray("|") << "write" << QByteArray(R"({"data":"01"})")
                                             << "The command write is off for MQTT" << QJsonValue() << 0 << QByteArray();
    QTest::newRow("update without a trusted key") << QByteArray("Commands=update\n|") << "update/install" << QByteArray()
                                                  << "Updates from MQTT need a trusted release key" << QJsonValue() << 0 << QByteArray();
    QTest::newRow("write") << allowed << "write" << QByteArray(R"({"data":"0A1b2c","transaction":"t-1"})") << QString()
                           << QJsonValue("t-1") << 1 << QByteArray("030a1b2c");
    QTest::newRow("write 255 bytes") << allowed << "write" << QByteArray(R"({"data":")" + QByteArray(510, 'f') + R"("})")
                                     << QString() << QJsonValue() << 1 << QByteArray(512, 'f');
    QTest::newRow("press") << allowed << "press" << QByteArray(R"({"module":"ixo","button":"program","ms":200,"transaction":7})")
                           << QString() << QJsonValue(7) << 1 << QByteArray("801800c8");
    QTest::newRow("non-hex data") << allowed << "write" << QByteArray(R"({"data":"0g","transaction":1})")
                                  << "must be the frame as hexadecimal text" << QJsonValue(1) << 0 << QByteArray();
    QTest::newRow("odd hex digits") << allowed << "write" << QByteArray(R"({"data":"0a1"})")
                                    << "must be the frame as hexadecimal text" << QJsonValue() << 0 << QByteArray();
    QTest::newRow("256 bytes") << allowed << "write" << QByteArray(R"({"data":")" + QByteArray(512, '0') + R"("})")
                               << "The frame has 256 bytes, but at most 255 bytes fit in one write request. " + nothing
                               << QJsonValue() << 0 << QByteArray();
    QTest::newRow("unknown module") << allowed << "press" << QByteArray(R"({"module":"wall","button":"open","ms":300})")
                                    << "Unknown module \"wall\"" << QJsonValue() << 0 << QByteArray();
    QTest::newRow("unknown button") << allowed << "press" << QByteArray(R"({"module":"ixo","button":"open","ms":300})")
                                    << "The ixo module has no button \"open\"" << QJsonValue() << 0 << QByteArray();
    for (const QByteArray &ms : {QByteArray("0"), QByteArray("65536"), QByteArray("-5"), QByteArray("1.5"), QByteArray("\"300\"")}) {
        QTest::addRow("press of %s ms", ms.constData())
                << allowed << "press" << QByteArray(R"({"module":"app","button":"open","ms":)" + ms + "}")
                << "\"ms\" must be a whole number of milliseconds from 1 to 65535. " + nothing << QJsonValue() << 0 << QByteArray();
    }
    QTest::newRow("malformed JSON") << allowed << "write" << QByteArray(R"({"data":"01")") << "The payload is not JSON"
                                    << QJsonValue() << 0 << QByteArray();
    QTest::newRow("not an object") << allowed << "press" << QByteArray("[\"app\",\"open\"]") << "The payload is not a JSON object"
                                   << QJsonValue() << 0 << QByteArray();
    QTest::newRow("a megabyte") << allowed << "write" << QByteArray(R"({"data":")" + QByteArray(1 << 20, 'a') + R"("})")
                                << "The payload has 1048587 bytes; a command has at most 4096." << QJsonValue() << 0 << QByteArray();
    QTest::newRow("unknown key") << allowed << "write" << QByteArray(R"({"data":"01","port":"/dev/ttyUSB1"})")
                                 << "The write command knows no key \"port\"" << QJsonValue() << 0 << QByteArray();
    QTest::newRow("update of a chosen file") << allowed << "update/install" << QByteArray(R"({"url":"https://127.0.0.1/x.cyacd"})")
                                             << "The update/install command knows no key \"url\"" << QJsonValue() << 0 << QByteArray();
    QTest::newRow("command not allowed") << allowed << "reset" << QByteArray(R"({"transaction":"r"})")
                                         << "The command reset is off for MQTT" << QJsonValue("r") << 0 << QByteArray();
    QTest::newRow("update") << allowed << "update/install" << QByteArray(R"({"transaction":"u"})") << QString() << QJsonValue("u")
                            << -1 << QByteArray();
}

void TestVexbusdMqtt::answersEveryCommand()
{
    QFETCH(QByteArray, settings);
    QFETCH(QString, command);
    QFETCH(QByteArray, payload);
    QFETCH(QString, error);
    QFETCH(QJsonValue, transaction);
    QFETCH(int, requestsSent);
    QFETCH(QByteArray, lastPayload);

    if (!m_vexbusd || m_serviceSettings != settings) {
        stopService();
        const int bar = settings.indexOf('|');
        QVERIFY(startService(settings.left(bar), settings.mid(bar + 1)));
    }
    std::unique_ptr<Probe> client = probe();
    QVERIFY(client);
    QTRY_COMPARE_WITH_TIMEOUT(client->last(topic("availability")), QByteArray("online"), 10000);
    m_emulator->setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    if (command == QLatin1String("update/install"))
        QTRY_COMPARE_WITH_TIMEOUT(json(client->last(topic("update"))).value("latest_version").toString(), QStringLiteral("1.5.0"), 10000);
    const int before = m_emulator->requests().count();

    QVERIFY(client->publish(topic(command), payload));
    const QString responseTopic = topic(command + QStringLiteral("/response"));
    QTRY_COMPARE_WITH_TIMEOUT(client->payloads(responseTopic).count(), 1, (requestsSent < 0 ? 60000 : 10000));
    const QJsonObject response = json(client->last(responseTopic));
    QCOMPARE(response.value("status").toString(), error.isEmpty() ? QStringLiteral("ok") : QStringLiteral("error"));
    QVERIFY2(response.value("error").toString().contains(error), qPrintable(response.value("error").toString()));
    QCOMPARE(response.value("transaction"), transaction.isNull() ? QJsonValue(QJsonValue::Undefined) : transaction);
    if (command == QLatin1String("update/install") && !error.isEmpty()) {
        // A refused update is in the history too.
        QTRY_COMPARE_WITH_TIMEOUT(json(client->last(topic("update/last"))).value("message").toString(), response.value("error").toString(), 5000);
        QCOMPARE(json(client->last(topic("update/last"))).value("result").toString(), QStringLiteral("refused"));
        QCOMPARE(json(client->last(topic("update/last"))).value("trigger").toString(), QStringLiteral("mqtt"));
    }
    if (requestsSent < 0) {
        // The update wrote the release, and the bridge tells its newcomers.
        QTRY_COMPARE_WITH_TIMEOUT(json(client->last(topic("update"))).value("installed_version").toString(), QStringLiteral("1.5.0"), 10000);
        QCOMPARE(json(client->last(topic("update/status"))).value("phase").toString(), QStringLiteral("done"));
        // Progress in steps of five percent, in messages that Home
        // Assistant takes.
        QList<double> percentages;
        for (const QByteArray &update : client->payloads(topic("update"))) {
            QVERIFY2(refusedByHomeAssistant(update).isEmpty(), qPrintable(refusedByHomeAssistant(update)));
            const QJsonValue percentage = json(update).value("update_percentage");
            // Another change of the update's state repeats the progress.
            if (percentage.isDouble() && (percentages.isEmpty() || percentage.toDouble() != percentages.last())) {
                QVERIFY2(percentages.isEmpty() || std::floor(percentage.toDouble() / 5) > std::floor(percentages.last() / 5)
                         || percentage.toDouble() == 100, qPrintable(QString::number(percentage.toDouble())));
                percentages.append(percentage.toDouble());
            }
        }
        QVERIFY2(percentages.count() > 10 && percentages.count() <= 22, qPrintable(QString::number(percentages.count())));
        QCOMPARE(percentages.last(), 100.0);
        QVERIFY(!m_emulator->requests(NivoraVexbusUsbEmulator::RecordedRequest::ProtocolBootloader, 0x39).isEmpty());
        // The history's entry, retained for the fleet.
        QTRY_VERIFY_WITH_TIMEOUT(!client->last(topic("update/last")).isEmpty(), 5000);
        const QJsonObject last = json(client->last(topic("update/last")));
        QCOMPARE(last.value("result").toString(), QStringLiteral("succeeded"));
        QCOMPARE(last.value("trigger").toString(), QStringLiteral("mqtt"));
        QCOMPARE(last.value("requester").toString(), QStringLiteral("transaction \"u\""));
        QCOMPARE(last.value("firmware_before").toString(), QStringLiteral("1.4.12"));
        QCOMPARE(last.value("firmware_after").toString(), QStringLiteral("1.5.0"));
        QCOMPARE(last.value("release_version").toString(), QStringLiteral("1.5.0"));
        QCOMPARE(last.value("release_channel").toString(), QStringLiteral("stable"));
        QCOMPARE(last.value("release_signed").toBool(), true);
        QCOMPARE(last.value("gateway").toString(), QStringLiteral("test-gateway"));
        QCOMPARE(last.value("image_sha256").toString(),
                 QString::fromLatin1(QCryptographicHash::hash(NivoraTest::readFile(QStringLiteral(SAMPLE_FIRMWARE)), QCryptographicHash::Sha256).toHex()));
        return;
    }
    // The controller's own requests (status, version) are not the command's.
    QList<NivoraVexbusUsbEmulator::RecordedRequest> sent = m_emulator->requests().mid(before);
    sent.erase(std::remove_if(sent.begin(), sent.end(), [](const NivoraVexbusUsbEmulator::RecordedRequest &request) {
        return request.command() == 0x01 || request.command() == 0x04;
    }), sent.end());
    QCOMPARE(sent.count(), requestsSent);
    if (!lastPayload.isEmpty())
        QCOMPARE(sent.last().payload().toHex(), lastPayload);
}

void TestVexbusdMqtt::connectsOrSaysWhy_data()
{
    QTest::addColumn<QByteArray>("mqttLines"); // PORT_PLAIN, PORT_TLS: the broker's ports; PORT_CLOSED: nobody's
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("warning"); // logged at each attempt; empty when the bridge connects

    const QByteArray tcp = "Broker=mqtt://127.0.0.1:PORT_PLAIN\n";
    const QByteArray tls = "Broker=mqtts://127.0.0.1:PORT_TLS\n";
    QTest::newRow("plain") << tcp << bridgePassword << QString();
    QTest::newRow("TLS with the broker's CA") << tls + "CaFile=" + path("server.crt").toUtf8() + "\n" << bridgePassword << QString();
    QTest::newRow("wrong password") << tcp << QByteArray("wrong")
            << "The MQTT broker \"127.0.0.1\" port PORT_PLAIN refused the connection of \"vexbusd\" : Connection Refused: not authorised.";
    QTest::newRow("TLS with an unknown CA") << tls << bridgePassword
            << "Cannot reach the MQTT broker \"127.0.0.1\" port PORT_TLS : \"A TLS error occurred.\"";
    QTest::newRow("no broker on the port") << QByteArray("Broker=mqtt://127.0.0.1:PORT_CLOSED\n") << bridgePassword
            << "Cannot reach the MQTT broker \"127.0.0.1\" port PORT_CLOSED : \"Connection refused\"";
}

void TestVexbusdMqtt::connectsOrSaysWhy()
{
    QFETCH(QByteArray, mqttLines);
    QFETCH(QByteArray, password);
    QFETCH(QString, warning);

    const auto ports = [this](QString text) {
        return text.replace(QLatin1String("PORT_PLAIN"), QString::number(m_port)).replace(QLatin1String("PORT_TLS"), QString::number(m_tlsPort))
                .replace(QLatin1String("PORT_CLOSED"), QString::number(m_closedPort));
    };
    QFile passwordFile(path(QStringLiteral("bridge-password")));
    QVERIFY(passwordFile.open(QIODevice::WriteOnly));
    passwordFile.write(password + "\n");
    passwordFile.close();
    const auto restore = qScopeGuard([this]() {
        QFile passwordFile(path(QStringLiteral("bridge-password")));
        if (passwordFile.open(QIODevice::WriteOnly))
            passwordFile.write(bridgePassword + "\n");
    });
    QVERIFY(startService(ports(QString::fromUtf8(mqttLines)).toUtf8()));
    std::unique_ptr<Probe> watcher = probe();
    QVERIFY(watcher);
    if (warning.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(watcher->last(bridgeState), QByteArray("online"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(watcher->last(topic("availability")), QByteArray("online"), 10000);
        QVERIFY2(!m_serviceOutput.contains("VexbusdMqtt: Cannot") && !m_serviceOutput.contains("refused"), m_serviceOutput.constData());
        return;
    }
    // Tried again after a second, and the service serves on D-Bus meanwhile.
    const QByteArray expected = "VexbusdMqtt: " + ports(warning).toUtf8() + "\n";
    QTRY_VERIFY2_WITH_TIMEOUT(m_serviceOutput.count(expected) >= 2, m_serviceOutput.right(3000).constData(), 10000);
    QDBusConnection connection = QDBusConnection::connectToBus(m_bus->address(), QStringLiteral("credentials"));
    QVERIFY(connection.interface()->isServiceRegistered(QStringLiteral("org.nivora.Vexbus1")));
    QDBusConnection::disconnectFromBus(QStringLiteral("credentials"));
    QVERIFY(watcher->last(bridgeState) != "online");
}


void TestVexbusdMqtt::takesTheFleetPolicyFromItsTopic()
{
    const QString fleetTopic = QStringLiteral("vexbus/fleet/policy");
    const QString stateTopic = QStringLiteral("vexbus/bridge/test-gateway/policy");
    // The message of a policy as the publisher makes it; percent 0 installs nothing.
    const auto message = [this](int sequence) {
        const QString folder = path(QStringLiteral("policy-%1").arg(sequence));
        QDir().mkpath(folder);
        const NivoraTest::ToolResult written = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE),
                {"policy", folder, "--sequence", QString::number(sequence), "--target", "1.5.0", "--approve", QString(64, QLatin1Char('a')),
                 "--rollout", "fleet-a", "--percent", "0", "--key", path("publisher.key")});
        const NivoraTest::ToolResult payload = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE), {"payload", folder + "/policy.json"});
        return written.exitCode == 0 && payload.exitCode == 0 ? payload.out.trimmed().toUtf8() : QByteArray();
    };
    QVERIFY(startService(QByteArray(), "TrustedKeys=" + path("publisher.pub").toUtf8() + "\n[Policy]\nInterval=0\n"));
    std::unique_ptr<Probe> watcher = probe();
    QVERIFY(watcher);
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher->last(stateTopic)).value("state").toString(), QStringLiteral("none"), 10000);
    QVERIFY(json(watcher->last(stateTopic)).value("refusal").isNull());

    const QByteArray second = message(2);
    QVERIFY(!second.isEmpty());
    QVERIFY(watcher->publish(fleetTopic, second, true));
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher->last(stateTopic)).value("sequence").toInt(), 2, 5000);
    QJsonObject state = json(watcher->last(stateTopic));
    QCOMPARE(state.value("gateway").toString(), QStringLiteral("test-gateway"));
    QCOMPARE(state.value("state").toString(), QStringLiteral("active"));
    QCOMPARE(state.value("target").toString(), QStringLiteral("1.5.0"));
    QCOMPARE(state.value("rollout").toString(), QStringLiteral("fleet-a"));
    QCOMPARE(state.value("percent").toInt(-1), 0);

    // Each refused with its reason, the policy held staying.
    const QJsonObject unsigned3{{"policy", QString::fromLatin1(QByteArray::fromBase64(json(message(3)).value("policy").toString().toLatin1()).toBase64())}};
    const QList<QPair<QByteArray, QString>> refused{
        {QJsonDocument(unsigned3).toJson(QJsonDocument::Compact), QStringLiteral("unsigned")},
        {QByteArray("policy 4, trust me"), QStringLiteral("malformed")},
        {message(1), QStringLiteral("older")},
    };
    for (const auto &bad : refused) {
        QVERIFY(watcher->publish(fleetTopic, bad.first, true));
        QTRY_COMPARE_WITH_TIMEOUT(json(watcher->last(stateTopic)).value("refusal").toObject().value("reason").toString(), bad.second, 5000);
        state = json(watcher->last(stateTopic));
        QCOMPARE(state.value("sequence").toInt(), 2);
        QCOMPARE(state.value("refusal").toObject().value("source").toString(), QStringLiteral("mqtt"));
        QVERIFY(m_serviceOutput.contains("Refused the fleet policy"));
    }
    QCOMPARE(state.value("refusal").toObject().value("sequence").toInt(), 1);

    // After a restart the kept policy holds, and the older one retained on
    // the broker is still refused.
    watcher->clear();
    QVERIFY(startService(QByteArray(), "TrustedKeys=" + path("publisher.pub").toUtf8() + "\n[Policy]\nInterval=0\n"));
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher->last(stateTopic)).value("refusal").toObject().value("reason").toString(),
                              QStringLiteral("older"), 10000);
    QCOMPARE(json(watcher->last(stateTopic)).value("sequence").toInt(), 2);

    // The fleet view shows it for the gateway.
    QFile operatorPasswordFile(path(QStringLiteral("operator-password")));
    QVERIFY(operatorPasswordFile.open(QIODevice::WriteOnly) && operatorPasswordFile.write(operatorPassword + "\n") > 0);
    operatorPasswordFile.close();
    const NivoraTest::ToolResult fleet = NivoraTest::runTool(QStringLiteral(VEXBUSCTL), {
            "fleet", "--broker", QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port), "--user", QString::fromUtf8(operatorUser),
            "--password-file", operatorPasswordFile.fileName()});
    QVERIFY2(fleet.out.contains(QRegularExpression(QStringLiteral("^test-gateway  A5XK1234  connected  .*  policy 2 active \\(refused older\\)$"),
                                                   QRegularExpression::MultilineOption)), qPrintable(fleet.describe()));
    QVERIFY(watcher->publish(fleetTopic, QByteArray(), true));
}

void TestVexbusdMqtt::gatewaysShareOneBrokerAndOneFile()
{
    // One settings file on two gateways, as an operator copies it: no
    // [Gateway] Id, no client id of their own. The second gateway's
    // adapter has no serial number. (Its port differs from the first one's
    // only because both gateways share this machine's serial-port locks.)
    TestPlatform second;
    second.addAdapter(QString(), QStringLiteral("ttyUSB1"));
    VexbusEmulator secondEmulator;
    QVERIFY(secondEmulator.attach(second.masterFd(QStringLiteral("ttyUSB1"))));
    QFile settings(path(QStringLiteral("fleet.conf")));
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write("[mqtt]\nBroker=mqtt://127.0.0.1:" + QByteArray::number(m_port) + "\nUser=vexbusd\nPasswordFile="
                   + path(QStringLiteral("bridge-password")).toUtf8() + "\nCommands=write\nFrames=0a1b, 05xx02\n");
    settings.close();
    std::unique_ptr<Probe> watcher = probe();
    QVERIFY(watcher);

    NivoraTest::PrivateBus secondBus;
    QVERIFY(secondBus.start({QStringLiteral(VEXBUSD_POLICY)}));
    const QString roots[] = {m_platform->rootDir(), second.rootDir()};
    const QString buses[] = {m_bus->address(), secondBus.address()};
    std::unique_ptr<QProcess> gateways[2];
    QByteArray outputs[2];
    for (int i = 0; i < 2; ++i) {
        const QString machineId = path(QStringLiteral("machine-id-%1").arg(i));
        QFile file(machineId);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(i == 0 ? "0123456789abcdef0123456789abcdef\n" : "fedcba9876543210fedcba9876543210\n"));
        file.close();
        gateways[i].reset(new QProcess);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("UMOCKDEV_DIR"), roots[i]);
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), buses[i]);
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false;VexbusdMqtt.debug=true"));
        gateways[i]->setProcessEnvironment(environment);
        gateways[i]->setProcessChannelMode(QProcess::MergedChannels);
        QProcess *gateway = gateways[i].get();
        QByteArray *output = &outputs[i];
        connect(gateway, &QProcess::readyReadStandardOutput, this, [gateway, output]() { *output += gateway->readAllStandardOutput(); });
        gateway->start(QStringLiteral(VEXBUSD), {QStringLiteral("--config"), settings.fileName(),
                                                QStringLiteral("--machine-id"), machineId,
                                                QStringLiteral("--state-directory"), path(QStringLiteral("state-%1").arg(i))});
        QVERIFY(gateway->waitForStarted(5000));
    }
    const auto stop = qScopeGuard([&]() {
        if (QTest::currentTestFailed())
            qInfo().noquote() << "The gateways said:\n" << outputs[0].right(3000) << "\n---\n" << outputs[1].right(3000);
        for (auto &gateway : gateways) {
            gateway->terminate();
            NivoraTest::waitForFinished(gateway.get(), 5000);
        }
    });

    // Each gateway's bridge and adapter under a name of its own.
    QStringList ids;
    QTRY_VERIFY_WITH_TIMEOUT([&]() {
        ids.clear();
        for (const auto &message : watcher->messages()) {
            const QStringList levels = message.first.split(QLatin1Char('/'));
            if (levels.count() == 4 && levels.at(1) == QLatin1String("bridge") && message.second == "online" && !ids.contains(levels.at(2)))
                ids.append(levels.at(2));
        }
        return ids.count() == 2;
    }(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!json(watcher->last(topic("state"))).value("gateway").toString().isEmpty(), 10000);
    const QString gatewayOne = json(watcher->last(topic("state"))).value("gateway").toString();
    QVERIFY(ids.contains(gatewayOne));
    const QString gatewayTwo = ids.at(ids.at(0) == gatewayOne ? 1 : 0);
    for (const QString &id : ids) {
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(id).hasMatch(), qPrintable(id));
        QVERIFY(!id.contains(QLatin1String("0123456789abcdef")) && !id.contains(QLatin1String("fedcba9876543210")));
    }
    const QString nameless = QStringLiteral("vexbus/%1_dev_ttyUSB1/").arg(gatewayTwo);
    QTRY_COMPARE_WITH_TIMEOUT(watcher->last(nameless + "availability"), QByteArray("online"), 10000);
    QCOMPARE(json(watcher->last(nameless + "state")).value("gateway").toString(), gatewayTwo);

    // Home Assistant: each gateway a device, each adapter plugged into its
    // own, and available only while its own bridge and itself are.
    const QJsonObject firmware = json(watcher->last(QStringLiteral("homeassistant/sensor/vexbus_%1_dev_ttyUSB1/firmware_version/config").arg(gatewayTwo)));
    QCOMPARE(firmware.value("device").toObject().value("via_device").toString(), "vexbus_gateway_" + gatewayTwo);
    QCOMPARE(firmware.value("availability").toArray(),
             (QJsonArray{QJsonObject{{"topic", QStringLiteral("vexbus/bridge/%1/state").arg(gatewayTwo)}},
                         QJsonObject{{"topic", nameless + "availability"}}}));
    QCOMPARE(firmware.value("availability_mode").toString(), QStringLiteral("all"));
    QCOMPARE(json(watcher->last(QStringLiteral("homeassistant/binary_sensor/vexbus_gateway_%1/bridge/config").arg(gatewayOne)))
             .value("state_topic").toString(), QStringLiteral("vexbus/bridge/%1/state").arg(gatewayOne));

    // The owner answers, with the transaction, also an error; the other
    // gateway and a gateway without the adapter keep silent.
    watcher->clear();
    QVERIFY(watcher->publish(topic("write"), R"({"data":"0a1b","transaction":"t-1"})"));
    QVERIFY(watcher->publish(nameless + "write", R"({"data":"0g","transaction":9})"));
    QVERIFY(watcher->publish(QStringLiteral("vexbus/NOBODY/write"), R"({"data":"01","transaction":"x"})"));
    QTRY_COMPARE_WITH_TIMEOUT(watcher->payloads(topic("write/response")).count(), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(watcher->payloads(nameless + "write/response").count(), 1, 5000);
    // Frames as the patterns choose them.
    const QList<QByteArray> frames{QByteArray::fromHex("0a1b2c"), QByteArray::fromHex("ff00"), QByteArray::fromHex("05aa02"),
                                   QByteArray::fromHex("05")};
    for (const QByteArray &frame : frames)
        QVERIFY(m_emulator->sendBusData(frame));
    QTRY_COMPARE_WITH_TIMEOUT(watcher->payloads(topic("frame")).count(), 2, 5000);
    // Enough for a second answer or a reconnection after a taken client id.
    QTest::qWait(1500);
    QCOMPARE(json(watcher->last(topic("write/response"))),
             (QJsonObject{{"status", "ok"}, {"gateway", gatewayOne}, {"transaction", "t-1"}}));
    const QJsonObject refused = json(watcher->last(nameless + "write/response"));
    QCOMPARE(refused.value("status").toString(), QStringLiteral("error"));
    QCOMPARE(refused.value("transaction"), QJsonValue(9));
    QCOMPARE(refused.value("gateway").toString(), gatewayTwo);
    QCOMPARE(watcher->payloads(topic("write/response")).count() + watcher->payloads(nameless + "write/response").count(), 2);
    QVERIFY(watcher->payloads(QStringLiteral("vexbus/NOBODY/write/response")).isEmpty());
    QCOMPARE(json(watcher->payloads(topic("frame")).at(0)).value("data").toString(), QStringLiteral("0a1b2c"));
    QCOMPARE(json(watcher->payloads(topic("frame")).at(1)).value("data").toString(), QStringLiteral("05aa02"));
    for (const QByteArray &output : outputs) {
        QCOMPARE(output.count("Connected to the MQTT broker"), 1);
        QVERIFY2(!output.contains("Lost the MQTT broker"), output.constData());
    }

    // The fleet as the broker keeps it, a line per gateway and adapter.
    QFile operatorPasswordFile(path(QStringLiteral("operator-password")));
    QVERIFY(operatorPasswordFile.open(QIODevice::WriteOnly) && operatorPasswordFile.write(operatorPassword + "\n") > 0);
    operatorPasswordFile.close();
    const QStringList fleetArguments{QStringLiteral("fleet"), QStringLiteral("--broker"), QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port),
                                     QStringLiteral("--user"), QString::fromUtf8(operatorUser), QStringLiteral("--password-file"),
                                     operatorPasswordFile.fileName()};
    const NivoraTest::ToolResult fleet = NivoraTest::runTool(QStringLiteral(VEXBUSCTL), fleetArguments + QStringList{QStringLiteral("--json")});
    QVERIFY2(fleet.exitCode == 0, qPrintable(fleet.describe()));
    QMap<QString, QJsonObject> lines;
    for (const QString &line : fleet.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines.insert(json(line.toUtf8()).value("gateway").toString(), json(line.toUtf8()));
    QStringList bothGateways{gatewayOne, gatewayTwo};
    std::sort(bothGateways.begin(), bothGateways.end());
    QCOMPARE(lines.keys(), bothGateways);
    QCOMPARE(lines.value(gatewayOne).value("adapter").toString(), serial);
    QCOMPARE(lines.value(gatewayOne).value("firmware").toString(), QStringLiteral("1.4.12"));
    QCOMPARE(lines.value(gatewayOne).value("state").toString(), QStringLiteral("connected"));
    QCOMPARE(lines.value(gatewayOne).value("bridge").toString(), QStringLiteral("online"));
    QCOMPARE(lines.value(gatewayTwo).value("adapter").toString(), gatewayTwo + "_dev_ttyUSB1");

    // One gateway gone, killed: its last will says so for it alone.
    ::kill(pid_t(gateways[0]->processId()), SIGKILL);
    QTRY_COMPARE_WITH_TIMEOUT(watcher->last(QStringLiteral("vexbus/bridge/%1/state").arg(gatewayOne)), QByteArray("offline"), 10000);
    std::unique_ptr<Probe> newcomer = probe();
    QTRY_COMPARE_WITH_TIMEOUT(newcomer->last(QStringLiteral("vexbus/bridge/%1/state").arg(gatewayTwo)), QByteArray("online"), 5000);
    QCOMPARE(newcomer->last(QStringLiteral("vexbus/bridge/%1/state").arg(gatewayOne)), QByteArray("offline"));
    const NivoraTest::ToolResult after = NivoraTest::runTool(QStringLiteral(VEXBUSCTL), fleetArguments);
    QVERIFY2(after.out.contains(QStringLiteral("%1  %2  gateway offline  firmware 1.4.12").arg(gatewayOne, serial)), qPrintable(after.describe()));
    QVERIFY2(after.out.contains(QStringLiteral("%1  %1_dev_ttyUSB1  connected").arg(gatewayTwo)), qPrintable(after.describe()));
}

QTEST_GUILESS_MAIN(TestVexbusdMqtt)
#include "tst_vexbusdmqtt.moc"
