#include "emulatedadapter.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace NivoraVexbusUsb;
using NivoraTest::EmulatedAdapter;
using NivoraVexbusUsbEmulator::RecordedRequest;
using NivoraVexbusUsbEmulator::VexbusEmulator;
using State = NivoraVexbusUsbAdapter::State;
using Operation = std::function<void(NivoraVexbusUsbAdapter *)>;
Q_DECLARE_METATYPE(Operation)

namespace {

void ignoreWarnings(const QStringList &patterns)
{
    for (const QString &pattern : patterns)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern));
}

QList<State> states(const QSignalSpy &spy)
{
    QList<State> result;
    for (const QList<QVariant> &arguments : spy)
        result.append(arguments.at(0).value<State>());
    return result;
}

const QString timeoutWarning = QStringLiteral("^%1 finished with error NivoraVexbusUsb::NivoraVexbusUsbReply::ErrorTimeout$");

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
    void commands_data();
    void commands();
    void commandOnClosedPortTimesOut();
    void resetFollowsStateSequence();
    void reusedPacketIdKeepsNewerReply();
    void firmwareUpdateFromFile();

private:
    NivoraVexbusUsbAdapter *adapter() const { return m_rig->adapter(); }
    VexbusEmulator &emulator() { return m_rig->emulator(); }
    int requestCount(quint8 command) { return emulator().requests(RecordedRequest::ProtocolController, command).count(); }

    std::unique_ptr<EmulatedAdapter> m_rig;
};

void TestNivoraVexbusUsbAdapter::initTestCase()
{
    qRegisterMetaType<State>();
    qRegisterMetaType<NivoraVexbusUsbUtils::LedMode>();
    qRegisterMetaType<NivoraVexbusUsbUtils::VexbusType>();
    qRegisterMetaType<NivoraVexbusUsbUtils::Command>();
    qRegisterMetaType<NivoraVexbusUsbUtils::Error>();
    qRegisterMetaType<NivoraVexbusUsbReply::Error>();
}

void TestNivoraVexbusUsbAdapter::init()
{
    m_rig.reset(new EmulatedAdapter);
    QVERIFY(m_rig->isAttached());
}

void TestNivoraVexbusUsbAdapter::cleanup()
{
    m_rig.reset();
}

void TestNivoraVexbusUsbAdapter::comesUpInPortMode()
{
    QSignalSpy stateSpy(adapter(), &NivoraVexbusUsbAdapter::stateChanged);
    QVERIFY(m_rig->startConnected());
    QCOMPARE(states(stateSpy), (QList<State>{NivoraVexbusUsbAdapter::StateConnecting, NivoraVexbusUsbAdapter::StateConnected}));

    QVERIFY(adapter()->available());
    QCOMPARE(adapter()->firmwareVersion(), QStringLiteral("1.4.12"));
    QCOMPARE(adapter()->ledMode(), NivoraVexbusUsbUtils::LedModeOn);
    QCOMPARE(adapter()->vexbusType(), NivoraVexbusUsbUtils::VexbusTypeHoltrane);
    QVERIFY(adapter()->vexbusSynchronized());
    QVERIFY(adapter()->vexbusInitialized());
    QVERIFY(adapter()->vexbusAvailable());
    QCOMPARE(adapter()->serialPortSerialNumber(), QStringLiteral("ABC123"));
    QCOMPARE(adapter()->serialPortProductIdentifier(), static_cast<unsigned short>(0x6001));

    // The version first, then the status, with packet ids counting from 0.
    const QList<RecordedRequest> requests = emulator().requests();
    QCOMPARE(requests.count(), 2);
    QCOMPARE(requests.at(0).command(), quint8(0x01));
    QCOMPARE(requests.at(0).packetId(), quint8(0));
    QCOMPARE(requests.at(1).command(), quint8(0x04));
    QCOMPARE(requests.at(1).packetId(), quint8(1));
}

