#include "adapter/nivoravexbususbadapter.h"
#include "testplatform.h"
#include "vexbusemulator.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace NivoraVexbusUsb;
using NivoraTest::TestPlatform;
using NivoraVexbusUsbEmulator::RecordedRequest;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

const QString device0 = QStringLiteral("ttyUSB0");
const QString path0 = QStringLiteral("/dev/ttyUSB0");

void ignoreWarning(const QString &pattern)
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern));
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("Cannot write %s", qPrintable(path));
    return path;
}

QList<RecordedRequest> controllerRequests(const VexbusEmulator &emulator, quint8 command)
{
    return emulator.requests(RecordedRequest::ProtocolController, command);
}

// Collects the warnings of the library while it lives, for tests that must
// prove that a warning did not come.
class WarningCollector
{
public:
    WarningCollector() { s_messages.clear(); s_previous = qInstallMessageHandler(handler); }
    ~WarningCollector() { qInstallMessageHandler(s_previous); }
    QStringList messages() const { return s_messages; }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type == QtWarningMsg)
            s_messages.append(QString::fromLatin1(context.category) + QLatin1String(": ") + message);
    }
    static QStringList s_messages;
    static QtMessageHandler s_previous;
};
QStringList WarningCollector::s_messages;
QtMessageHandler WarningCollector::s_previous = nullptr;

} // namespace

class TestNivoraVexbusUsbAdapter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void comesUpInPortMode();
    void unplugAndReplug();
    void silentControllerIsReconnected();
    void readyWhileVersionPendingRestartsInit();
    void stopDuringInitStaysStopped();
    void notifications();
    void statusPayloadFlagsComparedFirst();
    void commandPayloads_data();
    void commandPayloads();
    void commandErrorsAreLoggedAndSignalled();
    void resetFollowsStateSequence();
    void reusedPacketIdKeepsNewerReply();
    void firmwareUpdateFromFile();

private:
    // Emulator on ttyUSB0, adapter in port mode, started (and connected).
    void startAdapter();
    void startConnected();

    std::unique_ptr<TestPlatform> m_platform;
    std::unique_ptr<VexbusEmulator> m_emulator;
    std::unique_ptr<NivoraVexbusUsbAdapter> m_adapter;
};

void TestNivoraVexbusUsbAdapter::initTestCase()
{
    qRegisterMetaType<NivoraVexbusUsbAdapter::State>();
    qRegisterMetaType<NivoraVexbusUsbUtils::LedMode>();
    qRegisterMetaType<NivoraVexbusUsbUtils::VexbusType>();
    qRegisterMetaType<NivoraVexbusUsbUtils::Command>();
    qRegisterMetaType<NivoraVexbusUsbUtils::Error>();
    qRegisterMetaType<NivoraVexbusUsbReply::Error>();
}

void TestNivoraVexbusUsbAdapter::init()
{
    m_platform.reset(new TestPlatform);
    m_emulator.reset(new VexbusEmulator);
}

void TestNivoraVexbusUsbAdapter::cleanup()
{
    m_adapter.reset();
    m_emulator.reset();
    m_platform.reset();
}

void TestNivoraVexbusUsbAdapter::startAdapter()
{
    m_platform->addAdapter(QStringLiteral("ABC123"));
    QVERIFY(m_emulator->attach(m_platform->masterFd(device0)));
    m_adapter.reset(new NivoraVexbusUsbAdapter);
    m_adapter->setPortName(path0);
    QVERIFY(m_adapter->start());
}

void TestNivoraVexbusUsbAdapter::startConnected()
{
    startAdapter();
    QTRY_COMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnected);
}

