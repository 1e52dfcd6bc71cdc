#include "bootloader/bootloaderhandler.h"
#include "bootloader/bootloaderutils.h"
#include "testplatform.h"
#include "vexbusemulator.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace NivoraVexbusUsb;
using NivoraTest::TestPlatform;
using NivoraVexbusUsbEmulator::RecordedRequest;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

const QString device0 = QStringLiteral("ttyUSB0");
const QString path0 = QStringLiteral("/dev/ttyUSB0");

// One image line per row, with the checksum byte images of this format carry.
QByteArray rowLine(quint16 rowNumber, const QByteArray &data, quint8 arrayId = 0)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(arrayId));
    bytes.append(static_cast<char>(rowNumber >> 8)).append(static_cast<char>(rowNumber & 0xFF));
    bytes.append(static_cast<char>(data.size() >> 8)).append(static_cast<char>(data.size() & 0xFF));
    bytes.append(data);
    quint8 sum = 0;
    for (const char byte : bytes)
        sum = static_cast<quint8>(sum + static_cast<quint8>(byte));
    bytes.append(static_cast<char>(static_cast<quint8>(-sum)));
    return ':' + bytes.toHex().toUpper();
}

// Rows from 0x22 on, as the emulated bootloader's flash starts there.
FirmwareData makeImage(int rowCount, int rowSize, const QByteArray &header = "123456780000")
{
    QByteArray text = header + "\n";
    for (int i = 0; i < rowCount; ++i) {
        QByteArray data;
        for (int j = 0; j < rowSize; ++j)
            data.append(static_cast<char>((i * 31 + j * 7) & 0xFF));
        text += rowLine(static_cast<quint16>(0x22 + i), data) + "\n";
    }
    return FirmwareData(text);
}

void ignoreWarning(const QString &pattern)
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern));
}

} // namespace

class TestBootloaderHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void workedExchange_data();
    void workedExchange();
    void resynchronisesAfterMalformedResponse();
    void noPortFails();
    void failuresEndTheRun_data();
    void failuresEndTheRun();
    void wrongPayloadLengthFails_data();
    void wrongPayloadLengthFails();
    void responseTimeout();
    void chunksAndProgress();
    void shorterImageDuringRunIsIgnored();
    void stopDuringUpload();

private:
    // Handler on ttyUSB0, started, with the raw far end in m_fd.
    void startRaw(const FirmwareData &image);
    void expect(const QByteArray &hex);
    void answer(const QByteArray &hex);
    void startEmulated(const FirmwareData &image);

    std::unique_ptr<TestPlatform> m_platform;
    std::unique_ptr<VexbusEmulator> m_emulator;
    std::unique_ptr<BootloaderHandler> m_handler;
    int m_fd = -1;
};

void TestBootloaderHandler::initTestCase()
{
    qRegisterMetaType<BootloaderHandler::State>();
}

void TestBootloaderHandler::init()
{
    m_platform.reset(new TestPlatform);
    m_platform->addAdapter(QStringLiteral("ABC123"));
    m_fd = m_platform->masterFd(device0);
    m_handler.reset(new BootloaderHandler);
}

void TestBootloaderHandler::cleanup()
{
    m_handler.reset();
    m_emulator.reset();
    m_platform.reset();
}

void TestBootloaderHandler::startRaw(const FirmwareData &image)
{
    m_handler->setPortName(path0);
    m_handler->setFirmwareData(image);
    m_handler->start();
    QCOMPARE(m_handler->state(), BootloaderHandler::StateEnterBootloader);
}

void TestBootloaderHandler::expect(const QByteArray &hex)
{
    const QByteArray wanted = QByteArray::fromHex(hex);
    QCOMPARE(NivoraTest::readFromFd(m_fd, wanted.size()).toHex(' '), wanted.toHex(' '));
}

void TestBootloaderHandler::answer(const QByteArray &hex)
{
    QVERIFY(NivoraTest::writeToFd(m_fd, QByteArray::fromHex(hex)));
}

void TestBootloaderHandler::startEmulated(const FirmwareData &image)
{
    m_emulator.reset(new VexbusEmulator);
    m_emulator->setMode(VexbusEmulator::ModeBootloader);
    QVERIFY(m_emulator->attach(m_fd));
    m_handler->setPortName(path0);
    m_handler->setFirmwareData(image);
    m_handler->start();
}

