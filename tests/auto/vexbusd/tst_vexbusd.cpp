// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbusd on a private bus like the system bus, with the installed policy,
// owning two mocked adapters whose controllers are emulators in this
// process: what its clients see of the adapters, how its methods answer,
// updates, leases and who may talk to it.
#include "httpsserver.h"
#include "privatebus.h"
#include "testplatform.h"
#include "toolprocess.h"
#include "vexbusemulator.h"

#include "firmware/releasekey.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sqlite3.h>

using NivoraTest::TestPlatform;
using NivoraVexbusUsb::ReleaseKey;
using NivoraVexbusUsbEmulator::RecordedRequest;
using NivoraVexbusUsbEmulator::VexbusEmulator;

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;
Q_DECLARE_METATYPE(ManagedObjects)

namespace {

const QString service = QStringLiteral("org.nivora.Vexbus1");
const QString adapterInterface = QStringLiteral("org.nivora.Vexbus1.Adapter");
const QString firstPath = QStringLiteral("/org/nivora/Vexbus1/adapter/A5XK1234");
const QString secondPath = QStringLiteral("/org/nivora/Vexbus1/adapter/C3PO0042");
const QByteArray machineIdOfTest = "0123456789abcdef0123456789abcdef";

// Runs the event loop until done() holds or timeoutMs passed. QTest::qWait
// sleeps between its turns of the event loop, and the emulators in this
// process answered each request of an update up to 10 ms late for it.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer check;
    check.setInterval(1);
    QObject::connect(&check, &QTimer::timeout, &loop, [&]() {
        if (done() || clock.elapsed() >= timeoutMs)
            loop.quit();
    });
    check.start();
    loop.exec();
    return done();
}

bool writeFile(const QString &fileName, const QByteArray &data)
{
    QFile file(fileName);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// Collects the signals a client receives.
class SignalLog : public QObject
{
    Q_OBJECT
public:
    QList<QDBusMessage> messages;
public slots:
    void take(const QDBusMessage &message) { messages.append(message); }
};

} // namespace

class TestVexbusd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void listsAdaptersAndFollowsPlugging();
    void clientsMonitorTheSameFrames();
    void socketClientsSeeTheFramesOfSignalClients();
    void aClientThatStopsReadingLosesFramesAlone();
    void framesGoOnlyThroughSocketsWithoutTheSignal();
    void aLeaseEndsWithItsSocketOrItsClient();
    void writeSocketAnswersEachWrite_data();
    void writeSocketAnswersEachWrite();
    void methodsAnswerWithTheOutcome_data();
    void methodsAnswerWithTheOutcome();
    void updatesWhileAnotherClientWatches();
    void answersFromTheReleaseServer_data();
    void answersFromTheReleaseServer();
    void vexbusctlSaysTheSameThroughTheService_data();
    void vexbusctlSaysTheSameThroughTheService();
    void monitorGoesOnAfterTheAdapterCameBack();
    void lendsThePortUntilItsHolderLeaves();
    void keepsTheHistoryThroughKillsAndDamage();
    void bringsBackAControllerFromItsBootloader();
    void leavesTheBootloaderToAnOperatorWhenSetSo();
    void reopensAPortThatHungUp();
    void refusesUsersOutsideTheGroup();
    void refusesPoliciesItCannotTrust_data();
    void refusesPoliciesItCannotTrust();
    void updatesTheAdaptersInThePolicysRollout();
    void policyHoldsAdaptersBack_data();
    void policyHoldsAdaptersBack();
    void aFailedPolicyUpdateHaltsTheGatewaysRollout();
    void refusesToStartWithoutWhatItNeeds_data();
    void refusesToStartWithoutWhatItNeeds();

private:
    QDBusConnection client(const QString &name);
    QDBusMessage call(const QDBusConnection &connection, const QString &path, const QString &method,
                      const QVariantList &arguments = {}, int timeoutMs = 10000);
    QVariant property(const QString &path, const QString &name);
    ManagedObjects managedObjects();
    int requestCount(VexbusEmulator *emulator) const;
    // Starts vexbusd and waits for the adapters at the paths to answer.
    void startService(const QStringList &available);
    QString stateDirectory() const;
    QList<QVariantMap> history(const QString &path, bool all);
    // An update from a file that is no image; the error's name.
    QString refuseUpdate(const QString &path);
    // The socket that method (AcquireFrames, AcquireWrite) gives a client
    // on the first adapter; -1 when refused.
    int acquire(const QDBusConnection &connection, const QString &method);
    // Runs vexbusctl with arguments; once it monitors, the first emulator
    // sends frames.
    NivoraTest::ToolResult runVexbusctl(const QStringList &arguments, const QList<QByteArray> &frames);
    // Unplugs the first adapter and plugs it in again with its controller
    // in mode.
    void replug(VexbusEmulator::Mode mode);
    // Where the service keeps the image it installed on the first adapter.
    QDir keptFolder() const;
    // Waits for the Recovery property and checks its message, and what
    // vexbusctl status says of it when asked to.
    void expectRecovery(const QString &recovery, const QString &message, bool askVexbusctl = true);
    // Writes and signs the fleet policy on the release server with
    // vexbus-release policy and arguments; key is the publisher's by default.
    void publishPolicy(const QStringList &arguments, const QString &key = QString());
    QString policyFolder() const;
    // Waits until the adapter at path shows the fleet policy property as expected.
    void expectPolicy(const QString &path, const QString &name, const QVariant &expected, int timeoutMs = 10000);
    // How many updates the controller was asked to start.
    static int startedUpdates(VexbusEmulator *emulator);

    std::unique_ptr<TestPlatform> m_platform;
    std::unique_ptr<VexbusEmulator> m_emulators[2];
    std::unique_ptr<NivoraTest::PrivateBus> m_bus;
    std::unique_ptr<QTemporaryDir> m_directory;
    std::unique_ptr<QProcess> m_vexbusd;
    QStringList m_clients;
    // The release server and its publisher, for all tests.
    QTemporaryDir m_releaseDirectory;
    NivoraTest::HttpsServer m_server;
    QString m_publisherFingerprint;
};

void TestVexbusd::initTestCase()
{
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    qDBusRegisterMetaType<QList<QVariantMap>>();

    // Signed releases: 1.5.0 as the current one, 1.6.0 as a pre-release.
    // The service trusts the server's certificate and the publisher's key
    // through its settings.
    QString error;
    QVERIFY2(m_server.start(m_releaseDirectory.path(), m_releaseDirectory.filePath(QStringLiteral("www")), &error, false),
             qPrintable(error));
    const QString publisher = m_releaseDirectory.filePath(QStringLiteral("publisher"));
    const NivoraTest::ToolResult keygen = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE), {"keygen", publisher});
    QVERIFY2(keygen.exitCode == 0, qPrintable(keygen.describe()));
    const QString folder = m_releaseDirectory.filePath(QStringLiteral("www/firmware/nivora-vexbususb"));
    const QList<QPair<QString, QString>> releases{{folder, QStringLiteral("1.5.0")}, {folder + QStringLiteral("/pre-release"), QStringLiteral("1.6.0")}};
    for (const auto &release : releases) {
        const QString image = QStringLiteral("%1/vexbus-adapter-%2.cyacd").arg(release.first, release.second);
        QVERIFY(QDir().mkpath(release.first) && QFile::copy(QStringLiteral(SAMPLE_FIRMWARE), image));
        const NivoraTest::ToolResult written = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE),
                {"write", image, "--release-version", release.second, "--key", publisher + QStringLiteral(".key")});
        QVERIFY2(written.exitCode == 0, qPrintable(written.describe()));
    }
    m_publisherFingerprint = NivoraVexbusUsb::ReleaseKey::fromPem(NivoraTest::readFile(publisher + QStringLiteral(".pub"))).fingerprint();
    QVERIFY(!m_publisherFingerprint.isEmpty());
}

void TestVexbusd::init()
{
    // A service that does not start needs no adapters and no bus.
    if (QLatin1String(QTest::currentTestFunction()) == QLatin1String("refusesToStartWithoutWhatItNeeds"))
        return;
    m_platform.reset(new TestPlatform);
    m_platform->addAdapter(QStringLiteral("A5XK1234"));
    m_platform->addAdapter(QStringLiteral("C3PO0042"), QStringLiteral("ttyUSB1"), QStringLiteral("04b4"), QStringLiteral("f139"));
    // Left alone, as the settings say.
    m_platform->addAdapter(QStringLiteral("IGNORE01"), QStringLiteral("ttyUSB2"));
    for (int i = 0; i < 2; ++i) {
        m_emulators[i].reset(new VexbusEmulator);
        QVERIFY(m_emulators[i]->attach(m_platform->masterFd(QStringLiteral("ttyUSB%1").arg(i))));
    }

    m_bus.reset(new NivoraTest::PrivateBus);
    QVERIFY(m_bus->start({QStringLiteral(VEXBUSD_POLICY)}));
    m_directory.reset(new QTemporaryDir);
    QFile settings(m_directory->filePath(QStringLiteral("vexbusd.conf")));
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write("[Adapters]\nIgnore=IGNORE01\n");
    // A controller in its bootloader is found after three init requests
    // that time out.
    if (QLatin1String(QTest::currentTestFunction()) == QLatin1String("bringsBackAControllerFromItsBootloader"))
        settings.write("ResponseTimeout=250\n");
    if (QLatin1String(QTest::currentTestFunction()) == QLatin1String("leavesTheBootloaderToAnOperatorWhenSetSo"))
        settings.write("ResponseTimeout=250\nRecoverFromBootloader=false\n");
    if (QLatin1String(QTest::currentTestFunction()) == QLatin1String("framesGoOnlyThroughSocketsWithoutTheSignal"))
        settings.write("[DBus]\nBusFrameSignal=false\n");
    // The fleet policy is fetched every second.
    if (QLatin1String(QTest::currentTestFunction()).contains(QLatin1String("olic")))
        settings.write("[Policy]\nInterval=1\n");
    settings.write(QStringLiteral("[Release]\nServer=%1\nCaCertificate=%2\nTrustedKeys=%3\n")
                           .arg(m_server.url(QStringLiteral("/firmware/nivora-vexbususb")),
                                m_releaseDirectory.filePath(QStringLiteral("server.crt")),
                                m_releaseDirectory.filePath(QStringLiteral("publisher.pub"))).toUtf8());
    settings.close();

    // The service and vexbusctl find the private bus as the system bus.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus->address().toUtf8());
    QFile machineId(m_directory->filePath(QStringLiteral("machine-id")));
    QVERIFY(machineId.open(QIODevice::WriteOnly));
    machineId.write(machineIdOfTest + "\n");
    machineId.close();
    startService({firstPath, secondPath});
}

void TestVexbusd::startService(const QStringList &available)
{
    m_vexbusd.reset(new QProcess);
    m_vexbusd->setProcessChannelMode(QProcess::ForwardedChannels);
    // A firmware cache of its own: no release taken in an earlier test counts.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_directory->filePath(QStringLiteral("cache")));
    m_vexbusd->setProcessEnvironment(environment);
    m_vexbusd->start(QStringLiteral(VEXBUSD), {QStringLiteral("--config"), m_directory->filePath(QStringLiteral("vexbusd.conf")),
                                              QStringLiteral("--state-directory"), stateDirectory(),
                                              QStringLiteral("--machine-id"), m_directory->filePath(QStringLiteral("machine-id"))});
    QDBusConnection connection = client(QStringLiteral("first"));
    // Every row starts its own service: no QTRY, whose steps are 50 ms.
    QVERIFY(waitFor([&connection]() { return connection.interface()->isServiceRegistered(service).value(); }, 10000));
    QVERIFY(waitFor([this, available]() {
        return std::all_of(available.cbegin(), available.cend(), [this](const QString &path) {
            return property(path, QStringLiteral("Available")).toBool();
        });
    }, 10000));
}

QString TestVexbusd::stateDirectory() const
{
    return m_directory->filePath(QStringLiteral("state"));
}

QList<QVariantMap> TestVexbusd::history(const QString &path, bool all)
{
    const QDBusMessage reply = call(client(QStringLiteral("first")), path, QStringLiteral("GetHistory"),
                                    {QVariantMap{{QStringLiteral("all"), all}}});
    return qdbus_cast<QList<QVariantMap>>(reply.arguments().value(0));
}

QString TestVexbusd::refuseUpdate(const QString &path)
{
    QFile notAnImage(m_directory->filePath(QStringLiteral("not-an-image")));
    if (!notAnImage.open(QIODevice::ReadWrite) || notAnImage.write("no firmware\n") < 0 || !notAnImage.seek(0))
        return QStringLiteral("cannot write the file");
    return call(client(QStringLiteral("first")), path, QStringLiteral("UpdateFromImage"),
                {QVariant::fromValue(QDBusUnixFileDescriptor(notAnImage.handle()))}).errorName();
}

void TestVexbusd::cleanup()
{
    for (const QString &name : std::exchange(m_clients, {}))
        QDBusConnection::disconnectFromBus(name);
    if (m_vexbusd) {
        m_vexbusd->terminate();
        QVERIFY(NivoraTest::waitForFinished(m_vexbusd.get(), 5000));
        QCOMPARE(m_vexbusd->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_vexbusd->exitCode(), 0);
    }
    m_vexbusd.reset();
    m_bus.reset();
    QFile::remove(QDir(policyFolder()).filePath(QStringLiteral("policy.json")));
    QFile::remove(QDir(policyFolder()).filePath(QStringLiteral("policy.json.sig")));
    for (auto &emulator : m_emulators)
        emulator.reset();
    m_platform.reset();
}

