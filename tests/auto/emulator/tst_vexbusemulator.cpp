// Self-tests of the emulator of the adapter controller and its bootloader:
// exact bytes for the exchanges the wire format gives as examples, and the
// injected faults doing what they say. The emulator sits on the master side
// of a plain PTY; the test speaks on the slave side as the library would.

#include "bootloaderpacket.h"
#include "controllerpacket.h"
#include "slipcodec.h"
#include "slipdecoder.h"
#include "vexbusemulator.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace NivoraVexbusUsbEmulator;

using Emulator = VexbusEmulator;

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

class TestVexbusEmulator : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void framesPacketBytes_data();
    void framesPacketBytes();
    void xorChecksumOfDigits();
    void decoderDropsMalformedFrames_data();
    void decoderDropsMalformedFrames();
    void bootloaderPacketsMatchExamples_data();
    void bootloaderPacketsMatchExamples();

    void answersControllerRequests_data();
    void answersControllerRequests();
    void recordsRequests();
    void countsAndIgnoresMalformedFrames();
    void sendsNotifications_data();
    void sendsNotifications();
    void announcesStatusChanges();
    void softResetRebootsAndSendsReady();
    void startBootloaderSwitchesMode();
    void generatesBusTraffic();
    void survivesLineHangUp();
    void pacesBytesAtLineRate();

    void answersWorkedBootloaderExchange();
    void rejectsBadBootloaderCommands_data();
    void rejectsBadBootloaderCommands();
    void writesRowsFromChunks();
    void forgetsStalePartialPacket();

    void faultSilence();
    void faultDropResponses();
    void faultCorruptChecksum_data();
    void faultCorruptChecksum();
    void faultCommandError_data();
    void faultCommandError();
    void faultDelayedResponse();
    void faultOtherSilicon();
    void faultWrongVerifyRow();
    void faultStayInBootloader();
    void faultVanishAfterRow();

private:
    void openLine();
    void closeSlave();
    void reopenSlave();
    void send(const QByteArray &bytes);
    QByteArray receive(int count, int timeoutMs = 2000);
    QByteArray receiveFor(int ms);
    void enterBootloader();
    QByteArray exchange(const QByteArray &request, int responseSize);

    int m_master = -1;
    int m_slave = -1;
    QByteArray m_slaveName;
    Emulator *m_emulator = nullptr;
};

void TestVexbusEmulator::init()
{
    openLine();
    m_emulator = new Emulator(this);
    m_emulator->setResetTime(50);
    m_emulator->setBootloaderStartTime(50);
    QVERIFY(m_emulator->attach(m_master));
}

void TestVexbusEmulator::cleanup()
{
    delete m_emulator;
    m_emulator = nullptr;
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
}

void TestVexbusEmulator::openLine()
{
    char name[128] = {};
    QVERIFY(::openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0);
    m_slaveName = name;
    reopenSlave();
}

void TestVexbusEmulator::closeSlave()
{
    ::close(m_slave);
    m_slave = -1;
}

void TestVexbusEmulator::reopenSlave()
{
    if (m_slave < 0)
        m_slave = ::open(m_slaveName.constData(), O_RDWR | O_NOCTTY);
    QVERIFY(m_slave >= 0);
    // The library's serial port sets the line raw; a fresh PTY would echo.
    termios attributes;
    QVERIFY(::tcgetattr(m_slave, &attributes) == 0);
    ::cfmakeraw(&attributes);
    QVERIFY(::tcsetattr(m_slave, TCSANOW, &attributes) == 0);
    ::fcntl(m_slave, F_SETFL, ::fcntl(m_slave, F_GETFL) | O_NONBLOCK);
}

