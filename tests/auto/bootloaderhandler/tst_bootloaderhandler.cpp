// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/bootloaderhandler.h"
#include "flashimage.h"
#include "testplatform.h"
#include "vexbusemulator.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <memory>

using namespace NivoraVexbusUsb;
using NivoraTest::ignoreWarnings;
using NivoraVexbusUsbEmulator::RecordedRequest;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

const QString path0 = QStringLiteral("/dev/ttyUSB0");
// The worked example: one row of four bytes at the emulated flash's first row.
const QByteArray oneRow = "123456780000\n:000022000401020304D0\n";
// A row in array 0 and one in array 1.
const QByteArray twoArrays = "123456780000\n:000022000401020304D0\n:010020000405060708C1\n";
const QByteArray enterRequest = "01380000c7ff17";
// The chip 12345678, revision 0, of bootloader 1.30.
const QByteArray enterResponse = "0100080078563412001e0101c3fe17";

// A bootloadable for the emulated chip's rows of 64 bytes: the row 0x22 and
// the metadata row 0xFF, 128 bytes in chunks of 11, 11, 11, 11, 11 and 9 a row.
QByteArray bootloadable()
{
    NivoraVexbusUsbEmulator::FlashImage image;
    image.siliconId = 0x12345678;
    QByteArray data;
    for (int i = 1; i <= 64; ++i)
        data.append(static_cast<char>(i));
    image.rows.append({0, 0x22, data});
    image.appendMetadataRow(0, 0xFF);
    return image.toText();
}

// Prepares the chip and the handler for a run.
using Setup = std::function<void(VexbusEmulator *chip, BootloaderHandler *handler)>;

} // namespace

Q_DECLARE_METATYPE(Setup)

class TestBootloaderHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<BootloaderHandler::State>(); }
    void init();
    void cleanup();

    void workedExchange();
    void emulatedRunEndsAsTheChipAnswers_data();
    void emulatedRunEndsAsTheChipAnswers();
    void unusableEnterResponseFails_data();
    void unusableEnterResponseFails();
    void imageSetDuringRunWaitsForTheNextRun_data();
    void imageSetDuringRunWaitsForTheNextRun();
    void interruptedRunSendsNothingMore();

private:
    // Handler on ttyUSB0, started, with the raw far end in m_fd.
    void startRaw(const QByteArray &image);
    void expect(const QByteArray &hex);
    void answer(const QByteArray &hex) { QVERIFY(NivoraTest::writeToFd(m_fd, QByteArray::fromHex(hex))); }

    std::unique_ptr<NivoraTest::TestPlatform> m_platform;
    std::unique_ptr<VexbusEmulator> m_emulator;
    std::unique_ptr<BootloaderHandler> m_handler;
    int m_fd = -1;
};

void TestBootloaderHandler::init()
{
    m_platform.reset(new NivoraTest::TestPlatform);
    m_platform->addAdapter(QStringLiteral("ABC123"));
    m_fd = m_platform->masterFd(QStringLiteral("ttyUSB0"));
    m_handler.reset(new BootloaderHandler);
}

void TestBootloaderHandler::cleanup()
{
    m_handler.reset();
    m_emulator.reset();
    m_platform.reset();
}

void TestBootloaderHandler::startRaw(const QByteArray &image)
{
    m_handler->setPortName(path0);
    m_handler->setFirmwareData(FirmwareData(image));
    m_handler->start();
    QCOMPARE(m_handler->state(), BootloaderHandler::StateEnterBootloader);
    expect(enterRequest);
}

void TestBootloaderHandler::expect(const QByteArray &hex)
{
    const QByteArray wanted = QByteArray::fromHex(hex);
    QCOMPARE(NivoraTest::readFromFd(m_fd, wanted.size()).toHex(' '), wanted.toHex(' '));
}