QDBusConnection TestVexbusd::client(const QString &name)
{
    if (!m_clients.contains(name))
        m_clients.append(name);
    return QDBusConnection::connectToBus(m_bus->address(), name);
}

// Asynchronous, so that the emulators in this process answer meanwhile.
QDBusMessage TestVexbusd::call(const QDBusConnection &connection, const QString &path, const QString &method,
                               const QVariantList &arguments, int timeoutMs)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, adapterInterface, method);
    message.setArguments(arguments);
    QDBusPendingCall pending = connection.asyncCall(message, timeoutMs);
    waitFor([&pending]() { return pending.isFinished(); }, timeoutMs + 1000);
    return pending.reply();
}

QVariant TestVexbusd::property(const QString &path, const QString &name)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
    message << adapterInterface << name;
    QDBusPendingCall pending = client(QStringLiteral("first")).asyncCall(message);
    waitFor([&pending]() { return pending.isFinished(); }, 30000);
    return pending.reply().arguments().value(0).value<QDBusVariant>().variant();
}

ManagedObjects TestVexbusd::managedObjects()
{
    const QDBusMessage message = QDBusMessage::createMethodCall(service, QStringLiteral("/org/nivora/Vexbus1"),
                                                                QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                                QStringLiteral("GetManagedObjects"));
    QDBusPendingCall pending = client(QStringLiteral("first")).asyncCall(message);
    waitFor([&pending]() { return pending.isFinished(); }, 30000);
    return qdbus_cast<ManagedObjects>(pending.reply().arguments().value(0));
}

int TestVexbusd::requestCount(VexbusEmulator *emulator) const
{
    return emulator->requests().count();
}

void TestVexbusd::listsAdaptersAndFollowsPlugging()
{
    const ManagedObjects objects = managedObjects();
    QCOMPARE(objects.keys(), (QList<QDBusObjectPath>{QDBusObjectPath(firstPath), QDBusObjectPath(secondPath)}));
    const QVariantMap second = objects.value(QDBusObjectPath(secondPath)).value(adapterInterface);
    QCOMPARE(second.value(QStringLiteral("Port")).toString(), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(second.value(QStringLiteral("SerialNumber")).toString(), QStringLiteral("C3PO0042"));
    QCOMPARE(second.value(QStringLiteral("FirmwareVersion")).toString(), QStringLiteral("1.4.12"));
    QCOMPARE(second.value(QStringLiteral("State")).toString(), QStringLiteral("connected"));

    SignalLog added;
    SignalLog removed;
    QDBusConnection connection = client(QStringLiteral("first"));
    const QString objectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
    QVERIFY(connection.connect(service, QStringLiteral("/org/nivora/Vexbus1"), objectManager, QStringLiteral("InterfacesAdded"),
                               &added, SLOT(take(QDBusMessage))));
    QVERIFY(connection.connect(service, QStringLiteral("/org/nivora/Vexbus1"), objectManager, QStringLiteral("InterfacesRemoved"),
                               &removed, SLOT(take(QDBusMessage))));

    m_emulators[1]->detach();
    m_platform->unplug(QStringLiteral("ttyUSB1"));
    QTRY_COMPARE_WITH_TIMEOUT(removed.messages.count(), 1, 10000);
    QCOMPARE(removed.messages.first().arguments().value(0).value<QDBusObjectPath>().path(), secondPath);
    QCOMPARE(managedObjects().keys(), QList<QDBusObjectPath>{QDBusObjectPath(firstPath)});
    // The other adapter goes on as before.
    QVERIFY(property(firstPath, QStringLiteral("Available")).toBool());

    m_platform->plug(QStringLiteral("C3PO0042"), QStringLiteral("ttyUSB1"));
    QVERIFY(m_emulators[1]->attach(m_platform->masterFd(QStringLiteral("ttyUSB1"))));
    QTRY_COMPARE_WITH_TIMEOUT(added.messages.count(), 1, 10000);
    QCOMPARE(added.messages.first().arguments().value(0).value<QDBusObjectPath>().path(), secondPath);
    QTRY_VERIFY_WITH_TIMEOUT(property(secondPath, QStringLiteral("Available")).toBool(), 10000);
    QCOMPARE(removed.messages.count(), 1);
}

void TestVexbusd::clientsMonitorTheSameFrames()
{
    SignalLog logs[2];
    SignalLog changes;
    for (int i = 0; i < 2; ++i) {
        QVERIFY(client(QStringLiteral("monitor%1").arg(i)).connect(service, QString(), adapterInterface, QStringLiteral("BusFrameReceived"),
                                                                   &logs[i], SLOT(take(QDBusMessage))));
    }
    QVERIFY(client(QStringLiteral("monitor0")).connect(service, firstPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("PropertiesChanged"), &changes, SLOT(take(QDBusMessage))));
    const QList<QByteArray> frames{QByteArray::fromHex("0a1b2c"), QByteArray::fromHex("ff00"), QByteArray(255, '\x5a')};
    for (const QByteArray &frame : frames)
        QVERIFY(m_emulators[0]->sendBusData(frame));
    QVERIFY(m_emulators[1]->sendBusData(QByteArray::fromHex("c3")));
    m_emulators[0]->setLedMode(2);

    for (SignalLog &log : logs) {
        QTRY_COMPARE_WITH_TIMEOUT(log.messages.count(), 4, 5000);
        QList<QByteArray> first;
        for (const QDBusMessage &message : log.messages) {
            if (message.path() == firstPath)
                first.append(message.arguments().value(0).toByteArray());
            else
                QCOMPARE(message.arguments().value(0).toByteArray(), QByteArray::fromHex("c3"));
        }
        QCOMPARE(first, frames);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!changes.messages.isEmpty(), 5000);
    const QVariantMap changed = qdbus_cast<QVariantMap>(changes.messages.last().arguments().value(1));
    QCOMPARE(changed.value(QStringLiteral("LedMode")).toString(), QStringLiteral("blink-slow"));
}

int TestVexbusd::acquire(const QDBusConnection &connection, const QString &method)
{
    const QDBusMessage reply = call(connection, firstPath, method, {QVariantMap()});
    if (reply.type() != QDBusMessage::ReplyMessage)
        return -1;
    // The descriptor of the message closes with it: this copy is the test's.
    return ::fcntl(reply.arguments().value(0).value<QDBusUnixFileDescriptor>().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

namespace {

// Appends what a socket holds now to datagrams; false once it ended.
bool readDatagrams(int socket, QList<QByteArray> *datagrams)
{
    char buffer[4096];
    for (;;) {
        const ssize_t size = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (size < 0)
            return errno == EAGAIN;
        if (size == 0)
            return false;
        datagrams->append(QByteArray(buffer, int(size)));
    }
}

// The header of a frame's datagram as the interface documents it, written out.
QByteArray frameHeader(quint8 flags, quint32 dropped)
{
    QByteArray header(8, '\0');
    header[0] = 1;
    header[1] = char(flags);
    header[2] = 16;
    qToLittleEndian<quint32>(dropped, header.data() + 4);
    return header;
}

qint64 microsecondsNow()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000;
}

} // namespace

void TestVexbusd::socketClientsSeeTheFramesOfSignalClients()
{
    SignalLog signalled;
    QVERIFY(client(QStringLiteral("signals")).connect(service, firstPath, adapterInterface, QStringLiteral("BusFrameReceived"),
                                                       &signalled, SLOT(take(QDBusMessage))));
    int sockets[2];
    for (int i = 0; i < 2; ++i)
        QVERIFY((sockets[i] = acquire(client(QStringLiteral("socket%1").arg(i)), QStringLiteral("AcquireFrames"))) >= 0);
    const auto closeSockets = qScopeGuard([&sockets]() { ::close(sockets[0]); ::close(sockets[1]); });

    const QList<QByteArray> frames{QByteArray::fromHex("0a1b2c"), QByteArray::fromHex("ff00"), QByteArray(255, '\x5a')};
    const qint64 before = microsecondsNow();
    for (const QByteArray &frame : frames)
        QVERIFY(m_emulators[0]->sendBusData(frame));
    // The other adapter's frames are not this socket's.
    QVERIFY(m_emulators[1]->sendBusData(QByteArray::fromHex("c3")));
    QVERIFY(waitFor([&signalled]() { return signalled.messages.count() == 3; }, 5000));
    const qint64 after = microsecondsNow();

    for (int socket : sockets) {
        QList<QByteArray> datagrams;
        QVERIFY(waitFor([&]() { return !readDatagrams(socket, &datagrams) || datagrams.count() >= 3; }, 5000));
        QTest::qWait(20);
        QVERIFY(readDatagrams(socket, &datagrams));
        QCOMPARE(int(datagrams.count()), int(frames.count()));
        qint64 previous = before;
        for (int i = 0; i < frames.count(); ++i) {
            const QByteArray datagram = datagrams.at(i);
            QCOMPARE(datagram.left(8).toHex(), frameHeader(0, 0).toHex());
            const qint64 received = qFromLittleEndian<qint64>(datagram.constData() + 8);
            QVERIFY2(received >= previous && received <= after, qPrintable(QString::number(received - before)));
            previous = received;
            QCOMPARE(datagram.mid(16), frames.at(i));
            QCOMPARE(signalled.messages.at(i).arguments().value(0).toByteArray(), frames.at(i));
        }
    }
}

void TestVexbusd::aClientThatStopsReadingLosesFramesAlone()
{
    SignalLog signalled;
    QVERIFY(client(QStringLiteral("signals")).connect(service, firstPath, adapterInterface, QStringLiteral("BusFrameReceived"),
                                                       &signalled, SLOT(take(QDBusMessage))));
    const int reading = acquire(client(QStringLiteral("reading")), QStringLiteral("AcquireFrames"));
    const int stopped = acquire(client(QStringLiteral("stopped")), QStringLiteral("AcquireFrames"));
    const auto closeSockets = qScopeGuard([=]() { ::close(reading); ::close(stopped); });
    QVERIFY(reading >= 0 && stopped >= 0);

    // More than the service's queue of a socket holds (the system's default
    // socket buffer: about 280 short frames in Linux's 208 KiB), in bursts
    // that the others read before the next.
    const int count = 500 * qMax(1, NivoraTest::readFile(QStringLiteral("/proc/sys/net/core/wmem_default")).trimmed().toInt() / 212992);
    QList<QByteArray> frames;
    for (int i = 0; i <= count; ++i)
        frames.append(QByteArray::number(i));
    QList<QByteArray> read;
    for (int i = 0; i < count; ++i) {
        QVERIFY(m_emulators[0]->sendBusData(frames.at(i)));
        if (i % 50 == 49) {
            QVERIFY(waitFor([&]() { return !readDatagrams(reading, &read) || read.count() == i + 1; }, 5000));
            QVERIFY(waitFor([&]() { return signalled.messages.count() == i + 1; }, 5000));
        }
    }

    QList<QByteArray> late;
    QVERIFY(readDatagrams(stopped, &late));
    const int kept = int(late.count());
    QVERIFY2(kept > 0 && kept < count, qPrintable(QString::number(kept)));
    QVERIFY(m_emulators[0]->sendBusData(frames.last()));
    QVERIFY(waitFor([&]() { return !readDatagrams(stopped, &late) || late.count() == kept + 1; }, 5000));
    QCOMPARE(int(late.count()), kept + 1);
    // What it kept is the first frames, then the count of those it lost.
    for (int i = 0; i < kept; ++i) {
        QCOMPARE(late.at(i).left(8).toHex(), frameHeader(0, 0).toHex());
        QCOMPARE(late.at(i).mid(16), frames.at(i));
    }
    QCOMPARE(late.last().left(8).toHex(), frameHeader(0x01, quint32(count - kept)).toHex());
    QCOMPARE(late.last().mid(16), frames.last());

    // The others lost nothing.
    QVERIFY(waitFor([&]() { return !readDatagrams(reading, &read) || read.count() == count + 1; }, 5000));
    QVERIFY(waitFor([&]() { return signalled.messages.count() == count + 1; }, 5000));
    QCOMPARE(int(read.count()), count + 1);
    for (int i = 0; i <= count; ++i) {
        QCOMPARE(read.at(i).left(8).toHex(), frameHeader(0, 0).toHex());
        QCOMPARE(read.at(i).mid(16), frames.at(i));
        QCOMPARE(signalled.messages.at(i).arguments().value(0).toByteArray(), frames.at(i));
    }
}

void TestVexbusd::framesGoOnlyThroughSocketsWithoutTheSignal()
{
    SignalLog signalled;
    QVERIFY(client(QStringLiteral("signals")).connect(service, firstPath, adapterInterface, QStringLiteral("BusFrameReceived"),
                                                       &signalled, SLOT(take(QDBusMessage))));
    const int socket = acquire(client(QStringLiteral("socket")), QStringLiteral("AcquireFrames"));
    QVERIFY(socket >= 0);
    const auto closeSocket = qScopeGuard([socket]() { ::close(socket); });
    QVERIFY(m_emulators[0]->sendBusData(QByteArray::fromHex("0a1b2c")));
    QList<QByteArray> datagrams;
    QVERIFY(waitFor([&]() { return !readDatagrams(socket, &datagrams) || !datagrams.isEmpty(); }, 5000));
    QCOMPARE(int(datagrams.count()), 1);
    QCOMPARE(datagrams.first().mid(16), QByteArray::fromHex("0a1b2c"));
    // A signal would pass the bus daemon within milliseconds; none comes.
    QVERIFY(!waitFor([&signalled]() { return !signalled.messages.isEmpty(); }, 200));
}

void TestVexbusd::aLeaseEndsWithItsSocketOrItsClient()
{
    // Closed: the client's sockets count no more towards its limit.
    QDBusConnection holder = client(QStringLiteral("holder"));
    QList<int> sockets;
    const auto closeSockets = qScopeGuard([&sockets]() {
        for (int socket : sockets)
            ::close(socket);
    });
    for (int i = 0; i < 16; ++i) {
        sockets.append(acquire(holder, i % 2 ? QStringLiteral("AcquireWrite") : QStringLiteral("AcquireFrames")));
        QVERIFY(sockets.last() >= 0);
    }
    const QDBusMessage refused = call(holder, firstPath, QStringLiteral("AcquireFrames"), {QVariantMap()});
    QCOMPARE(refused.errorName(), QStringLiteral("org.nivora.Vexbus1.Error.LimitReached"));
    QVERIFY2(refused.errorMessage().contains(QStringLiteral("holds 16 sockets of adapter A5XK1234 already")), qPrintable(refused.errorMessage()));
    ::close(sockets.takeFirst());
    ::close(sockets.takeLast());
    int again = -1;
    QVERIFY(waitFor([&]() { return (again = acquire(holder, QStringLiteral("AcquireFrames"))) >= 0; }, 5000));
    sockets.append(again);

    // Gone from the bus: the service ends its sockets.
    QList<QByteArray> datagrams;
    QVERIFY(readDatagrams(sockets.first(), &datagrams));
    holder = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(QStringLiteral("holder"));
    for (int socket : sockets)
        QVERIFY(waitFor([&]() { return !readDatagrams(socket, &datagrams); }, 5000));
    QVERIFY(datagrams.isEmpty());
}

void TestVexbusd::writeSocketAnswersEachWrite_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("error"); // empty for success
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("written"); // what the controller was asked to write

    // Kind 2, a header of 16 bytes, the tag 0x01020304.
    const QByteArray header = QByteArray::fromHex("02001000040302010000000000000000");
    const QString invalid = QStringLiteral("org.nivora.Vexbus1.Error.InvalidArgument");
    QTest::newRow("frame") << header + QByteArray::fromHex("0a1b2c") << QString() << QString() << QByteArray::fromHex("0a1b2c");
    QTest::newRow("frame of 256 bytes") << header + QByteArray(256, 'x') << invalid
                                        << "The frame has 256 bytes, but at most 255 bytes fit in one write request; nothing was sent. "
                                           "Split the frame." << QByteArray();
    QTest::newRow("empty frame") << header << invalid << "A bus frame has at least one byte; nothing was sent." << QByteArray();
    QTest::newRow("not a write") << QByteArray::fromHex("01001000040302010000000000000000ff") << invalid
                                 << "A datagram on a write socket is a write: kind 2 and a header of at least 16 bytes, then the frame; "
                                    "nothing was sent." << QByteArray();
}

void TestVexbusd::writeSocketAnswersEachWrite()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, error);
    QFETCH(QString, message);
    QFETCH(QByteArray, written);

    const int socket = acquire(client(QStringLiteral("writer")), QStringLiteral("AcquireWrite"));
    QVERIFY(socket >= 0);
    const auto closeSocket = qScopeGuard([socket]() { ::close(socket); });
    m_emulators[0]->clearRequests();
    QCOMPARE(::send(socket, datagram.constData(), size_t(datagram.size()), 0), ssize_t(datagram.size()));
    QList<QByteArray> answers;
    QVERIFY(waitFor([&]() { return !readDatagrams(socket, &answers) || !answers.isEmpty(); }, 5000));
    QCOMPARE(int(answers.count()), 1);
    QCOMPARE(answers.first().left(16).toHex(), QByteArray("03001000040302010000000000000000"));
    const QByteArray expected = error.isEmpty() ? QByteArray() : error.toUtf8() + '\0' + message.toUtf8();
    QCOMPARE(answers.first().mid(16), expected);
    const QList<NivoraVexbusUsbEmulator::RecordedRequest> writes = m_emulators[0]->requests(
            NivoraVexbusUsbEmulator::RecordedRequest::ProtocolController, 0xA0);
    QCOMPARE(int(writes.count()), written.isEmpty() ? 0 : 1);
    if (!written.isEmpty())
        QCOMPARE(writes.first().payload().right(written.size()), written);
}

