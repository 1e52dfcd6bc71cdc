// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbusctl against vexbus-emulator, both as processes: images as the
// vendor's tools make them for other chips (row sizes, line ends, case, a
// metadata row in a second array, a few rows or hundreds), made by the
// project's generator, written into the emulator playing the chip and its
// flash read back; the same done as other hosts of the bootloader protocol
// do it; and sessions recorded with vexbusctl --record, played back by
// vexbus-emulator --replay into a fresh vexbusctl run.
#include "bootloaderpacket.h"
#include "testplatform.h"
#include "toolprocess.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using NivoraTest::EmulatorProcess;
using NivoraTest::ToolResult;
using NivoraTest::runTool;

namespace {

ToolResult vexbusctl(const QString &port, const QStringList &arguments)
{
    return runTool(QStringLiteral(VEXBUSCTL), QStringList{"--port", port, "--json"} + arguments, 60000);
}

// The output without what differs between two runs: the tty (by its path
// and by its name, "pts/N") and the clock.
QString comparable(QString out, const QString &port)
{
    static const QRegularExpression time(QStringLiteral("\"time\":\"[^\"]*\",?"));
    const QString name = QLatin1Char('"') + port.mid(int(qstrlen("/dev/"))) + QLatin1Char('"');
    return out.replace(port, QStringLiteral("PORT")).replace(name, QStringLiteral("\"NAME\"")).remove(time);
}

} // namespace

class TestEmulatorSessions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void updateWritesImageIntoChip_data();
    void updateWritesImageIntoChip();
    void otherHostWritesImageIntoChip_data();
    void otherHostWritesImageIntoChip();
    void replayAnswersSession_data();
    void replayAnswersSession();
    void malformedInputIsRefused_data();
    void malformedInputIsRefused();

private:
    QTemporaryDir m_dir;
};

void TestEmulatorSessions::updateWritesImageIntoChip_data()
{
    QTest::addColumn<QStringList>("generatorArguments");
    // "IMAGE" stands for the generated file.
    QTest::addColumn<QStringList>("emulatorArguments");
    QTest::addColumn<int>("rowCount");
    // Empty when the update succeeds; else what vexbusctl reports.
    QTest::addColumn<QString>("failure");

    const QStringList chipFromImage{"--chip-from", "IMAGE"};
    // The metadata row goes into row 255 of the rows' array, the chip's last.
    QTest::newRow("128-byte rows, CRLF, lower case, last line unended")
        << QStringList{"--rows", "5", "--row-size", "128", "--first-row", "16", "--silicon-id", "04C81193", "--revision", "17",
                       "--crlf", "--lower-case", "--no-final-newline"}
        << chipFromImage << 6 << QString();
    // PSoC 5LP rows: the configuration bytes count in the application checksum.
    QTest::newRow("288-byte rows, metadata in array 1")
        << QStringList{"--rows", "3", "--row-size", "288", "--silicon-id", "2E123069", "--metadata", "1:255"}
        << chipFromImage << 4 << QString();
    QTest::newRow("288-byte rows, a configuration byte off the checksum")
        << QStringList{"--rows", "3", "--row-size", "288", "--silicon-id", "2E123069", "--wrong-config-byte"}
        << chipFromImage << 4 << QStringLiteral("The application checksum does not verify");
    // The chip's arrays are larger than the image; the image starts at the first row of array 0.
    QTest::newRow("several hundred rows on a chip given by --flash")
        << QStringList{"--rows", "400", "--first-row", "64", "--metadata", "1:255", "--crlf"}
        << QStringList{"--flash", "0:64-0x3FF", "--flash", "1:0-0xFF"} << 401 << QString();
}

