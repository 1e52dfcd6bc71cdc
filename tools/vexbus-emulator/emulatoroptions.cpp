// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "emulatoroptions.h"
#include "commandnames.h"

#include <flashimage.h>

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>

using NivoraVexbusUsbEmulator::VexbusEmulator;

// Beyond this the generator would only fill the line.
static constexpr double kMaximumBusTrafficRate = 10000;
// Longer reboot, start or response times would only stall the client.
static constexpr quint32 kMaximumTimeMs = 600000;
// The rates an RS485 transceiver on the adapter's UART can run at.
static constexpr quint32 kMinimumBaudRate = 300;
static constexpr quint32 kMaximumBaudRate = 3000000;
// The FTDI chip's latency timer is one byte of milliseconds.
static constexpr quint32 kMaximumLatencyTimerMs = 255;
// Packet checksums of the bootloader: 0 the sum, 1 CRC-16.
static constexpr quint32 kMaximumChecksumType = 1;

static bool parseVersion(const QString &text, QVersionNumber *version)
{
    // The controller reports three bytes.
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return false;
    QVector<int> segments;
    for (const QString &part : parts) {
        bool ok = false;
        const uint segment = part.toUInt(&ok);
        if (!ok || segment > 0xFF)
            return false;
        segments.append(int(segment));
    }
    *version = QVersionNumber(segments);
    return true;
}

bool EmulatorOptions::fail(const QString &message)
{
    m_errorString = message;
    return false;
}

bool EmulatorOptions::parseFlashRange(const QString &text)
{
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("^([^:-]+):([^:-]+)-([^:-]+)$")).match(text);
    quint32 arrayId = 0;
    quint32 firstRow = 0;
    quint32 lastRow = 0;
    if (!match.hasMatch() || !CommandNames::parseNumber(match.captured(1), 0xFF, &arrayId)
            || !CommandNames::parseNumber(match.captured(2), 0xFFFF, &firstRow)
            || !CommandNames::parseNumber(match.captured(3), 0xFFFF, &lastRow) || firstRow > lastRow)
        return fail(QStringLiteral("--flash: '%1' is not ARRAY:FIRST-LAST with FIRST <= LAST (e.g. 0:0x22-0xFF)").arg(text));
    for (const FlashRange &range : qAsConst(m_flashRanges)) {
        if (range.arrayId == arrayId)
            return fail(QStringLiteral("--flash: array %1 is given more than once").arg(arrayId));
    }
    m_flashRanges.append(FlashRange{quint8(arrayId), quint16(firstRow), quint16(lastRow)});
    return true;
}

// The chip an image was built for: its identity, and for each of its arrays
// the rows from the image's first to its last, so that the image fits exactly.
bool EmulatorOptions::readChip(const QString &fileName, bool siliconIdGiven, bool revisionGiven, bool checksumTypeGiven)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("--chip-from: cannot read %1: %2").arg(fileName, file.errorString()));
    NivoraVexbusUsbEmulator::FlashImage image;
    if (!image.parse(file.readAll()))
        return fail(QStringLiteral("--chip-from: %1, %2").arg(fileName, image.errorString()));
    // A guessed chip would refuse what the real one takes, or take what it refuses.
    const QString unmodelled = image.unmodelledChip();
    if (!unmodelled.isEmpty())
        return fail(QStringLiteral("--chip-from: %1 is built for a chip the emulator cannot model exactly: %2").arg(fileName, unmodelled));
    if (!siliconIdGiven)
        m_siliconId = image.siliconId;
    if (!revisionGiven)
        m_siliconRevision = image.siliconRevision;
    if (!checksumTypeGiven) {
        // The bootloader is built with one of the two; an image naming
        // another was not made for a chip of this protocol.
        if (image.checksumType > kMaximumChecksumType)
            return fail(QStringLiteral("--chip-from: %1 names checksum type %2, which no bootloader uses (0 the sum, 1 CRC-16); "
                                       "--checksum-type chooses one").arg(fileName).arg(image.checksumType));
        checksumType = image.checksumType;
    }
    if (m_rowSize == 0)
        m_rowSize = image.rows.constFirst().data.size();
    if (m_flashRanges.isEmpty()) {
        const auto ranges = image.rowRanges();
        for (auto it = ranges.begin(); it != ranges.end(); ++it)
            m_flashRanges.append(FlashRange{it.key(), it.value().first, it.value().second});
    }
    return true;
}

