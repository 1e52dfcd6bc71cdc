// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "flashimage.h"
#include "httpsserver.h"
#include "testplatform.h"
#include "vexbusemulator.h"

#include <adapter/nivoravexbususbadapter.h>

#include <QElapsedTimer>
#include <QPointer>
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
using Operation = std::function<NivoraVexbusUsbReply *(NivoraVexbusUsbAdapter *)>;
Q_DECLARE_METATYPE(Operation)
// Prepares the emulated controller (and the adapter) for an update.
using UpdateSetup = std::function<void(VexbusEmulator *, NivoraVexbusUsbAdapter *)>;
Q_DECLARE_METATYPE(UpdateSetup)

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

// Two rows at the start of the emulated flash and the metadata row at its
// end, which makes it pass the bootloader's application check.
QByteArray bootloadableImage()
{
    NivoraVexbusUsbEmulator::FlashImage image;
    image.siliconId = 0x12345678;
    image.rows.append({0, 0x22, QByteArray::fromHex("01020304").repeated(16)});
    image.rows.append({0, 0x23, QByteArray::fromHex("05060708").repeated(16)});
    image.appendMetadataRow(0, 0xFF);
    return image.toText();
}
const QByteArray twoRows = bootloadableImage();

const QString timeoutWarning = QStringLiteral("^%1 finished with error NivoraVexbusUsb::NivoraVexbusUsbReply::ErrorTimeout$");
const QString replyWarning = QStringLiteral("^%1 finished with error NivoraVexbusUsb::NivoraVexbusUsbReply::%2$");

// What a reply showed in its finished(), after which it is gone.
struct Outcome
{
    bool finished = false;
    NivoraVexbusUsbReply::Error error = NivoraVexbusUsbReply::ErrorNoError;
    NivoraVexbusUsbUtils::Error controllerError = NivoraVexbusUsbUtils::ErrorNoError;
    QString errorString;
    QByteArray payload;
};

void keepOutcome(NivoraVexbusUsbReply *reply, Outcome *outcome)
{
    QObject::connect(reply, &NivoraVexbusUsbReply::finished, reply, [reply, outcome]() {
        outcome->finished = reply->isFinished();
        outcome->error = reply->error();
        outcome->controllerError = reply->controllerError();
        outcome->errorString = reply->errorString();
        outcome->payload = reply->payload();
    });
}

// What an update object showed in its finished(), after which it is gone.
struct UpdateOutcome
{
    int finishedCount = 0;
    bool success = false;
    FirmwareUpdate::Phase phase = FirmwareUpdate::PhaseIdle;
    FirmwareUpdate::Error error = FirmwareUpdate::ErrorNone;
    QString errorString;
    QString firmwareVersion;
    // The adapter's, as a receiver of finished() reads them.
    QString versionAtFinish;
    bool availableAtFinish = false;
    bool gone = false;
    // The context of the connections that write into this outcome: an update
    // that outlives the test function (it is deleted with the adapter in
    // cleanup()) must not write into a stack frame that is gone. Last, so that
    // it goes first.
    QObject receiver;
};

void keepOutcome(NivoraVexbusUsbUpdateReply *update, NivoraVexbusUsbAdapter *adapter, UpdateOutcome *outcome)
{
    QObject::connect(update, &NivoraVexbusUsbUpdateReply::finished, &outcome->receiver, [update, adapter, outcome](bool success) {
        ++outcome->finishedCount;
        outcome->success = success && update->isFinished();
        outcome->phase = update->phase();
        outcome->error = update->error();
        outcome->errorString = update->errorString();
        outcome->firmwareVersion = update->firmwareVersion();
        outcome->versionAtFinish = adapter->firmwareVersion();
        outcome->availableAtFinish = adapter->available();
    });
    QObject::connect(update, &QObject::destroyed, &outcome->receiver, [outcome]() { outcome->gone = true; });
}

// The conditions under which a command is given.
enum class Condition { Connected, Stopped, Silent, Updating };

} // namespace

Q_DECLARE_METATYPE(Condition)

namespace {

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
    void bootloaderFindingEnds_data();
    void bootloaderFindingEnds();
    void lostControllerIsSoughtAgain_data();
    void lostControllerIsSoughtAgain();
    void readyWhileVersionPendingRestartsInit();
    void notifications();
    void statusPayloadFlagsComparedFirst();
    void commands_data();
    void commands();
    void repliesGoWithTheAdapter_data();
    void repliesGoWithTheAdapter();
    void resetFollowsStateSequence();
    void reusedPacketIdKeepsNewerReply();
    void requestsTimeOutAfterTheirOwnTime_data();
    void requestsTimeOutAfterTheirOwnTime();
    void twoAdaptersShareOneWatcher();
    void firmwareUpdateFromReleaseServer();
    void updateEndsAsTheControllerAnswers_data();
    void updateEndsAsTheControllerAnswers();
    void stopEndsTheUpdate_data();
    void stopEndsTheUpdate();
    void firmwareVersionReadOrRequested();
    void updateRefusedWhileAnotherRuns();
    void updateWritesTheParsedImage_data();
    void updateWritesTheParsedImage();
    void updateGoesWithTheAdapter();

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
    qRegisterMetaType<NivoraVexbusUsbAdapter::UnavailableReason>();
    qRegisterMetaType<NivoraVexbusUsbUtils::LedMode>();
    qRegisterMetaType<NivoraVexbusUsbUtils::VexbusType>();
    qRegisterMetaType<NivoraVexbusUsbUtils::Command>();
    qRegisterMetaType<NivoraVexbusUsbUtils::Error>();
    qRegisterMetaType<NivoraVexbusUsbReply::Error>();
    qRegisterMetaType<FirmwareUpdate::Phase>();
    qRegisterMetaType<FirmwareUpdate::Error>();

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
    QTest::addColumn<bool>("inBootloader");
    QTest::newRow("is reconnected") << false << false;
    QTest::newRow("waits in its bootloader") << false << true;
    QTest::newRow("stop during init stays stopped") << true << false;
}