void TestVexbusEmulator::send(const QByteArray &bytes)
{
    QCOMPARE(::write(m_slave, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
}

QByteArray TestVexbusEmulator::receive(int count, int timeoutMs)
{
    QByteArray received;
    QDeadlineTimer deadline(timeoutMs);
    while (received.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        char chunk[512];
        const ssize_t n = ::read(m_slave, chunk, size_t(qMin<int>(sizeof(chunk), count - received.size())));
        if (n > 0)
            received.append(chunk, int(n));
        else
            QThread::msleep(1);
    }
    return received;
}

QByteArray TestVexbusEmulator::receiveFor(int ms)
{
    return receive(1 << 20, ms);
}

QByteArray TestVexbusEmulator::exchange(const QByteArray &request, int responseSize)
{
    send(request);
    return receive(responseSize);
}

void TestVexbusEmulator::enterBootloader()
{
    m_emulator->setMode(Emulator::ModeBootloader);
    QCOMPARE(exchange(hex("01 38 00 00 C7 FF 17"), 15), hex("01 00 08 00 78 56 34 12 00 01 00 00 E2 FE 17"));
}

// --- Wire code ---------------------------------------------------------------

void TestVexbusEmulator::framesPacketBytes_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("plain") << hex("01 05") << hex("C0 01 05 04 C0");
    QTest::newRow("escapes end and esc") << hex("A0 07 C0 DB") << hex("C0 A0 07 DB DC DB DD BC C0");
    QTest::newRow("notification with end byte") << hex("F3 00 C0") << hex("C0 F3 00 DB DC 33 C0");
    QTest::newRow("version text") << hex("01 05 00 31 2E 30") << hex("C0 01 05 00 31 2E 30 2B C0");
    QTest::newRow("escaped checksum") << hex("01 C1") << hex("C0 01 C1 DB DC C0");
}

void TestVexbusEmulator::framesPacketBytes()
{
    QFETCH(QByteArray, packet);
    QFETCH(QByteArray, wire);
    QCOMPARE(SlipCodec::encodeFrame(packet), wire);
    SlipDecoder decoder;
    QCOMPARE(decoder.feed(wire), QList<QByteArray>{packet});
}

void TestVexbusEmulator::xorChecksumOfDigits()
{
    QCOMPARE(SlipCodec::checksum("123456789"), quint8(0x31));
    QCOMPARE(SlipCodec::checksum(QByteArray()), quint8(0));
}

void TestVexbusEmulator::decoderDropsMalformedFrames_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QList<QByteArray>>("packets");
    QTest::addColumn<int>("checksumErrors");
    QTest::addColumn<int>("escapeErrors");
    QTest::addColumn<int>("shortFrames");
    QTest::newRow("empty frames") << hex("C0 C0 C0") << QList<QByteArray>() << 0 << 0 << 0;
    QTest::newRow("two bytes") << hex("C0 01 02 C0") << QList<QByteArray>() << 0 << 0 << 1;
    QTest::newRow("bad checksum") << hex("C0 01 05 00 FF C0") << QList<QByteArray>() << 1 << 0 << 0;
    QTest::newRow("bad escape, next frame kept") << hex("C0 01 DB 41 05 04 C0 01 05 04 C0")
                                                 << QList<QByteArray>{hex("01 05")} << 0 << 1 << 0;
    QTest::newRow("escape before delimiter") << hex("C0 01 05 DB C0") << QList<QByteArray>() << 0 << 1 << 0;
    QTest::newRow("escaped end in packet") << hex("C0 DB DC 05 00 C5 C0") << QList<QByteArray>{hex("C0 05 00")}
                                           << 0 << 0 << 0;
    QTest::newRow("two frames") << hex("C0 01 05 04 C0 C0 04 03 07 C0")
                                << QList<QByteArray>{hex("01 05"), hex("04 03")} << 0 << 0 << 0;
}

