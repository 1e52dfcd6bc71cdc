#include "flashimage.h"
#include "httpsserver.h"
#include "testplatform.h"
#include "vexbusemulator.h"

#include <adapter/nivoravexbususbadapter.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace NivoraVexbusUsb;
using NivoraTest::ignoreWarnings;
using NivoraVexbusUsbEmulator::RecordedRequest;
using NivoraVexbusUsbEmulator::VexbusEmulator;
using State = NivoraVexbusUsbAdapter::State;
using Operation = std::function<void(NivoraVexbusUsbAdapter *)>;
Q_DECLARE_METATYPE(Operation)

namespace {

QList<State> states(const QSignalSpy &spy)
{
    QList<State> result;
    for (const QList<QVariant> &arguments : spy)
        result.append(arguments.at(0).value<State>());
    return result;
}

// The command, the reply's error and the adapter's error of a commandFinished().
QList<int> outcome(const QSignalSpy &spy, int index)
{
    const QList<QVariant> arguments = spy.at(index);
    return {int(arguments.at(0).value<NivoraVexbusUsbUtils::Command>()), int(arguments.at(1).value<NivoraVexbusUsbReply::Error>()),
            int(arguments.at(2).value<NivoraVexbusUsbUtils::Error>())};
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

    void comesUpInPortModeAndAfterReplug();
    void silentControllerAtInit_data();
    void silentControllerAtInit();
    void readyWhileVersionPendingRestartsInit();
    void notifications();
    void statusPayloadFlagsComparedFirst();
    void commands_data();
    void commands();
    void resetFollowsStateSequence();
    void reusedPacketIdKeepsNewerReply();
    void firmwareUpdateFromReleaseServer();

private:
    NivoraVexbusUsbAdapter *adapter() const { return m_adapter.get(); }
    VexbusEmulator &emulator() { return *m_emulator; }
    int requestCount(quint8 command) { return emulator().requests(RecordedRequest::ProtocolController, command).count(); }
    int masterFd() const { return m_platform->masterFd(QStringLiteral("ttyUSB0")); }
    // Starts the adapter and waits until the init procedure has connected it.
    bool startConnected();

    // A mocked USB serial adapter on /dev/ttyUSB0 with the emulated
    // controller on the far end of its tty, and the library's adapter in
    // port mode on it; reset in this order so that the adapter closes its
    // port before the emulator and the platform go.
    std::unique_ptr<NivoraTest::TestPlatform> m_platform;
    std::unique_ptr<VexbusEmulator> m_emulator;
    std::unique_ptr<NivoraVexbusUsbAdapter> m_adapter;
    QTemporaryDir m_dir;
    NivoraTest::HttpsServer m_server;
};

void TestNivoraVexbusUsbAdapter::initTestCase()
{
    qRegisterMetaType<State>();
    qRegisterMetaType<NivoraVexbusUsbUtils::LedMode>();
    qRegisterMetaType<NivoraVexbusUsbUtils::VexbusType>();
    qRegisterMetaType<NivoraVexbusUsbUtils::Command>();
    qRegisterMetaType<NivoraVexbusUsbUtils::Error>();
    qRegisterMetaType<NivoraVexbusUsbReply::Error>();

    // The release server, trusted as the gateway's CA store would.
    QVERIFY(m_dir.isValid());
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("cache"))));
    QString error;
    QVERIFY2(m_server.start(m_dir.path(), m_dir.filePath(QStringLiteral("www")), &error), qPrintable(error));
}

void TestNivoraVexbusUsbAdapter::init()
{
    m_platform.reset(new NivoraTest::TestPlatform);
    QCOMPARE(m_platform->addAdapter(QStringLiteral("ABC123")), QStringLiteral("/dev/ttyUSB0"));
    m_emulator.reset(new VexbusEmulator);
    QVERIFY(m_emulator->attach(masterFd()));
    // Created after the device, so that it finds the device present.
    m_adapter.reset(new NivoraVexbusUsbAdapter);
    m_adapter->setPortName(QStringLiteral("/dev/ttyUSB0"));
}

void TestNivoraVexbusUsbAdapter::cleanup()
{
    m_adapter.reset();
    m_emulator.reset();
    m_platform.reset();
}

bool TestNivoraVexbusUsbAdapter::startConnected()
{
    return adapter()->start()
        && QTest::qWaitFor([this]() { return adapter()->state() == NivoraVexbusUsbAdapter::StateConnected; }, 5000);
}