void TestNivoraVexbusUsbAdapter::unplugAndReplug()
{
    QVERIFY(m_rig->startConnected());
    QSignalSpy availableSpy(adapter(), &NivoraVexbusUsbAdapter::availableChanged);

    ignoreWarnings({QStringLiteral("^Serial port device \"/dev/ttyUSB0\" removed.$")});
    m_rig->unplug();
    QTRY_VERIFY(!adapter()->available());
    QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateUnconnected);
    QVERIFY(adapter()->firmwareVersion().isEmpty());
    QCOMPARE(adapter()->ledMode(), NivoraVexbusUsbUtils::LedModeUnknown);
    QVERIFY(!adapter()->vexbusAvailable());

    m_rig->replug();
    QTRY_COMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected);
    QCOMPARE(adapter()->firmwareVersion(), QStringLiteral("1.4.12"));
    QCOMPARE(availableSpy.count(), 2);
}

void TestNivoraVexbusUsbAdapter::silentControllerIsReconnected()
{
    emulator().setSilent(true);
    QVERIFY(m_rig->start());
    QVERIFY(adapter()->serialInterface()->connected());
    QSignalSpy connectedSpy(adapter()->serialInterface(), &NivoraVexbusUsbInterface::connectedChanged);

    // The fourth attempt, on the reopened port, is still unanswered.
    for (int i = 0; i < 4; ++i)
        ignoreWarnings({timeoutWarning.arg(QStringLiteral("Read initial firmware reply"))});
    ignoreWarnings({QStringLiteral("^Failed to initialize after 3 attempts. Reconnecting the interface$")});

    // Three attempts of 2000 ms each, then the interface closes and reopens.
    QTRY_COMPARE_WITH_TIMEOUT(connectedSpy.count(), 2, 8000);
    QCOMPARE(connectedSpy.at(0).at(0).toBool(), false);
    QCOMPARE(connectedSpy.at(1).at(0).toBool(), true);
    QCOMPARE(requestCount(0x01), 4);
    QCOMPARE(requestCount(0x04), 0);

    // The controller that answers again comes up through the fresh init.
    emulator().setSilent(false);
    QTRY_COMPARE_WITH_TIMEOUT(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected, 4000);
}

void TestNivoraVexbusUsbAdapter::readyWhileVersionPendingRestartsInit()
{
    emulator().setResponseDelay(300);
    QVERIFY(m_rig->start());
    QTRY_COMPARE(requestCount(0x01), 1);
    QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnecting);

    QSignalSpy stateSpy(adapter(), &NivoraVexbusUsbAdapter::stateChanged);
    ignoreWarnings({QStringLiteral("^Unhandled packet received: Packet\\(Response, NivoraVexbusUsb::NivoraVexbusUsbUtils::CommandGetFirmware, id: \"0x00\" \\(0\\)")});
    QVERIFY(emulator().sendControllerReady());
    QTRY_COMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected);

    // The aborted attempt is followed at once by a new one, without passing
    // through StateConnecting again.
    QCOMPARE(states(stateSpy), (QList<State>{NivoraVexbusUsbAdapter::StateUnconnected, NivoraVexbusUsbAdapter::StateConnected}));
    QCOMPARE(requestCount(0x01), 2);

    // The late answer to the aborted request found no reply any more.
    QTest::qWait(400);
}

void TestNivoraVexbusUsbAdapter::stopDuringInitStaysStopped()
{
    emulator().setSilent(true);
    QVERIFY(m_rig->start());
    QTRY_COMPARE(requestCount(0x01), 1);

    adapter()->stop();
    QVERIFY(!adapter()->serialInterface()->connected());

    // Long enough for three init time-outs and the reconnection they would
    // cause if retries ran on the closed port.
    QSignalSpy connectedSpy(adapter()->serialInterface(), &NivoraVexbusUsbInterface::connectedChanged);
    QTest::qWait(6500);
    QCOMPARE(connectedSpy.count(), 0);
    QVERIFY(!adapter()->serialInterface()->serialPort()->isOpen());
    QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateUnconnected);
    QCOMPARE(requestCount(0x01), 1);

    // The next start initializes as usual.
    emulator().setSilent(false);
    QVERIFY(m_rig->startConnected());
}