// Rows with configuration bytes are those of PSoC 3 and PSoC 5LP, whose
// arrays hold 256 rows and whose metadata row is row 255 of the last.
bool EmulatorOptions::checkConfigRows()
{
    using NivoraVexbusUsbEmulator::FlashImage;
    if (m_rowSize != FlashImage::ConfigRowSize || m_flashRanges.isEmpty())
        return true;
    const FlashRange *highest = &m_flashRanges.constFirst();
    for (const FlashRange &range : qAsConst(m_flashRanges)) {
        if (range.lastRow >= FlashImage::ConfigRowsPerArray)
            return fail(QStringLiteral("--flash: rows of 288 bytes (256 data, 32 configuration bytes) are those of PSoC 3 and PSoC 5LP, "
                                       "whose arrays end at row 255"));
        if (range.arrayId > highest->arrayId)
            highest = &range;
    }
    if (highest->lastRow != FlashImage::ConfigRowsPerArray - 1)
        return fail(QStringLiteral("--flash: rows of 288 bytes (256 data, 32 configuration bytes) are those of PSoC 3 and PSoC 5LP, "
                                   "which keep the metadata in row 255 of the highest array"));
    return true;
}

bool EmulatorOptions::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Emulates a Nivora Vexbus USB adapter, its controller and its bootloader, at the far end of a\n"
            "pseudo-terminal. The first line on stdout is the path of the tty to open as the adapter's\n"
            "serial port. Ends with exit code 0 on SIGINT, SIGTERM or SIGHUP; exit code 2 means a\n"
            "malformed command line, exit code 1 a request that differs from the trace of --replay.\n"
            "N, ROW, CODE and COMMAND numbers are decimal or hex with 0x;\n"
            "a COMMAND may also be named, e.g. GetFirmware, StartBootloader, ProgramRow, ExitBootloader.\n"
            "MODE is controller or bootloader."));
    parser.addHelpOption();
    parser.addVersionOption();

    const QCommandLineOption linkOption(QStringLiteral("link"),
            QStringLiteral("Also make PATH a symbolic link to the tty, removed on exit. An existing symbolic link is replaced, any other file is not."),
            QStringLiteral("PATH"));
    const QCommandLineOption firmwareOption(QStringLiteral("firmware-version"),
            QStringLiteral("Firmware version the controller reports (default 1.4.12)."), QStringLiteral("X.Y.Z"));
    const QCommandLineOption afterUpdateOption(QStringLiteral("version-after-update"),
            QStringLiteral("Version reported after a bootloader session that left a valid application (default: the version stays)."),
            QStringLiteral("X.Y.Z"));
    const QCommandLineOption ledModeOption(QStringLiteral("led-mode"),
            QStringLiteral("LED mode byte of the controller status (default 1)."), QStringLiteral("N"));
    const QCommandLineOption statusFlagsOption(QStringLiteral("status-flags"),
            QStringLiteral("Bus status flags of the controller status, or-ed: 1 synchronized, 2 initialized, 4 available (default 7)."),
            QStringLiteral("N"));
    const QCommandLineOption busTypeOption(QStringLiteral("bus-type"),
            QStringLiteral("Bus type byte of the controller status (default 1)."), QStringLiteral("N"));
    const QCommandLineOption siliconIdOption(QStringLiteral("silicon-id"),
            QStringLiteral("Silicon ID the bootloader reports, in hex (default 12345678)."), QStringLiteral("HEX"));
    const QCommandLineOption siliconRevisionOption(QStringLiteral("silicon-revision"),
            QStringLiteral("Silicon revision the bootloader reports (default 0)."), QStringLiteral("N"));
    const QCommandLineOption flashOption(QStringLiteral("flash"),
            QStringLiteral("A flash array and its row range; repeatable, one for each array. The last row of the highest array holds the application's metadata (default 0:0x22-0xFF)."),
            QStringLiteral("ARRAY:FIRST-LAST"));
    const QCommandLineOption rowSizeOption(QStringLiteral("row-size"),
            QStringLiteral("Bytes of a flash row; the bootloader programs rows of exactly this size (default 64)."), QStringLiteral("N"));
    const QCommandLineOption bootloaderVersionOption(QStringLiteral("bootloader-version"),
            QStringLiteral("Version the bootloader reports when entered (default 1.30)."), QStringLiteral("MAJOR.MINOR"));
    const QCommandLineOption checksumTypeOption(QStringLiteral("checksum-type"),
            QStringLiteral("Packet checksum of the bootloader, in both directions: 0 the sum, 1 CRC-16 (default 0)."), QStringLiteral("N"));
    const QCommandLineOption chipFromOption(QStringLiteral("chip-from"),
            QStringLiteral("Be the chip that IMAGE is built for: its silicon ID and revision, its packet checksum (the header's checksum type: 0 sum, 1 CRC-16), its row size, and its arrays with the rows from the image's first to its last (--flash, --row-size, --silicon-id, --silicon-revision and --checksum-type take precedence)."),
            QStringLiteral("IMAGE"));
    const QCommandLineOption fastValidationOption(QStringLiteral("fast-validation"),
            QStringLiteral("The bootloader is built with fast application validation: it marks an application it found valid as verified in the metadata and takes it as valid from then on without summing it; the first row it programs or erases after a boot clears the metadata row."));
    const QCommandLineOption saveFlashOption(QStringLiteral("save-flash"),
            QStringLiteral("On exit, save the programmed flash rows as an image file, upper-case hex with LF line ends."),
            QStringLiteral("FILE"));
    const QCommandLineOption replayOption(QStringLiteral("replay"),
            QStringLiteral("Answer as the adapter in TRACE did, a trace recorded by the library (vexbusctl --record): each request received must be the next one recorded, and the recorded responses and notifications follow with their recorded timing. A different request is reported with both byte strings and its position and ends the program with exit code 1. The options of the emulated device have no effect."),
            QStringLiteral("TRACE"));
    const QCommandLineOption busTrafficOption(QStringLiteral("bus-traffic"),
            QStringLiteral("Bus-data notifications per second, sent in controller mode while a client holds the tty open (default 0: none)."),
            QStringLiteral("RATE"));
    const QCommandLineOption busFrameOption(QStringLiteral("bus-frame"),
            QStringLiteral("Bus frame the notifications carry, in hex (default: a two-byte running number, from 0 whenever a client opens the tty)."),
            QStringLiteral("HEX"));
    const QCommandLineOption linePacingOption(QStringLiteral("line-pacing"),
            QStringLiteral("Model the serial line in both directions: a request is acted on when its last byte would have arrived, and what the device sends leaves at the line's rate (10 bits a byte at the baud rate)."));
    const QCommandLineOption baudOption(QStringLiteral("baud"),
            QStringLiteral("Line rate of --line-pacing, in bits per second (default 115200)."), QStringLiteral("N"));
    const QCommandLineOption latencyTimerOption(QStringLiteral("latency-timer"),
            QStringLiteral("Model the FTDI chip's receive path: bytes for the host are held until 62 have gathered or MS ms have passed since the first held byte (default: off)."),
            QStringLiteral("MS"));
    const QCommandLineOption resetTimeOption(QStringLiteral("reset-time"),
            QStringLiteral("Reboot time of a soft reset and of leaving the bootloader, in ms (default 500)."), QStringLiteral("MS"));
    const QCommandLineOption bootloaderStartOption(QStringLiteral("bootloader-start-time"),
            QStringLiteral("Time from the start-bootloader answer to bootloader mode, in ms (default 200)."), QStringLiteral("MS"));
    const QCommandLineOption noReadyOption(QStringLiteral("no-ready-notification"),
            QStringLiteral("Send no controller-ready notification when booting into controller mode."));
    const QCommandLineOption startInBootloaderOption(QStringLiteral("start-in-bootloader"),
            QStringLiteral("Start in bootloader mode, as a device whose update was interrupted."));
    const QCommandLineOption silentOption(QStringLiteral("silent"),
            QStringLiteral("Fault: answer nothing and send no notification."));
    const QCommandLineOption dropOption(QStringLiteral("drop-responses"),
            QStringLiteral("Fault: leave the first N responses unsent (their requests still take effect)."), QStringLiteral("N"));
    const QCommandLineOption corruptOption(QStringLiteral("corrupt-first-response"),
            QStringLiteral("Fault: send the first response with a wrong checksum."));
    const QCommandLineOption delayOption(QStringLiteral("response-delay"),
            QStringLiteral("Fault: send every response MS milliseconds late."), QStringLiteral("MS"));
    const QCommandLineOption commandErrorOption(QStringLiteral("command-error"),
            QStringLiteral("Fault: answer COMMAND in MODE with the adapter error (controller) or bootloader status CODE instead of executing it. Repeatable."),
            QStringLiteral("MODE:COMMAND=CODE"));
    const QCommandLineOption stayOption(QStringLiteral("stay-in-bootloader"),
            QStringLiteral("Fault: reboot into the bootloader again when the host exits it."));
    const QCommandLineOption wrongRowOption(QStringLiteral("wrong-verify-row"),
            QStringLiteral("Fault: verify-row reports a wrong checksum for flash row ROW of array 0, so the application does not verify. Repeatable."),
            QStringLiteral("ROW"));
    const QCommandLineOption invalidApplicationOption(QStringLiteral("invalid-application"),
            QStringLiteral("Fault: verify-application answers 0, the application is invalid, whatever the flash holds."));
    const QCommandLineOption vanishOption(QStringLiteral("vanish-on"),
            QStringLiteral("Fault: on the N-th receipt (default the first) of COMMAND in MODE, execute it but vanish instead of answering: the tty is closed and the link removed. The program then runs on until it is stopped."),
            QStringLiteral("MODE:COMMAND[:N]"));
    const QCommandLineOption logOption(QStringLiteral("log"),
            QStringLiteral("Log on stderr every request received, the boots and the tty opening and closing, with milliseconds since start."));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
            QStringLiteral("Print only the tty path, and errors; overrides --log."));

    parser.addOptions({linkOption, firmwareOption, afterUpdateOption, ledModeOption, statusFlagsOption, busTypeOption,
                       siliconIdOption, siliconRevisionOption, flashOption, rowSizeOption, bootloaderVersionOption, fastValidationOption,
                       checksumTypeOption, chipFromOption, saveFlashOption,
                       replayOption, busTrafficOption, busFrameOption, linePacingOption,
                       baudOption, latencyTimerOption, resetTimeOption, bootloaderStartOption, noReadyOption, startInBootloaderOption, silentOption,
                       dropOption, corruptOption, delayOption, commandErrorOption, stayOption, wrongRowOption,
                       invalidApplicationOption, vanishOption, logOption, quietOption});

    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst()));

    // A single-valued option given twice is more likely a mistake than a wish for the last one.
    for (const QCommandLineOption &option : {linkOption, firmwareOption, afterUpdateOption, ledModeOption,
                                             statusFlagsOption, busTypeOption, siliconIdOption, siliconRevisionOption,
                                             rowSizeOption, bootloaderVersionOption, checksumTypeOption, chipFromOption, saveFlashOption, replayOption,
                                             busTrafficOption, busFrameOption, baudOption, latencyTimerOption, resetTimeOption,
                                             bootloaderStartOption, dropOption, delayOption, vanishOption}) {
        if (parser.values(option).size() > 1)
            return fail(QStringLiteral("--%1 is given more than once").arg(option.names().constFirst()));
    }

    linkPath = parser.value(linkOption);
    if (parser.isSet(linkOption) && linkPath.isEmpty())
        return fail(QStringLiteral("--link needs a path"));

    if (parser.isSet(firmwareOption) && !parseVersion(parser.value(firmwareOption), &m_firmwareVersion))
        return fail(QStringLiteral("--firmware-version: '%1' is not a version X.Y.Z with numbers up to 255").arg(parser.value(firmwareOption)));
    if (parser.isSet(afterUpdateOption) && !parseVersion(parser.value(afterUpdateOption), &m_versionAfterUpdate))
        return fail(QStringLiteral("--version-after-update: '%1' is not a version X.Y.Z with numbers up to 255").arg(parser.value(afterUpdateOption)));

    // Unsigned numbers of the options that take one, with their limits.
    const auto number = [&](const QCommandLineOption &option, quint32 maximum, quint32 *value) {
        if (CommandNames::parseNumber(parser.value(option), maximum, value))
            return true;
        return fail(QStringLiteral("--%1: '%2' is not a number from 0 to %3")
                    .arg(option.names().constFirst(), parser.value(option)).arg(maximum));
    };
    quint32 value = 0;
    if (parser.isSet(ledModeOption)) {
        if (!number(ledModeOption, 0xFF, &value))
            return false;
        m_ledMode = int(value);
    }
    if (parser.isSet(statusFlagsOption)) {
        if (!number(statusFlagsOption, 0xFF, &value))
            return false;
        m_statusFlags = int(value);
    }
    if (parser.isSet(busTypeOption)) {
        if (!number(busTypeOption, 0xFF, &value))
            return false;
        m_busType = int(value);
    }
    if (parser.isSet(siliconIdOption)) {
        QString text = parser.value(siliconIdOption);
        if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            text = text.mid(2);
        bool ok = text.size() >= 1 && text.size() <= 8 && QRegularExpression(QStringLiteral("^[0-9A-Fa-f]+$")).match(text).hasMatch();
        if (ok)
            m_siliconId = text.toUInt(&ok, 16);
        if (!ok)
            return fail(QStringLiteral("--silicon-id: '%1' is not up to 8 hex digits").arg(parser.value(siliconIdOption)));
    }
    if (parser.isSet(siliconRevisionOption)) {
        if (!number(siliconRevisionOption, 0xFF, &value))
            return false;
        m_siliconRevision = quint8(value);
    }
    for (const QString &text : parser.values(flashOption)) {
        if (!parseFlashRange(text))
            return false;
    }
    if (parser.isSet(rowSizeOption)) {
        // The bootloader's packet buffer holds 300 bytes; a larger row would not fit.
        if (!CommandNames::parseNumber(parser.value(rowSizeOption), 300, &value) || value == 0)
            return fail(QStringLiteral("--row-size: '%1' is not a number from 1 to 300").arg(parser.value(rowSizeOption)));
        m_rowSize = int(value);
    }
    if (parser.isSet(bootloaderVersionOption)) {
        const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("^(\\d+)\\.(\\d+)$")).match(parser.value(bootloaderVersionOption));
        const uint major = match.captured(1).toUInt();
        const uint minor = match.captured(2).toUInt();
        if (!match.hasMatch() || major > 0xFF || minor > 0xFF)
            return fail(QStringLiteral("--bootloader-version: '%1' is not a version MAJOR.MINOR with numbers up to 255")
                        .arg(parser.value(bootloaderVersionOption)));
        m_bootloaderMajor = quint8(major);
        m_bootloaderMinor = quint8(minor);
    }
    if (parser.isSet(checksumTypeOption)) {
        if (!CommandNames::parseNumber(parser.value(checksumTypeOption), kMaximumChecksumType, &value))
            return fail(QStringLiteral("--checksum-type: '%1' is not 0 (the sum) or 1 (CRC-16)").arg(parser.value(checksumTypeOption)));
        checksumType = quint8(value);
    }
    if (parser.isSet(chipFromOption)
            && !readChip(parser.value(chipFromOption), parser.isSet(siliconIdOption), parser.isSet(siliconRevisionOption),
                         parser.isSet(checksumTypeOption)))
        return false;
    if (!checkConfigRows())
        return false;
    m_fastValidation = parser.isSet(fastValidationOption);
    saveFlashPath = parser.value(saveFlashOption);
    if (parser.isSet(saveFlashOption) && saveFlashPath.isEmpty())
        return fail(QStringLiteral("--save-flash needs a path"));
    replayPath = parser.value(replayOption);
    if (parser.isSet(replayOption) && replayPath.isEmpty())
        return fail(QStringLiteral("--replay needs a trace file"));
    if (parser.isSet(busTrafficOption)) {
        bool ok = false;
        busTrafficRate = parser.value(busTrafficOption).toDouble(&ok);
        if (!ok || !std::isfinite(busTrafficRate) || busTrafficRate < 0 || busTrafficRate > kMaximumBusTrafficRate)
            return fail(QStringLiteral("--bus-traffic: '%1' is not a rate from 0 to %2 per second")
                        .arg(parser.value(busTrafficOption)).arg(kMaximumBusTrafficRate));
    }
    if (parser.isSet(busFrameOption)) {
        const QString text = parser.value(busFrameOption);
        if (text.isEmpty() || text.size() % 2 != 0 || !QRegularExpression(QStringLiteral("^[0-9A-Fa-f]+$")).match(text).hasMatch())
            return fail(QStringLiteral("--bus-frame: '%1' is not a frame in hex digits, two a byte").arg(text));
        busFrame = QByteArray::fromHex(text.toLatin1());
    }
    m_linePacing = parser.isSet(linePacingOption);
    if (parser.isSet(baudOption)) {
        if (!number(baudOption, kMaximumBaudRate, &value) || value < kMinimumBaudRate)
            return fail(QStringLiteral("--baud: '%1' is not a rate from %2 to %3 bits per second")
                        .arg(parser.value(baudOption)).arg(kMinimumBaudRate).arg(kMaximumBaudRate));
        m_baudRate = int(value);
    }
    if (parser.isSet(latencyTimerOption)) {
        if (!number(latencyTimerOption, kMaximumLatencyTimerMs, &value))
            return false;
        m_latencyTimer = int(value);
    }
    if (parser.isSet(resetTimeOption)) {
        if (!number(resetTimeOption, kMaximumTimeMs, &value))
            return false;
        m_resetTime = int(value);
    }
    if (parser.isSet(bootloaderStartOption)) {
        if (!number(bootloaderStartOption, kMaximumTimeMs, &value))
            return false;
        m_bootloaderStartTime = int(value);
    }
    m_noReady = parser.isSet(noReadyOption);
    m_startInBootloader = parser.isSet(startInBootloaderOption);

    m_silent = parser.isSet(silentOption);
    if (parser.isSet(dropOption)) {
        if (!number(dropOption, 1000000, &value))
            return false;
        m_dropResponses = int(value);
    }
    m_corruptFirstResponse = parser.isSet(corruptOption);
    if (parser.isSet(delayOption)) {
        if (!number(delayOption, kMaximumTimeMs, &value))
            return false;
        m_responseDelay = int(value);
    }
    for (const QString &text : parser.values(commandErrorOption)) {
        const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("^([^:=]+):([^:=]+)=([^:=]+)$")).match(text);
        CommandError error{VexbusEmulator::ModeController, 0, 0};
        quint32 code = 0;
        if (!match.hasMatch() || !CommandNames::parseMode(match.captured(1), &error.mode)
                || !CommandNames::parse(error.mode, match.captured(2), &error.command)
                || !CommandNames::parseNumber(match.captured(3), 0xFF, &code))
            return fail(QStringLiteral("--command-error: '%1' is not MODE:COMMAND=CODE (e.g. controller:GetFirmware=6, bootloader:0x39=0x0A)").arg(text));
        error.code = quint8(code);
        m_commandErrors.append(error);
    }
    m_stayInBootloader = parser.isSet(stayOption);
    m_invalidApplication = parser.isSet(invalidApplicationOption);
    for (const QString &text : parser.values(wrongRowOption)) {
        if (!CommandNames::parseNumber(text, 0xFFFF, &value))
            return fail(QStringLiteral("--wrong-verify-row: '%1' is not a row number from 0 to 65535").arg(text));
        m_wrongVerifyRows.append(quint16(value));
    }
    if (parser.isSet(vanishOption)) {
        const QString text = parser.value(vanishOption);
        const QStringList parts = text.split(QLatin1Char(':'));
        bool ok = parts.size() == 2 || parts.size() == 3;
        ok = ok && CommandNames::parseMode(parts.at(0), &m_vanishMode)
                && CommandNames::parse(m_vanishMode, parts.at(1), &m_vanishCommand);
        if (ok && parts.size() == 3)
            ok = CommandNames::parseNumber(parts.at(2), 1000000, &value) && value >= 1;
        if (!ok)
            return fail(QStringLiteral("--vanish-on: '%1' is not MODE:COMMAND[:N] with N from 1 (e.g. bootloader:ProgramRow:5)").arg(text));
        m_vanish = true;
        m_vanishOccurrence = parts.size() == 3 ? int(value) : 1;
    }

    quiet = parser.isSet(quietOption);
    log = parser.isSet(logOption) && !quiet;
    return true;
}