void TestNivoraVexbusUsbAdapter::comesUpInPortModeAndAfterReplug()
{
    QSignalSpy stateSpy(adapter(), &NivoraVexbusUsbAdapter::stateChanged);
    QVERIFY(startConnected());
    QCOMPARE(states(stateSpy), (QList<State>{NivoraVexbusUsbAdapter::StateConnecting, NivoraVexbusUsbAdapter::StateConnected}));

    QVERIFY(adapter()->available());
    QCOMPARE(adapter()->firmwareVersion(), QStringLiteral("1.4.12"));
    QCOMPARE(adapter()->ledMode(), NivoraVexbusUsbUtils::LedModeOn);
    QCOMPARE(adapter()->vexbusType(), NivoraVexbusUsbUtils::VexbusTypeHoltrane);
    QVERIFY(adapter()->vexbusSynchronized());
    QVERIFY(adapter()->vexbusInitialized());
    QVERIFY(adapter()->vexbusAvailable());
    QCOMPARE(adapter()->serialPortSerialNumber(), QStringLiteral("ABC123"));

    // The version first, then the status, with packet ids counting from 0.
    QList<QPair<int, int>> requests;
    for (const RecordedRequest &request : emulator().requests())
        requests.append({request.command(), request.packetId()});
    QCOMPARE(requests, (QList<QPair<int, int>>{{0x01, 0}, {0x04, 1}}));

    // Unplugged, the adapter shows no controller data; plugged in again, it
    // runs the init procedure anew.
    QSignalSpy availableSpy(adapter(), &NivoraVexbusUsbAdapter::availableChanged);
    ignoreWarnings({QStringLiteral("^Serial port device \"/dev/ttyUSB0\" removed.$")});
    m_platform->unplug(QStringLiteral("ttyUSB0"));
    QTRY_VERIFY(!adapter()->available());
    QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateUnconnected);
    QVERIFY(adapter()->firmwareVersion().isEmpty());
    QCOMPARE(adapter()->ledMode(), NivoraVexbusUsbUtils::LedModeUnknown);
    QVERIFY(!adapter()->vexbusAvailable());

    m_platform->plug(QStringLiteral("ABC123"));
    QVERIFY(emulator().attach(masterFd()));
    QTRY_COMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected);
    QCOMPARE(adapter()->firmwareVersion(), QStringLiteral("1.4.12"));
    QCOMPARE(availableSpy.count(), 2);
}

void TestNivoraVexbusUsbAdapter::silentControllerAtInit_data()
{
    QTest::addColumn<bool>("stopped");
    QTest::newRow("is reconnected") << false;
    QTest::newRow("stop during init stays stopped") << true;
}

void TestNivoraVexbusUsbAdapter::silentControllerAtInit()
{
    QFETCH(bool, stopped);

    emulator().setSilent(true);
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(adapter()->start());
    QTRY_COMPARE(requestCount(0x01), 1);
    QSignalSpy connectedSpy(adapter()->serialInterface(), &NivoraVexbusUsbInterface::connectedChanged);
    if (stopped) {
        adapter()->stop();
        // Long enough for three init time-outs and the reconnection they
        // would cause if retries ran on the closed port.
        QTest::qWait(6500);
        QCOMPARE(connectedSpy.count(), 1);
        QVERIFY(!adapter()->serialInterface()->serialPort()->isOpen());
        QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateUnconnected);
        QCOMPARE(requestCount(0x01), 1);
    } else {
        // Three attempts of 2000 ms each, then the interface closes and
        // reopens; the fourth attempt, on the reopened port, is still unanswered.
        for (int i = 0; i < 4; ++i)
            ignoreWarnings({timeoutWarning.arg(QStringLiteral("Read initial firmware reply"))});
        ignoreWarnings({QStringLiteral("^Failed to initialize after 3 attempts. Reconnecting the interface$")});
        QTRY_COMPARE_WITH_TIMEOUT(connectedSpy.count(), 2, 8000);
        QCOMPARE(connectedSpy.at(1).at(0).toBool(), true);
        // Not before the third attempt's 2000 ms have run out.
        QVERIFY2(elapsed.elapsed() >= 6000, qPrintable(QString::number(elapsed.elapsed())));
        // The fourth request follows the reconnection; it may still be on the line.
        QTRY_COMPARE(requestCount(0x01), 4);
        QCOMPARE(requestCount(0x04), 0);
    }
    QCOMPARE(connectedSpy.at(0).at(0).toBool(), false);

    // The controller that answers again comes up through a fresh init.
    emulator().setSilent(false);
    QVERIFY(!stopped || adapter()->start());
    QTRY_COMPARE_WITH_TIMEOUT(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected, 4000);
}