void TestNivoraVexbusUsbAdapter::comesUpInPortMode()
{
    m_platform->addAdapter(QStringLiteral("ABC123"));
    QVERIFY(m_emulator->attach(m_platform->masterFd(device0)));
    m_adapter.reset(new NivoraVexbusUsbAdapter);
    m_adapter->setPortName(path0);
    QSignalSpy stateSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::stateChanged);
    QVERIFY(m_adapter->start());
    QTRY_COMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnected);
    QCOMPARE(stateSpy.count(), 2);
    QCOMPARE(stateSpy.at(0).at(0).value<NivoraVexbusUsbAdapter::State>(), NivoraVexbusUsbAdapter::StateConnecting);
    QCOMPARE(stateSpy.at(1).at(0).value<NivoraVexbusUsbAdapter::State>(), NivoraVexbusUsbAdapter::StateConnected);

    QVERIFY(m_adapter->available());
    QCOMPARE(m_adapter->firmwareVersion(), QStringLiteral("1.4.12"));
    QCOMPARE(m_adapter->ledMode(), NivoraVexbusUsbUtils::LedModeOn);
    QCOMPARE(m_adapter->vexbusType(), NivoraVexbusUsbUtils::VexbusTypeHoltrane);
    QVERIFY(m_adapter->vexbusSynchronized());
    QVERIFY(m_adapter->vexbusInitialized());
    QVERIFY(m_adapter->vexbusAvailable());
    QCOMPARE(m_adapter->serialPortSerialNumber(), QStringLiteral("ABC123"));
    QCOMPARE(m_adapter->serialPortProductIdentifier(), static_cast<unsigned short>(0x6001));

    // The init procedure asked for the version first, then the status, with
    // packet ids counting from 0.
    const QList<RecordedRequest> requests = m_emulator->requests();
    QCOMPARE(requests.count(), 2);
    QCOMPARE(requests.at(0).command(), quint8(0x01));
    QCOMPARE(requests.at(0).packetId(), quint8(0));
    QCOMPARE(requests.at(1).command(), quint8(0x04));
    QCOMPARE(requests.at(1).packetId(), quint8(1));
}

void TestNivoraVexbusUsbAdapter::unplugAndReplug()
{
    startConnected();
    QSignalSpy availableSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::availableChanged);

    ignoreWarning(QStringLiteral("^Serial port device \"/dev/ttyUSB0\" removed.$"));
    m_platform->unplug(device0);
    QTRY_VERIFY(!m_adapter->available());
    QCOMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateUnconnected);
    QVERIFY(m_adapter->firmwareVersion().isEmpty());
    QCOMPARE(m_adapter->ledMode(), NivoraVexbusUsbUtils::LedModeUnknown);
    QVERIFY(!m_adapter->vexbusAvailable());

    m_platform->plug(QStringLiteral("ABC123"));
    QTRY_COMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnected);
    QCOMPARE(m_adapter->firmwareVersion(), QStringLiteral("1.4.12"));
    QCOMPARE(availableSpy.count(), 2);
}

void TestNivoraVexbusUsbAdapter::silentControllerIsReconnected()
{
    m_emulator->setSilent(true);
    startAdapter();
    QVERIFY(m_adapter->serialInterface()->connected());
    QSignalSpy connectedSpy(m_adapter->serialInterface(), &NivoraVexbusUsbInterface::connectedChanged);

    // The fourth attempt, on the reopened port, is still unanswered.
    for (int i = 0; i < 4; ++i)
        ignoreWarning(QStringLiteral("^Read initial firmware reply finished with error NivoraVexbusUsb::NivoraVexbusUsbReply::ErrorTimeout$"));
    ignoreWarning(QStringLiteral("^Failed to initialize after 3 attempts. Reconnecting the interface$"));

    // Three attempts of 2000 ms each, then the interface closes and reopens.
    QTRY_COMPARE_WITH_TIMEOUT(connectedSpy.count(), 2, 8000);
    QCOMPARE(connectedSpy.at(0).at(0).toBool(), false);
    QCOMPARE(connectedSpy.at(1).at(0).toBool(), true);
    QCOMPARE(controllerRequests(*m_emulator, 0x01).count(), 4);
    QCOMPARE(controllerRequests(*m_emulator, 0x04).count(), 0);

    // The controller that answers again comes up through the fresh init.
    m_emulator->setSilent(false);
    QTRY_COMPARE_WITH_TIMEOUT(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnected, 4000);
}