void TestVexbusd::methodsAnswerWithTheOutcome_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");
    QTest::addColumn<int>("failingCommand"); // the emulator answers this command with error code 6; -1: none
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("error"); // empty for success
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("requestsSent");

    const QString invalid = QStringLiteral("org.nivora.Vexbus1.Error.InvalidArgument");
    QTest::newRow("frame") << "WriteFrame" << QVariantList{QByteArray::fromHex("0a1b2c")} << -1 << false << QString() << QString() << 1;
    QTest::newRow("frame of 255 bytes") << "WriteFrame" << QVariantList{QByteArray(255, 'x')} << -1 << false << QString() << QString() << 1;
    QTest::newRow("frame of 256 bytes") << "WriteFrame" << QVariantList{QByteArray(256, 'x')} << -1 << false << invalid
                                        << "The frame has 256 bytes, but at most 255 bytes fit in one write request; nothing was sent. Split the frame." << 0;
    QTest::newRow("empty frame") << "WriteFrame" << QVariantList{QByteArray()} << -1 << false << invalid
                                 << "A bus frame has at least one byte; nothing was sent." << 0;
    QTest::newRow("press") << "PressButton" << QVariantList{"app", "open", 300u} << -1 << false << QString() << QString() << 1;
    QTest::newRow("unknown module") << "PressButton" << QVariantList{"wall", "open", 300u} << -1 << false << invalid
                                    << "Unknown module \"wall\"; the modules are ixo, remote and app. Nothing was sent." << 0;
    QTest::newRow("unknown button") << "PressButton" << QVariantList{"ixo", "open", 300u} << -1 << false << invalid
                                    << "The ixo module has no button \"open\"; its buttons are intermediate, program, plus, minus. "
                                       "Nothing was sent." << 0;
    QTest::newRow("press too long") << "PressButton" << QVariantList{"remote", "plus", 65536u} << -1 << false << invalid
                                    << "A press lasts at most 65535 ms, not 65536; nothing was sent." << 0;
    QTest::newRow("parameter handling") << "SetParameterHandling" << QVariantList{true} << -1 << false << QString() << QString() << 1;
    QTest::newRow("refused by the controller") << "WriteFrame" << QVariantList{QByteArray::fromHex("01")} << 0xA0 << false
                                               << "org.nivora.Vexbus1.Error.ControllerError"
                                               << "The controller refused the request CommandWriteDataToVexbus with error code 6 (ErrorUnknownCommand): "
                                                  "the controller's firmware does not know this command; update its firmware." << 1;
    QTest::newRow("no answer") << "SetParameterHandling" << QVariantList{false} << -1 << true
                               << "org.nivora.Vexbus1.Error.Timeout"
                               << "The controller did not answer the request CommandEnableAppConnectorParameterHandling within 2000 ms. "
                                  "Check that the adapter is plugged in and its controller runs." << 1;
    QTest::newRow("no image") << "UpdateFromImage" << QVariantList{QStringLiteral(VEXBUSD_POLICY)} << -1 << false << invalid
                              << "The file is not a firmware image (.cyacd) of the adapter; nothing was written." << 0;
    // A pipe whose writer stays could keep the service reading for ever.
    QTest::newRow("pipe") << "UpdateFromImage" << QVariantList{QStringLiteral("|")} << -1 << false << invalid
                          << "The image must come as the descriptor of a regular file opened for reading; nothing was written." << 0;
}

void TestVexbusd::methodsAnswerWithTheOutcome()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    QFETCH(int, failingCommand);
    QFETCH(bool, silent);
    QFETCH(QString, error);
    QFETCH(QString, message);
    QFETCH(int, requestsSent);

    // A file argument goes as the descriptor of the file, opened here, or
    // of a pipe for "|".
    QFile file;
    int pipe[2] = {-1, -1};
    if (method == QLatin1String("UpdateFromImage")) {
        if (arguments.first().toString() == QLatin1String("|")) {
            QCOMPARE(::pipe(pipe), 0);
            QVERIFY(::write(pipe[1], "123456780000\n", 13) == 13);
            arguments = {QVariant::fromValue(QDBusUnixFileDescriptor(pipe[0]))};
        } else {
            file.setFileName(arguments.first().toString());
            QVERIFY(file.open(QIODevice::ReadOnly));
            arguments = {QVariant::fromValue(QDBusUnixFileDescriptor(file.handle()))};
        }
    }
    const auto closePipe = qScopeGuard([&pipe]() {
        for (int fd : pipe) {
            if (fd >= 0)
                ::close(fd);
        }
    });
    VexbusEmulator *emulator = m_emulators[0].get();
    if (failingCommand >= 0)
        emulator->setCommandError(VexbusEmulator::ModeController, quint8(failingCommand), 6);
    emulator->setSilent(silent);
    const int before = requestCount(emulator);
    const int otherBefore = requestCount(m_emulators[1].get());

    const QDBusMessage reply = call(client(QStringLiteral("first")), firstPath, method, arguments);
    QCOMPARE(reply.type(), error.isEmpty() ? QDBusMessage::ReplyMessage : QDBusMessage::ErrorMessage);
    QCOMPARE(reply.errorName(), error);
    QCOMPARE(reply.errorMessage(), message);
    if (!silent) // the controller's own requests keep coming while it is silent
        QCOMPARE(requestCount(emulator) - before, requestsSent);
    QCOMPARE(requestCount(m_emulators[1].get()), otherBefore);
}