void TestEmulatorSessions::updateWritesImageIntoChip()
{
    QFETCH(QStringList, generatorArguments);
    QFETCH(QStringList, emulatorArguments);
    QFETCH(int, rowCount);
    QFETCH(QString, failure);

    const QString image = m_dir.filePath(QStringLiteral("%1.cyacd").arg(QTest::currentDataTag()));
    const QString saved = image + QStringLiteral(".flash");
    const ToolResult generated = runTool(QStringLiteral("sh"), QStringList{MAKE_FIRMWARE} + generatorArguments + QStringList{image});
    QVERIFY2(generated.exitCode == 0, qPrintable(generated.describe()));
    emulatorArguments.replaceInStrings(QRegularExpression(QStringLiteral("^IMAGE$")), image);

    NivoraTest::EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start(emulatorArguments + QStringList{"--save-flash", saved, "--version-after-update", "2.0.0"}));
    const ToolResult update = runTool(QStringLiteral(VEXBUSCTL), {"--port", emulator.path(), "update", image}, 120000);
    QVERIFY2(update.out.contains(QStringLiteral("(%1 rows)").arg(rowCount)), qPrintable(update.out));
    if (!failure.isEmpty()) {
        QVERIFY2(update.exitCode != 0 && (update.out + update.err).contains(failure), qPrintable(update.describe()));
        QCOMPARE(emulator.stop(), 0);
        return;
    }
    QVERIFY2(update.exitCode == 0, qPrintable(update.describe()));
    QVERIFY2(update.out.contains(QStringLiteral("ok: the controller runs firmware 2.0.0")), qPrintable(update.out));
    QCOMPARE(emulator.stop(), 0);

    // The emulator saves its flash in upper case with LF line ends, ordered
    // by array and row: the generated image in that form, row for row.
    QFile imageFile(image);
    QFile savedFile(saved);
    QVERIFY(imageFile.open(QIODevice::ReadOnly));
    QVERIFY2(savedFile.open(QIODevice::ReadOnly), qPrintable(emulator.log()));
    QByteArray expected = imageFile.readAll().toUpper().replace("\r\n", "\n");
    if (!expected.endsWith('\n'))
        expected += '\n';
    const QByteArray flash = savedFile.readAll();
    QCOMPARE(flash.count('\n'), rowCount + 1);
    QCOMPARE(flash, expected);
}

void TestEmulatorSessions::otherHostWritesImageIntoChip_data()
{
    QTest::addColumn<int>("checksumType");
    // How the emulator is told the chip; "IMAGE" stands for the image file.
    QTest::addColumn<QStringList>("chip");
    // The chip's answers in the order asked: enter (silicon 04161193,
    // revision 0x11, bootloader 1.30), flash size (rows 0x10 to 0x1F), the
    // acknowledgement of data and rows, the checksums of rows 0x10, 0x11 and
    // 0x1F (the metadata row), and the application check.
    QTest::addColumn<QByteArrayList>("answers");
    const QStringList fromImage{"--chip-from", "IMAGE"};
    QTest::newRow("sum") << 0 << fromImage
        << QByteArrayList{"01 00 08 00 93 11 16 04 11 1E 01 01 08 FF 17", "01 00 04 00 10 00 1F 00 CC FF 17", "01 00 00 00 FF FF 17",
                          "01 00 01 00 87 77 FF 17", "01 00 01 00 68 96 FF 17", "01 00 01 00 F9 05 FF 17", "01 00 01 00 01 FD FF 17"};
    const QByteArrayList crcAnswers{"01 00 08 00 93 11 16 04 11 1E 01 01 89 6B 17", "01 00 04 00 10 00 1F 00 C7 98 17", "01 00 00 00 E0 65 17",
                                    "01 00 01 00 87 6E 58 17", "01 00 01 00 68 71 A1 17", "01 00 01 00 F9 F4 A1 17", "01 00 01 00 01 8F 66 17"};
    QTest::newRow("CRC-16") << 1 << fromImage << crcAnswers;
    // The same chip by hand, as for a chip whose image is not at hand.
    QTest::newRow("CRC-16 by options") << 1
        << QStringList{"--flash", "0:0x10-0x1F", "--row-size", "128", "--silicon-id", "04161193", "--silicon-revision", "17", "--checksum-type", "1"}
        << crcAnswers;
}