void TestNivoraVexbusUsbAdapter::readyWhileVersionPendingRestartsInit()
{
    m_emulator->setResponseDelay(300);
    startAdapter();
    QTRY_COMPARE(controllerRequests(*m_emulator, 0x01).count(), 1);
    QCOMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnecting);

    QSignalSpy stateSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::stateChanged);
    ignoreWarning(QStringLiteral("^Unhandled packet received: Packet\\(Response, NivoraVexbusUsb::NivoraVexbusUsbUtils::CommandGetFirmware, id: \"0x00\" \\(0\\)"));
    QVERIFY(m_emulator->sendControllerReady());
    QTRY_COMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnected);

    // The aborted attempt is followed at once by a new one, without passing
    // through StateConnecting again.
    QCOMPARE(stateSpy.count(), 2);
    QCOMPARE(stateSpy.at(0).at(0).value<NivoraVexbusUsbAdapter::State>(), NivoraVexbusUsbAdapter::StateUnconnected);
    QCOMPARE(stateSpy.at(1).at(0).value<NivoraVexbusUsbAdapter::State>(), NivoraVexbusUsbAdapter::StateConnected);
    QCOMPARE(controllerRequests(*m_emulator, 0x01).count(), 2);

    // The late answer to the aborted request found no reply any more.
    QTest::qWait(400);
}

void TestNivoraVexbusUsbAdapter::stopDuringInitStaysStopped()
{
    m_emulator->setSilent(true);
    startAdapter();
    QTRY_COMPARE(controllerRequests(*m_emulator, 0x01).count(), 1);

    m_adapter->stop();
    QVERIFY(!m_adapter->serialInterface()->connected());

    // Long enough for three init time-outs and the reconnection they would
    // cause if retries ran on the closed port.
    QSignalSpy connectedSpy(m_adapter->serialInterface(), &NivoraVexbusUsbInterface::connectedChanged);
    QTest::qWait(6500);
    QCOMPARE(connectedSpy.count(), 0);
    QVERIFY(!m_adapter->serialInterface()->serialPort()->isOpen());
    QCOMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateUnconnected);
    QCOMPARE(controllerRequests(*m_emulator, 0x01).count(), 1);

    // The next start initializes as usual.
    m_emulator->setSilent(false);
    QVERIFY(m_adapter->start());
    QTRY_COMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnected);
}

void TestNivoraVexbusUsbAdapter::notifications()
{
    startConnected();
    QSignalSpy frameSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::vexbusFrameReceived);

    const QByteArray frame = QByteArray::fromHex("0102c0db7e");
    QVERIFY(m_emulator->sendBusData(frame));
    QTRY_COMPARE(frameSpy.count(), 1);
    QCOMPARE(frameSpy.at(0).at(0).toByteArray(), frame);

    ignoreWarning(QStringLiteral("^Received error notification from controller: NivoraVexbusUsb::NivoraVexbusUsbUtils::ErrorVexbusNotAvailable$"));
    QVERIFY(m_emulator->sendErrorNotification(0x09));
    ignoreWarning(QStringLiteral("^Received error notification with invalid payload size. Discard packet...$"));
    QVERIFY(m_emulator->sendNotification(0xF4, QByteArray::fromHex("0909")));
    ignoreWarning(QStringLiteral("^Unhandled notification received: Packet\\(Notification, NivoraVexbusUsb::NivoraVexbusUsbUtils::Notitifaction\\(245\\), id: "));
    QVERIFY(m_emulator->sendNotification(0xF5));

    // A bus frame after all of them proves they were all processed.
    QVERIFY(m_emulator->sendBusData(frame));
    QTRY_COMPARE(frameSpy.count(), 2);
    QCOMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnected);
}