void TestBootloaderHandler::workedExchange_data()
{
    QTest::addColumn<int>("pieceSize");
    QTest::newRow("whole responses") << 0;
    QTest::newRow("one byte at a time") << 1;
}

void TestBootloaderHandler::workedExchange()
{
    QFETCH(int, pieceSize);

    QSignalSpy stateSpy(m_handler.get(), &BootloaderHandler::stateChanged);
    QSignalSpy percentageSpy(m_handler.get(), &BootloaderHandler::percentageChanged);
    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    QSignalSpy connectedSpy(m_handler.get(), &BootloaderHandler::connectedChanged);
    startRaw(FirmwareData(QByteArray("123456780000\n:000022000401020304D0\n")));
    QCOMPARE(connectedSpy.count(), 1);

    auto reply = [this, pieceSize](const QByteArray &hex) {
        const QByteArray bytes = QByteArray::fromHex(hex);
        if (pieceSize == 0) {
            QVERIFY(NivoraTest::writeToFd(m_fd, bytes));
            return;
        }
        for (int i = 0; i < bytes.size(); i += pieceSize) {
            QVERIFY(NivoraTest::writeToFd(m_fd, bytes.mid(i, pieceSize)));
            QTest::qWait(2);
        }
    };

    expect("01380000c7ff17");
    reply("010008007856341200010000e2fe17");
    expect("0132010000ccff17");
    reply("010004002200ff00dafe17");
    expect("0137040001020304baff17");
    reply("01000000ffff17");
    expect("013903000022" "00a1ff17");
    QCOMPARE(percentageSpy.count(), 1);
    QCOMPARE(percentageSpy.at(0).at(0).toDouble(), 100.0);
    reply("01000000ffff17");
    expect("013a03000022" "00a0ff17");
    reply("0100010" "0f608ff17");
    expect("01310000ceff17");
    reply("0100010001fdff17");
    expect("013b0000c4ff17");

    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), true);
    QList<int> states;
    for (const QList<QVariant> &arguments : stateSpy)
        states.append(arguments.at(0).toInt());
    QCOMPARE(states, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));
    // The port stays open for the owner to close.
    QVERIFY(m_handler->connected());
}

void TestBootloaderHandler::resynchronisesAfterMalformedResponse()
{
    startRaw(makeImage(1, 4));
    expect("01380000c7ff17");
    // A response whose end byte is missing, then a sound one.
    ignoreWarning(QStringLiteral("^Discarding malformed bootloader response"));
    answer("0100000000ffff18");
    answer("010008007856341200010000e2fe17");
    QTRY_COMPARE(m_handler->state(), BootloaderHandler::StateGetFlahSize);
}

void TestBootloaderHandler::noPortFails()
{
    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    m_handler->setPortName(QStringLiteral("/dev/ttyUSB9"));
    m_handler->setFirmwareData(makeImage(1, 4));
    ignoreWarning(QStringLiteral("^There is no serial port \"/dev/ttyUSB9\"$"));
    m_handler->start();
    QCOMPARE(m_handler->state(), BootloaderHandler::StateConnecting);
    QVERIFY(!m_handler->connected());
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), false);
    QCOMPARE(NivoraTest::readFromFd(m_fd, 1, 100).size(), 0);
}

void TestBootloaderHandler::failuresEndTheRun_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("state");
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("enter refused") << "enterError" << int(BootloaderHandler::StateEnterBootloader)
                                   << QStringList{"^Could not enter bootloader: NivoraVexbusUsb::BootloaderUtils::BootloaderErrorUnexpectedDevice$"};
    QTest::newRow("other chip") << "siliconId" << int(BootloaderHandler::StateEnterBootloader)
                                << QStringList{"^The firmware is not valid for this silicon type.$",
                                               "^Device silicon ID 287454020$", "^Firmware silicon ID 305419896$"};
    QTest::newRow("other revision") << "siliconRev" << int(BootloaderHandler::StateEnterBootloader)
                                    << QStringList{"^The firmware is not valid for this silicon revision.$",
                                                   "^Device silicon revision 3$", "^Firmware silicon revision 0$"};
    QTest::newRow("first row differs") << "rowRange" << int(BootloaderHandler::StatePrepareUpload)
                                       << QStringList{"^The firmware file does start from a different row number than the bootloader specified.$"};
    QTest::newRow("program refused") << "programError" << int(BootloaderHandler::StateProgramRow)
                                     << QStringList{"^Could not program row: NivoraVexbusUsb::BootloaderUtils::BootloaderErrorInvalidRowNumber$"};
    QTest::newRow("status without a name") << "programUnnamed" << int(BootloaderHandler::StateProgramRow)
                                           << QStringList{"^Could not program row: BootloaderError\\(66\\)$"};
    QTest::newRow("verify mismatch") << "verifyRow" << int(BootloaderHandler::StateVerifyRow)
                                     << QStringList{"^Row verification failed for row FirmwareDataRow\\(Array: 0, Row number: 35, Size: 16\\)$",
                                                    "^Returned row checksum does not match \\d+ != \\d+$"};
}

