// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// Self-tests of the emulator of the adapter controller and its bootloader,
// for what the library never asks of it: exact bytes for malformed requests
// and for the answers where the vendor's bootloader is strict, the
// application check, and the timing of the line. Its framing is driven by every end-to-end
// test. The emulator sits on the master side of a plain PTY; the test speaks
// on the slave side.

#include "applicationmetadata.h"
#include "flashimage.h"
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
    void applicationCheckFollowsMetadata_data();
    void applicationCheckFollowsMetadata();
    void configurationBytesCount_data();
    void configurationBytesCount();
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
    // In "entered" modes the host enters first: the chip 12345678,
    // revision 0, of bootloader 1.30, which reports 1E 01 01.
    const int controller = 0, bootloader = 1, entered = 2, enteredWithCrc = 3;
    QTest::newRow("bus write, wrong length byte") << controller << hex("C0 A0 0C 04 41 42 43 44 45 E9 C0")
                                                  << hex("C0 A0 0C 05 A9 C0");
    QTest::newRow("unknown command") << controller << hex("C0 55 0D 58 C0") << hex("C0 55 0D 06 5E C0");
    QTest::newRow("bad checksum") << bootloader << hex("01 38 00 00 C8 FF 17") << hex("01 08 00 00 F7 FF 17");
    QTest::newRow("enter with a security key") << bootloader << hex("01 38 06 00 11 22 33 44 55 66 5C FE 17")
                                                << hex("01 04 00 00 FB FF 17");
    QTest::newRow("data before enter") << bootloader << hex("01 37 04 00 01 02 03 04 BA FF 17") << hex("01 04 00 00 FB FF 17");
    QTest::newRow("application status, which one application lacks") << bootloader << hex("01 33 01 00 00 CB FF 17")
                                                                       << hex("01 05 00 00 FA FF 17");
    QTest::newRow("flash size of a missing array") << entered << hex("01 32 01 00 01 CB FF 17") << hex("01 04 00 00 FB FF 17");
    QTest::newRow("program row without data") << entered << hex("01 39 03 00 00 22 00 A1 FF 17") << hex("01 03 00 00 FC FF 17");
    QTest::newRow("program row of 4 bytes") << entered << hex("01 39 07 00 00 22 00 01 02 03 04 93 FF 17")
                                            << hex("01 03 00 00 FC FF 17");
    QTest::newRow("whole row below range") << entered << hex("01 39 43 00 00 10 00") + QByteArray(64, '\0') + hex("73 FF 17")
                                           << hex("01 0A 00 00 F5 FF 17");
    QTest::newRow("sum checksum to a CRC chip") << enteredWithCrc << hex("01 32 01 00 00 CC FF 17") << hex("01 08 00 00 26 A7 17");
    QTest::newRow("flash size from a CRC chip") << enteredWithCrc << hex("01 32 01 00 00 EB 6B 17")
                                                << hex("01 00 04 00 22 00 FF 00 5B 85 17");
}

void TestVexbusEmulator::answersMalformedRequests()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, response);
    if (mode > 0)
        m_emulator->setMode(VexbusEmulator::ModeBootloader);
    if (mode == 2)
        QCOMPARE(exchange(hex("01 38 00 00 C7 FF 17"), 15), hex("01 00 08 00 78 56 34 12 00 1E 01 01 C3 FE 17"));
    if (mode == 3) {
        m_emulator->bootloader().setChecksumType(1);
        QCOMPARE(exchange(hex("01 38 00 00 A0 09 17"), 15), hex("01 00 08 00 78 56 34 12 00 1E 01 01 EB 0E 17"));
    }
    QCOMPARE(exchange(request, response.size()), response);
    QCOMPARE(NivoraTest::readFromFd(m_slave, 1, 20), QByteArray());
    QCOMPARE(m_emulator->flash().programmedRowCount(), 0);
}