void TestNivoraVexbusUsbAdapter::readyWhileVersionPendingRestartsInit()
{
    emulator().setResponseDelay(300);
    QVERIFY(adapter()->start());
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

void TestNivoraVexbusUsbAdapter::notifications()
{
    QVERIFY(startConnected());
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
    QVERIFY(startConnected());
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
    QTest::addColumn<bool>("closed");
    QTest::addColumn<QByteArray>("payload"); // as the controller receives it
    QTest::addColumn<int>("refusal"); // the code the controller answers with, 0 for success
    QTest::addColumn<QList<int>>("outcome");
    QTest::addColumn<QStringList>("warnings");

    using A = NivoraVexbusUsbAdapter;
    const int success = NivoraVexbusUsbReply::ErrorNoError;
    const int refused = NivoraVexbusUsbReply::ErrorInterfaceError;
    const QString limited = QStringLiteral("^The press duration of 70000 ms exceeds the maximum of 65535 ms. Limiting it to 65535 ms.$");
    const QString refusedWarning = QStringLiteral("^%1 finished with error NivoraVexbusUsb::NivoraVexbusUsbReply::ErrorInterfaceError$");
    QTest::newRow("write test frame") << Operation([](A *a) { a->writeDataToVexbus(); }) << false
        << QByteArray::fromHex("054142434445") << 0 << QList<int>{0xA0, success, 0} << QStringList();
    QTest::newRow("write 255 bytes") << Operation([](A *a) { a->writeDataToVexbus(QByteArray(255, '\x5a')); }) << false
        << (QByteArray(1, '\xff') + QByteArray(255, '\x5a')) << 0 << QList<int>{0xA0, success, 0} << QStringList();
    QTest::newRow("IXO program") << Operation([](A *a) { a->pressIxoButton(A::IxoModuleButtonProgram, 200); }) << false
        << QByteArray::fromHex("801800c8") << 0 << QList<int>{0x10, success, 0} << QStringList();
    QTest::newRow("remote service") << Operation([](A *a) { a->pressRemoteServiceButton(A::RemoteServiceModuleButtonProgram, 500); })
        << false << QByteArray::fromHex("000401f4") << 0 << QList<int>{0x10, success, 0} << QStringList();
    QTest::newRow("app connector too long") << Operation([](A *a) { a->pressAppConnectorButton(A::AppConnectorModuleButtonHalt, 70000); })
        << false << QByteArray::fromHex("07ffff") << 0 << QList<int>{0x40, success, 0} << QStringList{limited};
    QTest::newRow("parameter handling off") << Operation([](A *a) { a->enableAppConnectorParameterHandling(false); })
        << false << QByteArray::fromHex("00") << 0 << QList<int>{0x41, success, 0} << QStringList();
    QTest::newRow("parameter handling refused") << Operation([](A *a) { a->enableAppConnectorParameterHandling(true); })
        << false << QByteArray::fromHex("01") << 0x09 << QList<int>{0x41, refused, NivoraVexbusUsbUtils::ErrorVexbusNotAvailable}
        << QStringList{refusedWarning.arg(QStringLiteral("Set KVT app connector paramerter handling reply"))};
    // A refused reset changes no state.
    QTest::newRow("reset refused") << Operation([](A *a) { a->resetController(); }) << false << QByteArray() << 0x06
        << QList<int>{0x02, refused, NivoraVexbusUsbUtils::ErrorUnknownCommand}
        << QStringList{refusedWarning.arg(QStringLiteral("Reset controller request")),
                       QStringLiteral("^Interface error NivoraVexbusUsb::NivoraVexbusUsbUtils::ErrorUnknownCommand$")};
    // Still sent, into the closed port; the reply waits its 2000 ms.
    QTest::newRow("closed port") << Operation([](A *a) { a->pressIxoButton(); }) << true << QByteArray() << 0
        << QList<int>{0x10, NivoraVexbusUsbReply::ErrorTimeout, 0} << QStringList{timeoutWarning.arg(QStringLiteral("Set IXO module buffer data reply"))};
}

void TestNivoraVexbusUsbAdapter::commands()
{
    QFETCH(Operation, operation);
    QFETCH(bool, closed);
    QFETCH(QByteArray, payload);
    QFETCH(int, refusal);
    QFETCH(QList<int>, outcome);
    QFETCH(QStringList, warnings);

    QVERIFY(startConnected());
    emulator().clearRequests();
    if (closed)
        adapter()->stop();
    if (refusal)
        emulator().setCommandError(VexbusEmulator::ModeController, quint8(outcome.at(0)), quint8(refusal));
    ignoreWarnings(warnings);
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::commandFinished);
    QElapsedTimer elapsed;
    elapsed.start();
    operation(adapter());

    QTRY_COMPARE_WITH_TIMEOUT(finishedSpy.count(), 1, 2500);
    QCOMPARE(::outcome(finishedSpy, 0), outcome);
    QCOMPARE(adapter()->state(), closed ? NivoraVexbusUsbAdapter::StateUnconnected : NivoraVexbusUsbAdapter::StateConnected);
    if (closed) {
        QVERIFY2(elapsed.elapsed() >= 2000, qPrintable(QString::number(elapsed.elapsed())));
        return;
    }
    QCOMPARE(emulator().requests().count(), 1);
    const RecordedRequest request = emulator().requests().first();
    QCOMPARE(int(request.command()), outcome.at(0));
    QCOMPARE(request.packetId(), quint8(2));
    QCOMPARE(request.payload().toHex(), payload.toHex());
}