void TestBootloaderHandler::workedExchange()
{
    QSignalSpy stateSpy(m_handler.get(), &BootloaderHandler::stateChanged);
    QSignalSpy percentageSpy(m_handler.get(), &BootloaderHandler::percentageChanged);
    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    startRaw(oneRow);

    // Each response, then the request it brings on. How responses are
    // reassembled from what the tty delivers is the decoder's own test.
    const QList<QByteArray> wire = {enterResponse, "0132010000ccff17", "010004002200ff00dafe17", "0137040001020304baff17",
                                    "01000000ffff17", "01390300002200a1ff17", "01000000ffff17", "013a0300002200a0ff17",
                                    "01000100f608ff17", "01310000ceff17", "0100010001fdff17", "013b0000c4ff17"};
    for (int i = 0; i < wire.size(); i += 2) {
        answer(wire.at(i));
        expect(wire.at(i + 1));
    }
    QCOMPARE(percentageSpy.count(), 1);
    QCOMPARE(percentageSpy.at(0).at(0).toDouble(), 100.0);
    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), true);
    QList<int> states;
    for (const QList<QVariant> &arguments : stateSpy)
        states.append(arguments.at(0).toInt());
    QCOMPARE(states, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));
    // The port stays open for the owner to close.
    QVERIFY(m_handler->connected());
}

void TestBootloaderHandler::emulatedRunEndsAsTheChipAnswers_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<bool>("success");
    QTest::addColumn<int>("state");
    // The commands the chip received, in order, and the data bytes it had confirmed at each step.
    QTest::addColumn<QByteArray>("commands");
    QTest::addColumn<QList<int>>("confirmed");
    QTest::addColumn<QStringList>("warnings");

    // A run refused before its first program-row leaves the bootloader
    // (exit, 0x3b, after enter, 0x38, when the bootloader was not entered):
    // the application in the flash is still whole.
    const int enter = BootloaderHandler::StateEnterBootloader, program = BootloaderHandler::StateProgramRow;
    const QList<int> firstRow{11, 22, 33, 44, 55, 64};
    const QList<int> bothRows = firstRow + QList<int>{75, 86, 97, 108, 119, 128};
    const int prepare = BootloaderHandler::StatePrepareUpload;
    QTest::newRow("sound chip") << Setup([](VexbusEmulator *, BootloaderHandler *) {}) << true << int(BootloaderHandler::StateIdle)
                                << QByteArray("3832" "373737373737393a" "373737373737393a" "313b") << bothRows << QStringList();
    QTest::newRow("no port") << Setup([](VexbusEmulator *, BootloaderHandler *handler) { handler->setPortName(QStringLiteral("/dev/ttyUSB9")); })
                             << false << int(BootloaderHandler::StateConnecting) << QByteArray() << QList<int>()
                             << QStringList{"^There is no serial port \"/dev/ttyUSB9\"$"};
    QTest::newRow("enter refused") << Setup([](VexbusEmulator *chip, BootloaderHandler *) { chip->setCommandError(VexbusEmulator::ModeBootloader, 0x38, 0x06); })
                                   << false << enter << QByteArray("38383b") << QList<int>()
                                   << QStringList{"^Could not enter bootloader: NivoraVexbusUsb::BootloaderUtils::BootloaderErrorUnexpectedDevice$"};
    QTest::newRow("other chip") << Setup([](VexbusEmulator *chip, BootloaderHandler *) { chip->bootloader().setSiliconId(0x11223344); })
                                << false << enter << QByteArray("383b") << QList<int>()
                                << QStringList{"^The firmware is not valid for this silicon type.$", "^Device silicon ID 287454020$",
                                               "^Firmware silicon ID 305419896$"};
    QTest::newRow("other revision") << Setup([](VexbusEmulator *chip, BootloaderHandler *) { chip->bootloader().setSiliconRevision(3); })
                                    << false << enter << QByteArray("383b") << QList<int>()
                                    << QStringList{"^The firmware is not valid for this silicon revision.$", "^Device silicon revision 3$",
                                                   "^Firmware silicon revision 0$"};
    QTest::newRow("first row differs") << Setup([](VexbusEmulator *chip, BootloaderHandler *) { chip->bootloader().flash().setRowRange(0, 0x10, 0xFF); })
                                       << false << int(BootloaderHandler::StatePrepareUpload) << QByteArray("38323b") << QList<int>()
                                       << QStringList{"^The firmware file does start from a different row number than the bootloader specified.$"};
    // Every row must lie in the flash of its array, each array asked for
    // its own range (0x32 with the array ID), before anything is written.
    QTest::newRow("row beyond the flash") << Setup([](VexbusEmulator *chip, BootloaderHandler *) { chip->bootloader().flash().setRowRange(0, 0x22, 0xFE); })
                                          << false << prepare << QByteArray("38323b") << QList<int>()
                                          << QStringList{"^Row 0xff of array 0 lies outside the chip's flash rows 0x22 to 0xfe of that array; nothing was written\\.$"};
    QTest::newRow("row beyond a second array") << Setup([](VexbusEmulator *chip, BootloaderHandler *handler) {
                                                   chip->bootloader().flash().setRowRange(1, 0x00, 0x0F);
                                                   handler->setFirmwareData(FirmwareData(twoArrays));
                                               })
                                               << false << prepare << QByteArray("3832323b") << QList<int>()
                                               << QStringList{"^Row 0x20 of array 1 lies outside the chip's flash rows 0x00 to 0x0f of that array; nothing was written\\.$"};
    QTest::newRow("program refused") << Setup([](VexbusEmulator *chip, BootloaderHandler *) { chip->setCommandError(VexbusEmulator::ModeBootloader, 0x39, 0x0A); })
                                     << false << program << QByteArray("3832373737373737" "39") << firstRow
                                     << QStringList{"^Could not program row: NivoraVexbusUsb::BootloaderUtils::BootloaderErrorInvalidRowNumber$"};
    QTest::newRow("verify mismatch") << Setup([](VexbusEmulator *chip, BootloaderHandler *) { chip->bootloader().addWrongVerifyRow(0xFF); })
                                     << false << int(BootloaderHandler::StateVerifyRow) << QByteArray("3832" "373737373737393a" "373737373737393a")
                                     << bothRows
                                     << QStringList{"^Row verification failed for row FirmwareDataRow\\(Array: 0, Row number: 255, Size: 64\\)$",
                                                    "^Returned row checksum does not match \\d+ != \\d+$"};
    // Every row verified, but the bootloader holds the application invalid:
    // the controller stays in its bootloader, and the run must not pass.
    QTest::newRow("application invalid") << Setup([](VexbusEmulator *chip, BootloaderHandler *) { chip->bootloader().setApplicationInvalid(true); })
                                         << false << int(BootloaderHandler::StateVerifyApplication)
                                         << QByteArray("3832" "373737373737393a" "373737373737393a" "31") << bothRows
                                         << QStringList{"^The application checksum does not verify: the bootloader holds the written application invalid \\(answer 0x00\\)\\.$"};
}