void TestNivoraVexbusUsbAdapter::silentControllerAtInit()
{
    QFETCH(bool, stopped);
    QFETCH(bool, inBootloader);

    // The init procedure's requests wait as long as the commands' do.
    QSignalSpy timeoutSpy(adapter(), &NivoraVexbusUsbAdapter::responseTimeoutChanged);
    adapter()->setResponseTimeout(400);
    QCOMPARE(timeoutSpy.count(), 1);
    QCOMPARE(adapter()->responseTimeout(), 400);
    // A controller in its bootloader hears the requests but answers none.
    if (inBootloader)
        emulator().setMode(VexbusEmulator::ModeBootloader);
    else
        emulator().setSilent(true);
    auto bootloaderRequests = [this](quint8 command) {
        return emulator().requests(RecordedRequest::ProtocolBootloader, command).count();
    };
    QSignalSpy inBootloaderSpy(adapter(), &NivoraVexbusUsbAdapter::controllerInBootloaderChanged);
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(adapter()->start());
    if (!inBootloader)
        QTRY_COMPARE(requestCount(0x01), 1);
    QSignalSpy connectedSpy(adapter()->serialInterface(), &NivoraVexbusUsbInterface::connectedChanged);
    if (stopped) {
        adapter()->stop();
        // Long enough for three init time-outs and the reconnection they
        // would cause if retries ran on the closed port.
        QTest::qWait(1500);
        QCOMPARE(connectedSpy.count(), 1);
        QVERIFY(!adapter()->serialInterface()->serialPort()->isOpen());
        QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateUnconnected);
        QCOMPARE(requestCount(0x01), 1);
    } else {
        // Three attempts of 400 ms each, then the adapter asks once whether
        // a bootloader answers, and the interface reopens the port; the
        // fourth attempt, on the reopened port, is still unanswered.
        for (int i = 0; i < 4; ++i)
            ignoreWarnings({timeoutWarning.arg(QStringLiteral("Read initial firmware reply"))});
        ignoreWarnings({QStringLiteral("^Failed to initialize after 3 attempts. Reconnecting the interface$")});
        if (inBootloader)
            ignoreWarnings({QStringLiteral("^The controller waits in its bootloader, as after an interrupted firmware update. "
                                           "Update its firmware, from an image file or from the release service, to start it again.$")});
        QTRY_COMPARE_WITH_TIMEOUT(connectedSpy.count(), 2, 8000);
        QCOMPARE(connectedSpy.at(1).at(0).toBool(), true);
        // Not before the third attempt's 400 ms have run out.
        QVERIFY2(elapsed.elapsed() >= 1200, qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(adapter()->controllerInBootloader(), inBootloader);
        QCOMPARE(inBootloaderSpy.count(), inBootloader ? 1 : 0);
        // Enter and sync, never exit, which would restart the chip.
        QCOMPARE(bootloaderRequests(0x38), inBootloader ? 1 : 0);
        // Sync goes out as the port closes; the emulator reads it a moment later.
        QTRY_COMPARE(bootloaderRequests(0x35), inBootloader ? 1 : 0);
        QCOMPARE(bootloaderRequests(0x3B), 0);
        QCOMPARE(emulator().mode(), inBootloader ? VexbusEmulator::ModeBootloader : VexbusEmulator::ModeController);
        // The fourth request follows the reconnection; it may still be on the line.
        if (!inBootloader) {
            QTRY_COMPARE(requestCount(0x01), 4);
            QCOMPARE(requestCount(0x04), 0);
        } else {
            // The next three failures reconnect without asking again, and
            // the finding stays.
            for (int i = 0; i < 3; ++i)
                ignoreWarnings({timeoutWarning.arg(QStringLiteral("Read initial firmware reply"))});
            ignoreWarnings({QStringLiteral("^Failed to initialize after 3 attempts. Reconnecting the interface$")});
            QTRY_COMPARE_WITH_TIMEOUT(connectedSpy.count(), 4, 8000);
            // The seventh request, on the port reopened again, reaches the
            // bootloader (which takes it for a broken packet) before the
            // controller comes back: it is left to time out.
            QTRY_VERIFY(emulator().bootloaderPacketErrorCount() >= 7);
            QCOMPARE(bootloaderRequests(0x38), 1);
            QVERIFY(adapter()->controllerInBootloader());
        }
    }
    QCOMPARE(connectedSpy.at(0).at(0).toBool(), false);

    // The controller that answers again comes up through a fresh init.
    emulator().setSilent(false);
    emulator().setMode(VexbusEmulator::ModeController);
    QVERIFY(!stopped || adapter()->start());
    QTRY_COMPARE_WITH_TIMEOUT(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected, 4000);
    QVERIFY(!adapter()->controllerInBootloader());
    QCOMPARE(inBootloaderSpy.count(), inBootloader ? 2 : 0);
}

void TestNivoraVexbusUsbAdapter::bootloaderFindingEnds_data()
{
    QTest::addColumn<bool>("inBootloader");
    // 0: unplugged, 1: stop() afterwards, 2: stop() while the probe holds the port
    QTest::addColumn<int>("ending");
    QTest::newRow("unplugged") << true << 0;
    QTest::newRow("stopped") << true << 1;
    QTest::newRow("stopped while asking") << false << 2;
}

void TestNivoraVexbusUsbAdapter::bootloaderFindingEnds()
{
    QFETCH(bool, inBootloader);
    QFETCH(int, ending);

    adapter()->setResponseTimeout(400);
    if (inBootloader)
        emulator().setMode(VexbusEmulator::ModeBootloader);
    else
        emulator().setSilent(true);
    QSignalSpy inBootloaderSpy(adapter(), &NivoraVexbusUsbAdapter::controllerInBootloaderChanged);
    QSignalSpy connectedSpy(adapter()->serialInterface(), &NivoraVexbusUsbInterface::connectedChanged);
    for (int i = 0; i < 3; ++i)
        ignoreWarnings({timeoutWarning.arg(QStringLiteral("Read initial firmware reply"))});
    ignoreWarnings({QStringLiteral("^Failed to initialize after 3 attempts. Reconnecting the interface$")});
    if (ending == 2) {
        // The probe's first step is to take the port from the interface.
        connect(adapter()->serialInterface(), &NivoraVexbusUsbInterface::connectedChanged, adapter(), [this](bool connected) {
            if (!connected)
                adapter()->stop();
        });
    } else {
        ignoreWarnings({QStringLiteral("^The controller waits in its bootloader")});
    }
    QVERIFY(adapter()->start());

    if (ending == 2) {
        QTRY_COMPARE_WITH_TIMEOUT(connectedSpy.count(), 2, 8000);
        // Longer than the probe waits for an answer: the port stays closed after it.
        QTest::qWait(1500);
        QCOMPARE(connectedSpy.count(), 2);
        QVERIFY(!adapter()->serialInterface()->serialPort()->isOpen());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(adapter()->controllerInBootloader(), 8000);
        if (ending == 0) {
            ignoreWarnings({QStringLiteral("^Serial port device \"/dev/ttyUSB0\" removed.$")});
            m_platform->unplug(QStringLiteral("ttyUSB0"));
        } else {
            adapter()->stop();
        }
        QTRY_VERIFY(!adapter()->serialInterface()->connected());
    }
    QVERIFY(!adapter()->controllerInBootloader());
    QCOMPARE(inBootloaderSpy.count(), inBootloader ? 2 : 0);
}

void TestNivoraVexbusUsbAdapter::lostControllerIsSoughtAgain_data()
{
    QTest::addColumn<bool>("inBootloader");
    QTest::addColumn<int>("limit");
    QTest::newRow("silent controller") << false << 3;
    // Without a udev event: the port stays, only the protocol changes.
    QTest::newRow("restarted into its bootloader") << true << 2;
}