void TestVexbusEmulator::decoderDropsMalformedFrames()
{
    QFETCH(QByteArray, wire);
    QFETCH(QList<QByteArray>, packets);
    SlipDecoder decoder;
    QList<QByteArray> decoded;
    // Byte by byte, since a frame may arrive in any pieces.
    for (char byte : wire)
        decoded += decoder.feed(QByteArray(1, byte));
    QCOMPARE(decoded, packets);
    QTEST(decoder.checksumErrors(), "checksumErrors");
    QTEST(decoder.escapeErrors(), "escapeErrors");
    QTEST(decoder.shortFrames(), "shortFrames");
}

void TestVexbusEmulator::bootloaderPacketsMatchExamples_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("packet");
    QTest::newRow("enter") << 0x38 << QByteArray() << hex("01 38 00 00 C7 FF 17");
    QTest::newRow("flash size") << 0x32 << hex("00") << hex("01 32 01 00 00 CC FF 17");
    QTest::newRow("program row") << 0x39 << hex("00 22 00") << hex("01 39 03 00 00 22 00 A1 FF 17");
    QTest::newRow("verify row") << 0x3A << hex("00 22 00") << hex("01 3A 03 00 00 22 00 A0 FF 17");
    QTest::newRow("verify checksum") << 0x31 << QByteArray() << hex("01 31 00 00 CE FF 17");
    QTest::newRow("exit") << 0x3B << QByteArray() << hex("01 3B 00 00 C4 FF 17");
}

void TestVexbusEmulator::bootloaderPacketsMatchExamples()
{
    QFETCH(int, code);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, packet);
    QCOMPARE(BootloaderPacket::build(quint8(code), data), packet);
    QCOMPARE(BootloaderPacket::checksum("123456789"), quint16(0xFE23));
    QCOMPARE(BootloaderPacket::checksum("abc"), quint16(0xFEDA));
    QCOMPARE(BootloaderPacket::checksum(QByteArray()), quint16(0));
}

// --- Controller mode ---------------------------------------------------------

void TestVexbusEmulator::answersControllerRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("response");
    QTest::newRow("firmware version") << hex("C0 01 05 04 C0") << hex("C0 01 05 00 01 04 0C 0D C0");
    QTest::newRow("firmware version, escaped id") << hex("C0 01 DB DC C1 C0")
                                                   << hex("C0 01 DB DC 00 01 04 0C C8 C0");
    QTest::newRow("controller status") << hex("C0 04 03 07 C0") << hex("C0 04 03 00 01 07 01 00 C0");
    QTest::newRow("IXO press") << hex("C0 10 07 80 18 00 C8 47 C0") << hex("C0 10 07 00 17 C0");
    QTest::newRow("IXO press, short") << hex("C0 10 08 80 18 80 C0") << hex("C0 10 08 07 1F C0");
    QTest::newRow("app connector press") << hex("C0 40 09 06 00 C8 87 C0") << hex("C0 40 09 00 49 C0");
    QTest::newRow("parameter handling") << hex("C0 41 0A 01 4A C0") << hex("C0 41 0A 00 4B C0");
    QTest::newRow("bus write") << hex("C0 A0 0B 05 41 42 43 44 45 EF C0") << hex("C0 A0 0B 00 AB C0");
    QTest::newRow("bus write, wrong length byte") << hex("C0 A0 0C 04 41 42 43 44 45 E9 C0")
                                                  << hex("C0 A0 0C 05 A9 C0");
    QTest::newRow("unknown command") << hex("C0 55 0D 58 C0") << hex("C0 55 0D 06 5E C0");
}

void TestVexbusEmulator::answersControllerRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, response);
    QCOMPARE(exchange(request, response.size()), response);
    QCOMPARE(receiveFor(20), QByteArray());
}