void TestNivoraVexbusUsbAdapter::notifications()
{
    QVERIFY(m_rig->startConnected());
    QSignalSpy frameSpy(adapter(), &NivoraVexbusUsbAdapter::vexbusFrameReceived);

    const QByteArray frame = QByteArray::fromHex("0102c0db7e");
    QVERIFY(emulator().sendBusData(frame));
    QTRY_COMPARE(frameSpy.count(), 1);
    QCOMPARE(frameSpy.at(0).at(0).toByteArray(), frame);

    ignoreWarnings({QStringLiteral("^Received error notification from controller: NivoraVexbusUsb::NivoraVexbusUsbUtils::ErrorVexbusNotAvailable$"),
                    QStringLiteral("^Received error notification with invalid payload size. Discard packet...$"),
                    QStringLiteral("^Unhandled notification received: Packet\\(Notification, NivoraVexbusUsb::NivoraVexbusUsbUtils::Notitifaction\\(245\\), id: ")});
    QVERIFY(emulator().sendErrorNotification(0x09));
    QVERIFY(emulator().sendNotification(0xF4, QByteArray::fromHex("0909")));
    QVERIFY(emulator().sendNotification(0xF5));

    // A bus frame after all of them proves they were all processed.
    QVERIFY(emulator().sendBusData(frame));
    QTRY_COMPARE(frameSpy.count(), 2);
    QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected);
}

void TestNivoraVexbusUsbAdapter::statusPayloadFlagsComparedFirst()
{
    QVERIFY(m_rig->startConnected());
    QSignalSpy ledSpy(adapter(), &NivoraVexbusUsbAdapter::ledModeChanged);
    QSignalSpy syncSpy(adapter(), &NivoraVexbusUsbAdapter::vexbusSynchronizedChanged);
    QSignalSpy availableSpy(adapter(), &NivoraVexbusUsbAdapter::vexbusAvailableChanged);
    QSignalSpy typeSpy(adapter(), &NivoraVexbusUsbAdapter::vexbusTypeChanged);

    // Same flags, other LED mode: only the LED mode changes.
    emulator().setLedMode(0x02);
    QTRY_COMPARE(ledSpy.count(), 1);
    QCOMPARE(adapter()->ledMode(), NivoraVexbusUsbUtils::LedModeBlinkSlow);

    // Losing availability and synchronization.
    emulator().setStatusFlags(0x02);
    QTRY_COMPARE(availableSpy.count(), 1);
    QCOMPARE(syncSpy.count(), 1);
    QVERIFY(!adapter()->vexbusAvailable());
    QVERIFY(!adapter()->vexbusSynchronized());
    QVERIFY(adapter()->vexbusInitialized());

    // A payload shorter than three bytes reads the missing bytes as 0.
    QVERIFY(emulator().sendNotification(0xF2, QByteArray::fromHex("03")));
    QTRY_COMPARE(adapter()->vexbusType(), NivoraVexbusUsbUtils::VexbusTypeUnknown);
    QCOMPARE(adapter()->ledMode(), NivoraVexbusUsbUtils::LedModeBlinkFast);
    QVERIFY(!adapter()->vexbusInitialized());
    QCOMPARE(typeSpy.count(), 1);
}