void TestNivoraVexbusUsbAdapter::lostControllerIsSoughtAgain()
{
    QFETCH(bool, inBootloader);
    QFETCH(int, limit);
    using U = NivoraVexbusUsbAdapter::UnavailableReason;

    adapter()->setResponseTimeout(200);
    if (limit != adapter()->consecutiveTimeoutLimit()) {
        QSignalSpy limitSpy(adapter(), &NivoraVexbusUsbAdapter::consecutiveTimeoutLimitChanged);
        adapter()->setConsecutiveTimeoutLimit(limit);
        QCOMPARE(limitSpy.count(), 1);
    }
    QCOMPARE(adapter()->unavailableReason(), U::UnavailableReasonNotConnected);
    QVERIFY(startConnected());
    QCOMPARE(adapter()->unavailableReason(), U::UnavailableReasonNone);
    const QString ixo = QStringLiteral("Set IXO module buffer data reply");
    const auto timeOut = [this]() {
        Outcome result;
        keepOutcome(adapter()->pressIxoButton(), &result);
        return QTest::qWaitFor([&result]() { return result.finished; }, 2000) && result.error == NivoraVexbusUsbReply::ErrorTimeout;
    };

    // An answer in between starts the count again.
    emulator().setSilent(true);
    ignoreWarnings({timeoutWarning.arg(ixo)});
    QVERIFY(timeOut());
    emulator().setSilent(false);
    Outcome answered;
    keepOutcome(adapter()->pressIxoButton(), &answered);
    QTRY_VERIFY(answered.finished);
    QCOMPARE(answered.error, NivoraVexbusUsbReply::ErrorNoError);

    if (inBootloader)
        emulator().setMode(VexbusEmulator::ModeBootloader);
    else
        emulator().setSilent(true);
    for (int i = 0; i < limit - 1; ++i) {
        ignoreWarnings({timeoutWarning.arg(ixo)});
        QVERIFY(timeOut());
    }
    QVERIFY(adapter()->available());

    // The last time-out loses the controller; the command still under way
    // ends with it.
    QSignalSpy availableSpy(adapter(), &NivoraVexbusUsbAdapter::availableChanged);
    QSignalSpy reasonSpy(adapter(), &NivoraVexbusUsbAdapter::unavailableReasonChanged);
    U reasonWhenUnavailable = U::UnavailableReasonNone;
    connect(adapter(), &NivoraVexbusUsbAdapter::availableChanged, adapter(),
            [&]() { reasonWhenUnavailable = adapter()->unavailableReason(); });
    ignoreWarnings({timeoutWarning.arg(ixo), replyWarning.arg(ixo, QStringLiteral("ErrorAborted")),
                    QStringLiteral("^The controller did not answer %1 commands in a row. Reporting it lost and initializing it again.$").arg(limit)});
    Outcome last;
    keepOutcome(adapter()->pressIxoButton(), &last);
    QTest::qWait(100);
    Outcome pending;
    keepOutcome(adapter()->pressIxoButton(), &pending);
    QTRY_VERIFY(last.finished);
    QCOMPARE(last.error, NivoraVexbusUsbReply::ErrorTimeout);
    QVERIFY(pending.finished);
    QCOMPARE(pending.error, NivoraVexbusUsbReply::ErrorAborted);
    QVERIFY(!adapter()->available());
    QCOMPARE(availableSpy.count(), 1);
    QCOMPARE(reasonWhenUnavailable, U::UnavailableReasonControllerNotResponding);
    QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnecting);

    // The init runs again and, after its third failure, asks the bootloader.
    for (int i = 0; i < 3; ++i)
        ignoreWarnings({timeoutWarning.arg(QStringLiteral("Read initial firmware reply"))});
    ignoreWarnings({QStringLiteral("^Failed to initialize after 3 attempts. Reconnecting the interface$")});
    if (inBootloader) {
        ignoreWarnings({QStringLiteral("^The controller waits in its bootloader")});
        QTRY_VERIFY_WITH_TIMEOUT(adapter()->controllerInBootloader(), 3000);
        QCOMPARE(adapter()->unavailableReason(), U::UnavailableReasonControllerInBootloader);
        QCOMPARE(emulator().requests(RecordedRequest::ProtocolBootloader, 0x38).count(), 1);
    } else {
        QSignalSpy connectedSpy(adapter()->serialInterface(), &NivoraVexbusUsbInterface::connectedChanged);
        // Closed for the question and opened again.
        QTRY_COMPARE_WITH_TIMEOUT(connectedSpy.count(), 2, 4000);
        QVERIFY(!adapter()->controllerInBootloader());
        QCOMPARE(adapter()->unavailableReason(), U::UnavailableReasonControllerNotResponding);
    }
    QVERIFY(!adapter()->available());

    // Back as soon as the controller answers.
    emulator().setMode(VexbusEmulator::ModeController);
    emulator().setSilent(false);
    QTRY_VERIFY_WITH_TIMEOUT(adapter()->available(), 5000);
    QCOMPARE(adapter()->unavailableReason(), U::UnavailableReasonNone);
    QVERIFY(!adapter()->controllerInBootloader());
    QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected);
    QCOMPARE(reasonSpy.first().first().value<U>(), U::UnavailableReasonControllerNotResponding);
    QCOMPARE(reasonSpy.last().first().value<U>(), U::UnavailableReasonNone);
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
    QTest::addColumn<Condition>("condition");
    QTest::addColumn<QByteArray>("sent"); // the request's payload as the controller receives it; null when nothing goes out
    QTest::addColumn<int>("refusal"); // the code the controller answers with, 0 for success
    QTest::addColumn<QList<int>>("outcome"); // command, the reply's error, the controller's error
    QTest::addColumn<QByteArray>("payload"); // of the response
    QTest::addColumn<QString>("errorString"); // a pattern; empty for none
    QTest::addColumn<QStringList>("warnings");

    using A = NivoraVexbusUsbAdapter;
    using R = NivoraVexbusUsbReply;
    const auto outcome = [](int command, R::Error error, int controllerError = 0) { return QList<int>{command, error, controllerError}; };
    const QString limited = QStringLiteral("^The press duration of 70000 ms exceeds the maximum of 65535 ms. Limiting it to 65535 ms.$");
    const QString ixo = QStringLiteral("Set IXO module buffer data reply");
    QTest::newRow("write test frame") << Operation([](A *a) { return a->writeDataToVexbus(); }) << Condition::Connected
        << QByteArray::fromHex("054142434445") << 0 << outcome(0xA0, R::ErrorNoError) << QByteArray() << QString() << QStringList();
    QTest::newRow("write 255 bytes") << Operation([](A *a) { return a->writeDataToVexbus(QByteArray(255, '\x5a')); }) << Condition::Connected
        << (QByteArray(1, '\xff') + QByteArray(255, '\x5a')) << 0 << outcome(0xA0, R::ErrorNoError) << QByteArray() << QString() << QStringList();
    QTest::newRow("IXO program") << Operation([](A *a) { return a->pressIxoButton(A::IxoModuleButtonProgram, 200); }) << Condition::Connected
        << QByteArray::fromHex("801800c8") << 0 << outcome(0x10, R::ErrorNoError) << QByteArray() << QString() << QStringList();
    QTest::newRow("remote service") << Operation([](A *a) { return a->pressRemoteServiceButton(A::RemoteServiceModuleButtonProgram, 500); })
        << Condition::Connected << QByteArray::fromHex("000401f4") << 0 << outcome(0x10, R::ErrorNoError) << QByteArray() << QString() << QStringList();
    QTest::newRow("app connector too long") << Operation([](A *a) { return a->pressAppConnectorButton(A::AppConnectorModuleButtonHalt, 70000); })
        << Condition::Connected << QByteArray::fromHex("07ffff") << 0 << outcome(0x40, R::ErrorNoError) << QByteArray() << QString() << QStringList{limited};
    QTest::newRow("parameter handling off") << Operation([](A *a) { return a->enableAppConnectorParameterHandling(false); })
        << Condition::Connected << QByteArray::fromHex("00") << 0 << outcome(0x41, R::ErrorNoError) << QByteArray() << QString() << QStringList();
    QTest::newRow("firmware version") << Operation([](A *a) { return a->requestFirmwareVersion(); }) << Condition::Connected
        << QByteArray("") << 0 << outcome(0x01, R::ErrorNoError) << QByteArray::fromHex("01040c") << QString() << QStringList();
    QTest::newRow("parameter handling refused") << Operation([](A *a) { return a->enableAppConnectorParameterHandling(true); })
        << Condition::Connected << QByteArray::fromHex("01") << 0x09 << outcome(0x41, R::ErrorInterfaceError, NivoraVexbusUsbUtils::ErrorVexbusNotAvailable)
        << QByteArray() << QStringLiteral("^The controller refused the request CommandEnableAppConnectorParameterHandling with error code 9 \\(ErrorVexbusNotAvailable\\): .*check the adapter's connection to the bus\\.$")
        << QStringList{replyWarning.arg(QStringLiteral("Set KVT app connector paramerter handling reply"), QStringLiteral("ErrorInterfaceError"))};
    // A refused reset changes no state.
    QTest::newRow("reset refused") << Operation([](A *a) { return a->resetController(); }) << Condition::Connected << QByteArray("") << 0x06
        << outcome(0x02, R::ErrorInterfaceError, NivoraVexbusUsbUtils::ErrorUnknownCommand) << QByteArray()
        << QStringLiteral("^The controller refused the request CommandSoftReset with error code 6 \\(ErrorUnknownCommand\\): .*update its firmware\\.$")
        << QStringList{replyWarning.arg(QStringLiteral("Reset controller request"), QStringLiteral("ErrorInterfaceError")),
                       QStringLiteral("^Interface error NivoraVexbusUsb::NivoraVexbusUsbUtils::ErrorUnknownCommand$")};
    QTest::newRow("no answer") << Operation([](A *a) { return a->pressIxoButton(); }) << Condition::Silent << QByteArray::fromHex("802800c8") << 0
        << outcome(0x10, R::ErrorTimeout) << QByteArray() << QStringLiteral("^The controller did not answer the request CommandSetIxoModuleBuffer within 300 ms\\. ")
        << QStringList{timeoutWarning.arg(ixo)};

    // Commands that cannot be sent: nothing goes out, and the reply ends on
    // the next turn of the event loop.
    QTest::newRow("stopped") << Operation([](A *a) { return a->pressIxoButton(); }) << Condition::Stopped << QByteArray()
        << 0 << outcome(0x10, R::ErrorNotAvailable) << QByteArray() << QStringLiteral("^The adapter is not available; nothing was sent\\.")
        << QStringList{replyWarning.arg(ixo, QStringLiteral("ErrorNotAvailable"))};
    QTest::newRow("reset while stopped") << Operation([](A *a) { return a->resetController(); }) << Condition::Stopped << QByteArray()
        << 0 << outcome(0x02, R::ErrorNotAvailable) << QByteArray() << QStringLiteral("^The adapter is not available; ")
        << QStringList{replyWarning.arg(QStringLiteral("Reset controller request"), QStringLiteral("ErrorNotAvailable"))};
    QTest::newRow("frame too long") << Operation([](A *a) { return a->writeDataToVexbus(QByteArray(256, '\x5a')); }) << Condition::Connected
        << QByteArray() << 0 << outcome(0xA0, R::ErrorInvalidArgument) << QByteArray()
        << QStringLiteral("^The frame has 256 bytes, but at most 255 bytes fit in one write request; nothing was sent\\.")
        << QStringList{QStringLiteral("^Cannot write data to Vexbus: the frame has 256 bytes, but at most 255 bytes fit in one write request.$"),
                       replyWarning.arg(QStringLiteral("Write data to Vexbus reply"), QStringLiteral("ErrorInvalidArgument"))};
    QTest::newRow("update running") << Operation([](A *a) { return a->enableAppConnectorParameterHandling(true); }) << Condition::Updating
        << QByteArray() << 0 << outcome(0x41, R::ErrorUpdateRunning) << QByteArray() << QStringLiteral("^A firmware update holds the adapter; nothing was sent\\.")
        << QStringList{replyWarning.arg(QStringLiteral("Set KVT app connector paramerter handling reply"), QStringLiteral("ErrorUpdateRunning"))};
}