// A host of the vendor's kind sends a row in 53-byte chunks and its last 22
// bytes with the program-row command, and takes the chip's packet checksum
// from the image's header.
void TestEmulatorSessions::otherHostWritesImageIntoChip()
{
    QFETCH(int, checksumType);
    QFETCH(QStringList, chip);
    QFETCH(QByteArrayList, answers);
    using NivoraVexbusUsbEmulator::BootloaderPacket;

    const QString image = m_dir.filePath(QStringLiteral("other-host-%1.cyacd").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')));
    const QString saved = image + QStringLiteral(".flash");
    const ToolResult generated = runTool(QStringLiteral("sh"), {MAKE_FIRMWARE, "--rows", "2", "--row-size", "128", "--first-row", "16",
                                                                "--metadata", "0:31", "--silicon-id", "04161193", "--revision", "17",
                                                                "--checksum-type", QString::number(checksumType), image});
    QVERIFY2(generated.exitCode == 0, qPrintable(generated.describe()));
    QFile imageFile(image);
    QVERIFY(imageFile.open(QIODevice::ReadOnly));
    const QByteArray text = imageFile.readAll();

    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start(chip.replaceInStrings(QStringLiteral("IMAGE"), image) + QStringList{"--start-in-bootloader", "--save-flash", saved}));
    const int fd = ::open(QFile::encodeName(emulator.path()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios attributes;
    QVERIFY(::tcgetattr(fd, &attributes) == 0);
    ::cfmakeraw(&attributes);
    QVERIFY(::tcsetattr(fd, TCSANOW, &attributes) == 0);

    const auto type = BootloaderPacket::ChecksumType(checksumType);
    QList<QPair<QByteArray, QByteArray>> exchanges{
        {BootloaderPacket::build(BootloaderPacket::CommandEnterBootloader, {}, type), answers.at(0)},
        {BootloaderPacket::build(BootloaderPacket::CommandGetFlashSize, QByteArray(1, '\0'), type), answers.at(1)}};
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 1; i <= 3; ++i) {
        const QByteArray row = QByteArray::fromHex(lines.at(i).mid(1));
        // Array and row number, little-endian.
        const QByteArray address = row.left(1) + row.mid(2, 1) + row.mid(1, 1);
        const QByteArray data = row.mid(5, 128);
        exchanges.append({BootloaderPacket::build(BootloaderPacket::CommandSendData, data.left(53), type), answers.at(2)});
        exchanges.append({BootloaderPacket::build(BootloaderPacket::CommandSendData, data.mid(53, 53), type), answers.at(2)});
        exchanges.append({BootloaderPacket::build(BootloaderPacket::CommandProgramRow, address + data.mid(106), type), answers.at(2)});
        exchanges.append({BootloaderPacket::build(BootloaderPacket::CommandVerifyRow, address, type), answers.at(2 + i)});
    }
    exchanges.append({BootloaderPacket::build(BootloaderPacket::CommandVerifyChecksum, {}, type), answers.at(6)});
    for (const auto &exchange : qAsConst(exchanges)) {
        QVERIFY(NivoraTest::writeToFd(fd, exchange.first));
        const QByteArray answer = QByteArray::fromHex(exchange.second);
        QCOMPARE(NivoraTest::readFromFd(fd, answer.size()).toHex(' ').toUpper(), answer.toHex(' ').toUpper());
    }
    QVERIFY(NivoraTest::writeToFd(fd, BootloaderPacket::build(BootloaderPacket::CommandExitBootloader, {}, type)));
    ::close(fd);
    QTRY_VERIFY2(emulator.log().contains(QLatin1String("application valid")), qPrintable(emulator.log()));
    QCOMPARE(emulator.stop(), 0);

    QFile savedFile(saved);
    QVERIFY2(savedFile.open(QIODevice::ReadOnly), qPrintable(emulator.log()));
    QCOMPARE(savedFile.readAll(), text);
}

void TestEmulatorSessions::replayAnswersSession_data()
{
    QTest::addColumn<QStringList>("emulatorArguments");
    QTest::addColumn<QStringList>("arguments");
    // Lines the trace must hold.
    QTest::addColumn<QStringList>("traceLines");
    // What vexbusctl runs against the replay, when not the recorded session,
    // and the replaying emulator's last words ("TRACE" stands for its path).
    QTest::addColumn<QStringList>("replayArguments");
    QTest::addColumn<QString>("replayEnd");

    const QString linkOpen = QStringLiteral("\"event\":\"open\",\"port\":\"link\"");
    // The firmware request with packet id 0, and its answer: version 1.4.12.
    const QString firmwareRequest = QStringLiteral("\"bytes\":\"c0010001c0\",\"direction\":\"out\",\"port\":\"link\"");
    const QString firmwareResponse = QStringLiteral("\"bytes\":\"c00100000104");
    const QString complete = QStringLiteral("replay of TRACE complete");
    QTest::newRow("status") << QStringList() << QStringList{"status"} << QStringList{linkOpen, firmwareRequest, firmwareResponse}
                            << QStringList() << complete;
    QTest::newRow("monitor") << QStringList{"--bus-traffic", "20", "--bus-frame", "f00d"} << QStringList{"monitor", "--count", "3"}
                             << QStringList{"\"direction\":\"in\"", "f00d"} << QStringList() << complete;
    QTest::newRow("update") << QStringList{"--version-after-update", "1.5.0"} << QStringList{"update", SAMPLE_FIRMWARE}
                            << QStringList{"\"event\":\"open\",\"port\":\"bootloader\"", "\"event\":\"close\",\"port\":\"bootloader\"",
                                           "\"direction\":\"in\",\"port\":\"bootloader\""}
                            << QStringList() << complete;
    // The write (command a0, packet id 2 after the two requests of the
    // init, length 3) is recorded with 2c as its last byte.
    QTest::newRow("different request") << QStringList() << QStringList{"write", "0a1b2c"} << QStringList()
                                       << QStringList{"--timeout", "1", "write", "0a1bff"}
                                       << "replay of TRACE: the request at line \\d+ differs at byte 6: "
                                          "expected c0a002030a1b2c9cc0, received c0a002030a1bff4fc0";
}

void TestEmulatorSessions::replayAnswersSession()
{
    QFETCH(QStringList, emulatorArguments);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, traceLines);
    QFETCH(QStringList, replayArguments);
    QFETCH(QString, replayEnd);

    const QString trace = m_dir.filePath(QStringLiteral("%1.trace").arg(QTest::currentDataTag()));
    EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start(emulatorArguments));
    const ToolResult recorded = vexbusctl(emulator.path(), QStringList{"--record", trace} + arguments);
    QVERIFY2(recorded.exitCode == 0, qPrintable(recorded.describe()));
    QCOMPARE(emulator.stop(), 0);
    QFile file(trace);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY2(text.startsWith(QLatin1String("{\"time\":0.000,\"event\":\"start\",\"format\":\"nivora-vexbususb-trace\"")), qPrintable(text.left(200)));
    for (const QString &line : traceLines)
        QVERIFY2(text.contains(line), qPrintable(line));

    EmulatorProcess replay(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(replay.start({"--replay", trace}));
    const bool same = replayArguments.isEmpty();
    const ToolResult replayed = vexbusctl(replay.path(), same ? arguments : replayArguments);
    QCOMPARE(replayed.exitCode, same ? 0 : 1);
    if (same)
        QCOMPARE(comparable(replayed.out, replay.path()), comparable(recorded.out, emulator.path()));
    const QRegularExpression end(replayEnd.replace(QStringLiteral("TRACE"), QRegularExpression::escape(trace)));
    QTRY_VERIFY2(replay.log().contains(end), qPrintable(replay.log()));
    // A mismatch ends the replay with exit code 1 of its own.
    if (!same)
        QVERIFY(NivoraTest::waitForFinished(replay.process(), 5000));
    QCOMPARE(replay.stop(), same ? 0 : 1);
}