void TestVexbusd::updatesWhileAnotherClientWatches()
{
    m_emulators[0]->setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    SignalLog changes;
    SignalLog finished;
    QDBusConnection watcher = client(QStringLiteral("watcher"));
    QVERIFY(watcher.connect(service, firstPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
                            &changes, SLOT(take(QDBusMessage))));
    QVERIFY(watcher.connect(service, firstPath, adapterInterface, QStringLiteral("UpdateFinished"), &finished, SLOT(take(QDBusMessage))));

    QFile image(QStringLiteral(SAMPLE_FIRMWARE));
    QVERIFY(image.open(QIODevice::ReadOnly));
    QDBusMessage update = QDBusMessage::createMethodCall(service, firstPath, adapterInterface, QStringLiteral("UpdateFromImage"));
    update << QVariant::fromValue(QDBusUnixFileDescriptor(image.handle()));
    QDBusPendingCall pending = client(QStringLiteral("first")).asyncCall(update, 120000);
    QTRY_VERIFY_WITH_TIMEOUT(property(firstPath, QStringLiteral("Updating")).toBool(), 5000);

    // A second update and a frame wait for the end of the first.
    const QDBusMessage second = call(watcher, firstPath, QStringLiteral("UpdateFromImage"),
                                     {QVariant::fromValue(QDBusUnixFileDescriptor(image.handle()))});
    QCOMPARE(second.errorName(), QStringLiteral("org.nivora.Vexbus1.Error.UpdateRunning"));
    const QDBusMessage frame = call(watcher, firstPath, QStringLiteral("WriteFrame"), {QByteArray::fromHex("01")});
    QCOMPARE(frame.errorName(), QStringLiteral("org.nivora.Vexbus1.Error.UpdateRunning"));

    QVERIFY(waitFor([&pending]() { return pending.isFinished(); }, 120000));
    QVERIFY2(!pending.isError(), qPrintable(pending.error().message()));
    // The answer comes once the controller runs the new firmware.
    QCOMPARE(property(firstPath, QStringLiteral("FirmwareVersion")).toString(), QStringLiteral("1.5.0"));
    QCOMPARE(property(firstPath, QStringLiteral("State")).toString(), QStringLiteral("connected"));
    QCOMPARE(property(firstPath, QStringLiteral("Updating")).toBool(), false);
    // The watcher has a connection of its own: its signal may come after the reply.
    QTRY_COMPARE_WITH_TIMEOUT(finished.messages.count(), 1, 5000);
    QCOMPARE(finished.messages.first().arguments(), (QVariantList{true, QStringLiteral("none"), QString()}));

    // Every phase once, and the progress once a whole percent.
    QStringList phases;
    QList<double> percentages;
    for (const QDBusMessage &message : changes.messages) {
        const QVariantMap changed = qdbus_cast<QVariantMap>(message.arguments().value(1));
        if (changed.contains(QStringLiteral("UpdatePhase")))
            phases.append(changed.value(QStringLiteral("UpdatePhase")).toString());
        if (changed.contains(QStringLiteral("UpdatePercentage")))
            percentages.append(changed.value(QStringLiteral("UpdatePercentage")).toDouble());
    }
    QCOMPARE(phases.join(QLatin1Char(',')), QStringLiteral("preparing,starting-bootloader,waiting-for-bootloader,checking-chip,writing,verifying-application,restarting,done"));
    QVERIFY2(percentages.count() > 10 && percentages.count() <= 102, qPrintable(QString::number(percentages.count())));
    for (int i = 1; i < percentages.count(); ++i) {
        QVERIFY2(std::floor(percentages.at(i)) > std::floor(percentages.at(i - 1)) || percentages.at(i - 1) == 0,
                 qPrintable(QString::number(percentages.at(i))));
    }
    QCOMPARE(percentages.last(), 100.0);

    // Both in the history, newest first: the refusal while the first ran,
    // and the update with its image and its end.
    const QList<QVariantMap> entries = history(firstPath, false);
    QCOMPARE(entries.count(), 2);
    const QVariantMap refused = entries.at(0);
    const QVariantMap done = entries.at(1);
    QCOMPARE(refused.value("result").toString(), QStringLiteral("refused"));
    QCOMPARE(refused.value("error").toString(), QStringLiteral("update-running"));
    QVERIFY(refused.value("message").toString().contains(QLatin1String("A firmware update of the adapter A5XK1234 runs")));
    QCOMPARE(done.value("result").toString(), QStringLiteral("succeeded"));
    QCOMPARE(done.value("adapter").toString(), QStringLiteral("A5XK1234"));
    QCOMPARE(done.value("serial_number").toString(), QStringLiteral("A5XK1234"));
    QCOMPARE(done.value("firmware_before").toString(), QStringLiteral("1.4.12"));
    QCOMPARE(done.value("firmware_after").toString(), QStringLiteral("1.5.0"));
    QCOMPARE(done.value("release_channel").toString(), QStringLiteral("file"));
    QCOMPARE(done.value("trigger").toString(), QStringLiteral("dbus"));
    QVERIFY2(done.value("requester").toString().startsWith(QLatin1String("tst_vexbusd (pid ")), qPrintable(done.value("requester").toString()));
    QCOMPARE(done.value("error").toString(), QStringLiteral("none"));
    QCOMPARE(done.value("image_sha256").toString(),
             QString::fromLatin1(QCryptographicHash::hash(NivoraTest::readFile(QStringLiteral(SAMPLE_FIRMWARE)), QCryptographicHash::Sha256).toHex()));
    const QDateTime started = QDateTime::fromString(done.value("started").toString(), Qt::ISODateWithMs);
    const QDateTime ended = QDateTime::fromString(done.value("ended").toString(), Qt::ISODateWithMs);
    QVERIFY(started.isValid() && ended.isValid() && started < ended && ended <= QDateTime::currentDateTimeUtc());
    // The gateway as machine-id(5) asks: an HMAC-SHA256 of the service's
    // application id keyed with the machine id, as a version 4 UUID; never
    // the machine id itself.
    QByteArray gateway = QMessageAuthenticationCode::hash(QByteArray::fromHex("4c8c0cbbf6e44a88b1c49a36f03665bb"),
                                                          QByteArray::fromHex(machineIdOfTest), QCryptographicHash::Sha256).left(16);
    gateway[6] = char((uchar(gateway.at(6)) & 0x0f) | 0x40);
    gateway[8] = char((uchar(gateway.at(8)) & 0x3f) | 0x80);
    QCOMPARE(done.value("gateway").toString(), QString::fromLatin1(gateway.toHex()));

    // vexbusctl shows the gateway's history, oldest first.
    const NivoraTest::ToolResult shown = runVexbusctl({QStringLiteral("history"), QStringLiteral("--json")}, {});
    QVERIFY2(shown.exitCode == 0, qPrintable(shown.describe()));
    const QStringList lines = shown.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.count(), 2);
    QCOMPARE(QJsonDocument::fromJson(lines.at(0).toUtf8()).object().toVariantMap().value("id"), done.value("id"));
    QCOMPARE(QJsonDocument::fromJson(lines.at(1).toUtf8()).object().value("result").toString(), QStringLiteral("refused"));
    const NivoraTest::ToolResult text = runVexbusctl({QStringLiteral("history")}, {});
    QVERIFY2(text.out.contains(QRegularExpression(QStringLiteral("^\\S+  A5XK1234  1\\.4\\.12 -> 1\\.5\\.0  succeeded  file  by dbus \\(tst_vexbusd"))),
             qPrintable(text.describe()));
}

void TestVexbusd::keepsTheHistoryThroughKillsAndDamage()
{
    // Killed while an update runs and refusals are written: every refusal
    // answered before is on the disk, the update was interrupted, and the
    // database is whole.
    QFile image(QStringLiteral(SAMPLE_FIRMWARE));
    QVERIFY(image.open(QIODevice::ReadOnly));
    QDBusMessage update = QDBusMessage::createMethodCall(service, firstPath, adapterInterface, QStringLiteral("UpdateFromImage"));
    update << QVariant::fromValue(QDBusUnixFileDescriptor(image.handle()));
    QDBusPendingCall running = client(QStringLiteral("first")).asyncCall(update, 120000);
    QVERIFY(waitFor([this]() { return property(firstPath, QStringLiteral("Updating")).toBool(); }, 5000));
    QFile notAnImage(m_directory->filePath(QStringLiteral("not-an-image")));
    QVERIFY(notAnImage.open(QIODevice::ReadWrite) && notAnImage.write("no firmware\n") > 0);
    QList<QDBusPendingCall> refusals;
    for (int i = 0; i < 100; ++i) {
        QDBusMessage refused = QDBusMessage::createMethodCall(service, secondPath, adapterInterface, QStringLiteral("UpdateFromImage"));
        refused << QVariant::fromValue(QDBusUnixFileDescriptor(notAnImage.handle()));
        refusals.append(client(QStringLiteral("first")).asyncCall(refused, 30000));
    }
    const auto answered = [&refusals]() {
        return int(std::count_if(refusals.cbegin(), refusals.cend(), [](const QDBusPendingCall &call) {
            return call.isFinished() && call.reply().errorName() == QLatin1String("org.nivora.Vexbus1.Error.InvalidArgument");
        }));
    };
    QVERIFY(waitFor([&]() { return answered() >= 20; }, 20000));
    ::kill(pid_t(m_vexbusd->processId()), SIGKILL);
    const int recorded = answered();
    QVERIFY(NivoraTest::waitForFinished(m_vexbusd.get(), 5000));
    QVERIFY2(recorded < refusals.count(), "the service answered every call before it was killed");
    // The first controller waits in its bootloader now.
    startService({secondPath});
    QList<QVariantMap> entries = history(secondPath, true);
    QVERIFY2(entries.count() >= recorded + 1, qPrintable(QStringLiteral("%1 entries, %2 answered").arg(entries.count()).arg(recorded)));
    QCOMPARE(entries.last().value("adapter").toString(), QStringLiteral("A5XK1234"));
    QCOMPARE(entries.last().value("result").toString(), QStringLiteral("interrupted"));
    QVERIFY(!entries.last().value("ended").toString().isEmpty());
    QCOMPARE(entries.first().value("error").toString(), QStringLiteral("invalid-argument"));
    QCOMPARE(entries.first().value("result").toString(), QStringLiteral("refused"));
    QCOMPARE(QDir(stateDirectory()).entryList({QStringLiteral("*damaged*")}), QStringList());

    // Bounded: with a thousand entries, each new one pushes the oldest out.
    const QString database = QDir(stateDirectory()).filePath(QStringLiteral("history.db"));
    auto query = [&database](const char *sql) {
        sqlite3 *connection = nullptr;
        QString result;
        if (sqlite3_open(QFile::encodeName(database).constData(), &connection) == SQLITE_OK) {
            sqlite3_busy_timeout(connection, 5000);
            sqlite3_exec(connection, sql, [](void *out, int, char **values, char **) {
                *static_cast<QString *>(out) = QString::fromUtf8(values[0] ? values[0] : "");
                return 0;
            }, &result, nullptr);
        }
        sqlite3_close(connection);
        return result;
    };
    query("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
          "INSERT INTO history (adapter, result, started) SELECT 'OLD', 'succeeded', '2026-01-01T00:00:00.000Z' FROM n");
    const QString oldest = query("SELECT MIN(id) FROM history");
    QCOMPARE(refuseUpdate(secondPath), QStringLiteral("org.nivora.Vexbus1.Error.InvalidArgument"));
    QCOMPARE(query("SELECT COUNT(*) FROM history"), QStringLiteral("1000"));
    QCOMPARE(query("SELECT COUNT(*) FROM history WHERE adapter = 'A5XK1234'"), QStringLiteral("0"));
    QVERIFY(query("SELECT MIN(id) FROM history").toInt() > oldest.toInt());
    QCOMPARE(history(secondPath, false).first().value("error").toString(), QStringLiteral("invalid-argument"));

    // Damaged: set aside, and a fresh history begins.
    m_vexbusd->terminate();
    QVERIFY(NivoraTest::waitForFinished(m_vexbusd.get(), 5000));
    QFile damaged(database);
    QVERIFY(damaged.open(QIODevice::ReadWrite));
    damaged.seek(0);
    damaged.write(QByteArray(4096, '\x5a'));
    damaged.close();
    startService({secondPath});
    const QStringList setAside = QDir(stateDirectory()).entryList({QStringLiteral("history.db.damaged-*")});
    QVERIFY2(setAside.count() >= 1, qPrintable(QDir(stateDirectory()).entryList().join(QLatin1Char(' '))));
    QVERIFY(NivoraTest::readFile(QDir(stateDirectory()).filePath(setAside.first())).startsWith(QByteArray(4096, '\x5a')));
    QCOMPARE(history(secondPath, true), QList<QVariantMap>());
    QCOMPARE(refuseUpdate(secondPath), QStringLiteral("org.nivora.Vexbus1.Error.InvalidArgument"));
    QCOMPARE(history(secondPath, true).count(), 1);
}

void TestVexbusd::answersFromTheReleaseServer_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantMap>("options");
    QTest::addColumn<QString>("running"); // the controller's firmware before
    QTest::addColumn<QString>("missing"); // a file the server answers with 404
    QTest::addColumn<QString>("error"); // empty for success
    QTest::addColumn<QString>("message"); // a pattern
    QTest::addColumn<QVariant>("answer");
    QTest::addColumn<QString>("after"); // the controller's firmware after
    QTest::addColumn<int>("refusedCommand"); // the bootloader refuses this command; -1: none
    QTest::addColumn<QString>("updateError"); // the UpdateError property after

    const QString check = QStringLiteral("CheckForRelease");
    const QString update = QStringLiteral("UpdateFromReleaseServer");
    const QString failed = QStringLiteral("org.nivora.Vexbus1.Error.ReleaseFailed");
    const QString server = QStringLiteral("^Release server https://127\\.0\\.0\\.1:\\d+/firmware/nivora-vexbususb: ");
    const QVariantMap pre{{"pre-release", true}};
    QTest::newRow("check") << check << QVariantMap() << "1.4.12" << QString() << QString() << QString() << QVariant("1.5.0") << "1.4.12" << -1 << "none";
    QTest::newRow("check pre-release") << check << pre << "1.4.12" << QString() << QString() << QString() << QVariant("1.6.0") << "1.4.12" << -1 << "none";
    QTest::newRow("check without signature") << check << QVariantMap() << "1.4.12" << "release.json.sig" << failed
                                             << server + "The release was refused: it has no signature \\(https://127\\.0\\.0\\.1:\\d+/firmware/nivora-vexbususb/release\\.json\\.sig was not found\\)\\.$" << QVariant() << "1.4.12" << -1 << "none";
    QTest::newRow("check without image") << check << QVariantMap() << "1.4.12" << "vexbus-adapter-1.5.0.cyacd" << failed
                                         << server + ".*404" << QVariant() << "1.4.12" << -1 << "none";
    QTest::newRow("update") << update << QVariantMap() << "1.4.12" << QString() << QString() << QString() << QVariant(true) << "1.5.0" << -1 << "none";
    QTest::newRow("update to a pre-release") << update << pre << "1.4.12" << QString() << QString() << QString() << QVariant(true) << "1.6.0" << -1 << "none";
    QTest::newRow("update to the running version") << update << QVariantMap() << "1.5.0" << QString() << QString() << QString()
                                                   << QVariant(false) << "1.5.0" << -1 << "none";
    QTest::newRow("update to the running version, forced") << update << QVariantMap{{"force", true}} << "1.5.0" << QString()
                                                           << QString() << QString() << QVariant(true) << "1.5.0" << -1 << "none";
    QTest::newRow("update to an older version") << update << QVariantMap() << "1.6.0" << QString()
                                                 << "org.nivora.Vexbus1.Error.OlderRelease"
                                                 << "^The release 1\\.5\\.0 is older than the firmware 1\\.6\\.0 that the controller runs; "
                                                    "nothing was written \\(allow-older writes it\\)\\.$" << QVariant() << "1.6.0" << -1 << "none";
    QTest::newRow("update to an older version, allowed") << update << QVariantMap{{"allow-older", true}} << "1.6.0" << QString()
                                                         << QString() << QString() << QVariant(true) << "1.5.0" << -1 << "none";
    QTest::newRow("update without signature") << update << QVariantMap() << "1.4.12" << "release.json.sig" << failed
                                              << server + "The release was refused: it has no signature \\(https://127\\.0\\.0\\.1:\\d+/firmware/nivora-vexbususb/release\\.json\\.sig was not found\\)\\.$" << QVariant() << "1.4.12" << -1 << "none";
    // The library's reason goes out as it is.
    QTest::newRow("update refused by the bootloader") << update << QVariantMap() << "1.4.12" << QString()
                                                      << "org.nivora.Vexbus1.Error.UpdateFailed"
                                                      << "^The bootloader rejected programming row 0x22 of array 0 with status InvalidRowNumber "
                                                         "\\(0x0a\\); the controller stays in its bootloader\\.$" << QVariant() << QString()
                                                      << 0x39 << "row-rejected";
}