void TestNivoraVexbusUsbAdapter::commands()
{
    QFETCH(Operation, operation);
    QFETCH(Condition, condition);
    QFETCH(QByteArray, sent);
    QFETCH(int, refusal);
    QFETCH(QList<int>, outcome);
    QFETCH(QByteArray, payload);
    QFETCH(QString, errorString);
    QFETCH(QStringList, warnings);

    adapter()->setResponseTimeout(300);
    QVERIFY(startConnected());
    if (condition == Condition::Stopped)
        adapter()->stop();
    if (condition == Condition::Silent)
        emulator().setSilent(true);
    if (condition == Condition::Updating) {
        const QString image = m_dir.filePath(QStringLiteral("update-running.cyacd"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("123456780000\n:000022000401020304D0\n");
        file.close();
        adapter()->startFirmwareUpdate(image);
        QVERIFY(adapter()->updating());
    }
    emulator().clearRequests();
    if (refusal)
        emulator().setCommandError(VexbusEmulator::ModeController, quint8(outcome.at(0)), quint8(refusal));
    ignoreWarnings(warnings);
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::commandFinished);

    NivoraVexbusUsbReply *reply = operation(adapter());
    QVERIFY(reply);
    const QPointer<NivoraVexbusUsbReply> guard(reply);
    QSignalSpy replySpy(reply, &NivoraVexbusUsbReply::finished);
    Outcome result;
    keepOutcome(reply, &result);
    // The adapter's own outcome is out before the application's receivers of finished() run.
    int commandsFinishedBefore = -1;
    QObject::connect(reply, &NivoraVexbusUsbReply::finished, reply, [&]() { commandsFinishedBefore = finishedSpy.count(); });
    // Never from within the command, whatever its outcome.
    QVERIFY(!reply->isFinished());
    QCOMPARE(replySpy.count(), 0);
    QCOMPARE(reply->requestPacket().command(), quint8(outcome.at(0)));

    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(replySpy.count(), 1);
    QVERIFY(result.finished);
    QCOMPARE(commandsFinishedBefore, 1);
    QCOMPARE(::outcome(finishedSpy, 0), outcome);
    QCOMPARE(int(result.error), outcome.at(1));
    QCOMPARE(int(result.controllerError), outcome.at(2));
    QCOMPARE(result.payload.toHex(), payload.toHex());
    if (errorString.isEmpty())
        QVERIFY2(result.errorString.isEmpty(), qPrintable(result.errorString));
    else
        QVERIFY2(QRegularExpression(errorString).match(result.errorString).hasMatch(), qPrintable(result.errorString));
    // The library deletes the reply once its finished() is through.
    QTRY_VERIFY(guard.isNull());

    const QList<RecordedRequest> requests = emulator().requests(RecordedRequest::ProtocolController, quint8(outcome.at(0)));
    if (sent.isNull()) {
        QVERIFY(requests.isEmpty());
        return;
    }
    QCOMPARE(requests.count(), 1);
    QCOMPARE(requests.first().packetId(), quint8(2));
    QCOMPARE(requests.first().payload().toHex(), sent.toHex());
    QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected);
}

void TestNivoraVexbusUsbAdapter::repliesGoWithTheAdapter_data()
{
    QTest::addColumn<Condition>("condition");
    // Where the application lets the adapter go: at once, from a receiver
    // of the reply's finished(), or of the adapter's commandFinished(),
    // which comes before it; the reply then never finishes.
    QTest::addColumn<QString>("goneIn");
    QTest::addColumn<int>("finishedCount");
    QTest::newRow("waiting for its response") << Condition::Silent << QString() << 0;
    QTest::newRow("refused, not yet finished") << Condition::Stopped << QString() << 0;
    QTest::newRow("finished, not yet deleted") << Condition::Connected << QStringLiteral("finished") << 1;
    QTest::newRow("finishing, on commandFinished") << Condition::Connected << QStringLiteral("commandFinished") << 0;
}

void TestNivoraVexbusUsbAdapter::repliesGoWithTheAdapter()
{
    QFETCH(Condition, condition);
    QFETCH(QString, goneIn);
    QFETCH(int, finishedCount);

    QVERIFY(startConnected());
    if (condition == Condition::Stopped)
        adapter()->stop();
    if (condition == Condition::Silent)
        emulator().setSilent(true);
    NivoraVexbusUsbReply *reply = adapter()->pressIxoButton();
    const QPointer<NivoraVexbusUsbReply> guard(reply);
    QSignalSpy replySpy(reply, &NivoraVexbusUsbReply::finished);
    bool goneAtOnce = false;
    const auto letGo = [this, &guard, &goneAtOnce]() {
        m_adapter.reset();
        goneAtOnce = guard.isNull();
    };
    if (goneIn == QLatin1String("finished")) {
        // Before the deletion the library posted for the reply.
        QObject::connect(reply, &NivoraVexbusUsbReply::finished, letGo);
        QTRY_VERIFY(!m_adapter);
    } else if (goneIn == QLatin1String("commandFinished")) {
        QObject::connect(adapter(), &NivoraVexbusUsbAdapter::commandFinished, letGo);
        QTRY_VERIFY(!m_adapter);
    } else {
        letGo();
    }

    // At once, and without finishing (again): no reply outlives its adapter.
    QVERIFY(goneAtOnce);
    QCOMPARE(replySpy.count(), finishedCount);
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
    // Request with id 2 under a short time-out, then 256 more under a long
    // one: the last has id 2 again and replaces the first in the table
    // while the first is still pending.
    adapter()->setResponseTimeout(300);
    Outcome first;
    keepOutcome(adapter()->pressIxoButton(), &first);
    adapter()->setResponseTimeout(60000);
    Outcome last;
    for (int i = 0; i < 256; ++i) {
        NivoraVexbusUsbReply *reply = adapter()->pressIxoButton();
        if (i == 255)
            keepOutcome(reply, &last);
    }
    QTRY_COMPARE(requestCount(0x10), 257);
    QCOMPARE(emulator().requests(RecordedRequest::ProtocolController, 0x10).last().packetId(), quint8(2));

    // The first request times out without taking the newer one along; the
    // answer for id 2 then finishes the newer one.
    ignoreWarnings({timeoutWarning.arg(QStringLiteral("Set IXO module buffer data reply"))});
    QTRY_VERIFY(first.finished);
    QCOMPARE(first.error, NivoraVexbusUsbReply::ErrorTimeout);
    QVERIFY(!last.finished);
    QVERIFY(NivoraTest::writeToFd(masterFd(), QByteArray::fromHex("c0100200" "12" "c0")));
    QTRY_VERIFY(last.finished);
    QCOMPARE(last.error, NivoraVexbusUsbReply::ErrorNoError);
}