void TestEmulatorSessions::malformedInputIsRefused_data()
{
    // "FILE" stands for a file with the given content.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");

    const QByteArray start = R"({"time":0.000,"event":"start","format":"nivora-vexbususb-trace","version":1})" "\n";
    QTest::newRow("reversed range") << QStringList{"--flash", "0:0x40-0x20"} << QByteArray()
                                    << "--flash: '0:0x40-0x20' is not ARRAY:FIRST-LAST";
    QTest::newRow("checksum type of no bootloader") << QStringList{"--checksum-type", "2"} << QByteArray()
                                                    << "--checksum-type: '2' is not 0 (the sum) or 1 (CRC-16)";
    QTest::newRow("image of checksum type 2") << QStringList{"--chip-from", "FILE"} << QByteArray("123456780002\n:000022000401020304D0\n")
                                              << "--chip-from: FILE names checksum type 2, which no bootloader uses";
    QTest::newRow("image with a bad row") << QStringList{"--chip-from", "FILE"}
                                          << QByteArray("123456780000\n:000022000401020304D0\n:000023000401020304D0\n")
                                          << "FILE, line 3: the row's checksum does not match its bytes";
    const QByteArray psoc5Row = ":0000220120" + QByteArray(576, '0') + "BD\n";
    QTest::newRow("image with EEPROM rows") << QStringList{"--chip-from", "FILE"}
                                            << QByteArray("2E1230690000\n" + psoc5Row + ":40000000100102030405060708090A0B0C0D0E0F1028\n")
                                            << "FILE is built for a chip the emulator cannot model exactly: EEPROM rows (array 0x40)";
    QTest::newRow("288-byte rows ending before row 255") << QStringList{"--chip-from", "FILE"}
                                                         << QByteArray("2E1230690000\n" + psoc5Row)
                                                         << "FILE is built for a chip the emulator cannot model exactly: rows of 288 bytes in arrays of other than 256 rows";
    // Row 0x22 after a bootloader ending at row 0x21, as the metadata of
    // row 255 says in PSoC 3's byte order.
    const auto rowLine = [](quint16 rowNumber, const QByteArray &data) {
        QByteArray bytes = QByteArray::fromHex("00") + char(rowNumber >> 8) + char(rowNumber & 0xFF) + char(data.size() >> 8)
                + char(data.size() & 0xFF) + data;
        quint8 sum = 0;
        for (char byte : bytes)
            sum = quint8(sum + quint8(byte));
        return ':' + (bytes + char(0x100 - sum)).toHex().toUpper() + '\n';
    };
    QByteArray bigEndianMetadata(288, '\0');
    bigEndianMetadata.replace(192, 13, QByteArray::fromHex("23000022000021000000000100"));
    QTest::newRow("PSoC 3 metadata") << QStringList{"--chip-from", "FILE"}
                                     << "1E0A40690000\n" + rowLine(0x22, QByteArray(288, '\x11')) + rowLine(0xFF, bigEndianMetadata)
                                     << "FILE is built for a chip the emulator cannot model exactly: metadata in big-endian order, as PSoC 3 keeps it";
    QTest::newRow("trace with odd hex") << QStringList{"--replay", "FILE"}
                                        << start + R"({"time":1.5,"bytes":"c001c","direction":"out","port":"link"})"
                                        << "--replay: FILE, line 2: the bytes are not hex digits, two a byte";
    QTest::newRow("trace with unknown direction")
        << QStringList{"--replay", "FILE"} << start + R"({"time":1.5,"bytes":"c0","direction":"up","port":"link"})"
        << "--replay: FILE, line 2: neither an event (start, open, close) nor bytes in a direction (out, in)";
}

void TestEmulatorSessions::malformedInputIsRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, content);
    QFETCH(QString, message);

    const QString path = m_dir.filePath(QStringLiteral("input"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    const ToolResult result = runTool(QStringLiteral(VEXBUS_EMULATOR), arguments.replaceInStrings(QStringLiteral("FILE"), path));
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(message.replace(QStringLiteral("FILE"), path)), qPrintable(result.describe()));
}

QTEST_GUILESS_MAIN(TestEmulatorSessions)
#include "tst_emulatorsessions.moc"