void TestVexbusEmulator::recordsRequests()
{
    QSignalSpy spy(m_emulator, &Emulator::requestReceived);
    QCOMPARE(exchange(hex("C0 10 07 80 18 00 C8 47 C0"), 6), hex("C0 10 07 00 17 C0"));
    QCOMPARE(spy.count(), 1);
    const QList<RecordedRequest> requests = m_emulator->requests(RecordedRequest::ProtocolController, 0x10);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().packetId(), quint8(7));
    QCOMPARE(requests.first().payload(), hex("80 18 00 C8"));
    QVERIFY(requests.first().timestamp() <= m_emulator->elapsed());
    m_emulator->clearRequests();
    QVERIFY(m_emulator->requests().isEmpty());
}

void TestVexbusEmulator::countsAndIgnoresMalformedFrames()
{
    send(hex("C0 01 05 00 FF C0 C0 01 DB 41 05 C0"));
    QCOMPARE(receiveFor(50), QByteArray());
    QCOMPARE(m_emulator->checksumErrorCount(), 1);
    QCOMPARE(m_emulator->escapeErrorCount(), 1);
    QCOMPARE(m_emulator->droppedFrameCount(), 2);
    QVERIFY(m_emulator->requests().isEmpty());
    QCOMPARE(exchange(hex("C0 01 05 04 C0"), 9), hex("C0 01 05 00 01 04 0C 0D C0"));
}

void TestVexbusEmulator::sendsNotifications_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("controller ready") << 0xF1 << QByteArray() << hex("C0 F1 00 F1 C0");
    QTest::newRow("bus data") << 0xF3 << hex("C0") << hex("C0 F3 00 DB DC 33 C0");
    QTest::newRow("error") << 0xF4 << hex("09") << hex("C0 F4 00 09 FD C0");
    QTest::newRow("debug text") << 0xFE << QByteArray("hi") << hex("C0 FE 00 68 69 FF C0");
}

void TestVexbusEmulator::sendsNotifications()
{
    QFETCH(int, code);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, wire);
    bool sent = false;
    switch (code) {
    case 0xF1: sent = m_emulator->sendControllerReady(); break;
    case 0xF3: sent = m_emulator->sendBusData(payload); break;
    case 0xF4: sent = m_emulator->sendErrorNotification(quint8(payload.at(0))); break;
    default: sent = m_emulator->sendDebugMessage(payload); break;
    }
    QVERIFY(sent);
    QCOMPARE(receive(wire.size()), wire);
    // The packet id of notifications counts on.
    QVERIFY(m_emulator->sendControllerReady());
    QCOMPARE(receive(5), hex("C0 F1 01 F0 C0"));
}

void TestVexbusEmulator::announcesStatusChanges()
{
    m_emulator->setLedMode(2);
    QCOMPARE(receive(8), hex("C0 F2 00 02 07 01 F6 C0"));
    m_emulator->setLedMode(2);
    m_emulator->setBusType(2, false);
    QCOMPARE(receiveFor(30), QByteArray());
    QCOMPARE(exchange(hex("C0 04 03 07 C0"), 9), hex("C0 04 03 00 02 07 02 00 C0"));
}

void TestVexbusEmulator::softResetRebootsAndSendsReady()
{
    QSignalSpy booted(m_emulator, &Emulator::booted);
    QCOMPARE(exchange(hex("C0 02 01 03 C0"), 6), hex("C0 02 01 00 03 C0"));
    QVERIFY(m_emulator->isRebooting());
    // A rebooting controller does not hear requests.
    send(hex("C0 01 05 04 C0"));
    QCOMPARE(receive(5), hex("C0 F1 00 F1 C0"));
    QCOMPARE(booted.count(), 1);
    QCOMPARE(booted.first().first().value<Emulator::Mode>(), Emulator::ModeController);
    QCOMPARE(m_emulator->requests().size(), 1);
}