void TestVexbusd::answersFromTheReleaseServer()
{
    QFETCH(QString, method);
    QFETCH(QVariantMap, options);
    QFETCH(QString, running);
    QFETCH(QString, missing);
    QFETCH(QString, error);
    QFETCH(QString, message);
    QFETCH(QVariant, answer);
    QFETCH(QString, after);
    QFETCH(int, refusedCommand);
    QFETCH(QString, updateError);

    VexbusEmulator *emulator = m_emulators[0].get();
    if (refusedCommand >= 0)
        emulator->setCommandError(VexbusEmulator::ModeBootloader, quint8(refusedCommand), 0x0A);
    const QString area = options.value(QStringLiteral("pre-release")).toBool() ? QStringLiteral("/pre-release") : QString();
    const QString version = area.isEmpty() ? QStringLiteral("1.5.0") : QStringLiteral("1.6.0");
    emulator->setFirmwareVersionAfterUpdate(QVersionNumber::fromString(version));
    if (running != QLatin1String("1.4.12")) {
        // The controller says its new version when it starts again.
        emulator->setFirmwareVersion(QVersionNumber::fromString(running));
        QVERIFY(call(client(QStringLiteral("first")), firstPath, QStringLiteral("Reset")).type() == QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(property(firstPath, QStringLiteral("FirmwareVersion")).toString(), running, 10000);
    }
    const QString missingPath = QStringLiteral("/firmware/nivora-vexbususb%1/%2").arg(area, missing);
    if (!missing.isEmpty())
        m_server.setAnswer(missingPath, "404 Not Found");
    const auto restore = qScopeGuard([this, missingPath]() { m_server.setAnswer(missingPath, QByteArray()); });
    m_server.clearRequestedPaths();
    const int before = requestCount(emulator);

    const QDBusMessage reply = call(client(QStringLiteral("first")), firstPath, method, {options}, 120000);
    QCOMPARE(reply.errorName(), error);
    QVERIFY2(reply.errorMessage().contains(QRegularExpression(message)), qPrintable(reply.errorMessage()));
    QVERIFY2(m_server.requestedPaths().contains(QStringLiteral("/firmware/nivora-vexbususb%1/release.json").arg(area)),
             qPrintable(m_server.requestedPaths().join(QLatin1Char(' '))));
    if (method == QLatin1String("CheckForRelease") && error.isEmpty()) {
        const QVariantMap release = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        QCOMPARE(release.value(QStringLiteral("version")), answer);
        QCOMPARE(release.value(QStringLiteral("file-name")).toString(), QStringLiteral("vexbus-adapter-%1.cyacd").arg(version));
        QCOMPARE(release.value(QStringLiteral("authenticated")).toBool(), true);
        QCOMPARE(release.value(QStringLiteral("signing-key")).toString(), m_publisherFingerprint);
        QCOMPARE(release.value(QStringLiteral("server")).toString(), m_server.url(QStringLiteral("/firmware/nivora-vexbususb")));
        QCOMPARE(release.value(QStringLiteral("pre-release")).toBool(), !area.isEmpty());
        QCOMPARE(release.value(QStringLiteral("row-count")).toInt(), 129);
        QVERIFY(release.value(QStringLiteral("byte-count")).toInt() > 128);
    }
    if (method == QLatin1String("UpdateFromReleaseServer") && error.isEmpty())
        QCOMPARE(reply.arguments().value(0), answer);
    // Only a release that is to be written sends anything to the controller.
    const bool written = answer == QVariant(true);
    QCOMPARE(requestCount(emulator) > before, written || refusedCommand >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(property(firstPath, QStringLiteral("FirmwareVersion")).toString(), after, 10000);
    QCOMPARE(property(firstPath, QStringLiteral("UpdatePhase")).toString(),
             written ? QStringLiteral("done") : refusedCommand >= 0 ? QStringLiteral("failed") : QStringLiteral("idle"));
    QCOMPARE(property(firstPath, QStringLiteral("UpdateError")).toString(), updateError);
    if (updateError != QLatin1String("none"))
        QCOMPARE(property(firstPath, QStringLiteral("UpdateErrorString")).toString(), reply.errorMessage());
}

NivoraTest::ToolResult TestVexbusd::runVexbusctl(const QStringList &arguments, const QList<QByteArray> &frames)
{
    QProcess process;
    process.start(QStringLiteral(VEXBUSCTL), arguments);
    QByteArray err;
    waitFor([&]() {
        err += process.readAllStandardError();
        return frames.isEmpty() || err.contains("monitoring ") || process.state() == QProcess::NotRunning;
    }, 15000);
    for (const QByteArray &frame : frames)
        m_emulators[0]->sendBusData(frame);
    if (!NivoraTest::waitForFinished(&process, 60000))
        process.kill();
    err += process.readAllStandardError();
    return NivoraTest::ToolResult{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                                  QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(err)};
}

void TestVexbusd::vexbusctlSaysTheSameThroughTheService_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("failingCommand"); // the controller answers it with error code 6; -1: none
    QTest::addColumn<QList<QByteArray>>("frames"); // for a monitor
    QTest::addColumn<bool>("compared"); // with the same command on the port itself
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // a pattern, SERVER the release server
    QTest::addColumn<QString>("error"); // a pattern

    const QList<QByteArray> none;
    QTest::newRow("status") << QStringList{"status"} << -1 << none << true << 0
                            << "^Port: +/dev/ttyUSB0\nFirmware version: +1\\.4\\.12\n(.*\n){5}Serial port: +ttyUSB0, 115200 baud\n"
                               "(.*\n){2}  serial number: +A5XK1234\n  USB ID: +0403:6001\nIn bootloader: +no\n$" << "^$";
    QTest::newRow("status as JSON") << QStringList{"--json", "status"} << -1 << none << true << 0
                                    << "^\\{\"available\":true,\"controllerInBootloader\":false,\"firmwareVersion\":\"1\\.4\\.12\",.*\"port\":\"/dev/ttyUSB0\",.*\"baudrate\":115200,"
                                    << "^$";
    QTest::newRow("write") << QStringList{"write", "0a1b2c"} << -1 << none << true << 0 << "^ok: wrote 3 byte\\(s\\) to the bus\n$" << "^$";
    QTest::newRow("write refused") << QStringList{"--json", "write", "01"} << 0xA0 << none << true << 1
                                   << "\"controllerError\":\"unknown-command\",\"data\":\"01\",\"error\":\"ErrorInterfaceError\","
                                   << "^vexbusctl: writing 1 byte\\(s\\) to the bus failed at /dev/ttyUSB0: The controller refused the request "
                                      "CommandWriteDataToVexbus with error code 6 \\(ErrorUnknownCommand\\)";
    QTest::newRow("press") << QStringList{"press", "app", "open", "--ms", "300"} << -1 << none << true << 0
                           << "^ok: pressed app button open for 300 ms\n$" << "^$";
    QTest::newRow("app-params") << QStringList{"--json", "app-params", "on"} << -1 << none << true << 0 << "\"success\":true" << "^$";
    QTest::newRow("reset") << QStringList{"--json", "reset"} << -1 << none << true << 0
                           << "\"firmwareVersion\":\"1\\.4\\.12\",.*\"success\":true" << "^$";
    QTest::newRow("monitor") << QStringList{"--json", "monitor", "--count", "2"} << -1
                             << QList<QByteArray>{QByteArray::fromHex("0a1b2c"), QByteArray::fromHex("ff00")} << true << 0
                             << "^\\{\"event\":\"available\",\"firmwareVersion\":\"1\\.4\\.12\".*\n\\{\"available\":true,\"controllerInBootloader\":false,\"event\":\"status\",.*\n"
                                "\\{\"data\":\"0a1b2c\",\"event\":\"frame\",\"time\":\"TIME\"\\}\n\\{\"data\":\"ff00\"" << "monitoring /dev/ttyUSB0 \\(firmware 1\\.4\\.12\\)";
    QTest::newRow("update") << QStringList{"--json", "update", SAMPLE_FIRMWARE} << -1 << none << true << 0
                            << "\"event\":\"started\".*\n(.*\n)*\\{\"event\":\"finished\",\"firmwareVersion\":\"1\\.5\\.0\",\"previousFirmwareVersion\":\"1\\.4\\.12\"" << "^$";
    // Releases come from the service's server, verified with its keys.
    QTest::newRow("check-update") << QStringList{"check-update"} << -1 << none << false << 0
                                  << "^Version: +1\\.5\\.0\n(.*\n){3}Server: +SERVER\nSignature: +verified, key [0-9a-f]{16} \\(trusted by vexbusd\\)\n"
                                     "Image: +verified, 129 rows\n$" << "^$";
    QTest::newRow("update --online") << QStringList{"--json", "update", "--online"} << -1 << none << false << 0
                                     << "\"rowCount\":129,\"server\":\"SERVER\",.*\n\\{\"event\":\"started\",\"image\":\"vexbus-adapter-1\\.5\\.0\\.cyacd\""
                                        "(.*\n)*\\{\"event\":\"finished\",\"firmwareVersion\":\"1\\.5\\.0\"" << "^$";
    QTest::newRow("update --online from another server") << QStringList{"update", "--online", "--server", "https://127.0.0.1:1"} << -1 << none
                                                         << false << 2 << "^$"
                                                         << "^vexbusctl: vexbusd owns /dev/ttyUSB0 and takes releases from the server and with the keys "
                                                            "of its settings; --server, --ca-certificate and --trusted-key go with --direct";
}

void TestVexbusd::vexbusctlSaysTheSameThroughTheService()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, failingCommand);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(bool, compared);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, error);

    VexbusEmulator *emulator = m_emulators[0].get();
    emulator->setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    if (failingCommand >= 0)
        emulator->setCommandError(VexbusEmulator::ModeController, quint8(failingCommand), 6);
    const QString server = m_server.url(QStringLiteral("/firmware/nivora-vexbususb"));
    auto normalized = [](QString text) {
        return text.replace(QRegularExpression(QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}")), QStringLiteral("TIME"));
    };

    // The service holds the port: what works went through it.
    const QStringList port{"--port", "/dev/ttyUSB0"};
    const NivoraTest::ToolResult served = runVexbusctl(port + arguments, frames);
    QVERIFY2(served.exitCode == exitCode, qPrintable(served.describe()));
    QVERIFY2(normalized(served.out).contains(QRegularExpression(QString(output).replace(QStringLiteral("SERVER"), server))),
             qPrintable(served.describe()));
    QVERIFY2(served.err.contains(QRegularExpression(error)), qPrintable(served.describe()));
    if (!compared)
        return;

    // The same command on the port itself, from the same state.
    if (property(firstPath, QStringLiteral("FirmwareVersion")).toString() != QLatin1String("1.4.12")) {
        emulator->setFirmwareVersion(QVersionNumber(1, 4, 12));
        QCOMPARE(call(client(QStringLiteral("first")), firstPath, QStringLiteral("Reset")).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(property(firstPath, QStringLiteral("FirmwareVersion")).toString(), QStringLiteral("1.4.12"), 10000);
    }
    const NivoraTest::ToolResult direct = runVexbusctl(QStringList{"inhibit", "--port", "/dev/ttyUSB0", "--", VEXBUSCTL, "--direct"}
                                                       + port + arguments, frames);
    QCOMPARE(direct.exitCode, served.exitCode);
    const QStringList servedLines = normalized(served.out).split(QLatin1Char('\n'));
    const QStringList directLines = normalized(direct.out).split(QLatin1Char('\n'));
    for (int i = 0; i < qMin(servedLines.count(), directLines.count()); ++i)
        QCOMPARE(servedLines.at(i), directLines.at(i));
    QCOMPARE(servedLines.count(), directLines.count());
}

void TestVexbusd::monitorGoesOnAfterTheAdapterCameBack()
{
    QProcess monitor;
    monitor.start(QStringLiteral(VEXBUSCTL), {"--json", "--port", "/dev/ttyUSB0", "monitor", "--count", "2"});
    const auto stopMonitor = qScopeGuard([&monitor]() {
        monitor.kill();
        monitor.waitForFinished(5000);
    });
    QByteArray err;
    QVERIFY(waitFor([&]() { return (err += monitor.readAllStandardError()).contains("monitoring "); }, 15000));
    QVERIFY(m_emulators[0]->sendBusData(QByteArray::fromHex("0a1b2c")));
    QByteArray out;
    QVERIFY(waitFor([&]() { return (out += monitor.readAllStandardOutput()).contains("\"data\":\"0a1b2c\""); }, 5000));

    // The adapter's object goes with it, and with the object its socket.
    m_emulators[0]->detach();
    m_platform->unplug(QStringLiteral("ttyUSB0"));
    QVERIFY(waitFor([this]() { return !managedObjects().contains(QDBusObjectPath(firstPath)); }, 10000));
    m_platform->plug(QStringLiteral("A5XK1234"), QStringLiteral("ttyUSB0"));
    QVERIFY(m_emulators[0]->attach(m_platform->masterFd(QStringLiteral("ttyUSB0"))));
    QVERIFY(waitFor([this]() { return property(firstPath, QStringLiteral("Available")).toBool(); }, 10000));
    // The monitor takes a new socket as the new object tells of itself.
    QVERIFY(waitFor([&]() {
        m_emulators[0]->sendBusData(QByteArray::fromHex("ff00"));
        return waitFor([&monitor]() { return monitor.state() == QProcess::NotRunning; }, 100);
    }, 10000));
    QCOMPARE(monitor.exitCode(), 0);
    out += monitor.readAllStandardOutput();
    QVERIFY2(out.contains("\"data\":\"ff00\""), out.constData());
}

void TestVexbusd::lendsThePortUntilItsHolderLeaves()
{
    // The service holds the port: a plain open finds it locked.
    QSerialPort port(QStringLiteral("/dev/ttyUSB0"));
    QVERIFY(!port.open(QIODevice::ReadWrite));

    const NivoraTest::ToolResult direct = NivoraTest::runTool(QStringLiteral(VEXBUSCTL), {"--direct", "--port", "/dev/ttyUSB0", "status"});
    QCOMPARE(direct.exitCode, 3);
    QVERIFY2(direct.err.contains(QRegularExpression(QStringLiteral("vexbusctl: /dev/ttyUSB0 is in use by vexbusd \\(pid \\d+\\), "
            "which shares the adapter on D-Bus\\. To open the port directly, let vexbusd lend it: "
            "vexbusctl inhibit --port /dev/ttyUSB0 -- vexbusctl --port /dev/ttyUSB0 COMMAND\n$"))), qPrintable(direct.describe()));
    // Named by its serial number, the adapter is the same port with the same way round.
    const NivoraTest::ToolResult bySerial = NivoraTest::runTool(QStringLiteral(VEXBUSCTL), {"--direct", "--serial", "A5XK", "status"});
    QCOMPARE(bySerial.exitCode, 3);
    QVERIFY2(bySerial.err.contains(QRegularExpression(QStringLiteral("vexbusctl: /dev/ttyUSB0 is in use by vexbusd \\(pid \\d+\\), "
            "which shares the adapter on D-Bus\\. To open the port directly, let vexbusd lend it: "
            "vexbusctl inhibit --serial A5XK -- vexbusctl --serial A5XK COMMAND\n$"))), qPrintable(bySerial.describe()));
    // The doctor names the service and the way round it, which reaches the controller.
    const QStringList doctor{QStringLiteral(VEXBUSCTL), "doctor", "--port", "/dev/ttyUSB0"};
    const NivoraTest::ToolResult named = NivoraTest::runTool(doctor.first(), doctor.mid(1));
    QVERIFY2(named.out.contains(QRegularExpression(QStringLiteral("^warning +port-in-use +the service vexbusd \\(pid \\d+\\) .* Fix: let "
            "vexbusd lend the port to check the controller too: vexbusctl inhibit --port /dev/ttyUSB0 -- vexbusctl doctor "
            "--port /dev/ttyUSB0;"), QRegularExpression::MultilineOption)), qPrintable(named.describe()));
    const NivoraTest::ToolResult lentToDoctor = NivoraTest::runTool(QStringLiteral(VEXBUSCTL),
            QStringList{"inhibit", "--port", "/dev/ttyUSB0", "--"} + doctor);
    QVERIFY2(lentToDoctor.out.contains(QRegularExpression(QStringLiteral("^ok +port-in-use +no other program holds /dev/ttyUSB0"),
                                                          QRegularExpression::MultilineOption))
             && lentToDoctor.out.contains(QRegularExpression(QStringLiteral("^ok +controller +the controller at /dev/ttyUSB0 answers"),
                                                             QRegularExpression::MultilineOption)),
             qPrintable(lentToDoctor.describe()));
    QTRY_VERIFY_WITH_TIMEOUT(property(firstPath, QStringLiteral("Available")).toBool(), 10000);
    // The command gets the environment vexbusctl was given, not the event
    // dispatcher vexbusctl chose for itself.
    const NivoraTest::ToolResult lentToShell = NivoraTest::runTool(QStringLiteral(VEXBUSCTL),
            {"inhibit", "--port", "/dev/ttyUSB0", "--", "sh", "-c", "echo \"QT_NO_GLIB=${QT_NO_GLIB-unset}\""});
    QVERIFY2(lentToShell.exitCode == 0 && lentToShell.out == QLatin1String("QT_NO_GLIB=unset\n"), qPrintable(lentToShell.describe()));
    QTRY_VERIFY_WITH_TIMEOUT(property(firstPath, QStringLiteral("Available")).toBool(), 10000);


    QProcess holder;
    holder.start(QStringLiteral(VEXBUSCTL), {"inhibit", "--serial", "A5XK", "--", "cat"});
    QTRY_VERIFY_WITH_TIMEOUT(!property(firstPath, QStringLiteral("InhibitedBy")).toString().isEmpty(), 10000);
    QCOMPARE(property(firstPath, QStringLiteral("InhibitReason")).toString(), QStringLiteral("vexbusctl inhibit -- cat"));
    QVERIFY(!property(firstPath, QStringLiteral("Available")).toBool());
    QVERIFY(property(secondPath, QStringLiteral("InhibitedBy")).toString().isEmpty());

    const int before = requestCount(m_emulators[0].get());
    const QDBusMessage refused = call(client(QStringLiteral("first")), firstPath, QStringLiteral("WriteFrame"), {QByteArray::fromHex("01")});
    QCOMPARE(refused.errorName(), QStringLiteral("org.nivora.Vexbus1.Error.Inhibited"));
    QVERIFY2(refused.errorMessage().contains(QStringLiteral("(\"vexbusctl inhibit -- cat\")")), qPrintable(refused.errorMessage()));
    const QDBusMessage notHolder = call(client(QStringLiteral("first")), firstPath, QStringLiteral("Uninhibit"));
    QCOMPARE(notHolder.errorName(), QStringLiteral("org.nivora.Vexbus1.Error.NotInhibited"));
    QVERIFY(port.open(QIODevice::ReadWrite));
    port.close();
    QCOMPARE(requestCount(m_emulators[0].get()), before);

    // A holder that crashed gives the adapter back.
    ::kill(pid_t(holder.processId()), SIGKILL);
    QVERIFY(NivoraTest::waitForFinished(&holder, 5000));
    holder.closeWriteChannel();
    QTRY_VERIFY_WITH_TIMEOUT(property(firstPath, QStringLiteral("InhibitedBy")).toString().isEmpty(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(property(firstPath, QStringLiteral("Available")).toBool(), 10000);
    QVERIFY(!port.open(QIODevice::ReadWrite));

    // The way an operator runs a tool on the port, and the service after it.
    const NivoraTest::ToolResult lent = NivoraTest::runTool(QStringLiteral(VEXBUSCTL),
            {"inhibit", "--serial", "A5XK1234", "--", VEXBUSCTL, "--port", "/dev/ttyUSB0", "--json", "status"});
    QVERIFY2(lent.exitCode == 0 && lent.out.contains(QStringLiteral("\"firmwareVersion\":\"1.4.12\"")), qPrintable(lent.describe()));
    QTRY_VERIFY_WITH_TIMEOUT(property(firstPath, QStringLiteral("Available")).toBool(), 10000);
}

void TestVexbusd::replug(VexbusEmulator::Mode mode)
{
    m_emulators[0]->detach();
    m_platform->unplug(QStringLiteral("ttyUSB0"));
    QVERIFY(waitFor([this]() { return !managedObjects().contains(QDBusObjectPath(firstPath)); }, 10000));
    m_emulators[0]->setMode(mode);
    m_platform->plug(QStringLiteral("A5XK1234"), QStringLiteral("ttyUSB0"));
    QVERIFY(m_emulators[0]->attach(m_platform->masterFd(QStringLiteral("ttyUSB0"))));
}

QDir TestVexbusd::keptFolder() const
{
    return QDir(m_directory->filePath(QStringLiteral("cache/vexbusd/recovery/A5XK1234")));
}

void TestVexbusd::expectRecovery(const QString &recovery, const QString &message, bool askVexbusctl)
{
    QVERIFY2(waitFor([&]() { return property(firstPath, QStringLiteral("Recovery")).toString() == recovery; }, 10000),
             qPrintable(property(firstPath, QStringLiteral("RecoveryMessage")).toString()));
    QVERIFY2(property(firstPath, QStringLiteral("RecoveryMessage")).toString().contains(QRegularExpression(message)),
             qPrintable(property(firstPath, QStringLiteral("RecoveryMessage")).toString()));
    if (!askVexbusctl)
        return;
    const NivoraTest::ToolResult status = NivoraTest::runTool(QStringLiteral(VEXBUSCTL), {"--port", "/dev/ttyUSB0", "status"});
    QVERIFY2(status.out.contains(QRegularExpression(QStringLiteral("\\nRecovery: +%1\\n  message: +").arg(recovery))),
             qPrintable(status.describe()));
}

void TestVexbusd::bringsBackAControllerFromItsBootloader()
{
    VexbusEmulator *emulator = m_emulators[0].get();
    emulator->setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    SignalLog finished;
    QVERIFY(client(QStringLiteral("watcher")).connect(service, firstPath, adapterInterface, QStringLiteral("UpdateFinished"),
                                                      &finished, SLOT(take(QDBusMessage))));
    const QString waiting = QStringLiteral("^The controller of the adapter A5XK1234 waits in its bootloader");

    // Nothing installed through the service: it says what it needs.
    replug(VexbusEmulator::ModeBootloader);
    expectRecovery(QStringLiteral("no-image"), waiting + ", and the service keeps no image installed on it .* It needs a firmware image");
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(property(firstPath, QStringLiteral("UpdatePhase")).toString(), QStringLiteral("idle"));

    // What the service installs successfully it keeps, with its release.
    replug(VexbusEmulator::ModeController);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(waitFor([this]() { return property(firstPath, QStringLiteral("Available")).toBool(); }, 10000));
    const QDBusMessage reply = call(client(QStringLiteral("first")), firstPath, QStringLiteral("UpdateFromReleaseServer"), {QVariantMap()}, 60000);
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    QDir folder = keptFolder();
    const QString release = m_releaseDirectory.filePath(QStringLiteral("www/firmware/nivora-vexbususb/"));
    QCOMPARE(NivoraTest::readFile(folder.filePath(QStringLiteral("image.cyacd"))), NivoraTest::readFile(QStringLiteral(SAMPLE_FIRMWARE)));
    QCOMPARE(NivoraTest::readFile(folder.filePath(QStringLiteral("release.json"))), NivoraTest::readFile(release + QStringLiteral("release.json")));
    QCOMPARE(NivoraTest::readFile(folder.filePath(QStringLiteral("release.json.sig"))), NivoraTest::readFile(release + QStringLiteral("release.json.sig")));
    QHash<QString, QByteArray> kept;
    for (const QString &name : folder.entryList(QDir::Files))
        kept.insert(name, NivoraTest::readFile(folder.filePath(name)));
    QCOMPARE(kept.count(), 4);

    // Each time the adapter is plugged in with its controller in the
    // bootloader, the kept files changed as the row says.
    struct Plugging {
        QString change;
        QString recovery;
        QString message;
        QString updateError; // of the recovery's update; empty when none ran
    };
    const QString refused = waiting + QStringLiteral("; the image of firmware 1\\.5\\.0 kept from its last update is not used: ");
    const QList<Plugging> pluggings{
        {QStringLiteral("image"), QStringLiteral("refused"), refused + "the kept image does not match the checksum kept with it", QString()},
        // Whoever changed the image wrote its checksum too: only the
        // signed release tells.
        {QStringLiteral("image and checksum"), QStringLiteral("refused"),
         refused + "the kept image is not the image of its signed release \\(SHA-256 differs\\)", QString()},
        {QStringLiteral("signature"), QStringLiteral("refused"), refused + "the kept release's signature is not made by a trusted key", QString()},
        // As an image installed from a file is kept.
        {QStringLiteral("no release"), QStringLiteral("refused"), refused + "the kept image came from a file, without a signed release", QString()},
        // The bootloader tells the chip before anything is written.
        {QStringLiteral("chip"), QStringLiteral("failed"), "^The service could not bring back the controller of the adapter A5XK1234 "
                                                         "from its bootloader: .*silicon ID.* It waits for an operator", QStringLiteral("wrong-chip")},
        {QString(), QStringLiteral("done"), "^The service brought back the controller of the adapter A5XK1234 from its bootloader; "
                                            "it runs firmware 1\\.5\\.0\\.$", QStringLiteral("none")},
    };
    for (const Plugging &plugging : pluggings) {
        qInfo() << "Plugged in with the kept files" << (plugging.change.isEmpty() ? QStringLiteral("as kept") : plugging.change + QStringLiteral(" changed"));
        for (auto it = kept.cbegin(); it != kept.cend(); ++it)
            QVERIFY(writeFile(folder.filePath(it.key()), it.value()));
        if (plugging.change.startsWith(QLatin1String("image"))) {
            // One data byte of the last row, with the row's checksum to match:
            // an image that the bootloader would take.
            QByteArray image = kept.value(QStringLiteral("image.cyacd"));
            const int start = image.lastIndexOf(':');
            const int end = image.indexOf('\n', start) < 0 ? image.size() : image.indexOf('\n', start);
            QByteArray row = QByteArray::fromHex(image.mid(start + 1, end - start - 1).trimmed());
            row[5] = char(row.at(5) + 1);
            row[row.size() - 1] = char(row.at(row.size() - 1) - 1);
            image.replace(start + 1, row.size() * 2, row.toHex().toUpper());
            QVERIFY(writeFile(folder.filePath(QStringLiteral("image.cyacd")), image));
            if (plugging.change == QLatin1String("image and checksum")) {
                QJsonObject record = QJsonDocument::fromJson(kept.value(QStringLiteral("kept.json"))).object();
                record.insert(QStringLiteral("sha256"), QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
                QVERIFY(writeFile(folder.filePath(QStringLiteral("kept.json")), QJsonDocument(record).toJson()));
            }
        } else if (plugging.change == QLatin1String("signature")) {
            QVERIFY(writeFile(folder.filePath(QStringLiteral("release.json.sig")), QByteArray(ReleaseKey::signatureSize, '\x5a')));
        } else if (plugging.change == QLatin1String("no release")) {
            QVERIFY(folder.remove(QStringLiteral("release.json")) && folder.remove(QStringLiteral("release.json.sig")));
        }
        const bool otherChip = plugging.change == QLatin1String("chip");
        emulator->bootloader().setSiliconId(otherChip ? 0x0badc0de : 0x12345678);
        // That chip's application is broken: it falls back into its bootloader.
        emulator->setStayInBootloaderAfterExit(otherChip);
        emulator->clearRequests();
        const int finishedBefore = finished.messages.count();

        replug(VexbusEmulator::ModeBootloader);
        const bool ran = !plugging.updateError.isEmpty();
        // The other answers are the same to vexbusctl.
        expectRecovery(plugging.recovery, plugging.message, ran);
        if (QTest::currentTestFailed())
            return;
        const bool recovered = plugging.updateError == QLatin1String("none");
        QCOMPARE(property(firstPath, QStringLiteral("UpdatePhase")).toString(),
                 !ran ? QStringLiteral("idle") : recovered ? QStringLiteral("done") : QStringLiteral("failed"));
        QCOMPARE(property(firstPath, QStringLiteral("UpdateError")).toString(), ran ? plugging.updateError : QStringLiteral("none"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.messages.count() - finishedBefore, ran ? 1 : 0, 5000);
        if (ran)
            QCOMPARE(finished.messages.last().arguments().value(0).toBool(), recovered);
        const int written = emulator->requests(RecordedRequest::ProtocolBootloader, 0x39).count();
        QCOMPARE(written > 0, recovered);
        QCOMPARE(property(firstPath, QStringLiteral("Available")).toBool(), recovered);
        QCOMPARE(property(firstPath, QStringLiteral("FirmwareVersion")).toString(), recovered ? QStringLiteral("1.5.0") : QString());
        if (otherChip) {
            // Once per plug-in: the controller that fell back into its
            // bootloader is found there again and left to an operator.
            QVERIFY(waitFor([this]() { return property(firstPath, QStringLiteral("ControllerInBootloader")).toBool(); }, 5000));
            QTest::qWait(200);
            QVERIFY(!property(firstPath, QStringLiteral("Updating")).toBool());
            QCOMPARE(finished.messages.count() - finishedBefore, 1);
            QCOMPARE(property(firstPath, QStringLiteral("UpdatePhase")).toString(), QStringLiteral("failed"));
            QCOMPARE(property(firstPath, QStringLiteral("Recovery")).toString(), QStringLiteral("failed"));
        }
    }
    // Each recovery, and each kept image refused, is in the history.
    QStringList recoveries;
    for (const QVariantMap &entry : history(firstPath, false)) {
        if (entry.value(QStringLiteral("trigger")).toString() == QLatin1String("recovery"))
            recoveries.prepend(entry.value(QStringLiteral("result")).toString() + QLatin1Char(' ') + entry.value(QStringLiteral("release_channel")).toString());
    }
    QCOMPARE(recoveries.join(QLatin1Char(',')),
             QStringLiteral("refused kept,refused kept,refused kept,refused kept,failed kept,succeeded kept"));
}

void TestVexbusd::leavesTheBootloaderToAnOperatorWhenSetSo()
{
    // An image kept as the service keeps one.
    QDir folder = keptFolder();
    QVERIFY(folder.mkpath(QStringLiteral(".")));
    const QString release = m_releaseDirectory.filePath(QStringLiteral("www/firmware/nivora-vexbususb/"));
    const QByteArray image = NivoraTest::readFile(QStringLiteral(SAMPLE_FIRMWARE));
    QVERIFY(writeFile(folder.filePath(QStringLiteral("image.cyacd")), image));
    QVERIFY(QFile::copy(release + QStringLiteral("release.json"), folder.filePath(QStringLiteral("release.json"))));
    QVERIFY(QFile::copy(release + QStringLiteral("release.json.sig"), folder.filePath(QStringLiteral("release.json.sig"))));
    const QJsonObject record{{QStringLiteral("version"), QStringLiteral("1.5.0")},
                             {QStringLiteral("sha256"), QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex())}};
    QVERIFY(writeFile(folder.filePath(QStringLiteral("kept.json")), QJsonDocument(record).toJson()));

    m_emulators[0]->clearRequests();
    replug(VexbusEmulator::ModeBootloader);
    expectRecovery(QStringLiteral("off"), QStringLiteral("^The controller of the adapter A5XK1234 waits in its bootloader; the settings "
                                                         "leave it to an operator \\(RecoverFromBootloader=false\\)"));
    QCOMPARE(property(firstPath, QStringLiteral("UpdatePhase")).toString(), QStringLiteral("idle"));
    QVERIFY(!property(firstPath, QStringLiteral("Updating")).toBool());
    QCOMPARE(m_emulators[0]->requests(RecordedRequest::ProtocolBootloader, 0x39).count(), 0);
}

void TestVexbusd::reopensAPortThatHungUp()
{
    // A driver reset hangs up every open descriptor of the tty, and udev
    // says nothing: the node stays where it was.
    SignalLog removed;
    QVERIFY(client(QStringLiteral("first")).connect(service, QStringLiteral("/org/nivora/Vexbus1"), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                    QStringLiteral("InterfacesRemoved"), &removed, SLOT(take(QDBusMessage))));
    const int tty = ::open(QFile::encodeName(m_platform->ptyPath(QStringLiteral("ttyUSB0"))).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(tty >= 0);
    // Past umockdev's ioctl wrapper, which takes the PTY for the mocked tty.
    QVERIFY2(::syscall(SYS_ioctl, tty, TIOCVHANGUP) == 0, strerror(errno));
    ::close(tty);
    QVERIFY(waitFor([this]() { return !property(firstPath, QStringLiteral("Available")).toBool(); }, 5000));
    // Opened again after a pause, with no event to wait for.
    QVERIFY(waitFor([this]() { return property(firstPath, QStringLiteral("Available")).toBool(); }, 5000));
    const QDBusMessage frame = call(client(QStringLiteral("first")), firstPath, QStringLiteral("WriteFrame"), {QByteArray::fromHex("0a")});
    QCOMPARE(frame.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(removed.messages.count(), 0);
    QVERIFY(property(secondPath, QStringLiteral("Available")).toBool());
}

void TestVexbusd::refusesUsersOutsideTheGroup()
{
    if (::geteuid() != 0)
        QSKIP("running a client as another user needs root");
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty() || QStandardPaths::findExecutable(QStringLiteral("busctl")).isEmpty())
        QSKIP("setpriv (util-linux) and busctl (systemd) are needed");
    // nobody, in no group; without the mocked platform, which is root's.
    auto asNobody = [this](const QStringList &busctlArguments) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("LD_PRELOAD"));
        environment.remove(QStringLiteral("UMOCKDEV_DIR"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral("setpriv"), QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "busctl",
                                                            "--address=" + m_bus->address()} + busctlArguments);
        NivoraTest::waitForFinished(&process, 10000);
        return NivoraTest::ToolResult{process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                                      QString::fromUtf8(process.readAllStandardError())};
    };
    const NivoraTest::ToolResult reached = asNobody({"call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames"});
    if (reached.exitCode != 0)
        QSKIP(qPrintable(QStringLiteral("the user nobody cannot reach the private bus here: %1").arg(reached.err.trimmed())));
    QVERIFY2(reached.out.contains(service), qPrintable(reached.describe()));

    const int before = requestCount(m_emulators[0].get());
    const NivoraTest::ToolResult refused = asNobody({"call", service, firstPath, adapterInterface, "WriteFrame", "ay", "1", "1"});
    QVERIFY2(refused.exitCode != 0 && refused.err.contains(QStringLiteral("Access denied")), qPrintable(refused.describe()));
    const NivoraTest::ToolResult listed = asNobody({"call", service, "/org/nivora/Vexbus1", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"});
    QVERIFY2(listed.exitCode != 0 && listed.err.contains(QStringLiteral("Access denied")), qPrintable(listed.describe()));
    QCOMPARE(requestCount(m_emulators[0].get()), before);
}

QString TestVexbusd::policyFolder() const
{
    return m_releaseDirectory.filePath(QStringLiteral("www/firmware/nivora-vexbususb"));
}

void TestVexbusd::publishPolicy(const QStringList &arguments, const QString &key)
{
    const NivoraTest::ToolResult written = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE),
            QStringList{QStringLiteral("policy"), policyFolder(), QStringLiteral("--key"),
                        key.isEmpty() ? m_releaseDirectory.filePath(QStringLiteral("publisher.key")) : key} + arguments);
    QVERIFY2(written.exitCode == 0, qPrintable(written.describe()));
}

void TestVexbusd::expectPolicy(const QString &path, const QString &name, const QVariant &expected, int timeoutMs)
{
    QVariant value;
    waitFor([&]() {
        value = property(path, name);
        return value == expected;
    }, timeoutMs);
    QVERIFY2(value == expected, qPrintable(QStringLiteral("%1 of %2 is %3, not %4; message: %5").arg(name, path, value.toString(),
             expected.toString(), property(path, QStringLiteral("PolicyMessage")).toString())));
}

int TestVexbusd::startedUpdates(VexbusEmulator *emulator)
{
    return emulator->requests(RecordedRequest::ProtocolController, 0x03).count();
}

// A window of two hours around the gateway's local time now, or one that
// opens in two hours: both whatever the time of day, across midnight too.
static QString windowAround(int hoursFromNow)
{
    const QTime now = QTime::currentTime();
    return now.addSecs((hoursFromNow - 1) * 3600).toString(QStringLiteral("HH:mm")) + QLatin1Char('-')
            + now.addSecs((hoursFromNow + 1) * 3600).toString(QStringLiteral("HH:mm"));
}

// The image of the release 1.5.0 on the server, which a policy approves.
static QString approvedImage()
{
    return QStringLiteral(SAMPLE_FIRMWARE);
}

static QString sha256Of(const QString &fileName)
{
    return QString::fromLatin1(QCryptographicHash::hash(NivoraTest::readFile(fileName), QCryptographicHash::Sha256).toHex());
}

void TestVexbusd::refusesPoliciesItCannotTrust_data()
{
    QTest::addColumn<QString>("reason");
    QTest::newRow("unsigned") << "unsigned";
    QTest::newRow("signed by another key") << "foreign-key";
    QTest::newRow("signed, not a policy") << "malformed";
    QTest::newRow("older than the one held") << "older";
}

void TestVexbusd::refusesPoliciesItCannotTrust()
{
    QFETCH(QString, reason);
    const QString sum = sha256Of(approvedImage());
    const QStringList policy{"--target", "1.5.0", "--approve", sum, "--rollout", "fleet-a", "--percent", "0"};
    qulonglong held = 0;
    if (reason == QLatin1String("older")) {
        publishPolicy(QStringList{"--sequence", "5"} + policy);
        expectPolicy(firstPath, QStringLiteral("PolicySequence"), qulonglong(5));
        held = 5;
        publishPolicy(QStringList{"--sequence", "4"} + policy);
    } else if (reason == QLatin1String("unsigned")) {
        publishPolicy(QStringList{"--sequence", "3"} + policy);
        QVERIFY(QFile::remove(QDir(policyFolder()).filePath(QStringLiteral("policy.json.sig"))));
    } else if (reason == QLatin1String("foreign-key")) {
        const QString stranger = m_directory->filePath(QStringLiteral("stranger"));
        QCOMPARE(NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE), {"keygen", stranger}).exitCode, 0);
        publishPolicy(QStringList{"--sequence", "3"} + policy, stranger + QStringLiteral(".key"));
    } else {
        const QString file = QDir(policyFolder()).filePath(QStringLiteral("policy.json"));
        QVERIFY(writeFile(file, "{\"sequence\": 3, \"target\": \"soon\"}\n"));
        QCOMPARE(NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE),
                                     {"sign", file, "--key", m_releaseDirectory.filePath(QStringLiteral("publisher.key"))}).exitCode, 0);
    }
    QVERIFY(waitFor([this, reason]() {
        return property(secondPath, QStringLiteral("PolicyRefusal")).toString().contains(QStringLiteral("(%1)").arg(reason));
    }, 5000));
    const QString refusal = property(firstPath, QStringLiteral("PolicyRefusal")).toString();
    QVERIFY2(refusal.startsWith(QLatin1String("Refused the fleet policy")) && refusal.contains(QLatin1String("from the release server")),
             qPrintable(refusal));
    QCOMPARE(property(firstPath, QStringLiteral("PolicySequence")).toULongLong(), held);
    QCOMPARE(property(firstPath, QStringLiteral("PolicyState")).toString(), held ? QStringLiteral("outside-rollout") : QStringLiteral("none"));
    const NivoraTest::ToolResult status = runVexbusctl({QStringLiteral("--serial"), QStringLiteral("A5XK1234"), QStringLiteral("status")}, {});
    QVERIFY2(status.out.contains(QRegularExpression(QStringLiteral("\n\\s*refused:\\s+Refused the fleet policy.*\\(%1\\)").arg(reason))),
             qPrintable(status.describe()));
    if (!held)
        return;

    // The policy held stays across a restart, and an older one stays refused.
    m_vexbusd->terminate();
    QVERIFY(NivoraTest::waitForFinished(m_vexbusd.get(), 5000));
    startService({firstPath, secondPath});
    QCOMPARE(property(firstPath, QStringLiteral("PolicySequence")).toULongLong(), held);
    QVERIFY(waitFor([this]() {
        return property(firstPath, QStringLiteral("PolicyRefusal")).toString().contains(QLatin1String("(older)"));
    }, 5000));
}

