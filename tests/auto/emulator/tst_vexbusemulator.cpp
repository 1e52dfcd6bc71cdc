// Self-tests of the emulator of the adapter controller and its bootloader:
// exact bytes for the exchanges the wire format gives as examples, so that
// the end-to-end tests can trust what answers the library. The emulator sits
// on the master side of a plain PTY; the test speaks on the slave side as
// the library would.

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
    void answersControllerRequests_data();
    void answersControllerRequests();
    void rejectsBadBootloaderCommands_data();
    void rejectsBadBootloaderCommands();
    void holdsExchangeAsTheLineWould_data();
    void holdsExchangeAsTheLineWould();
    void latencyTimerSendsFullPacketsAtOnce();

private:
    void openLine();
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

void TestVexbusEmulator::framesPacketBytes_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("plain") << hex("01 05") << hex("C0 01 05 04 C0");
    QTest::newRow("escapes end and esc") << hex("A0 07 C0 DB") << hex("C0 A0 07 DB DC DB DD BC C0");
    QTest::newRow("notification with end byte") << hex("F3 00 C0") << hex("C0 F3 00 DB DC 33 C0");
}

void TestVexbusEmulator::framesPacketBytes()
{
    QFETCH(QByteArray, packet);
    QFETCH(QByteArray, wire);
    QCOMPARE(SlipCodec::encodeFrame(packet), wire);
    SlipDecoder decoder;
    QCOMPARE(decoder.feed(wire), QList<QByteArray>{packet});
}

void TestVexbusEmulator::answersControllerRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("response");
    QTest::newRow("firmware version") << hex("C0 01 05 04 C0") << hex("C0 01 05 00 01 04 0C 0D C0");
    QTest::newRow("controller status") << hex("C0 04 03 07 C0") << hex("C0 04 03 00 01 07 01 00 C0");
    QTest::newRow("IXO press") << hex("C0 10 07 80 18 00 C8 47 C0") << hex("C0 10 07 00 17 C0");
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

void TestVexbusEmulator::rejectsBadBootloaderCommands_data()
{
    QTest::addColumn<bool>("entered");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("response");
    QTest::newRow("bad checksum") << false << hex("01 38 00 00 C8 FF 17") << hex("01 08 00 00 F7 FF 17");
    QTest::newRow("data before enter") << false << hex("01 37 04 00 01 02 03 04 BA FF 17")
                                       << hex("01 05 00 00 FA FF 17");
    QTest::newRow("row below range") << true << hex("01 39 03 00 00 10 00 B3 FF 17")
                                     << hex("01 0A 00 00 F5 FF 17");
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

void TestVexbusEmulator::holdsExchangeAsTheLineWould_data()
{
    QTest::addColumn<int>("baudRate");
    QTest::addColumn<int>("latencyTimer");
    QTest::addColumn<int>("filler");
    QTest::addColumn<double>("minimumMs");

    // A GetFirmware request is 5 bytes on the wire (here behind a run of
    // empty frames), its response 9: the
    // response cannot be complete before both have crossed the line, nor
    // before the chip's timer has run.
    QTest::newRow("9600 baud") << 9600 << 0 << 0 << 14 * 10 * 1000.0 / 9600;
    QTest::newRow("request queued behind 200 bytes") << 115200 << 0 << 200 << 214 * 10 * 1000.0 / 115200;
    QTest::newRow("latency timer 40 ms") << 115200 << 40 << 0 << 40.0;
}

void TestVexbusEmulator::holdsExchangeAsTheLineWould()
{
    QFETCH(int, baudRate);
    QFETCH(int, latencyTimer);
    QFETCH(int, filler);
    QFETCH(double, minimumMs);

    m_emulator->setLinePacing(true);
    m_emulator->setBaudRate(baudRate);
    m_emulator->setLatencyTimer(latencyTimer);
    QElapsedTimer clock;
    clock.start();
    send(QByteArray(filler, '\xC0') + hex("C0 01 05 04 C0"));
    QCOMPARE(receive(9), hex("C0 01 05 00 01 04 0C 0D C0"));
    QVERIFY2(clock.nsecsElapsed() >= qint64(minimumMs * 1e6),
             qPrintable(QStringLiteral("after %1 ms").arg(clock.nsecsElapsed() / 1e6)));
}

void TestVexbusEmulator::latencyTimerSendsFullPacketsAtOnce()
{
    // Unpaced, the whole frame reaches the chip at once: it sends one full
    // packet of 62 bytes and holds the rest until its timer has run.
    m_emulator->setLatencyTimer(100);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(m_emulator->sendBusData(QByteArray(95, 'x')));
    QCOMPARE(receive(62).size(), 62);
    char chunk[64];
    QCOMPARE(::read(m_slave, chunk, sizeof(chunk)), ssize_t(-1));
    QCOMPARE(receive(100 - 62).size(), 100 - 62);
    QVERIFY(clock.elapsed() >= 100);
}

QTEST_MAIN(TestVexbusEmulator)
#include "tst_vexbusemulator.moc"