void EmulatorOptions::apply(VexbusEmulator *emulator) const
{
    emulator->setFirmwareVersion(m_firmwareVersion);
    emulator->setFirmwareVersionAfterUpdate(m_versionAfterUpdate);
    // Before any client: nothing to notify.
    if (m_ledMode >= 0)
        emulator->setLedMode(quint8(m_ledMode), false);
    if (m_statusFlags >= 0)
        emulator->setStatusFlags(quint8(m_statusFlags), false);
    if (m_busType >= 0)
        emulator->setBusType(quint8(m_busType), false);
    emulator->bootloader().setSiliconId(m_siliconId);
    emulator->bootloader().setSiliconRevision(m_siliconRevision);
    emulator->bootloader().setBootloaderVersion(m_bootloaderMajor, m_bootloaderMinor);
    emulator->bootloader().setChecksumType(checksumType);
    if (m_rowSize > 0)
        emulator->bootloader().flash().setRowSize(m_rowSize);
    if (m_rowSize == NivoraVexbusUsbEmulator::FlashImage::ConfigRowSize) {
        emulator->bootloader().flash().setConfigSize(NivoraVexbusUsbEmulator::FlashImage::ConfigRowConfigSize);
        emulator->bootloader().flash().setRowsPerArray(NivoraVexbusUsbEmulator::FlashImage::ConfigRowsPerArray);
    }
    if (!m_flashRanges.isEmpty()) {
        NivoraVexbusUsbEmulator::SimulatedFlash &flash = emulator->bootloader().flash();
        for (quint8 arrayId : flash.arrays())
            flash.removeArray(arrayId);
        for (const FlashRange &range : m_flashRanges)
            flash.setRowRange(range.arrayId, range.firstRow, range.lastRow);
    }
    emulator->setLinePacing(m_linePacing);
    emulator->setBaudRate(m_baudRate);
    emulator->setLatencyTimer(m_latencyTimer);
    if (m_resetTime >= 0)
        emulator->setResetTime(m_resetTime);
    if (m_bootloaderStartTime >= 0)
        emulator->setBootloaderStartTime(m_bootloaderStartTime);
    emulator->setReadyOnBoot(!m_noReady);
    if (m_startInBootloader)
        emulator->setMode(VexbusEmulator::ModeBootloader);

    emulator->setSilent(m_silent);
    emulator->dropResponses(m_dropResponses);
    if (m_corruptFirstResponse)
        emulator->corruptNextResponse();
    emulator->setResponseDelay(m_responseDelay);
    for (const CommandError &error : m_commandErrors)
        emulator->setCommandError(error.mode, error.command, error.code);
    emulator->setStayInBootloaderAfterExit(m_stayInBootloader);
    for (quint16 row : m_wrongVerifyRows)
        emulator->bootloader().addWrongVerifyRow(row);
    emulator->bootloader().setApplicationInvalid(m_invalidApplication);
    emulator->bootloader().setFastValidation(m_fastValidation);
    if (m_vanish)
        emulator->vanishOnCommand(m_vanishMode, m_vanishCommand, m_vanishOccurrence);
}