void TestNivoraVexbusUsbAdapter::statusPayloadFlagsComparedFirst()
{
    startConnected();
    QSignalSpy ledSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::ledModeChanged);
    QSignalSpy syncSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::vexbusSynchronizedChanged);
    QSignalSpy availableSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::vexbusAvailableChanged);
    QSignalSpy typeSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::vexbusTypeChanged);

    // Same flags, other LED mode: only the LED mode changes.
    m_emulator->setLedMode(0x02);
    QTRY_COMPARE(ledSpy.count(), 1);
    QCOMPARE(m_adapter->ledMode(), NivoraVexbusUsbUtils::LedModeBlinkSlow);

    // Losing availability and synchronization.
    m_emulator->setStatusFlags(0x02);
    QTRY_COMPARE(availableSpy.count(), 1);
    QCOMPARE(syncSpy.count(), 1);
    QVERIFY(!m_adapter->vexbusAvailable());
    QVERIFY(!m_adapter->vexbusSynchronized());
    QVERIFY(m_adapter->vexbusInitialized());

    // A payload shorter than three bytes reads the missing bytes as 0.
    QVERIFY(m_emulator->sendNotification(0xF2, QByteArray::fromHex("03")));
    QTRY_COMPARE(m_adapter->vexbusType(), NivoraVexbusUsbUtils::VexbusTypeUnknown);
    QCOMPARE(m_adapter->ledMode(), NivoraVexbusUsbUtils::LedModeBlinkFast);
    QVERIFY(!m_adapter->vexbusInitialized());
    QCOMPARE(typeSpy.count(), 1);
}

void TestNivoraVexbusUsbAdapter::commandPayloads_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("warning");

    QTest::newRow("write test frame") << "writeDefault" << 0xA0 << QByteArray::fromHex("054142434445") << QString();
    QTest::newRow("write 255 bytes") << "write255" << 0xA0 << (QByteArray(1, '\xff') + QByteArray(255, '\x5a')) << QString();
    QTest::newRow("IXO program") << "ixoProgram" << 0x10 << QByteArray::fromHex("801800c8") << QString();
    QTest::newRow("remote service") << "remoteProgram" << 0x10 << QByteArray::fromHex("000401f4") << QString();
    QTest::newRow("app connector 65535 ms") << "app65535" << 0x40 << QByteArray::fromHex("07ffff") << QString();
    QTest::newRow("app connector too long") << "app70000" << 0x40 << QByteArray::fromHex("07ffff")
                                            << "^The press duration of 70000 ms exceeds the maximum of 65535 ms. Limiting it to 65535 ms.$";
    QTest::newRow("parameter handling off") << "paramsOff" << 0x41 << QByteArray::fromHex("00") << QString();
}

void TestNivoraVexbusUsbAdapter::commandPayloads()
{
    QFETCH(QString, operation);
    QFETCH(int, command);
    QFETCH(QByteArray, payload);
    QFETCH(QString, warning);

    startConnected();
    m_emulator->clearRequests();
    if (!warning.isEmpty())
        ignoreWarning(warning);
    QSignalSpy finishedSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::commandFinished);

    NivoraVexbusUsbAdapter *adapter = m_adapter.get();
    if (operation == "writeDefault") adapter->writeDataToVexbus();
    else if (operation == "write255") adapter->writeDataToVexbus(QByteArray(255, '\x5a'));
    else if (operation == "ixoProgram") adapter->pressIxoButton(NivoraVexbusUsbAdapter::IxoModuleButtonProgram, 200);
    else if (operation == "remoteProgram") adapter->pressRemoteServiceButton(NivoraVexbusUsbAdapter::RemoteServiceModuleButtonProgram, 500);
    else if (operation == "app65535") adapter->pressAppConnectorButton(NivoraVexbusUsbAdapter::AppConnectorModuleButtonHalt, 65535);
    else if (operation == "app70000") adapter->pressAppConnectorButton(NivoraVexbusUsbAdapter::AppConnectorModuleButtonHalt, 70000);
    else if (operation == "paramsOff") adapter->enableAppConnectorParameterHandling(false);
    else QFAIL("unknown operation");

    QTRY_COMPARE(m_emulator->requests().count(), 1);
    const RecordedRequest request = m_emulator->requests().first();
    QCOMPARE(int(request.command()), command);
    QCOMPARE(request.packetId(), quint8(2));
    QCOMPARE(request.payload().toHex(), payload.toHex());

    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(int(finishedSpy.at(0).at(0).value<NivoraVexbusUsbUtils::Command>()), command);
    QCOMPARE(finishedSpy.at(0).at(1).value<NivoraVexbusUsbReply::Error>(), NivoraVexbusUsbReply::ErrorNoError);
    QCOMPARE(finishedSpy.at(0).at(2).value<NivoraVexbusUsbUtils::Error>(), NivoraVexbusUsbUtils::ErrorNoError);
}