void TestBootloaderHandler::failuresEndTheRun()
{
    QFETCH(QString, fault);
    QFETCH(int, state);
    QFETCH(QStringList, warnings);

    m_emulator.reset(new VexbusEmulator);
    if (fault == "enterError")
        m_emulator->setCommandError(VexbusEmulator::ModeBootloader, 0x38, 0x06);
    else if (fault == "siliconId")
        m_emulator->bootloader().setSiliconId(0x11223344);
    else if (fault == "siliconRev")
        m_emulator->bootloader().setSiliconRevision(3);
    else if (fault == "rowRange")
        m_emulator->bootloader().flash().setRowRange(0, 0x10, 0xFF);
    else if (fault == "programError")
        m_emulator->setCommandError(VexbusEmulator::ModeBootloader, 0x39, 0x0A);
    else if (fault == "programUnnamed")
        m_emulator->setCommandError(VexbusEmulator::ModeBootloader, 0x39, 0x42);
    else if (fault == "verifyRow")
        m_emulator->bootloader().addWrongVerifyRow(0x23);

    for (const QString &warning : warnings)
        ignoreWarning(warning);
    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    m_emulator->setMode(VexbusEmulator::ModeBootloader);
    QVERIFY(m_emulator->attach(m_fd));
    m_handler->setPortName(path0);
    m_handler->setFirmwareData(makeImage(3, 16));
    m_handler->start();

    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), false);
    QCOMPARE(int(m_handler->state()), state);
    if (fault != "verifyRow")
        return;
    // Reported once: no time-out follows the failure.
    QTest::qWait(BootloaderHandler::responseTimeout + 300);
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(int(m_handler->state()), state);
}

void TestBootloaderHandler::wrongPayloadLengthFails_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("seven bytes instead of eight") << QByteArray::fromHex("78563412000100");
}

void TestBootloaderHandler::wrongPayloadLengthFails()
{
    QFETCH(QByteArray, payload);

    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    startRaw(makeImage(1, 4));
    expect("01380000c7ff17");
    ignoreWarning(QStringLiteral("^Invalid data length in enter bootloader response.$"));
    QByteArray response = QByteArray::fromHex("0100");
    response.append(static_cast<char>(payload.size())).append('\0').append(payload);
    const quint16 checksum = BootloaderUtils::calculateChecksum(response, BootloaderUtils::ChecksumTypeSum);
    response.append(static_cast<char>(checksum & 0xFF)).append(static_cast<char>(checksum >> 8)).append('\x17');
    QVERIFY(NivoraTest::writeToFd(m_fd, response));
    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), false);
    QCOMPARE(m_handler->state(), BootloaderHandler::StateEnterBootloader);

    // A sound response that comes after the failure moves nothing on.
    answer("010008007856341200010000e2fe17");
    QCOMPARE(NivoraTest::readFromFd(m_fd, 1, 300).size(), 0);
    QCOMPARE(m_handler->state(), BootloaderHandler::StateEnterBootloader);
    QCOMPARE(finishedSpy.count(), 1);
}

void TestBootloaderHandler::responseTimeout()
{
    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    startRaw(makeImage(1, 4));
    expect("01380000c7ff17");
    // A response with a bad checksum counts as none.
    ignoreWarning(QStringLiteral("^Invalid message CRC value 0 != 65535$"));
    answer("01000000000017");
    ignoreWarning(QStringLiteral("^Bootloader response timeout$"));
    QTest::qWait(BootloaderHandler::responseTimeout - 500);
    QCOMPARE(finishedSpy.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(finishedSpy.count(), 1, 2000);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), false);
    QCOMPARE(m_handler->state(), BootloaderHandler::StateEnterBootloader);
}