void TestVexbusEmulator::startBootloaderSwitchesMode()
{
    QSignalSpy modeChanged(m_emulator, &Emulator::modeChanged);
    QCOMPARE(exchange(hex("C0 03 02 01 C0"), 6), hex("C0 03 02 00 01 C0"));
    QCOMPARE(m_emulator->mode(), Emulator::ModeController);
    QVERIFY(modeChanged.wait(1000));
    QCOMPARE(m_emulator->mode(), Emulator::ModeBootloader);
    QCOMPARE(receiveFor(20), QByteArray());
    QCOMPARE(exchange(hex("01 38 00 00 C7 FF 17"), 15), hex("01 00 08 00 78 56 34 12 00 01 00 00 E2 FE 17"));
}

void TestVexbusEmulator::generatesBusTraffic()
{
    m_emulator->startBusTraffic(500);
    QVERIFY(m_emulator->isBusTrafficActive());
    const QByteArray first = receive(12);
    QCOMPARE(first, hex("C0 F3 00 00 00 F3 C0 C0 F3 01 00 01"));
    QTRY_VERIFY(m_emulator->busTrafficFramesSent() >= 10);
    m_emulator->stopBusTraffic();
    const qint64 sent = m_emulator->busTrafficFramesSent();
    const QByteArray rest = receiveFor(50);
    SlipDecoder decoder;
    const QList<QByteArray> frames = decoder.feed(first + rest);
    QCOMPARE(qint64(frames.size()), sent);
    for (int i = 0; i < frames.size(); ++i) {
        QCOMPARE(quint8(frames.at(i).at(0)), quint8(0xF3));
        QCOMPARE(frames.at(i).mid(2), QByteArray::fromHex(QByteArray::number(i, 16).rightJustified(4, '0')));
    }
}

void TestVexbusEmulator::survivesLineHangUp()
{
    QSignalSpy hungUp(m_emulator, &Emulator::lineHungUp);
    // Half a frame is on the line when it closes.
    send(hex("C0 01 05"));
    QCoreApplication::processEvents();
    closeSlave();
    QVERIFY(hungUp.wait(1000));
    QTest::qWait(30);
    reopenSlave();
    QCOMPARE(exchange(hex("C0 01 05 04 C0"), 9), hex("C0 01 05 00 01 04 0C 0D C0"));
    QVERIFY(m_emulator->isAttached());
}

void TestVexbusEmulator::pacesBytesAtLineRate()
{
    m_emulator->setLinePacing(true);
    const QByteArray frame(200, 'x');
    QVERIFY(m_emulator->sendBusData(frame));
    // 205 bytes take about 18 ms on the line; they cannot all be there yet.
    char chunk[512];
    const ssize_t early = ::read(m_slave, chunk, sizeof(chunk));
    QVERIFY(early < 205);
    const QByteArray all = QByteArray(chunk, int(qMax<ssize_t>(early, 0))) + receive(205 - int(qMax<ssize_t>(early, 0)));
    QCOMPARE(all, SlipCodec::encodeFrame(hex("F3 00") + frame));
}

// --- Bootloader mode ---------------------------------------------------------

void TestVexbusEmulator::answersWorkedBootloaderExchange()
{
    struct Step {
        const char *name;
        const char *request;
        const char *response;
    };
    const Step steps[] = {
        {"enter", "01 38 00 00 C7 FF 17", "01 00 08 00 78 56 34 12 00 01 00 00 E2 FE 17"},
        {"flash size", "01 32 01 00 00 CC FF 17", "01 00 04 00 22 00 FF 00 DA FE 17"},
        {"data", "01 37 04 00 01 02 03 04 BA FF 17", "01 00 00 00 FF FF 17"},
        {"program row", "01 39 03 00 00 22 00 A1 FF 17", "01 00 00 00 FF FF 17"},
        {"verify row", "01 3A 03 00 00 22 00 A0 FF 17", "01 00 01 00 F6 08 FF 17"},
        {"verify application", "01 31 00 00 CE FF 17", "01 00 01 00 01 FD FF 17"},
    };
    m_emulator->setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    m_emulator->setMode(Emulator::ModeBootloader);
    for (const Step &step : steps) {
        const QByteArray expected = hex(step.response);
        const QByteArray got = exchange(hex(step.request), expected.size());
        QVERIFY2(got == expected, qPrintable(QString("%1: %2").arg(step.name, QString(got.toHex(' ')))));
    }
    QSignalSpy booted(m_emulator, &Emulator::booted);
    send(hex("01 3B 00 00 C4 FF 17"));
    // Exit is not answered; the controller comes up with the new application.
    QCOMPARE(receive(5), hex("C0 F1 00 F1 C0"));
    QCOMPARE(booted.count(), 1);
    QCOMPARE(m_emulator->mode(), Emulator::ModeController);
    QCOMPARE(m_emulator->flash().row(0, 0x22), hex("01 02 03 04"));
    QCOMPARE(m_emulator->flash().programmedRows(0), QList<quint16>{0x22});
    QCOMPARE(exchange(hex("C0 01 05 04 C0"), 9), hex("C0 01 05 00 01 05 00 00 C0"));
}