void TestVexbusEmulator::applicationCheckFollowsMetadata_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QByteArray>("answer");
    const QByteArray valid = hex("01 00 01 00 01 FD FF 17");
    const QByteArray invalid = hex("01 00 01 00 00 FE FF 17");
    QTest::newRow("sample image") << QString() << valid;
    QTest::newRow("a data byte changed") << QStringLiteral("data") << invalid;
    QTest::newRow("checksum changed") << QStringLiteral("checksum") << invalid;
    QTest::newRow("length one row short") << QStringLiteral("length") << invalid;
    QTest::newRow("no metadata row") << QStringLiteral("no metadata") << invalid;
    // An erased application sums to the checksum of nothing, 0x00.
    QTest::newRow("erased rows under a zero checksum") << QStringLiteral("erased") << invalid;
    QTest::newRow("bootloader 1.50") << QStringLiteral("1.50") << valid;
}

// The sample image written into the flash, changed, and the bootloader
// asked for its verdict after entering.
void TestVexbusEmulator::applicationCheckFollowsMetadata()
{
    QFETCH(QString, change);
    QFETCH(QByteArray, answer);

    QFile file(QStringLiteral(SAMPLE_FIRMWARE));
    QVERIFY(file.open(QIODevice::ReadOnly));
    NivoraVexbusUsbEmulator::FlashImage image;
    QVERIFY2(image.parse(file.readAll()), qPrintable(image.errorString()));
    QCOMPARE(image.rows.size(), 129);
    NivoraVexbusUsbEmulator::FlashImage::Row &metadata = image.rows.last();
    QCOMPARE(metadata.rowNumber, quint16(0xFF));
    // Checksum 16, application from row 0x22 (address 0x880), bootloader up to row 0x21, 0x2000 bytes.
    QCOMPARE(metadata.data.right(64).left(13), hex("16 80 08 00 00 21 00 00 00 00 20 00 00"));
    if (change == QLatin1String("data"))
        image.rows[40].data[7] = static_cast<char>(image.rows[40].data.at(7) + 1);
    else if (change == QLatin1String("checksum"))
        metadata.data[0] = '\x17';
    else if (change == QLatin1String("length"))
        metadata.data.replace(9, 2, hex("C0 1F"));
    else if (change == QLatin1String("no metadata"))
        image.rows.removeLast();
    if (change == QLatin1String("erased")) {
        for (int i = 0; i < 128; ++i)
            image.rows[i].data.fill('\0');
        image.rows.last().data[0] = '\0';
    }
    for (const NivoraVexbusUsbEmulator::FlashImage::Row &row : qAsConst(image.rows))
        m_emulator->bootloader().flash().writeRow(row.arrayId, row.rowNumber, row.data);

    m_emulator->setMode(VexbusEmulator::ModeBootloader);
    QByteArray enterAnswer = hex("01 00 08 00 78 56 34 12 00 1E 01 01 C3 FE 17");
    if (change == QLatin1String("1.50")) {
        m_emulator->bootloader().setBootloaderVersion(1, 50);
        enterAnswer = hex("01 00 08 00 78 56 34 12 00 32 01 01 AF FE 17");
    }
    QCOMPARE(exchange(hex("01 38 00 00 C7 FF 17"), 15), enterAnswer);
    QCOMPARE(exchange(hex("01 31 00 00 CE FF 17"), 8), answer);
}

void TestVexbusEmulator::configurationBytesCount_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("fastValidation");
    QTest::addColumn<bool>("valid");
    QTest::newRow("rows of 256 data and 32 configuration bytes") << QString() << false << true;
    QTest::newRow("a configuration byte changed") << QStringLiteral("config") << false << false;
    QTest::newRow("metadata at the end of the 288 bytes") << QStringLiteral("flat") << false << false;
    // An application up to the metadata takes in the configuration bytes
    // of the whole last row.
    QTest::newRow("application up to the metadata") << QStringLiteral("to metadata") << false << true;
    QTest::newRow("up to the metadata, its configuration byte changed") << QStringLiteral("to metadata, config") << false << false;
    QTest::newRow("marked verified, checksum wrong") << QStringLiteral("verified") << false << false;
    QTest::newRow("marked verified, checksum wrong, fast validation") << QStringLiteral("verified") << true << true;
    QTest::newRow("fast validation") << QString() << true << true;
}