void TestVexbusd::updatesTheAdaptersInThePolicysRollout()
{
    for (auto &emulator : m_emulators)
        emulator->setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    // In the rollout fleet-a, A5XK1234 has the bucket 37 and C3PO0042 84.
    publishPolicy({"--sequence", "1", "--target", "1.5.0", "--approve", approvedImage(), "--rollout", "fleet-a", "--percent", "50",
                   "--window", windowAround(0), "--minimum-version", "1.4.0"});
    expectPolicy(firstPath, QStringLiteral("FirmwareVersion"), QStringLiteral("1.5.0"), 60000);
    expectPolicy(firstPath, QStringLiteral("PolicyState"), QStringLiteral("up-to-date"));
    expectPolicy(secondPath, QStringLiteral("PolicyState"), QStringLiteral("outside-rollout"));
    QCOMPARE(property(secondPath, QStringLiteral("PolicyMessage")).toString(),
             QStringLiteral("Its bucket 84 in the rollout fleet-a is not below 50 %."));
    QCOMPARE(property(secondPath, QStringLiteral("FirmwareVersion")).toString(), QStringLiteral("1.4.12"));
    QCOMPARE(startedUpdates(m_emulators[1].get()), 0);

    const QList<QVariantMap> entries = history(firstPath, false);
    QCOMPARE(entries.count(), 1);
    const QVariantMap update = entries.first();
    QCOMPARE(update.value("trigger").toString(), QStringLiteral("policy"));
    QCOMPARE(update.value("requester").toString(), QStringLiteral("policy 1 fleet-a"));
    QCOMPARE(update.value("result").toString(), QStringLiteral("succeeded"));
    QCOMPARE(update.value("firmware_before").toString(), QStringLiteral("1.4.12"));
    QCOMPARE(update.value("firmware_after").toString(), QStringLiteral("1.5.0"));
    QCOMPARE(update.value("release_version").toString(), QStringLiteral("1.5.0"));
    QCOMPARE(update.value("release_signed").toBool(), true);
    QCOMPARE(update.value("image_sha256").toString(), sha256Of(approvedImage()));
    QVERIFY(history(secondPath, false).isEmpty());
    // Once is enough: the fetches that follow change nothing.
    QTest::qWait(1500);
    QCOMPARE(startedUpdates(m_emulators[0].get()), 1);
}