void TestNivoraVexbusUsbAdapter::requestsTimeOutAfterTheirOwnTime_data()
{
    QTest::addColumn<int>("firstTimeout");
    QTest::addColumn<int>("secondTimeout");
    // The pending requests share one timer: a shorter time-out after a
    // longer one must not wait for the longer, and the timer that ends the
    // shorter must not end the longer with it.
    QTest::newRow("shorter after longer") << 700 << 200;
    QTest::newRow("longer after shorter") << 200 << 700;
}

void TestNivoraVexbusUsbAdapter::requestsTimeOutAfterTheirOwnTime()
{
    QFETCH(int, firstTimeout);
    QFETCH(int, secondTimeout);

    QVERIFY(startConnected());
    emulator().setSilent(true);
    const QString ixo = QStringLiteral("Set IXO module buffer data reply");
    ignoreWarnings({timeoutWarning.arg(ixo), timeoutWarning.arg(ixo)});
    QElapsedTimer clock;
    clock.start();
    QList<qint64> endedAfterMs;
    QList<int> order;
    const auto send = [&](int index, int timeout) {
        adapter()->setResponseTimeout(timeout);
        const qint64 sentAt = clock.elapsed();
        NivoraVexbusUsbReply *reply = adapter()->pressIxoButton();
        connect(reply, &NivoraVexbusUsbReply::finished, reply, [&, reply, index, sentAt]() {
            QCOMPARE(reply->error(), NivoraVexbusUsbReply::ErrorTimeout);
            endedAfterMs.append(clock.elapsed() - sentAt);
            order.append(index);
        });
    };
    send(0, firstTimeout);
    send(1, secondTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(order.count(), 2, 5000);
    // The shorter wait ends first, and neither before its time.
    QCOMPARE(order, firstTimeout < secondTimeout ? (QList<int>{0, 1}) : (QList<int>{1, 0}));
    QVERIFY2(endedAfterMs.at(0) >= qMin(firstTimeout, secondTimeout), qPrintable(QString::number(endedAfterMs.at(0))));
    QVERIFY2(endedAfterMs.at(1) >= qMax(firstTimeout, secondTimeout), qPrintable(QString::number(endedAfterMs.at(1))));
}

void TestNivoraVexbusUsbAdapter::twoAdaptersShareOneWatcher()
{
    // Only the two adapters of this case watch.
    m_adapter.reset();
    // A second adapter with its own controller on ttyUSB1.
    QCOMPARE(m_platform->addAdapter(QStringLiteral("DEF456"), QStringLiteral("ttyUSB1")), QStringLiteral("/dev/ttyUSB1"));
    VexbusEmulator second;
    QVERIFY(second.attach(m_platform->masterFd(QStringLiteral("ttyUSB1"))));
    NivoraVexbusUsbDeviceWatcher watcher;
    NivoraVexbusUsbAdapter byPort(&watcher);
    byPort.setPortName(QStringLiteral("/dev/ttyUSB0"));
    NivoraVexbusUsbAdapter bySerialNumber(&watcher, QStringLiteral("DEF"));
    QVERIFY(byPort.start());
    QVERIFY(bySerialNumber.start());
    QTRY_VERIFY(byPort.available() && bySerialNumber.available());
    QCOMPARE(byPort.serialPortSerialNumber(), QStringLiteral("ABC123"));
    QCOMPARE(bySerialNumber.serialPortSystemLocation(), QStringLiteral("/dev/ttyUSB1"));

    // Unplugging one leaves the other at work; plugged in again, it comes back.
    QSignalSpy byPortSpy(&byPort, &NivoraVexbusUsbAdapter::availableChanged);
    ignoreWarnings({QStringLiteral("^Serial port device \"/dev/ttyUSB1\" removed.$")});
    m_platform->unplug(QStringLiteral("ttyUSB1"));
    QTRY_VERIFY(!bySerialNumber.available());
    NivoraVexbusUsbReply *reply = byPort.readFirmwareVersion();
    Outcome version;
    keepOutcome(reply, &version);
    QTRY_VERIFY(version.finished);
    QCOMPARE(version.error, NivoraVexbusUsbReply::ErrorNoError);
    QCOMPARE(byPortSpy.count(), 0);

    // The shared watcher tells both; the other one says it is not its device.
    ignoreWarnings({QStringLiteral("^Device showed up but we are waiting for \"/dev/ttyUSB0\"$")});
    m_platform->plug(QStringLiteral("DEF456"), QStringLiteral("ttyUSB1"));
    QVERIFY(second.attach(m_platform->masterFd(QStringLiteral("ttyUSB1"))));
    QTRY_VERIFY(bySerialNumber.available());
    QVERIFY(byPort.available());
    QCOMPARE(byPortSpy.count(), 0);
}

// An update from an image file takes the same course; vexbusctl's tests run it.
void TestNivoraVexbusUsbAdapter::firmwareUpdateFromReleaseServer()
{
    // The release: an image for the emulated chip whose application check
    // passes (which lets the controller boot the new version), and its description.
    QVERIFY(m_server.publishRelease(QStringLiteral("/firmware/nivora-vexbususb"), QStringLiteral("adapter-1.5.0.cyacd"), twoRows));
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
    // Handed to the bootloader, the release is no longer on offer.
    QVERIFY(!adapter()->firmwareUpdateAvailable());
    QCOMPARE(availableSpy.count(), 2);

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
    // The figure of the finished update stays until the next one starts.
    QCOMPARE(percentageSpy.last().at(0).toDouble(), 100.0);
    QCOMPARE(adapter()->updatePercentage(), 100.0);
    QCOMPARE(emulator().flash().row(0, 0x22).toHex(), QByteArray("01020304").repeated(16));
    QCOMPARE(emulator().flash().row(0, 0x23).toHex(), QByteArray("05060708").repeated(16));
    QVERIFY(emulator().bootloader().applicationValid());
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), true);
    // Installed: nothing is offered until the downloader brings another image.
    QVERIFY(!adapter()->firmwareUpdateAvailable());
    QCOMPARE(availableSpy.count(), 2);

    // A trusted key drops the unauthenticated release, and an image that no
    // trusted key vouches for is not written.
    ignoreWarnings({QStringLiteral("^The downloaded firmware is not valid ")});
    QVERIFY(adapter()->firmwareDownloader()->addTrustedKey(ReleaseKey::fromPem("-----BEGIN PUBLIC KEY-----\n"
                                                                               "MCowBQYDK2VwAyEA4I0gBZ4nNmOEqLaKOc7EL7xx79Maq/snouwCw5OlT/A=\n"
                                                                               "-----END PUBLIC KEY-----\n")));
    QVERIFY(!adapter()->firmwareUpdateAvailable());
    adapter()->firmwareDownloader()->setFirmware(FirmwareData(QByteArray("123456780000\n:000022000401020304D0\n")));
    ignoreWarnings({QStringLiteral("^Cannot start firmware upgrade\\. The downloader's firmware is not of a release authenticated by a trusted key\\.$")});
    adapter()->startFirmwareUpdate();
    QVERIFY(!adapter()->updating());
    QCOMPARE(requestCount(0x03), 1);
}