void TestNivoraVexbusUsbAdapter::resetFollowsStateSequence()
{
    QVERIFY(startConnected());
    QSignalSpy stateSpy(adapter(), &NivoraVexbusUsbAdapter::stateChanged);
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::commandFinished);
    emulator().setResetTime(300);

    adapter()->resetController();
    QTRY_COMPARE(stateSpy.count(), 2);
    // The outcome is signalled once the state shows the reset.
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(outcome(finishedSpy, 0), (QList<int>{0x02, NivoraVexbusUsbReply::ErrorNoError, 0}));
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
    QVERIFY(startConnected());
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
    QVERIFY(NivoraTest::writeToFd(masterFd(), QByteArray::fromHex("c0100200" "12" "c0")));
    QTRY_COMPARE(finishedSpy.count(), 2);
    QCOMPARE(outcome(finishedSpy, 0), (QList<int>{0x10, NivoraVexbusUsbReply::ErrorTimeout, 0}));
    QCOMPARE(outcome(finishedSpy, 1), (QList<int>{0x10, NivoraVexbusUsbReply::ErrorNoError, 0}));
}

// An update from an image file takes the same course; vexbusctl's tests run it.
void TestNivoraVexbusUsbAdapter::firmwareUpdateFromReleaseServer()
{
    // The release: an image for the emulated chip, two rows and the
    // metadata row that makes it pass the bootloader's application check
    // (which lets the controller boot the new version), and its description.
    NivoraVexbusUsbEmulator::FlashImage image;
    image.siliconId = 0x12345678;
    image.rows.append({0, 0x22, QByteArray::fromHex("01020304").repeated(16)});
    image.rows.append({0, 0x23, QByteArray::fromHex("05060708").repeated(16)});
    image.appendMetadataRow(0, 0xFF);
    QVERIFY(m_server.publishRelease(QStringLiteral("/firmware/nivora-vexbususb"), QStringLiteral("adapter-1.5.0.cyacd"),
                                    image.toText()));
    emulator().setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    QVERIFY(startConnected());
    adapter()->firmwareDownloader()->setBaseUrl(m_server.url(QStringLiteral("/firmware/nivora-vexbususb")));
    QSignalSpy availableSpy(adapter(), &NivoraVexbusUsbAdapter::firmwareUpdateAvailableChanged);
    adapter()->firmwareDownloader()->checkNewFirmware();
    QTRY_VERIFY_WITH_TIMEOUT(adapter()->firmwareUpdateAvailable(), 10000);
    QCOMPARE(availableSpy.count(), 1);

    QSignalSpy percentageSpy(adapter(), &NivoraVexbusUsbAdapter::updatePercentageChanged);
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::updateFinished);
    QElapsedTimer handOver;
    handOver.start();
    adapter()->startFirmwareUpdate();
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
    QCOMPARE(adapter()->updatePercentage(), 0.0);
    QCOMPARE(emulator().flash().row(0, 0x22).toHex(), QByteArray("01020304").repeated(16));
    QCOMPARE(emulator().flash().row(0, 0x23).toHex(), QByteArray("05060708").repeated(16));
    QVERIFY(emulator().bootloader().applicationValid());
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), true);
    // Still offered after the update: the flag follows the downloader only.
    QVERIFY(adapter()->firmwareUpdateAvailable());
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbAdapter)
#include "tst_nivoravexbususbadapter.moc"