void TestVexbusEmulator::rejectsBadBootloaderCommands_data()
{
    QTest::addColumn<bool>("entered");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("response");
    QTest::newRow("bad checksum") << false << hex("01 38 00 00 C8 FF 17") << hex("01 08 00 00 F7 FF 17");
    QTest::newRow("length disagrees with bytes") << false << hex("01 38 00 00 AA C7 FF 17")
                                                 << hex("01 03 00 00 FC FF 17");
    QTest::newRow("data before enter") << false << hex("01 37 04 00 01 02 03 04 BA FF 17")
                                       << hex("01 05 00 00 FA FF 17");
    QTest::newRow("program before data") << true << hex("01 39 03 00 00 22 00 A1 FF 17")
                                         << hex("01 03 00 00 FC FF 17");
    QTest::newRow("row below range") << true << hex("01 39 03 00 00 10 00 B3 FF 17")
                                     << hex("01 0A 00 00 F5 FF 17");
    QTest::newRow("unknown array") << true << hex("01 32 01 00 01 CB FF 17") << hex("01 09 00 00 F6 FF 17");
    QTest::newRow("flash size without array") << true << hex("01 32 00 00 CD FF 17")
                                              << hex("01 03 00 00 FC FF 17");
    QTest::newRow("unsupported command") << true << hex("01 36 00 00 C9 FF 17") << hex("01 05 00 00 FA FF 17");
}

void TestVexbusEmulator::rejectsBadBootloaderCommands()
{
    QFETCH(bool, entered);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, response);
    if (entered)
        enterBootloader();
    else
        m_emulator->setMode(Emulator::ModeBootloader);
    QCOMPARE(exchange(request, response.size()), response);
    QCOMPARE(receiveFor(20), QByteArray());
    QCOMPARE(m_emulator->flash().programmedRowCount(), 0);
}

void TestVexbusEmulator::writesRowsFromChunks()
{
    enterBootloader();
    QByteArray row;
    for (int i = 0; i < 25; ++i)
        row.append(char(0xA0 + i));
    for (int offset = 0; offset < row.size(); offset += 11) {
        const QByteArray ack = exchange(BootloaderPacket::build(0x37, row.mid(offset, 11)), 7);
        QCOMPARE(ack, hex("01 00 00 00 FF FF 17"));
    }
    QCOMPARE(m_emulator->bootloader().rowBufferSize(), 25);
    QCOMPARE(exchange(BootloaderPacket::build(0x39, hex("00 30 00")), 7), hex("01 00 00 00 FF FF 17"));
    QCOMPARE(m_emulator->flash().row(0, 0x30), row);
    QCOMPARE(m_emulator->bootloader().rowBufferSize(), 0);
    // 0xA0 + ... + 0xB8 = 0x10CC; the two's complement of 0xCC is 0x34.
    QCOMPARE(exchange(BootloaderPacket::build(0x3A, hex("00 30 00")), 8), hex("01 00 01 00 34 CA FF 17"));
    QCOMPARE(m_emulator->requests(RecordedRequest::ProtocolBootloader, 0x37).size(), 3);
}