void TestNivoraVexbusUsbAdapter::updateEndsAsTheControllerAnswers_data()
{
    QTest::addColumn<UpdateSetup>("setup");
    QTest::addColumn<QByteArray>("image"); // written to a file; empty: the downloader's image, null: no file at all
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("message");
    // The controller ends running its application (the link is taken up
    // again) or waiting in its bootloader.
    QTest::addColumn<bool>("inBootloader");
    QTest::addColumn<QStringList>("warnings");
    // Started with updateFirmware(), which returns the update object, with
    // the image parsed by the test (or the downloader's); otherwise with
    // startFirmwareUpdate() and the file.
    QTest::addColumn<bool>("asObject");

    using E = FirmwareUpdate;
    const UpdateSetup sound = [](VexbusEmulator *, NivoraVexbusUsbAdapter *) {};
    QTest::newRow("written") << sound << twoRows << int(E::ErrorNone) << "^$" << false << QStringList() << false;
    // The controller starts its bootloader, but its answer is lost on the line.
    QTest::newRow("answer to start lost") << UpdateSetup([](VexbusEmulator *chip, NivoraVexbusUsbAdapter *) { chip->dropResponses(1); })
                                          << twoRows << int(E::ErrorNone) << "^$" << false
                                          << QStringList{"^Start bootloader finished with error", "^The controller did not answer the request to start its bootloader"} << true;
    // Refusals change nothing and are still reported, on the next turn.
    QTest::newRow("no such file") << sound << QByteArray() << int(E::ErrorImageUnreadable) << "^There is no image file at .*/missing\\.cyacd\\.$"
                                  << false << QStringList{"^Cannot start firmware upgrade. The given firmware file does not exist"} << false;
    QTest::newRow("row checksum wrong") << sound << QByteArray("123456780000\n:000022000401020304D0\n:000023000405060708BE\n")
                                        << int(E::ErrorImageInvalid) << "is invalid: the checksum of the row at line 3 does not match its bytes\\.$" << false
                                        << QStringList{"contains a row whose checksum does not match its bytes at line 3$",
                                                       "^Cannot start firmware upgrade. The firmware data is not valid.$"} << false;
    QTest::newRow("image invalid") << sound << QByteArray("123456780000\n:000022000401020304D0\n:000023000405060708BE\n")
                                   << int(E::ErrorImageInvalid) << "^The image is invalid: .*line 3" << false
                                   << QStringList{"contains a row whose checksum does not match its bytes at line 3$",
                                                  "^Cannot start firmware upgrade. The firmware data is not valid.$"} << true;
    QTest::newRow("no release") << sound << QByteArray("") << int(E::ErrorNoRelease) << "^There is no release in the firmware downloader" << false
                                << QStringList{"^Cannot start firmware upgrade. There is no valid firmware in the downloader."} << true;
    QTest::newRow("bootloader refused") << UpdateSetup([](VexbusEmulator *chip, NivoraVexbusUsbAdapter *) { chip->setCommandError(VexbusEmulator::ModeController, 0x03, 0x06); })
                                        << twoRows << int(E::ErrorBootloaderRefused)
                                        << "^The controller refused to start its bootloader with error ErrorUnknownCommand \\(6\\); nothing was written\\.$" << false
                                        << QStringList{"^Start bootloader finished with error", "^Interface error"} << true;
    // Before the first row the bootloader is left again.
    QTest::newRow("wrong chip") << UpdateSetup([](VexbusEmulator *chip, NivoraVexbusUsbAdapter *) { chip->bootloader().setSiliconId(0x11223344); })
                                << twoRows << int(E::ErrorWrongChip)
                                << "^The image is built for silicon ID 0x12345678, but the chip has silicon ID 0x11223344; nothing was written\\.$" << false
                                << QStringList{"^The firmware is not valid for this silicon type.$", "^Device silicon ID", "^Firmware silicon ID"} << true;
    QTest::newRow("row beyond the flash") << UpdateSetup([](VexbusEmulator *chip, NivoraVexbusUsbAdapter *) { chip->bootloader().flash().setRowRange(0, 0x22, 0x22); })
                                          << twoRows << int(E::ErrorImageDoesNotFitFlash)
                                          << "^Row 0x23 of array 0 lies outside the chip's flash rows 0x22 to 0x22 of that array; nothing was written\\.$" << false
                                          << QStringList{"^Row 0x23 of array 0 lies outside"} << true;
    // The silent bootloader still leaves on exit; the controller answers again.
    QTest::newRow("bootloader silent") << UpdateSetup([](VexbusEmulator *chip, NivoraVexbusUsbAdapter *) {
                                              QObject::connect(chip, &VexbusEmulator::booted, chip, [chip](VexbusEmulator::Mode mode) {
                                                  chip->setSilent(mode == VexbusEmulator::ModeBootloader);
                                              });
                                          })
                                       << twoRows << int(E::ErrorBootloaderNotAnswering) << "^The bootloader did not answer within 5000 ms" << false
                                       << QStringList{"^Bootloader response timeout$"} << true;
    // Once a row is programmed the controller waits in its bootloader.
    QTest::newRow("row rejected") << UpdateSetup([](VexbusEmulator *chip, NivoraVexbusUsbAdapter *) { chip->setCommandError(VexbusEmulator::ModeBootloader, 0x39, 0x0A); })
                                  << twoRows << int(E::ErrorRowRejected)
                                  << "^The bootloader rejected programming row 0x22 of array 0 with status InvalidRowNumber \\(0x0a\\); the controller stays in its bootloader\\.$"
                                  << true << QStringList{"^Could not program row:"} << true;
    QTest::newRow("row does not verify") << UpdateSetup([](VexbusEmulator *chip, NivoraVexbusUsbAdapter *) { chip->bootloader().addWrongVerifyRow(0x23); })
                                         << twoRows << int(E::ErrorRowVerificationFailed)
                                         << "^Row 0x23 of array 0 does not verify: the bootloader reads checksum 0x\\w\\w where the image expects 0x\\w\\w; "
                                         << true << QStringList{"^Row verification failed for row", "^Returned row checksum does not match"} << true;
    QTest::newRow("application invalid") << UpdateSetup([](VexbusEmulator *chip, NivoraVexbusUsbAdapter *) { chip->bootloader().setApplicationInvalid(true); })
                                         << twoRows << int(E::ErrorApplicationChecksumInvalid) << "^The application checksum does not verify: .* \\(answer 0x00\\)\\.$"
                                         << true << QStringList{"^The application checksum does not verify"} << true;
    // Gone silent after programming the second row (a lost port is vexbusctl's case).
    QTest::newRow("bootloader falls silent") << UpdateSetup([](VexbusEmulator *chip, NivoraVexbusUsbAdapter *) { chip->vanishOnCommand(VexbusEmulator::ModeBootloader, 0x39, 2); })
                                             << twoRows << int(E::ErrorTimedOut)
                                             << "^The bootloader did not answer within 5000 ms at row 0x23 of array 0; the controller stays in its bootloader\\.$"
                                             << true << QStringList{"^Bootloader response timeout$"} << true;
}

