// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// Self-tests of the emulator of the adapter controller and its bootloader,
// for what the library never asks of it: exact bytes for malformed requests
// and the timing of the line. Its framing is driven by every end-to-end
// test. The emulator sits on the master side of a plain PTY; the test speaks
// on the slave side.

#include "testplatform.h"
#include "vexbusemulator.h"

#include <QDeadlineTimer>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using NivoraVexbusUsbEmulator::VexbusEmulator;

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

    void answersMalformedRequests_data();
    void answersMalformedRequests();
    void holdsExchangeAsTheLineWould_data();
    void holdsExchangeAsTheLineWould();

private:
    QByteArray exchange(const QByteArray &request, int responseSize);

    int m_master = -1;
    int m_slave = -1;
    std::unique_ptr<VexbusEmulator> m_emulator;
};

void TestVexbusEmulator::init()
{
    QVERIFY(::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) == 0);
    // The library's serial port sets the line raw; a fresh PTY would echo.
    termios attributes;
    QVERIFY(::tcgetattr(m_slave, &attributes) == 0);
    ::cfmakeraw(&attributes);
    QVERIFY(::tcsetattr(m_slave, TCSANOW, &attributes) == 0);
    ::fcntl(m_slave, F_SETFL, ::fcntl(m_slave, F_GETFL) | O_NONBLOCK);
    m_emulator.reset(new VexbusEmulator);
    QVERIFY(m_emulator->attach(m_master));
}

void TestVexbusEmulator::cleanup()
{
    m_emulator.reset();
    ::close(m_slave);
    ::close(m_master);
}

// Reads on the millisecond, with the emulator's timers served in between, so
// that the time an exchange took is the line's and not the polling's.
QByteArray TestVexbusEmulator::exchange(const QByteArray &request, int responseSize)
{
    QByteArray received;
    QDeadlineTimer deadline(2000);
    if (!NivoraTest::writeToFd(m_slave, request))
        return received;
    while (received.size() < responseSize && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        char chunk[64];
        const ssize_t n = ::read(m_slave, chunk, size_t(qMin<int>(sizeof(chunk), responseSize - received.size())));
        if (n > 0)
            received.append(chunk, int(n));
        else
            QThread::msleep(1);
    }
    return received;
}

void TestVexbusEmulator::answersMalformedRequests_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("response");
    const int controller = 0, bootloader = 1, entered = 2;
    QTest::newRow("bus write, wrong length byte") << controller << hex("C0 A0 0C 04 41 42 43 44 45 E9 C0")
                                                  << hex("C0 A0 0C 05 A9 C0");
    QTest::newRow("unknown command") << controller << hex("C0 55 0D 58 C0") << hex("C0 55 0D 06 5E C0");
    QTest::newRow("bad checksum") << bootloader << hex("01 38 00 00 C8 FF 17") << hex("01 08 00 00 F7 FF 17");
    QTest::newRow("data before enter") << bootloader << hex("01 37 04 00 01 02 03 04 BA FF 17") << hex("01 05 00 00 FA FF 17");
    QTest::newRow("row below range") << entered << hex("01 39 03 00 00 10 00 B3 FF 17") << hex("01 0A 00 00 F5 FF 17");
}

void TestVexbusEmulator::answersMalformedRequests()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, response);
    if (mode > 0)
        m_emulator->setMode(VexbusEmulator::ModeBootloader);
    if (mode > 1)
        QCOMPARE(exchange(hex("01 38 00 00 C7 FF 17"), 15), hex("01 00 08 00 78 56 34 12 00 01 00 00 E2 FE 17"));
    QCOMPARE(exchange(request, response.size()), response);
    QCOMPARE(NivoraTest::readFromFd(m_slave, 1, 20), QByteArray());
    QCOMPARE(m_emulator->flash().programmedRowCount(), 0);
}

void TestVexbusEmulator::holdsExchangeAsTheLineWould_data()
{
    QTest::addColumn<int>("baudRate");
    QTest::addColumn<int>("latencyTimer");
    QTest::addColumn<int>("filler");
    QTest::addColumn<double>("minimumMs");

    // A GetFirmware request is 5 bytes on the wire (here behind a run of
    // empty frames), its response 9: the response cannot be complete before
    // both have crossed the line, nor before the chip's timer has run.
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
    QCOMPARE(exchange(QByteArray(filler, '\xC0') + hex("C0 01 05 04 C0"), 9), hex("C0 01 05 00 01 04 0C 0D C0"));
    QVERIFY2(clock.nsecsElapsed() >= qint64(minimumMs * 1e6),
             qPrintable(QStringLiteral("after %1 ms").arg(clock.nsecsElapsed() / 1e6)));
}

QTEST_MAIN(TestVexbusEmulator)
#include "tst_vexbusemulator.moc"