// A PSoC 5LP flash with ECC disabled: the application's checksum covers its
// data bytes and the configuration bytes beside them, and the metadata lies
// in the data bytes of row 255.
void TestVexbusEmulator::configurationBytesCount()
{
    QFETCH(QString, change);
    QFETCH(bool, fastValidation);
    QFETCH(bool, valid);
    using NivoraVexbusUsbEmulator::ApplicationMetadata;

    NivoraVexbusUsbEmulator::BootloaderEmulation &bootloader = m_emulator->bootloader();
    NivoraVexbusUsbEmulator::SimulatedFlash &flash = bootloader.flash();
    flash.setRowSize(288);
    flash.setConfigSize(32);
    flash.setRowsPerArray(256);
    bootloader.setFastValidation(fastValidation);
    const bool toMetadata = change.startsWith(QLatin1String("to metadata"));
    const int lastDataRow = toMetadata ? 254 : 0x24;
    QByteArray summed;
    for (int row = 0x22; row <= lastDataRow; ++row) {
        QByteArray bytes(288, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(row * 7 + i);
        flash.writeRow(0, quint16(row), bytes);
        summed += bytes;
    }
    ApplicationMetadata metadata;
    metadata.bootloaderLastRow = 0x21;
    metadata.entryAddress = 0x22 * 256;
    metadata.length = quint32(lastDataRow + 1 - 0x22) * 256;
    QByteArray metadataRow = metadata.toRow(288, 256);
    if (toMetadata) {
        // The application's data reach the metadata; the metadata row's
        // configuration bytes count.
        metadata.length += 192;
        metadataRow = metadata.toRow(288, 256);
        metadataRow[280] = '\x5A';
        summed += metadataRow.left(192) + metadataRow.right(32);
    }
    metadata.checksum = ApplicationMetadata::applicationChecksum(summed);
    if (change == QLatin1String("verified")) {
        metadata.checksum = quint8(metadata.checksum + 1);
        metadata.verified = ApplicationMetadata::Verified;
    }
    metadataRow.replace(192, 64, metadata.toRow(64));
    if (change == QLatin1String("flat"))
        metadataRow = metadata.toRow(288);
    if (change == QLatin1String("to metadata, config"))
        metadataRow[280] = '\x5B';
    flash.writeRow(0, 0xFF, metadataRow);
    if (change == QLatin1String("config")) {
        QByteArray row = flash.row(0, 0x23);
        row[260] = static_cast<char>(row.at(260) + 1);
        flash.writeRow(0, 0x23, row);
    }

    m_emulator->setMode(VexbusEmulator::ModeBootloader);
    QCOMPARE(exchange(hex("01 38 00 00 C7 FF 17"), 15), hex("01 00 08 00 78 56 34 12 00 1E 01 01 C3 FE 17"));
    QCOMPARE(exchange(hex("01 31 00 00 CE FF 17"), 8), valid ? hex("01 00 01 00 01 FD FF 17") : hex("01 00 01 00 00 FE FF 17"));
    // The verify-row answer covers all 288 bytes of a row.
    QCOMPARE(exchange(hex("01 3A 03 00 00 23 00 9F FF 17"), 8).mid(4, 1),
             QByteArray(1, static_cast<char>(NivoraVexbusUsbEmulator::SimulatedFlash::rowChecksum(flash.row(0, 0x23)))));
    if (!fastValidation)
        return;
    // The bootloader marks what it found valid, and clears the mark with the
    // metadata row before the first row it erases.
    QCOMPARE(int(flash.row(0, 0xFF).at(192 + ApplicationMetadata::VerifiedOffset)), int(ApplicationMetadata::Verified));
    QCOMPARE(exchange(hex("01 34 03 00 00 24 00 A4 FF 17"), 7), hex("01 00 00 00 FF FF 17"));
    QCOMPARE(flash.row(0, 0xFF), QByteArray(288, '\0'));
    QCOMPARE(exchange(hex("01 31 00 00 CE FF 17"), 8), hex("01 00 01 00 00 FE FF 17"));
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