void TestNivoraVexbusUsbAdapter::updateEndsAsTheControllerAnswers()
{
    QFETCH(UpdateSetup, setup);
    QFETCH(QByteArray, image);
    QFETCH(int, error);
    QFETCH(QString, message);
    QFETCH(bool, inBootloader);
    QFETCH(QStringList, warnings);
    QFETCH(bool, asObject);

    emulator().setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    QVERIFY(startConnected());
    adapter()->setBootloaderHandOverDelay(400);
    setup(&emulator(), adapter());
    QString file;
    if (image.isNull()) {
        file = m_dir.filePath(QStringLiteral("missing.cyacd"));
    } else if (!image.isEmpty()) {
        file = m_dir.filePath(QStringLiteral("update.cyacd"));
        QFile imageFile(file);
        QVERIFY(imageFile.open(QIODevice::WriteOnly | QIODevice::Truncate) && imageFile.write(image) == image.size());
    }
    emulator().clearRequests();

    ignoreWarnings(warnings);
    QSignalSpy phaseSpy(adapter(), &NivoraVexbusUsbAdapter::updatePhaseChanged);
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::updateFinished);
    UpdateOutcome object;
    if (asObject) {
        NivoraVexbusUsbUpdateReply *update = image.isEmpty() ? adapter()->updateFirmware() : adapter()->updateFirmware(FirmwareData(image));
        QVERIFY(update);
        keepOutcome(update, adapter(), &object);
    } else {
        adapter()->startFirmwareUpdate(file);
    }
    // Never reported within the call, so that it can be followed after it.
    QCOMPARE(finishedSpy.count(), 0);
    QCOMPARE(object.finishedCount, 0);
    QTRY_COMPARE_WITH_TIMEOUT(finishedSpy.count(), 1, 15000);

    const bool success = error == FirmwareUpdate::ErrorNone;
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), success);
    QCOMPARE(int(adapter()->updateError()), error);
    QVERIFY2(QRegularExpression(message).match(adapter()->updateErrorString()).hasMatch(), qPrintable(adapter()->updateErrorString()));
    QCOMPARE(adapter()->updatePhase(), success ? FirmwareUpdate::PhaseDone : FirmwareUpdate::PhaseFailed);
    QVERIFY(!adapter()->updating());
    if (success) {
        QList<int> phases;
        for (const QList<QVariant> &arguments : phaseSpy)
            phases.append(arguments.at(0).toInt());
        QCOMPARE(phases, (QList<int>{FirmwareUpdate::PhasePreparing, FirmwareUpdate::PhaseStartingBootloader, FirmwareUpdate::PhaseWaitingForBootloader,
                                     FirmwareUpdate::PhaseCheckingChip, FirmwareUpdate::PhaseWriting, FirmwareUpdate::PhaseVerifyingApplication,
                                     FirmwareUpdate::PhaseRestarting, FirmwareUpdate::PhaseDone}));
        QCOMPARE(emulator().flash().row(0, 0x23).toHex(), QByteArray("05060708").repeated(16));
    }

    if (inBootloader) {
        // Waiting there for a new update; the link stays released.
        QCOMPARE(emulator().mode(), VexbusEmulator::ModeBootloader);
        QVERIFY(!adapter()->serialInterface()->connected());
        QVERIFY(emulator().requests(RecordedRequest::ProtocolBootloader, 0x3B).isEmpty());
    } else {
        // The application runs: the adapter takes its link up again and finds it.
        QTRY_COMPARE_WITH_TIMEOUT(adapter()->state(), NivoraVexbusUsbAdapter::StateConnected, 8000);
        QCOMPARE(adapter()->firmwareVersion(), success ? QStringLiteral("1.5.0") : QStringLiteral("1.4.12"));
        QCOMPARE(emulator().flash().programmedRowCount(), success ? 3 : 0);
    }
    QCOMPARE(finishedSpy.count(), 1);

    if (asObject) {
        // The object tells what the adapter's properties tell; a written
        // update ends only once the restarted controller answered, with the
        // adapter available and its new version readable.
        QTRY_COMPARE_WITH_TIMEOUT(object.finishedCount, 1, 8000);
        QCOMPARE(object.success, success);
        QCOMPARE(int(object.error), error);
        QCOMPARE(object.errorString, adapter()->updateErrorString());
        QCOMPARE(object.phase, success ? FirmwareUpdate::PhaseDone : FirmwareUpdate::PhaseFailed);
        if (success) {
            QCOMPARE(object.versionAtFinish, QStringLiteral("1.5.0"));
            QCOMPARE(object.firmwareVersion, QStringLiteral("1.5.0"));
            QVERIFY(object.availableAtFinish);
        }
        QTRY_VERIFY(object.gone);
    }
}

void TestNivoraVexbusUsbAdapter::stopEndsTheUpdate_data()
{
    QTest::addColumn<int>("phase"); // stopped on entering it; PhaseIdle: once the bootloader runs, during the hand-over delay
    QTest::addColumn<bool>("leaves");
    QTest::newRow("waiting for the bootloader") << int(FirmwareUpdate::PhaseIdle) << true;
    QTest::newRow("checking the chip") << int(FirmwareUpdate::PhaseCheckingChip) << true;
    QTest::newRow("after the rows") << int(FirmwareUpdate::PhaseVerifyingApplication) << false;
}

void TestNivoraVexbusUsbAdapter::stopEndsTheUpdate()
{
    QFETCH(int, phase);
    QFETCH(bool, leaves);

    QVERIFY(startConnected());
    adapter()->setBootloaderHandOverDelay(400);
    adapter()->firmwareDownloader()->setFirmware(FirmwareData(twoRows));
    QVERIFY(adapter()->firmwareUpdateAvailable());

    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::updateFinished);
    connect(adapter(), &NivoraVexbusUsbAdapter::updatePhaseChanged, this, [this, phase](FirmwareUpdate::Phase current) {
        if (current == phase)
            adapter()->stop();
    });
    connect(&emulator(), &VexbusEmulator::booted, this, [this, phase](VexbusEmulator::Mode mode) {
        if (phase == FirmwareUpdate::PhaseIdle && mode == VexbusEmulator::ModeBootloader)
            adapter()->stop();
    });
    emulator().clearRequests();
    QSignalSpy availableSpy(adapter(), &NivoraVexbusUsbAdapter::firmwareUpdateAvailableChanged);
    adapter()->startFirmwareUpdate();
    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), false);
    QCOMPARE(adapter()->updateError(), FirmwareUpdate::ErrorStoppedByApplication);
    // Off offer while handed to the bootloader; not installed, so on offer
    // again. The progress stays where the update stopped.
    QCOMPARE(availableSpy.count(), 2);
    QVERIFY(!availableSpy.at(0).at(0).toBool());
    QVERIFY(adapter()->firmwareUpdateAvailable());
    QCOMPARE(adapter()->updatePercentage(), leaves ? 0.0 : 100.0);
    QCOMPARE(adapter()->state(), NivoraVexbusUsbAdapter::StateUnconnected);
    QTest::qWait(300);
    const int requestsAtStop = emulator().requests().count();

    // Long enough for the hand-over, a run and its time-outs: nothing of
    // the update goes on, and the stopped link stays closed.
    QTest::qWait(BootloaderHandler::responseTimeout + 500);
    QCOMPARE(emulator().requests().count(), requestsAtStop);
    QList<int> commands;
    for (const RecordedRequest &request : emulator().requests()) {
        if (request.protocol() == RecordedRequest::ProtocolBootloader)
            commands.append(request.command());
    }
    QCOMPARE(commands.contains(0x3B), leaves);
    QCOMPARE(commands.contains(0x31), false);
    QCOMPARE(finishedSpy.count(), 1);
    QVERIFY(!adapter()->serialInterface()->connected());
    QVERIFY(!adapter()->updating());
    QCOMPARE(emulator().mode(), leaves ? VexbusEmulator::ModeController : VexbusEmulator::ModeBootloader);
}