void TestBootloaderHandler::emulatedRunEndsAsTheChipAnswers()
{
    QFETCH(Setup, setup);
    QFETCH(bool, success);
    QFETCH(int, state);
    QFETCH(QByteArray, commands);
    QFETCH(QList<int>, confirmed);
    QFETCH(QStringList, warnings);

    m_emulator.reset(new VexbusEmulator);
    m_emulator->setMode(VexbusEmulator::ModeBootloader);
    QVERIFY(m_emulator->attach(m_fd));
    m_handler->setPortName(path0);
    m_handler->setFirmwareData(FirmwareData(bootloadable()));
    setup(m_emulator.get(), m_handler.get());

    ignoreWarnings(warnings);
    QSignalSpy percentageSpy(m_handler.get(), &BootloaderHandler::percentageChanged);
    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    m_handler->start();
    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), success);
    QCOMPARE(int(m_handler->state()), state);
    QCOMPARE(m_handler->connected(), state != BootloaderHandler::StateConnecting);

    QByteArray received;
    QList<int> chunkSizes, expectedChunkSizes;
    for (const RecordedRequest &request : m_emulator->requests()) {
        received.append(static_cast<char>(request.command()));
        if (request.command() == 0x37)
            chunkSizes.append(request.payload().size());
    }
    QCOMPARE(received.toHex(), commands);
    QCOMPARE(percentageSpy.count(), confirmed.count());
    for (int i = 0; i < confirmed.count(); ++i) {
        QCOMPARE(percentageSpy.at(i).at(0).toDouble(), confirmed.at(i) * 100.0 / 128);
        expectedChunkSizes.append(confirmed.at(i) - (i ? confirmed.at(i - 1) : 0));
    }
    QCOMPARE(chunkSizes, expectedChunkSizes);
}