void TestBootloaderHandler::chunksAndProgress()
{
    // Three rows: 25 bytes (11 + 11 + 3), 11 bytes and 30 bytes.
    const QByteArray text = QByteArray("123456780000\n") + rowLine(0x22, QByteArray(25, '\x01')) + "\n"
                            + rowLine(0x23, QByteArray(11, '\x02')) + "\n" + rowLine(0x24, QByteArray(30, '\x03')) + "\n";
    QSignalSpy percentageSpy(m_handler.get(), &BootloaderHandler::percentageChanged);
    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    startEmulated(FirmwareData(text));
    QTRY_COMPARE(finishedSpy.count(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).toBool(), true);
    QCOMPARE(m_handler->state(), BootloaderHandler::StateIdle);

    QList<int> chunkSizes;
    for (const RecordedRequest &request : m_emulator->requests(RecordedRequest::ProtocolBootloader, 0x37))
        chunkSizes.append(request.payload().size());
    QCOMPARE(chunkSizes, (QList<int>{11, 11, 3, 11, 11, 11, 8}));

    const QList<double> expected = {11 * 100.0 / 66, 22 * 100.0 / 66, 25 * 100.0 / 66, 36 * 100.0 / 66,
                                    47 * 100.0 / 66, 58 * 100.0 / 66, 100.0};
    QCOMPARE(percentageSpy.count(), expected.count());
    for (int i = 0; i < expected.count(); ++i)
        QVERIFY(qFuzzyCompare(percentageSpy.at(i).at(0).toDouble(), expected.at(i)));
    QCOMPARE(m_handler->percentage(), 100.0);
    QCOMPARE(m_emulator->requests(RecordedRequest::ProtocolBootloader, 0x39).count(), 3);
    QCOMPARE(m_emulator->requests(RecordedRequest::ProtocolBootloader, 0x31).count(), 1);
    QCOMPARE(m_emulator->requests(RecordedRequest::ProtocolBootloader, 0x3B).count(), 1);
}

void TestBootloaderHandler::shorterImageDuringRunIsIgnored()
{
    startRaw(makeImage(3, 4));
    expect("01380000c7ff17");
    answer("010008007856341200010000e2fe17");
    expect("0132010000ccff17");
    answer("010004002200ff00dafe17");
    QTRY_COMPARE(m_handler->state(), BootloaderHandler::StateStreamRow);
    NivoraTest::readFromFd(m_fd, 11);

    // Replaced by an empty image while the chunk is on its way: the answer
    // has no row to belong to.
    m_handler->setFirmwareData(FirmwareData());
    answer("01000000ffff17");
    QTest::qWait(100);
    QCOMPARE(m_handler->state(), BootloaderHandler::StateStreamRow);
    QCOMPARE(NivoraTest::readFromFd(m_fd, 1, 100).size(), 0);
}

void TestBootloaderHandler::stopDuringUpload()
{
    QSignalSpy connectedSpy(m_handler.get(), &BootloaderHandler::connectedChanged);
    QSignalSpy finishedSpy(m_handler.get(), &BootloaderHandler::finished);
    startRaw(makeImage(2, 4));
    expect("01380000c7ff17");
    answer("010008007856341200010000e2fe17");
    QTRY_COMPARE(m_handler->state(), BootloaderHandler::StateGetFlahSize);

    m_handler->stop();
    QCOMPARE(m_handler->state(), BootloaderHandler::StateGetFlahSize);
    QCOMPARE(connectedSpy.count(), 2);
    QVERIFY(!m_handler->connected());
    QVERIFY(!m_handler->firmwareData().isValid());

    // Stopping ends the run: no time-out is reported for the open command.
    QTest::qWait(BootloaderHandler::responseTimeout + 300);
    QCOMPARE(finishedSpy.count(), 0);

    ignoreWarning(QStringLiteral("^The firmware file is not valid"));
    m_handler->start();
    QCOMPARE(m_handler->state(), BootloaderHandler::StateGetFlahSize);
}

QTEST_GUILESS_MAIN(TestBootloaderHandler)
#include "tst_bootloaderhandler.moc"