void TestVexbusEmulator::forgetsStalePartialPacket()
{
    m_emulator->setMode(Emulator::ModeBootloader);
    // A start byte and a length of five that never get their data.
    send(hex("01 38 05 00"));
    QCOMPARE(receiveFor(100), QByteArray());
    QCOMPARE(exchange(hex("01 38 00 00 C7 FF 17"), 15), hex("01 00 08 00 78 56 34 12 00 01 00 00 E2 FE 17"));
}

// --- Faults ------------------------------------------------------------------

void TestVexbusEmulator::faultSilence()
{
    m_emulator->setSilent(true);
    send(hex("C0 01 05 04 C0"));
    QVERIFY(!m_emulator->sendControllerReady());
    QCOMPARE(receiveFor(100), QByteArray());
    QCOMPARE(m_emulator->requests().size(), 1);
    m_emulator->setSilent(false);
    QCOMPARE(exchange(hex("C0 01 05 04 C0"), 9), hex("C0 01 05 00 01 04 0C 0D C0"));
}

void TestVexbusEmulator::faultDropResponses()
{
    m_emulator->dropResponses(2);
    send(hex("C0 04 03 07 C0 C0 04 03 07 C0"));
    QCOMPARE(receiveFor(50), QByteArray());
    QCOMPARE(exchange(hex("C0 01 05 04 C0"), 9), hex("C0 01 05 00 01 04 0C 0D C0"));
    QCOMPARE(m_emulator->requests().size(), 3);
}

void TestVexbusEmulator::faultCorruptChecksum_data()
{
    QTest::addColumn<bool>("bootloader");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("corrupted");
    QTest::addColumn<QByteArray>("normal");
    QTest::newRow("controller") << false << hex("C0 01 05 04 C0") << hex("C0 01 05 00 01 04 0C F2 C0")
                                << hex("C0 01 05 00 01 04 0C 0D C0");
    QTest::newRow("bootloader") << true << hex("01 32 01 00 00 CC FF 17") << hex("01 00 04 00 22 00 FF 00 25 FE 17")
                                << hex("01 00 04 00 22 00 FF 00 DA FE 17");
}

void TestVexbusEmulator::faultCorruptChecksum()
{
    QFETCH(bool, bootloader);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, corrupted);
    QFETCH(QByteArray, normal);
    if (bootloader)
        enterBootloader();
    m_emulator->corruptNextResponse();
    QCOMPARE(exchange(request, corrupted.size()), corrupted);
    QCOMPARE(exchange(request, normal.size()), normal);
}

void TestVexbusEmulator::faultCommandError_data()
{
    QTest::addColumn<bool>("bootloader");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("response");
    QTest::newRow("controller") << false << 0x01 << 0x09 << hex("C0 01 05 04 C0") << hex("C0 01 05 09 0D C0");
    QTest::newRow("bootloader") << true << 0x38 << 0x06 << hex("01 38 00 00 C7 FF 17") << hex("01 06 00 00 F9 FF 17");
}

void TestVexbusEmulator::faultCommandError()
{
    QFETCH(bool, bootloader);
    QFETCH(int, command);
    QFETCH(int, code);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, response);
    const Emulator::Mode mode = bootloader ? Emulator::ModeBootloader : Emulator::ModeController;
    m_emulator->setMode(mode);
    m_emulator->setCommandError(mode, quint8(command), quint8(code));
    QCOMPARE(exchange(request, response.size()), response);
    QCOMPARE(exchange(request, response.size()), response);
    QVERIFY(!m_emulator->bootloader().isEntered());
    m_emulator->clearCommandError(mode, quint8(command));
    QVERIFY(exchange(request, response.size()) != response);
}