static QString hexByte(quint32 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

static QString commandText(EmulatorOptions::Mode mode, quint8 command)
{
    const QString name = CommandNames::name(mode, command);
    return QStringLiteral("%1:%2").arg(CommandNames::modeName(mode), name.isEmpty() ? hexByte(command) : name);
}

QString EmulatorOptions::summary() const
{
    if (!replayPath.isEmpty())
        return QStringLiteral("replaying %1").arg(replayPath);
    QStringList parts;
    parts << QStringLiteral("%1 mode").arg(CommandNames::modeName(m_startInBootloader ? VexbusEmulator::ModeBootloader
                                                                                         : VexbusEmulator::ModeController));
    QString firmware = QStringLiteral("firmware %1").arg(m_firmwareVersion.toString());
    if (!m_versionAfterUpdate.isNull())
        firmware += QStringLiteral(" (%1 after an update)").arg(m_versionAfterUpdate.toString());
    parts << firmware;
    parts << QStringLiteral("silicon %1 rev %2").arg(m_siliconId, 8, 16, QLatin1Char('0')).arg(m_siliconRevision);
    parts << QStringLiteral("bootloader %1.%2%3").arg(m_bootloaderMajor).arg(m_bootloaderMinor)
                     .arg(checksumType == 1 ? QStringLiteral(" with CRC-16 packets") : QString());
    if (!m_flashRanges.isEmpty()) {
        QStringList arrays;
        for (const FlashRange &range : m_flashRanges)
            arrays << QStringLiteral("%1:%2-%3").arg(range.arrayId).arg(hexByte(range.firstRow), hexByte(range.lastRow));
        parts << QStringLiteral("flash %1").arg(arrays.join(QStringLiteral(", ")));
    }
    if (busTrafficRate > 0)
        parts << QStringLiteral("bus traffic %1/s").arg(busTrafficRate);
    if (m_linePacing)
        parts << QStringLiteral("paced at %1 baud").arg(m_baudRate);
    if (m_latencyTimer > 0)
        parts << QStringLiteral("latency timer %1 ms").arg(m_latencyTimer);
    if (m_rowSize > 0)
        parts << QStringLiteral("rows of %1 bytes").arg(m_rowSize);
    if (m_fastValidation)
        parts << QStringLiteral("fast application validation");

    QStringList faults;
    if (m_silent)
        faults << QStringLiteral("silent");
    if (m_dropResponses > 0)
        faults << QStringLiteral("drops %1 responses").arg(m_dropResponses);
    if (m_corruptFirstResponse)
        faults << QStringLiteral("corrupts the first response");
    if (m_responseDelay > 0)
        faults << QStringLiteral("responses %1 ms late").arg(m_responseDelay);
    for (const CommandError &error : m_commandErrors)
        faults << QStringLiteral("%1 fails with %2").arg(commandText(error.mode, error.command), hexByte(error.code));
    if (m_stayInBootloader)
        faults << QStringLiteral("stays in the bootloader");
    for (quint16 row : m_wrongVerifyRows)
        faults << QStringLiteral("row %1 verifies wrong").arg(hexByte(row));
    if (m_invalidApplication)
        faults << QStringLiteral("application invalid");
    if (m_vanish)
        faults << QStringLiteral("vanishes on %1 #%2").arg(commandText(m_vanishMode, m_vanishCommand)).arg(m_vanishOccurrence);
    if (!faults.isEmpty())
        parts << QStringLiteral("faults: %1").arg(faults.join(QStringLiteral(", ")));
    return parts.join(QStringLiteral("; "));
}