void TestBootloaderHandler::unusableEnterResponseFails_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<bool>("timesOut");
    QTest::addColumn<QStringList>("warnings");
    // What leaves the bootloader: exit, after enter when it was not entered.
    QTest::addColumn<QByteArray>("leave");
    QTest::newRow("seven payload bytes instead of eight") << QByteArray("0100070078563412001e01c5fe17") << false
                                                         << QStringList{"^Invalid data length in enter bootloader response.$"}
                                                         << QByteArray("013b0000c4ff17");
    // A response with a bad checksum counts as none.
    QTest::newRow("bad checksum") << QByteArray("01000000000017") << true
                                  << QStringList{"^Invalid message CRC value 0 != 65535$", "^Bootloader response timeout$"}
                                  << (enterRequest + "013b0000c4ff17");
}

void TestBootloaderHandler::unusableEnterResponseFails()
{
    QFETCH(QByteArray, response);
    QFETCH(bool, timesOut);
    QFETCH(QStringList, warnings);
    QFETCH(QByteArray, leave);

    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    startRaw(oneRow);
    ignoreWarnings(warnings);
    answer(response);
    // The bootloader has 5000 ms to answer: a slow one is still waited for.
    if (timesOut) {
        QTest::qWait(4500);
        QCOMPARE(finishedSpy.count(), 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(finishedSpy.count(), 1, 2000);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), false);
    // Nothing was written: the run leaves the bootloader.
    expect(leave);

    // A sound response that comes after the failure moves nothing on.
    answer(enterResponse);
    QCOMPARE(NivoraTest::readFromFd(m_fd, 1, 300).size(), 0);
    QCOMPARE(m_handler->state(), BootloaderHandler::StateEnterBootloader);
    QCOMPARE(finishedSpy.count(), 1);
}

void TestBootloaderHandler::imageSetDuringRunWaitsForTheNextRun_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::newRow("emptied") << QByteArray();
    // Four rows where the run writes two, its first row with other data.
    QTest::newRow("replaced by a longer one") << QByteArray("123456780000\n:000022000401020304D0\n:000023000405060708BF\n"
                                                            ":00002400040A0B0C0D97\n:000025000401020304CD\n");
}

void TestBootloaderHandler::imageSetDuringRunWaitsForTheNextRun()
{
    QFETCH(QByteArray, image);

    m_emulator.reset(new VexbusEmulator);
    m_emulator->setMode(VexbusEmulator::ModeBootloader);
    QVERIFY(m_emulator->attach(m_fd));
    m_handler->setPortName(path0);
    const FirmwareData started(bootloadable());
    m_handler->setFirmwareData(started);
    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    QSignalSpy percentageSpy(m_handler.get(), &BootloaderHandler::percentageChanged);
    // Set after the first chunk is confirmed, as an application would when
    // the downloader found a newer release meanwhile.
    bool set = false;
    connect(m_handler.get(), &BootloaderHandler::percentageChanged, this, [this, image, &set]() {
        if (!set)
            m_handler->setFirmwareData(FirmwareData(image));
        set = true;
    });
    m_handler->start();
    QTRY_COMPARE(finishedSpy.count(), 1);

    // The run wrote the image it started with, all of it and nothing else.
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), true);
    for (const FirmwareDataRow &row : started.rows())
        QCOMPARE(m_emulator->flash().row(row.arrayId(), row.rowNumber()), row.rowData());
    QCOMPARE(m_emulator->flash().programmedRowCount(), 2);
    QCOMPARE(percentageSpy.count(), 12);
    QCOMPARE(percentageSpy.last().at(0).toDouble(), 100.0);
    // The image set meanwhile is the one for the next run.
    QCOMPARE(m_handler->firmwareData().data(), image);
}

void TestBootloaderHandler::interruptedRunSendsNothingMore()
{
    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    startRaw(oneRow);
    answer(enterResponse);
    expect("0132010000ccff17");
    answer("010004002200ff00dafe17");
    expect("0137040001020304baff17");
    m_handler->stop();
    answer("01000000ffff17");
    // Stopping ends the run: no time-out is reported for the open command.
    QCOMPARE(NivoraTest::readFromFd(m_fd, 1, BootloaderHandler::responseTimeout + 300).size(), 0);
    QCOMPARE(finishedSpy.count(), 0);
    QVERIFY(!m_handler->connected());
    QVERIFY(!m_handler->firmwareData().isValid());

    QCOMPARE(m_handler->state(), BootloaderHandler::StateIdle);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^The firmware file is not valid")));
    m_handler->start();
    QCOMPARE(m_handler->state(), BootloaderHandler::StateIdle);
}

QTEST_GUILESS_MAIN(TestBootloaderHandler)
#include "tst_bootloaderhandler.moc"