void TestVexbusEmulator::faultDelayedResponse()
{
    m_emulator->setResponseDelay(300);
    send(hex("C0 01 05 04 C0"));
    QCOMPARE(receiveFor(150), QByteArray());
    QCOMPARE(receive(9, 2000), hex("C0 01 05 00 01 04 0C 0D C0"));
}

void TestVexbusEmulator::faultOtherSilicon()
{
    m_emulator->bootloader().setSiliconId(0x0ABCDEF0);
    m_emulator->bootloader().setSiliconRevision(2);
    m_emulator->setMode(Emulator::ModeBootloader);
    QCOMPARE(exchange(hex("01 38 00 00 C7 FF 17"), 15), hex("01 00 08 00 F0 DE BC 0A 02 01 00 00 60 FD 17"));
}

void TestVexbusEmulator::faultWrongVerifyRow()
{
    enterBootloader();
    m_emulator->bootloader().addWrongVerifyRow(0x22);
    QCOMPARE(exchange(hex("01 37 04 00 01 02 03 04 BA FF 17"), 7), hex("01 00 00 00 FF FF 17"));
    QCOMPARE(exchange(hex("01 39 03 00 00 22 00 A1 FF 17"), 7), hex("01 00 00 00 FF FF 17"));
    QCOMPARE(exchange(hex("01 3A 03 00 00 22 00 A0 FF 17"), 8), hex("01 00 01 00 F7 07 FF 17"));
    QCOMPARE(exchange(hex("01 31 00 00 CE FF 17"), 8), hex("01 00 01 00 00 FE FF 17"));
    // The flash itself holds the right bytes.
    QCOMPARE(m_emulator->flash().row(0, 0x22), hex("01 02 03 04"));
}

void TestVexbusEmulator::faultStayInBootloader()
{
    m_emulator->setStayInBootloaderAfterExit(true);
    enterBootloader();
    QSignalSpy booted(m_emulator, &Emulator::booted);
    send(hex("01 3B 00 00 C4 FF 17"));
    QVERIFY(booted.wait(1000));
    QCOMPARE(booted.first().first().value<Emulator::Mode>(), Emulator::ModeBootloader);
    QCOMPARE(m_emulator->mode(), Emulator::ModeBootloader);
    QCOMPARE(receiveFor(20), QByteArray());
    // A fresh bootloader session must be entered again.
    QCOMPARE(exchange(hex("01 32 01 00 00 CC FF 17"), 7), hex("01 05 00 00 FA FF 17"));
    enterBootloader();
}

void TestVexbusEmulator::faultVanishAfterRow()
{
    enterBootloader();
    m_emulator->vanishOnCommand(Emulator::ModeBootloader, 0x39, 2);
    bool masterClosed = false;
    connect(m_emulator, &Emulator::vanished, this, [&]() {
        // What the test platform does: close the master, the tty hangs up.
        ::close(m_master);
        m_master = -1;
        masterClosed = true;
    });
    QCOMPARE(exchange(BootloaderPacket::build(0x37, hex("11")), 7), hex("01 00 00 00 FF FF 17"));
    QCOMPARE(exchange(BootloaderPacket::build(0x39, hex("00 22 00")), 7), hex("01 00 00 00 FF FF 17"));
    QCOMPARE(exchange(BootloaderPacket::build(0x37, hex("22")), 7), hex("01 00 00 00 FF FF 17"));
    send(BootloaderPacket::build(0x39, hex("00 23 00")));
    QTRY_VERIFY(masterClosed);
    QVERIFY(!m_emulator->isAttached());
    QCOMPARE(m_emulator->flash().programmedRows(0), (QList<quint16>{0x22, 0x23}));
    // The slave side sees the hang-up as end of file.
    char byte;
    QCOMPARE(::read(m_slave, &byte, 1), ssize_t(0));
}

QTEST_GUILESS_MAIN(TestVexbusEmulator)

#include "tst_vexbusemulator.moc"