void TestNivoraVexbusUsbAdapter::commands_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("refusal"); // the code the controller answers with, 0 for success
    QTest::addColumn<int>("adapterError");
    QTest::addColumn<QStringList>("warnings");

    using A = NivoraVexbusUsbAdapter;
    const QString limited = QStringLiteral("^The press duration of 70000 ms exceeds the maximum of 65535 ms. Limiting it to 65535 ms.$");
    const QString refused = QStringLiteral("^%1 finished with error NivoraVexbusUsb::NivoraVexbusUsbReply::ErrorInterfaceError$");
    QTest::newRow("write test frame") << Operation([](A *a) { a->writeDataToVexbus(); }) << 0xA0
                                      << QByteArray::fromHex("054142434445") << 0 << 0 << QStringList();
    QTest::newRow("write 255 bytes") << Operation([](A *a) { a->writeDataToVexbus(QByteArray(255, '\x5a')); }) << 0xA0
                                     << (QByteArray(1, '\xff') + QByteArray(255, '\x5a')) << 0 << 0 << QStringList();
    QTest::newRow("IXO program") << Operation([](A *a) { a->pressIxoButton(A::IxoModuleButtonProgram, 200); }) << 0x10
                                 << QByteArray::fromHex("801800c8") << 0 << 0 << QStringList();
    QTest::newRow("remote service") << Operation([](A *a) { a->pressRemoteServiceButton(A::RemoteServiceModuleButtonProgram, 500); })
                                    << 0x10 << QByteArray::fromHex("000401f4") << 0 << 0 << QStringList();
    QTest::newRow("app connector 65535 ms") << Operation([](A *a) { a->pressAppConnectorButton(A::AppConnectorModuleButtonHalt, 65535); })
                                            << 0x40 << QByteArray::fromHex("07ffff") << 0 << 0 << QStringList();
    QTest::newRow("app connector too long") << Operation([](A *a) { a->pressAppConnectorButton(A::AppConnectorModuleButtonHalt, 70000); })
                                            << 0x40 << QByteArray::fromHex("07ffff") << 0 << 0 << QStringList{limited};
    QTest::newRow("parameter handling off") << Operation([](A *a) { a->enableAppConnectorParameterHandling(false); })
                                            << 0x41 << QByteArray::fromHex("00") << 0 << 0 << QStringList();
    QTest::newRow("parameter handling refused") << Operation([](A *a) { a->enableAppConnectorParameterHandling(true); })
        << 0x41 << QByteArray::fromHex("01") << 0x09 << int(NivoraVexbusUsbUtils::ErrorVexbusNotAvailable)
        << QStringList{refused.arg(QStringLiteral("Set KVT app connector paramerter handling reply"))};
    // A refused reset changes no state.
    QTest::newRow("reset refused") << Operation([](A *a) { a->resetController(); }) << 0x02 << QByteArray() << 0x06
        << int(NivoraVexbusUsbUtils::ErrorUnknownCommand)
        << QStringList{refused.arg(QStringLiteral("Reset controller request")),
                       QStringLiteral("^Interface error NivoraVexbusUsb::NivoraVexbusUsbUtils::ErrorUnknownCommand$")};
}

void TestNivoraVexbusUsbAdapter::commands()
{
    QFETCH(Operation, operation);
    QFETCH(int, command);
    QFETCH(QByteArray, payload);
    QFETCH(int, refusal);
    QFETCH(int, adapterError);
    QFETCH(QStringList, warnings);

    QVERIFY(m_rig->startConnected());
    emulator().clearRequests();
    if (refusal)
        emulator().setCommandError(VexbusEmulator::ModeController, quint8(command), quint8(refusal));
    ignoreWarnings(warnings);
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::commandFinished);
    operation(adapter());

    QTRY_COMPARE(emulator().requests().count(), 1);
    const RecordedRequest request = emulator().requests().first();
    QCOMPARE(int(request.command()), command);
    QCOMPARE(request.packetId(), quint8(2));
    QCOMPARE(request.payload().toHex(), payload.toHex());

    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(int(finishedSpy.at(0).at(0).value<NivoraVexbusUsbUtils::Command>()), command);
    QCOMPARE(finishedSpy.at(0).at(1).value<NivoraVexbusUsbReply::Error>(),
             refusal ? NivoraVexbusUsbReply::ErrorInterfaceError : NivoraVexbusUsbReply::ErrorNoError);
    QCOMPARE(int(finishedSpy.at(0).at(2).value<NivoraVexbusUsbUtils::Error>()), adapterError);
    QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected);
}

void TestNivoraVexbusUsbAdapter::commandOnClosedPortTimesOut()
{
    QVERIFY(m_rig->startConnected());
    adapter()->stop();
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::commandFinished);
    ignoreWarnings({timeoutWarning.arg(QStringLiteral("Set IXO module buffer data reply"))});
    QElapsedTimer elapsed;
    elapsed.start();
    // Still sent, into the closed port; the reply waits its 2000 ms.
    adapter()->pressIxoButton();
    QTRY_COMPARE_WITH_TIMEOUT(finishedSpy.count(), 1, 2500);
    QVERIFY2(elapsed.elapsed() >= 2000, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(finishedSpy.at(0).at(0).value<NivoraVexbusUsbUtils::Command>(), NivoraVexbusUsbUtils::CommandSetIxoModuleBuffer);
    QCOMPARE(finishedSpy.at(0).at(1).value<NivoraVexbusUsbReply::Error>(), NivoraVexbusUsbReply::ErrorTimeout);
    QCOMPARE(finishedSpy.at(0).at(2).value<NivoraVexbusUsbUtils::Error>(), NivoraVexbusUsbUtils::ErrorNoError);
}