void TestNivoraVexbusUsbAdapter::firmwareVersionReadOrRequested()
{
    QVERIFY(startConnected());
    // The controller runs another version than the init procedure read.
    emulator().setFirmwareVersion(QVersionNumber(2, 0, 1));
    emulator().clearRequests();
    QSignalSpy versionSpy(adapter(), &NivoraVexbusUsbAdapter::firmwareVersionChanged);
    QSignalSpy commandSpy(adapter(), &NivoraVexbusUsbAdapter::commandFinished);

    // Read: what the adapter knows, without a word to the controller.
    NivoraVexbusUsbReply *reply = adapter()->readFirmwareVersion();
    QVERIFY(reply);
    Outcome read;
    keepOutcome(reply, &read);
    QVERIFY(!reply->isFinished());
    QTRY_VERIFY(read.finished);
    QCOMPARE(read.error, NivoraVexbusUsbReply::ErrorNoError);
    QCOMPARE(read.payload.toHex(), QByteArray("01040c"));
    QTest::qWait(100);
    QCOMPARE(requestCount(0x01), 0);
    QCOMPARE(versionSpy.count(), 0);
    QCOMPARE(commandSpy.count(), 0);
    QCOMPARE(adapter()->firmwareVersion(), QStringLiteral("1.4.12"));

    // Requested: the controller's answer, and the property follows it.
    reply = adapter()->requestFirmwareVersion();
    Outcome requested;
    keepOutcome(reply, &requested);
    QString versionAtFinish;
    connect(reply, &NivoraVexbusUsbReply::finished, this, [this, &versionAtFinish]() { versionAtFinish = adapter()->firmwareVersion(); });
    QTRY_VERIFY(requested.finished);
    QCOMPARE(requested.error, NivoraVexbusUsbReply::ErrorNoError);
    QCOMPARE(requested.payload.toHex(), QByteArray("020001"));
    QCOMPARE(versionAtFinish, QStringLiteral("2.0.1"));
    QCOMPARE(requestCount(0x01), 1);
    QCOMPARE(versionSpy.count(), 1);
    QCOMPARE(commandSpy.count(), 1);

    // Unavailable, there is no version to tell.
    adapter()->stop();
    reply = adapter()->readFirmwareVersion();
    Outcome unavailable;
    keepOutcome(reply, &unavailable);
    QTRY_VERIFY(unavailable.finished);
    QCOMPARE(unavailable.error, NivoraVexbusUsbReply::ErrorNotAvailable);
    QVERIFY(unavailable.payload.isEmpty());
}

void TestNivoraVexbusUsbAdapter::updateRefusedWhileAnotherRuns()
{
    QVERIFY(startConnected());
    adapter()->setBootloaderHandOverDelay(400);
    UpdateOutcome running;
    keepOutcome(adapter()->updateFirmware(FirmwareData(twoRows)), adapter(), &running);
    QVERIFY(adapter()->updating());

    ignoreWarnings({QStringLiteral("^Cannot start firmware upgrade\\. Another firmware update is running\\.$")});
    QSignalSpy finishedSpy(adapter(), &NivoraVexbusUsbAdapter::updateFinished);
    UpdateOutcome refused;
    NivoraVexbusUsbUpdateReply *second = adapter()->updateFirmware(FirmwareData(twoRows));
    keepOutcome(second, adapter(), &refused);
    // Not within the call: on the next turn of the event loop.
    QVERIFY(!second->isFinished());
    QCOMPARE(refused.finishedCount, 0);
    QCoreApplication::processEvents();
    QCOMPARE(refused.finishedCount, 1);
    // The adapter's account stays with the running update.
    QCOMPARE(finishedSpy.count(), 0);
    QVERIFY(!refused.success);
    QCOMPARE(refused.error, FirmwareUpdate::ErrorUpdateRunning);
    QCOMPARE(refused.phase, FirmwareUpdate::PhaseFailed);
    QTRY_VERIFY(refused.gone);

    // The running update goes on, and its figures stay the adapter's.
    QVERIFY(adapter()->updating());
    QCOMPARE(adapter()->updateError(), FirmwareUpdate::ErrorNone);
    QCOMPARE(running.finishedCount, 0);
    adapter()->stop();
    QCOMPARE(running.finishedCount, 1);
    QCOMPARE(running.error, FirmwareUpdate::ErrorStoppedByApplication);
}

void TestNivoraVexbusUsbAdapter::updateWritesTheParsedImage_data()
{
    QTest::addColumn<bool>("answersAfterRestart");
    QTest::newRow("controller answers") << true;
    QTest::newRow("controller silent after restart") << false;
}

void TestNivoraVexbusUsbAdapter::updateWritesTheParsedImage()
{
    QFETCH(bool, answersAfterRestart);

    adapter()->setResponseTimeout(200);
    emulator().setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    QVERIFY(startConnected());
    adapter()->setBootloaderHandOverDelay(400);
    if (!answersAfterRestart) {
        connect(&emulator(), &VexbusEmulator::booted, this, [this](VexbusEmulator::Mode mode) {
            emulator().setSilent(mode == VexbusEmulator::ModeController);
        });
        ignoreWarnings({QStringLiteral("^The controller did not answer within 1600 ms after the firmware update$")});
    }

    // Parsed once, here: what becomes of the file afterwards is not written.
    const QString file = m_dir.filePath(QStringLiteral("parsed.cyacd"));
    {
        QFile imageFile(file);
        QVERIFY(imageFile.open(QIODevice::WriteOnly | QIODevice::Truncate) && imageFile.write(twoRows) == twoRows.size());
    }
    const FirmwareData image(file);
    QVERIFY(image.isValid());
    {
        QFile imageFile(file);
        QVERIFY(imageFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
        imageFile.write(QByteArray("123456780000\n:000022000401020304D0\n"));
    }

    QSignalSpy adapterFinishedSpy(adapter(), &NivoraVexbusUsbAdapter::updateFinished);
    UpdateOutcome object;
    keepOutcome(adapter()->updateFirmware(image), adapter(), &object);
    QTRY_COMPARE_WITH_TIMEOUT(object.finishedCount, 1, 10000);
    QCOMPARE(emulator().flash().row(0, 0x22).toHex(), QByteArray("01020304").repeated(16));
    QCOMPARE(emulator().flash().row(0, 0x23).toHex(), QByteArray("05060708").repeated(16));
    // The adapter told the written image as before, when its bootloader was left.
    QCOMPARE(adapterFinishedSpy.count(), 1);
    QVERIFY(adapterFinishedSpy.at(0).at(0).toBool());
    if (answersAfterRestart) {
        QVERIFY(object.success);
        QCOMPARE(object.versionAtFinish, QStringLiteral("1.5.0"));
        QVERIFY(object.availableAtFinish);
    } else {
        QVERIFY(!object.success);
        QCOMPARE(object.error, FirmwareUpdate::ErrorTimedOut);
        QVERIFY2(object.errorString.contains(QStringLiteral("did not answer")), qPrintable(object.errorString));
        QVERIFY(!adapter()->available());
    }
    QTRY_VERIFY(object.gone);
}

void TestNivoraVexbusUsbAdapter::updateGoesWithTheAdapter()
{
    QVERIFY(startConnected());
    adapter()->setBootloaderHandOverDelay(400);
    UpdateOutcome outcome;
    const QPointer<NivoraVexbusUsbUpdateReply> update = adapter()->updateFirmware(FirmwareData(twoRows));
    keepOutcome(update, adapter(), &outcome);
    QTRY_COMPARE(update->phase(), FirmwareUpdate::PhaseWaitingForBootloader);

    // The adapter takes its running update with it, without finished().
    m_adapter.reset();
    QVERIFY(update.isNull());
    QVERIFY(outcome.gone);
    QTest::qWait(600);
    QCOMPARE(outcome.finishedCount, 0);
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbAdapter)
#include "tst_nivoravexbususbadapter.moc"