void TestNivoraVexbusUsbAdapter::commandErrorsAreLoggedAndSignalled()
{
    startConnected();
    QSignalSpy finishedSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::commandFinished);
    m_emulator->setCommandError(VexbusEmulator::ModeController, 0x41, 0x09);
    ignoreWarning(QStringLiteral("^Set KVT app connector paramerter handling reply finished with error "
                                 "NivoraVexbusUsb::NivoraVexbusUsbReply::ErrorInterfaceError$"));
    m_adapter->enableAppConnectorParameterHandling(true);
    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).value<NivoraVexbusUsbUtils::Command>(),
             NivoraVexbusUsbUtils::CommandEnableAppConnectorParameterHandling);
    QCOMPARE(finishedSpy.at(0).at(1).value<NivoraVexbusUsbReply::Error>(), NivoraVexbusUsbReply::ErrorInterfaceError);
    QCOMPARE(finishedSpy.at(0).at(2).value<NivoraVexbusUsbUtils::Error>(), NivoraVexbusUsbUtils::ErrorVexbusNotAvailable);

    // A refused reset changes no state.
    m_emulator->setCommandError(VexbusEmulator::ModeController, 0x02, 0x06);
    ignoreWarning(QStringLiteral("^Reset controller request finished with error NivoraVexbusUsb::NivoraVexbusUsbReply::ErrorInterfaceError$"));
    ignoreWarning(QStringLiteral("^Interface error NivoraVexbusUsb::NivoraVexbusUsbUtils::ErrorUnknownCommand$"));
    m_adapter->resetController();
    QTRY_COMPARE(finishedSpy.count(), 2);
    QCOMPARE(finishedSpy.at(1).at(0).value<NivoraVexbusUsbUtils::Command>(), NivoraVexbusUsbUtils::CommandSoftReset);
    QCOMPARE(finishedSpy.at(1).at(2).value<NivoraVexbusUsbUtils::Error>(), NivoraVexbusUsbUtils::ErrorUnknownCommand);
    QCOMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnected);

    // A command on a disconnected adapter is still sent, and times out.
    m_adapter->stop();
    ignoreWarning(QStringLiteral("^Set IXO module buffer data reply finished with error NivoraVexbusUsb::NivoraVexbusUsbReply::ErrorTimeout$"));
    m_adapter->pressIxoButton();
    QTRY_COMPARE_WITH_TIMEOUT(finishedSpy.count(), 3, 2500);
    QCOMPARE(finishedSpy.at(2).at(0).value<NivoraVexbusUsbUtils::Command>(), NivoraVexbusUsbUtils::CommandSetIxoModuleBuffer);
    QCOMPARE(finishedSpy.at(2).at(1).value<NivoraVexbusUsbReply::Error>(), NivoraVexbusUsbReply::ErrorTimeout);
    QCOMPARE(finishedSpy.at(2).at(2).value<NivoraVexbusUsbUtils::Error>(), NivoraVexbusUsbUtils::ErrorNoError);
}