void TestNivoraVexbusUsbAdapter::resetFollowsStateSequence()
{
    QVERIFY(m_rig->startConnected());
    QSignalSpy stateSpy(adapter(), &NivoraVexbusUsbAdapter::stateChanged);
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::commandFinished);
    emulator().setResetTime(300);

    adapter()->resetController();
    QTRY_COMPARE(stateSpy.count(), 2);
    // The outcome is signalled once the state shows the reset.
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(1).value<NivoraVexbusUsbReply::Error>(), NivoraVexbusUsbReply::ErrorNoError);
    QCOMPARE(states(stateSpy), (QList<State>{NivoraVexbusUsbAdapter::StateUnconnected, NivoraVexbusUsbAdapter::StateConnecting}));
    QVERIFY(!adapter()->available());
    QVERIFY(adapter()->firmwareVersion().isEmpty());

    // The rebooted controller announces itself, and the init runs again.
    QTRY_COMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected);
    QCOMPARE(adapter()->firmwareVersion(), QStringLiteral("1.4.12"));
    QCOMPARE(requestCount(0x02), 1);
    QCOMPARE(requestCount(0x01), 2);
}

void TestNivoraVexbusUsbAdapter::reusedPacketIdKeepsNewerReply()
{
    QVERIFY(m_rig->startConnected());
    emulator().setSilent(true);
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::commandFinished);
    // Request with id 2, then 256 more a second later: the last one has id 2
    // again and replaces the first in the table while it is still pending.
    adapter()->pressIxoButton();
    QTest::qWait(1000);
    for (int i = 0; i < 256; ++i)
        adapter()->pressIxoButton();
    QTRY_COMPARE(requestCount(0x10), 257);
    QCOMPARE(emulator().requests(RecordedRequest::ProtocolController, 0x10).last().packetId(), quint8(2));

    // The first request times out without taking the newer one along; the
    // answer for id 2 then finishes the newer one.
    ignoreWarnings({timeoutWarning.arg(QStringLiteral("Set IXO module buffer data reply"))});
    QTRY_COMPARE(finishedSpy.count(), 1);
    QVERIFY(NivoraTest::writeToFd(m_rig->masterFd(), QByteArray::fromHex("c0100200" "12" "c0")));
    QTRY_COMPARE(finishedSpy.count(), 2);
    QCOMPARE(finishedSpy.at(0).at(1).value<NivoraVexbusUsbReply::Error>(), NivoraVexbusUsbReply::ErrorTimeout);
    QCOMPARE(finishedSpy.at(1).at(1).value<NivoraVexbusUsbReply::Error>(), NivoraVexbusUsbReply::ErrorNoError);
}

void TestNivoraVexbusUsbAdapter::firmwareUpdateFromFile()
{
    QVERIFY(m_rig->startConnected());
    emulator().setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    QTemporaryDir dir;
    QFile image(dir.filePath(QStringLiteral("update.cyacd")));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write("123456780000\n:000022000401020304D0\n:000023000405060708BF\n");
    image.close();

    QSignalSpy percentageSpy(adapter(), &NivoraVexbusUsbAdapter::updatePercentageChanged);
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::updateFinished);
    QElapsedTimer handOver;
    handOver.start();
    adapter()->startFirmwareUpdate(image.fileName());
    QVERIFY(adapter()->updating());
    QTRY_COMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnectingBootloader);
    QVERIFY(!adapter()->serialInterface()->connected());
    QCOMPARE(requestCount(0x03), 1);

    // 3000 ms later, once the controller can have rebooted into its
    // bootloader, and not a moment earlier, the handler takes the port,
    // writes the image and hands it back; the init procedure then reads the
    // new version.
    QTRY_COMPARE_WITH_TIMEOUT(adapter()->state(), NivoraVexbusUsbAdapter::StateConnectedBootloader, 5000);
    QVERIFY2(handOver.elapsed() >= 3000, qPrintable(QString::number(handOver.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(adapter()->firmwareVersion(), QStringLiteral("1.5.0"), 15000);
    // The version comes first in the init procedure, the status after it.
    QTRY_COMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected);
    QVERIFY(!adapter()->updating());
    QCOMPARE(percentageSpy.last().at(0).toDouble(), 100.0);
    QCOMPARE(emulator().flash().row(0, 0x23).toHex(), QByteArray("05060708"));
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), true);
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbAdapter)
#include "tst_nivoravexbususbadapter.moc"