void TestVexbusd::policyHoldsAdaptersBack_data()
{
    QTest::addColumn<QStringList>("policy");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("message"); // of the first adapter, a pattern
    QTest::addColumn<QString>("refusal"); // the history's error for each adapter; empty for no entry

    const QStringList all{"--sequence", "1", "--rollout", "fleet-a", "--percent", "100"};
    const QStringList approved{"--approve", approvedImage()};
    QTest::newRow("outside the window") << all + approved + QStringList{"--target", "1.5.0", "--window", windowAround(2)}
                                        << "outside-window" << "^It waits for the maintenance window \\d\\d:\\d\\d-\\d\\d:\\d\\d \\(local time\\)\\.$"
                                        << QString();
    QTest::newRow("below the minimum version") << all + approved + QStringList{"--target", "1.5.0", "--minimum-version", "1.4.13"}
                                               << "below-minimum" << "^Its firmware 1\\.4\\.12 is below the policy's minimum version 1\\.4\\.13"
                                               << QString();
    QTest::newRow("halted") << all + approved + QStringList{"--target", "current", "--halt"}
                            << "halted" << "^The fleet policy 1 halts the rollout fleet-a\\.$" << QString();
    QTest::newRow("at the target") << all + approved + QStringList{"--target", "1.4.12"}
                                   << "up-to-date" << "^It runs firmware 1\\.4\\.12; the target is 1\\.4\\.12\\.$" << QString();
    QTest::newRow("target not on the server") << all + approved + QStringList{"--target", "1.5.1"}
                                              << "waiting" << "^The release server offers firmware 1\\.5\\.0, not the target 1\\.5\\.1" << QString();
    QTest::newRow("image not approved") << all + QStringList{"--target", "current", "--approve", QString(64, QLatin1Char('a'))}
                                        << "not-approved" << "^The image of release 1\\.5\\.0 \\(SHA-256 [0-9a-f]{64}\\) is not one the fleet "
                                                             "policy approves; nothing was written\\.$" << "not-approved";
}