void TestNivoraVexbusUsbAdapter::resetFollowsStateSequence()
{
    startConnected();
    QSignalSpy stateSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::stateChanged);
    QSignalSpy finishedSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::commandFinished);
    m_emulator->setResetTime(300);

    m_adapter->resetController();
    QTRY_COMPARE(stateSpy.count(), 2);
    // The outcome is signalled once the state shows the reset.
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(1).value<NivoraVexbusUsbReply::Error>(), NivoraVexbusUsbReply::ErrorNoError);
    QCOMPARE(stateSpy.at(0).at(0).value<NivoraVexbusUsbAdapter::State>(), NivoraVexbusUsbAdapter::StateUnconnected);
    QCOMPARE(stateSpy.at(1).at(0).value<NivoraVexbusUsbAdapter::State>(), NivoraVexbusUsbAdapter::StateConnecting);
    QVERIFY(!m_adapter->available());
    QVERIFY(m_adapter->firmwareVersion().isEmpty());

    // The rebooted controller announces itself, and the init runs again.
    QTRY_COMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnected);
    QCOMPARE(m_adapter->firmwareVersion(), QStringLiteral("1.4.12"));
    QCOMPARE(controllerRequests(*m_emulator, 0x02).count(), 1);
    QCOMPARE(controllerRequests(*m_emulator, 0x01).count(), 2);
}

void TestNivoraVexbusUsbAdapter::reusedPacketIdKeepsNewerReply()
{
    startConnected();
    m_emulator->setSilent(true);
    WarningCollector warnings;
    // Request with id 2, then 256 more a second later: the last one has id 2
    // again and replaces the first in the table while it is still pending.
    m_adapter->pressIxoButton();
    QTest::qWait(1000);
    for (int i = 0; i < 256; ++i)
        m_adapter->pressIxoButton();
    QTRY_COMPARE(controllerRequests(*m_emulator, 0x10).count(), 257);
    QCOMPARE(controllerRequests(*m_emulator, 0x10).last().packetId(), quint8(2));

    // The first request times out; then the answer for id 2 arrives.
    QTest::qWait(1300);
    QVERIFY(NivoraTest::writeToFd(m_platform->masterFd(device0), QByteArray::fromHex("c0100200" "12" "c0")));
    QTest::qWait(200);
    const QStringList unhandled = warnings.messages().filter(QStringLiteral("Unhandled packet"));
    QVERIFY2(unhandled.isEmpty(), qPrintable(unhandled.join('\n')));
}

void TestNivoraVexbusUsbAdapter::firmwareUpdateFromFile()
{
    startConnected();
    m_emulator->setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    QTemporaryDir dir;
    const QString path = writeFile(dir, QStringLiteral("update.cyacd"), "123456780000\n:000022000401020304D0\n:000023000405060708BF\n");

    QSignalSpy stateSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::stateChanged);
    QSignalSpy percentageSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::updatePercentageChanged);
    QSignalSpy finishedSpy(m_adapter.get(), &NivoraVexbusUsbAdapter::updateFinished);
    QElapsedTimer handOver;
    handOver.start();
    m_adapter->startFirmwareUpdate(path);
    QVERIFY(m_adapter->updating());
    QTRY_COMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnectingBootloader);
    QVERIFY(!m_adapter->serialInterface()->connected());
    QCOMPARE(controllerRequests(*m_emulator, 0x03).count(), 1);

    // 3000 ms later, once the controller can have rebooted into its
    // bootloader, and not a moment earlier, the handler takes the port,
    // writes the image and hands it back; the init procedure then reads the
    // new version.
    QTRY_COMPARE_WITH_TIMEOUT(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnectedBootloader, 5000);
    QVERIFY2(handOver.elapsed() >= 3000, qPrintable(QString::number(handOver.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(m_adapter->firmwareVersion(), QStringLiteral("1.5.0"), 15000);
    // The version comes first in the init procedure, the status after it.
    QTRY_COMPARE(m_adapter->state(), NivoraVexbusUsbAdapter::StateConnected);
    QVERIFY(!m_adapter->updating());
    QCOMPARE(percentageSpy.last().at(0).toDouble(), 100.0);
    QCOMPARE(m_emulator->flash().row(0, 0x23).toHex(), QByteArray("05060708"));
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), true);
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbAdapter)
#include "tst_nivoravexbususbadapter.moc"