void TestVexbusd::policyHoldsAdaptersBack()
{
    QFETCH(QStringList, policy);
    QFETCH(QString, state);
    QFETCH(QString, message);
    QFETCH(QString, refusal);

    publishPolicy(policy);
    // "waiting" comes first while the release server is asked.
    QString said;
    waitFor([&]() {
        said = property(firstPath, QStringLiteral("PolicyMessage")).toString();
        return said.contains(QRegularExpression(message));
    }, 10000);
    QVERIFY2(said.contains(QRegularExpression(message)), qPrintable(said));
    QCOMPARE(property(firstPath, QStringLiteral("PolicyState")).toString(), state);
    expectPolicy(secondPath, QStringLiteral("PolicyState"), state);
    // A refusal goes into the history once, not at every fetch.
    if (!refusal.isEmpty())
        QTest::qWait(1200);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(startedUpdates(m_emulators[i].get()), 0);
        const QList<QVariantMap> entries = history(i ? secondPath : firstPath, false);
        QCOMPARE(entries.count(), refusal.isEmpty() ? 0 : 1);
        if (!refusal.isEmpty()) {
            QCOMPARE(entries.first().value("result").toString(), QStringLiteral("refused"));
            QCOMPARE(entries.first().value("error").toString(), refusal);
            QCOMPARE(entries.first().value("trigger").toString(), QStringLiteral("policy"));
        }
    }
    QCOMPARE(property(firstPath, QStringLiteral("PolicyState")).toString(), state);
}

void TestVexbusd::aFailedPolicyUpdateHaltsTheGatewaysRollout()
{
    // The controller of A5XK1234 (bucket 37 in fleet-a) refuses its bootloader.
    m_emulators[0]->setCommandError(VexbusEmulator::ModeController, 0x03, 6);
    m_emulators[1]->setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    const QStringList policy{"--target", "1.5.0", "--approve", approvedImage(), "--rollout", "fleet-a"};
    publishPolicy(QStringList{"--sequence", "1", "--percent", "50"} + policy);
    expectPolicy(firstPath, QStringLiteral("PolicyState"), QStringLiteral("failed"));
    expectPolicy(secondPath, QStringLiteral("PolicyState"), QStringLiteral("rollout-halted"));
    const QString reason = property(secondPath, QStringLiteral("PolicyMessage")).toString();
    QVERIFY2(reason.startsWith(QLatin1String("The update of adapter A5XK1234 to firmware 1.5.0 by the fleet policy 1 failed: "))
             && reason.endsWith(QLatin1String("This gateway starts no further update of the rollout fleet-a.")), qPrintable(reason));
    const QList<QVariantMap> entries = history(firstPath, false);
    QCOMPARE(entries.count(), 1);
    QCOMPARE(entries.first().value("trigger").toString(), QStringLiteral("policy"));
    QCOMPARE(entries.first().value("result").toString(), QStringLiteral("failed"));

    // The halt outlives a restart, and more of the same rollout starts
    // nothing here.
    m_vexbusd->terminate();
    QVERIFY(NivoraTest::waitForFinished(m_vexbusd.get(), 5000));
    startService({firstPath, secondPath});
    QCOMPARE(property(secondPath, QStringLiteral("PolicyState")).toString(), QStringLiteral("rollout-halted"));
    QCOMPARE(property(firstPath, QStringLiteral("PolicyState")).toString(), QStringLiteral("failed"));
    publishPolicy(QStringList{"--sequence", "2", "--percent", "100"} + policy);
    expectPolicy(secondPath, QStringLiteral("PolicySequence"), qulonglong(2));
    QCOMPARE(property(secondPath, QStringLiteral("PolicyState")).toString(), QStringLiteral("rollout-halted"));
    QTest::qWait(1500);
    QCOMPARE(startedUpdates(m_emulators[1].get()), 0);
    QCOMPARE(startedUpdates(m_emulators[0].get()), 1);

    // An operator's update is the operator's business.
    const QDBusMessage manual = call(client(QStringLiteral("first")), secondPath, QStringLiteral("UpdateFromReleaseServer"),
                                     {QVariantMap()}, 120000);
    QVERIFY2(manual.type() == QDBusMessage::ReplyMessage, qPrintable(manual.errorMessage()));
    QCOMPARE(property(secondPath, QStringLiteral("FirmwareVersion")).toString(), QStringLiteral("1.5.0"));

    // A new rollout starts afresh.
    publishPolicy({"--sequence", "3", "--target", "1.5.0", "--approve", approvedImage(), "--rollout", "r1", "--percent", "0"});
    expectPolicy(firstPath, QStringLiteral("PolicyState"), QStringLiteral("outside-rollout"));
}

void TestVexbusd::refusesToStartWithoutWhatItNeeds_data()
{
    QTest::addColumn<QStringList>("arguments"); // DIR: a folder of the test's own
    QTest::addColumn<QByteArray>("settings"); // written to DIR/vexbusd.conf when given
    QTest::addColumn<QString>("error");

    QTest::newRow("unknown option") << QStringList{"--bogus"} << QByteArray()
                                    << "vexbusd: Unknown option 'bogus' \\(see vexbusd --help\\)\n";
    // A key meant to be trusted that cannot be read: the service would run
    // without it, or without any key.
    QTest::newRow("unreadable key") << QStringList{"--config", "DIR/vexbusd.conf"} << QByteArray("[Release]\nTrustedKeys=DIR/vexbusd.conf\n")
                                    << "vexbusd: Release/TrustedKeys: DIR/vexbusd.conf: not a readable Ed25519 public key in PEM "
                                       "\\(vexbus-release keygen makes one\\)\n";
    QTest::newRow("missing key") << QStringList{"--config", "DIR/vexbusd.conf"} << QByteArray("[Release]\nTrustedKeys=DIR/gone.pub\n")
                                 << "vexbusd: Release/TrustedKeys: DIR/gone.pub: not a readable Ed25519 public key in PEM";
    QTest::newRow("folder without keys") << QStringList{"--config", "DIR/vexbusd.conf"} << QByteArray("[Release]\nTrustedKeys=DIR/keys\n")
                                         << "vexbusd: Release/TrustedKeys: DIR/keys: a folder without key files \\(\\*\\.pem, \\*\\.pub\\)\n";
    QTest::newRow("frame signal neither on nor off") << QStringList{"--config", "DIR/vexbusd.conf"} << QByteArray("[DBus]\nBusFrameSignal=maybe\n")
                                                     << "vexbusd: DIR/vexbusd.conf: DBus/BusFrameSignal must be true or false\n";
}

void TestVexbusd::refusesToStartWithoutWhatItNeeds()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, settings);
    QFETCH(QString, error);

    QTemporaryDir directory;
    QVERIFY(QDir(directory.path()).mkdir(QStringLiteral("keys")));
    const QString dir = directory.path();
    if (!settings.isEmpty()) {
        QFile file(directory.filePath(QStringLiteral("vexbusd.conf")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(settings.replace("DIR", QFile::encodeName(dir)));
    }
    for (QString &argument : arguments)
        argument.replace(QLatin1String("DIR"), dir);
    const NivoraTest::ToolResult result = NivoraTest::runTool(QStringLiteral(VEXBUSD), arguments);
    QVERIFY2(result.exitCode == 2, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(QRegularExpression(QLatin1Char('^') + QString(error).replace(QLatin1String("DIR"), QRegularExpression::escape(dir)))),
             qPrintable(result.describe()));
}

QTEST_GUILESS_MAIN(TestVexbusd)
#include "tst_vexbusd.moc"
