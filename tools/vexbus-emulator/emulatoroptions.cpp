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
// The bootloader's packet buffer holds 300 bytes; a larger row would not fit.
static constexpr quint32 kMaximumRowSize = 300;
// Summary places from here on are faults.
static constexpr int kFirstFaultPlace = 100;

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
bool EmulatorOptions::readChip(const QString &fileName)
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
    if (!m_given.contains(QStringLiteral("silicon-id")))
        m_siliconId = image.siliconId;
    if (!m_given.contains(QStringLiteral("silicon-revision")))
        m_siliconRevision = image.siliconRevision;
    if (!m_given.contains(QStringLiteral("checksum-type"))) {
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

static QString hexByte(quint32 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

static QString commandText(EmulatorOptions::Mode mode, quint8 command)
{
    const QString name = CommandNames::name(mode, command);
    return QStringLiteral("%1:%2").arg(CommandNames::modeName(mode), name.isEmpty() ? hexByte(command) : name);
}

// A byte of the controller status, when given (not negative). Before any
// client: nothing to notify.
static void setStatusByte(VexbusEmulator *emulator, void (VexbusEmulator::*setter)(quint8, bool), int value)
{
    if (value >= 0)
        (emulator->*setter)(quint8(value), false);
}

// A time in ms, when given (not negative); else the emulator's default.
static void setTime(VexbusEmulator *emulator, void (VexbusEmulator::*setter)(int), int ms)
{
    if (ms >= 0)
        (emulator->*setter)(ms);
}

static bool isHexText(const QString &text)
{
    return QRegularExpression(QStringLiteral("^[0-9A-Fa-f]+$")).match(text).hasMatch();
}

// Every option, in the order of --help. A value option is given at most
// once unless it is repeatable; set() runs once for every value (a flag's
// value is empty), after a number option's value was checked against the
// limit. apply() configures the device from what the options hold, whether
// they came from their own option or from --chip-from; describe() gives the
// option's part of the summary, at its place there (device parts first,
// faults after 100; 0: none).
const QVector<EmulatorOptions::Row> &EmulatorOptions::rows()
{
    using Options = EmulatorOptions;
    using Emulator = VexbusEmulator;
    static const QVector<Row> table{
        {"link", "PATH", "Also make PATH a symbolic link to the tty, removed on exit. An existing symbolic link is replaced, any other file is not.",
         Kind::Text, 0, [](Options &o, const QString &text, quint32) {
             o.linkPath = text;
             return !text.isEmpty() || o.fail(QStringLiteral("--link needs a path"));
         }, nullptr, 0, nullptr},
        {"firmware-version", "X.Y.Z", "Firmware version the controller reports (default 1.4.12).",
         Kind::Text, 0, [](Options &o, const QString &text, quint32) {
             return parseVersion(text, &o.m_firmwareVersion)
                 || o.fail(QStringLiteral("--firmware-version: '%1' is not a version X.Y.Z with numbers up to 255").arg(text));
         }, [](const Options &o, Emulator *e) {
             e->setFirmwareVersion(o.m_firmwareVersion);
             e->setFirmwareVersionAfterUpdate(o.m_versionAfterUpdate);
         }, 2, [](const Options &o) {
             QString firmware = QStringLiteral("firmware %1").arg(o.m_firmwareVersion.toString());
             if (!o.m_versionAfterUpdate.isNull())
                 firmware += QStringLiteral(" (%1 after an update)").arg(o.m_versionAfterUpdate.toString());
             return firmware;
         }},
        {"version-after-update", "X.Y.Z", "Version reported after a bootloader session that left a valid application (default: the version stays).",
         Kind::Text, 0, [](Options &o, const QString &text, quint32) {
             return parseVersion(text, &o.m_versionAfterUpdate)
                 || o.fail(QStringLiteral("--version-after-update: '%1' is not a version X.Y.Z with numbers up to 255").arg(text));
         }, nullptr, 0, nullptr},
        {"led-mode", "N", "LED mode byte of the controller status (default 1).",
         Kind::Number, 0xFF, [](Options &o, const QString &, quint32 value) { o.m_ledMode = int(value); return true; },
         [](const Options &o, Emulator *e) { setStatusByte(e, &Emulator::setLedMode, o.m_ledMode); }, 0, nullptr},
        {"status-flags", "N", "Bus status flags of the controller status, or-ed: 1 synchronized, 2 initialized, 4 available (default 7).",
         Kind::Number, 0xFF, [](Options &o, const QString &, quint32 value) { o.m_statusFlags = int(value); return true; },
         [](const Options &o, Emulator *e) { setStatusByte(e, &Emulator::setStatusFlags, o.m_statusFlags); }, 0, nullptr},
        {"bus-type", "N", "Bus type byte of the controller status (default 1).",
         Kind::Number, 0xFF, [](Options &o, const QString &, quint32 value) { o.m_busType = int(value); return true; },
         [](const Options &o, Emulator *e) { setStatusByte(e, &Emulator::setBusType, o.m_busType); }, 0, nullptr},
        {"silicon-id", "HEX", "Silicon ID the bootloader reports, in hex (default 12345678).",
         Kind::Text, 0, [](Options &o, const QString &given, quint32) {
             const QString text = given.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? given.mid(2) : given;
             bool ok = text.size() >= 1 && text.size() <= 8 && isHexText(text);
             if (ok)
                 o.m_siliconId = text.toUInt(&ok, 16);
             return ok || o.fail(QStringLiteral("--silicon-id: '%1' is not up to 8 hex digits").arg(given));
         }, [](const Options &o, Emulator *e) {
             e->bootloader().setSiliconId(o.m_siliconId);
             e->bootloader().setSiliconRevision(o.m_siliconRevision);
         }, 3, [](const Options &o) {
             return QStringLiteral("silicon %1 rev %2").arg(o.m_siliconId, 8, 16, QLatin1Char('0')).arg(o.m_siliconRevision);
         }},
        {"silicon-revision", "N", "Silicon revision the bootloader reports (default 0).",
         Kind::Number, 0xFF, [](Options &o, const QString &, quint32 value) { o.m_siliconRevision = quint8(value); return true; },
         nullptr, 0, nullptr},
        {"flash", "ARRAY:FIRST-LAST",
         "A flash array and its row range; repeatable, one for each array. The last row of the highest array holds the application's metadata (default 0:0x22-0xFF).",
         Kind::Repeatable, 0, [](Options &o, const QString &text, quint32) { return o.parseFlashRange(text); },
         [](const Options &o, Emulator *e) {
             if (o.m_flashRanges.isEmpty())
                 return;
             NivoraVexbusUsbEmulator::SimulatedFlash &flash = e->bootloader().flash();
             for (quint8 arrayId : flash.arrays())
                 flash.removeArray(arrayId);
             for (const FlashRange &range : o.m_flashRanges)
                 flash.setRowRange(range.arrayId, range.firstRow, range.lastRow);
         }, 5, [](const Options &o) {
             if (o.m_flashRanges.isEmpty())
                 return QString();
             QStringList arrays;
             for (const FlashRange &range : o.m_flashRanges)
                 arrays << QStringLiteral("%1:%2-%3").arg(range.arrayId).arg(hexByte(range.firstRow), hexByte(range.lastRow));
             return QStringLiteral("flash %1").arg(arrays.join(QStringLiteral(", ")));
         }},
        {"row-size", "N", "Bytes of a flash row; the bootloader programs rows of exactly this size (default 64).",
         Kind::Text, kMaximumRowSize, [](Options &o, const QString &text, quint32) {
             quint32 value = 0;
             if (!CommandNames::parseNumber(text, kMaximumRowSize, &value) || value == 0)
                 return o.fail(QStringLiteral("--row-size: '%1' is not a number from 1 to %2").arg(text).arg(kMaximumRowSize));
             o.m_rowSize = int(value);
             return true;
         }, [](const Options &o, Emulator *e) {
             using NivoraVexbusUsbEmulator::FlashImage;
             NivoraVexbusUsbEmulator::SimulatedFlash &flash = e->bootloader().flash();
             if (o.m_rowSize > 0)
                 flash.setRowSize(o.m_rowSize);
             if (o.m_rowSize == FlashImage::ConfigRowSize) {
                 flash.setConfigSize(FlashImage::ConfigRowConfigSize);
                 flash.setRowsPerArray(FlashImage::ConfigRowsPerArray);
             }
         }, 9, [](const Options &o) {
             return o.m_rowSize > 0 ? QStringLiteral("rows of %1 bytes").arg(o.m_rowSize) : QString();
         }},
        {"bootloader-version", "MAJOR.MINOR", "Version the bootloader reports when entered (default 1.30).",
         Kind::Text, 0, [](Options &o, const QString &text, quint32) {
             const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("^(\\d+)\\.(\\d+)$")).match(text);
             const uint major = match.captured(1).toUInt();
             const uint minor = match.captured(2).toUInt();
             if (!match.hasMatch() || major > 0xFF || minor > 0xFF)
                 return o.fail(QStringLiteral("--bootloader-version: '%1' is not a version MAJOR.MINOR with numbers up to 255").arg(text));
             o.m_bootloaderMajor = quint8(major);
             o.m_bootloaderMinor = quint8(minor);
             return true;
         }, [](const Options &o, Emulator *e) {
             e->bootloader().setBootloaderVersion(o.m_bootloaderMajor, o.m_bootloaderMinor);
             e->bootloader().setChecksumType(o.checksumType);
         }, 4, [](const Options &o) {
             return QStringLiteral("bootloader %1.%2%3").arg(o.m_bootloaderMajor).arg(o.m_bootloaderMinor)
                     .arg(o.checksumType == 1 ? QStringLiteral(" with CRC-16 packets") : QString());
         }},
        {"fast-validation", nullptr,
         "The bootloader is built with fast application validation: it marks an application it found valid as verified in the metadata and takes it as valid from then on without summing it; the first row it programs or erases after a boot clears the metadata row.",
         Kind::Flag, 0, [](Options &o, const QString &, quint32) { return o.m_fastValidation = true; },
         [](const Options &o, Emulator *e) { e->bootloader().setFastValidation(o.m_fastValidation); },
         10, [](const Options &o) { return o.m_fastValidation ? QStringLiteral("fast application validation") : QString(); }},
        {"checksum-type", "N", "Packet checksum of the bootloader, in both directions: 0 the sum, 1 CRC-16 (default 0).",
         Kind::Text, kMaximumChecksumType, [](Options &o, const QString &text, quint32) {
             quint32 value = 0;
             if (!CommandNames::parseNumber(text, kMaximumChecksumType, &value))
                 return o.fail(QStringLiteral("--checksum-type: '%1' is not 0 (the sum) or 1 (CRC-16)").arg(text));
             o.checksumType = quint8(value);
             return true;
         }, nullptr, 0, nullptr},
        {"chip-from", "IMAGE",
         "Be the chip that IMAGE is built for: its silicon ID and revision, its packet checksum (the header's checksum type: 0 sum, 1 CRC-16), its row size, and its arrays with the rows from the image's first to its last (--flash, --row-size, --silicon-id, --silicon-revision and --checksum-type take precedence).",
         Kind::Text, 0, [](Options &o, const QString &text, quint32) { return o.readChip(text); }, nullptr, 0, nullptr},
        {"save-flash", "FILE", "On exit, save the programmed flash rows as an image file, upper-case hex with LF line ends.",
         Kind::Text, 0, [](Options &o, const QString &text, quint32) {
             o.saveFlashPath = text;
             return !text.isEmpty() || o.fail(QStringLiteral("--save-flash needs a path"));
         }, nullptr, 0, nullptr},
        {"replay", "TRACE",
         "Answer as the adapter in TRACE did, a trace recorded by the library (vexbusctl --record): each request received must be the next one recorded, and the recorded responses and notifications follow with their recorded timing. A different request is reported with both byte strings and its position and ends the program with exit code 1. The options of the emulated device have no effect.",
         Kind::Text, 0, [](Options &o, const QString &text, quint32) {
             o.replayPath = text;
             return !text.isEmpty() || o.fail(QStringLiteral("--replay needs a trace file"));
         }, nullptr, 0, nullptr},
        {"bus-traffic", "RATE", "Bus-data notifications per second, sent in controller mode while a client holds the tty open (default 0: none).",
         Kind::Text, quint32(kMaximumBusTrafficRate), [](Options &o, const QString &text, quint32) {
             bool ok = false;
             o.busTrafficRate = text.toDouble(&ok);
             return (ok && std::isfinite(o.busTrafficRate) && o.busTrafficRate >= 0 && o.busTrafficRate <= kMaximumBusTrafficRate)
                 || o.fail(QStringLiteral("--bus-traffic: '%1' is not a rate from 0 to %2 per second").arg(text).arg(kMaximumBusTrafficRate));
         }, nullptr, 6, [](const Options &o) {
             return o.busTrafficRate > 0 ? QStringLiteral("bus traffic %1/s").arg(o.busTrafficRate) : QString();
         }},
        {"bus-frame", "HEX", "Bus frame the notifications carry, in hex (default: a two-byte running number, from 0 whenever a client opens the tty).",
         Kind::Text, 0, [](Options &o, const QString &text, quint32) {
             if (text.isEmpty() || text.size() % 2 != 0 || !isHexText(text))
                 return o.fail(QStringLiteral("--bus-frame: '%1' is not a frame in hex digits, two a byte").arg(text));
             o.busFrame = QByteArray::fromHex(text.toLatin1());
             return true;
         }, nullptr, 0, nullptr},
        {"line-pacing", nullptr,
         "Model the serial line in both directions: a request is acted on when its last byte would have arrived, and what the device sends leaves at the line's rate (10 bits a byte at the baud rate).",
         Kind::Flag, 0, [](Options &o, const QString &, quint32) { return o.m_linePacing = true; },
         [](const Options &o, Emulator *e) {
             e->setLinePacing(o.m_linePacing);
             e->setBaudRate(o.m_baudRate);
         }, 7, [](const Options &o) { return o.m_linePacing ? QStringLiteral("paced at %1 baud").arg(o.m_baudRate) : QString(); }},
        {"baud", "N", "Line rate of --line-pacing, in bits per second (default 115200).",
         Kind::Text, kMaximumBaudRate, [](Options &o, const QString &text, quint32) {
             quint32 value = 0;
             if (!CommandNames::parseNumber(text, kMaximumBaudRate, &value) || value < kMinimumBaudRate)
                 return o.fail(QStringLiteral("--baud: '%1' is not a rate from %2 to %3 bits per second")
                               .arg(text).arg(kMinimumBaudRate).arg(kMaximumBaudRate));
             o.m_baudRate = int(value);
             return true;
         }, nullptr, 0, nullptr},
        {"latency-timer", "MS",
         "Model the FTDI chip's receive path: bytes for the host are held until 62 have gathered or MS ms have passed since the first held byte (default: off).",
         Kind::Number, kMaximumLatencyTimerMs, [](Options &o, const QString &, quint32 value) { o.m_latencyTimer = int(value); return true; },
         [](const Options &o, Emulator *e) { e->setLatencyTimer(o.m_latencyTimer); },
         8, [](const Options &o) { return o.m_latencyTimer > 0 ? QStringLiteral("latency timer %1 ms").arg(o.m_latencyTimer) : QString(); }},
        {"reset-time", "MS", "Reboot time of a soft reset and of leaving the bootloader, in ms (default 500).",
         Kind::Number, kMaximumTimeMs, [](Options &o, const QString &, quint32 value) { o.m_resetTime = int(value); return true; },
         [](const Options &o, Emulator *e) { setTime(e, &Emulator::setResetTime, o.m_resetTime); }, 0, nullptr},
        {"bootloader-start-time", "MS", "Time from the start-bootloader answer to bootloader mode, in ms (default 200).",
         Kind::Number, kMaximumTimeMs, [](Options &o, const QString &, quint32 value) { o.m_bootloaderStartTime = int(value); return true; },
         [](const Options &o, Emulator *e) { setTime(e, &Emulator::setBootloaderStartTime, o.m_bootloaderStartTime); }, 0, nullptr},
        {"no-ready-notification", nullptr, "Send no controller-ready notification when booting into controller mode.",
         Kind::Flag, 0, [](Options &o, const QString &, quint32) { return o.m_noReady = true; },
         [](const Options &o, Emulator *e) { e->setReadyOnBoot(!o.m_noReady); }, 0, nullptr},
        {"start-in-bootloader", nullptr, "Start in bootloader mode, as a device whose update was interrupted.",
         Kind::Flag, 0, [](Options &o, const QString &, quint32) { return o.m_startInBootloader = true; },
         [](const Options &o, Emulator *e) {
             if (o.m_startInBootloader)
                 e->setMode(Emulator::ModeBootloader);
         }, 1, [](const Options &o) {
             return QStringLiteral("%1 mode").arg(CommandNames::modeName(o.m_startInBootloader ? Emulator::ModeBootloader : Emulator::ModeController));
         }},
        {"silent", nullptr, "Fault: answer nothing and send no notification.",
         Kind::Flag, 0, [](Options &o, const QString &, quint32) { return o.m_silent = true; },
         [](const Options &o, Emulator *e) { e->setSilent(o.m_silent); },
         101, [](const Options &o) { return o.m_silent ? QStringLiteral("silent") : QString(); }},
        {"drop-responses", "N", "Fault: leave the first N responses unsent (their requests still take effect).",
         Kind::Number, 1000000, [](Options &o, const QString &, quint32 value) { o.m_dropResponses = int(value); return true; },
         [](const Options &o, Emulator *e) { e->dropResponses(o.m_dropResponses); },
         102, [](const Options &o) { return o.m_dropResponses > 0 ? QStringLiteral("drops %1 responses").arg(o.m_dropResponses) : QString(); }},
        {"corrupt-first-response", nullptr, "Fault: send the first response with a wrong checksum.",
         Kind::Flag, 0, [](Options &o, const QString &, quint32) { return o.m_corruptFirstResponse = true; },
         [](const Options &o, Emulator *e) {
             if (o.m_corruptFirstResponse)
                 e->corruptNextResponse();
         }, 103, [](const Options &o) { return o.m_corruptFirstResponse ? QStringLiteral("corrupts the first response") : QString(); }},
        {"response-delay", "MS", "Fault: send every response MS milliseconds late.",
         Kind::Number, kMaximumTimeMs, [](Options &o, const QString &, quint32 value) { o.m_responseDelay = int(value); return true; },
         [](const Options &o, Emulator *e) { e->setResponseDelay(o.m_responseDelay); },
         104, [](const Options &o) { return o.m_responseDelay > 0 ? QStringLiteral("responses %1 ms late").arg(o.m_responseDelay) : QString(); }},
        {"command-error", "MODE:COMMAND=CODE",
         "Fault: answer COMMAND in MODE with the adapter error (controller) or bootloader status CODE instead of executing it. Repeatable.",
         Kind::Repeatable, 0, [](Options &o, const QString &text, quint32) {
             const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("^([^:=]+):([^:=]+)=([^:=]+)$")).match(text);
             CommandError error{Emulator::ModeController, 0, 0};
             quint32 code = 0;
             if (!match.hasMatch() || !CommandNames::parseMode(match.captured(1), &error.mode)
                     || !CommandNames::parse(error.mode, match.captured(2), &error.command)
                     || !CommandNames::parseNumber(match.captured(3), 0xFF, &code))
                 return o.fail(QStringLiteral("--command-error: '%1' is not MODE:COMMAND=CODE (e.g. controller:GetFirmware=6, bootloader:0x39=0x0A)").arg(text));
             error.code = quint8(code);
             o.m_commandErrors.append(error);
             return true;
         }, [](const Options &o, Emulator *e) {
             for (const CommandError &error : o.m_commandErrors)
                 e->setCommandError(error.mode, error.command, error.code);
         }, 105, [](const Options &o) {
             QStringList faults;
             for (const CommandError &error : o.m_commandErrors)
                 faults << QStringLiteral("%1 fails with %2").arg(commandText(error.mode, error.command), hexByte(error.code));
             return faults.join(QStringLiteral(", "));
         }},
        {"stay-in-bootloader", nullptr, "Fault: reboot into the bootloader again when the host exits it.",
         Kind::Flag, 0, [](Options &o, const QString &, quint32) { return o.m_stayInBootloader = true; },
         [](const Options &o, Emulator *e) { e->setStayInBootloaderAfterExit(o.m_stayInBootloader); },
         106, [](const Options &o) { return o.m_stayInBootloader ? QStringLiteral("stays in the bootloader") : QString(); }},
        {"wrong-verify-row", "ROW",
         "Fault: verify-row reports a wrong checksum for flash row ROW of array 0, so the application does not verify. Repeatable.",
         Kind::Repeatable, 0, [](Options &o, const QString &text, quint32) {
             quint32 value = 0;
             if (!CommandNames::parseNumber(text, 0xFFFF, &value))
                 return o.fail(QStringLiteral("--wrong-verify-row: '%1' is not a row number from 0 to 65535").arg(text));
             o.m_wrongVerifyRows.append(quint16(value));
             return true;
         }, [](const Options &o, Emulator *e) {
             for (quint16 row : o.m_wrongVerifyRows)
                 e->bootloader().addWrongVerifyRow(row);
         }, 107, [](const Options &o) {
             QStringList faults;
             for (quint16 row : o.m_wrongVerifyRows)
                 faults << QStringLiteral("row %1 verifies wrong").arg(hexByte(row));
             return faults.join(QStringLiteral(", "));
         }},
        {"invalid-application", nullptr, "Fault: verify-application answers 0, the application is invalid, whatever the flash holds.",
         Kind::Flag, 0, [](Options &o, const QString &, quint32) { return o.m_invalidApplication = true; },
         [](const Options &o, Emulator *e) { e->bootloader().setApplicationInvalid(o.m_invalidApplication); },
         108, [](const Options &o) { return o.m_invalidApplication ? QStringLiteral("application invalid") : QString(); }},
        {"vanish-on", "MODE:COMMAND[:N]",
         "Fault: on the N-th receipt (default the first) of COMMAND in MODE, execute it but vanish instead of answering: the tty is closed and the link removed. The program then runs on until it is stopped.",
         Kind::Text, 0, [](Options &o, const QString &text, quint32) {
             const QStringList parts = text.split(QLatin1Char(':'));
             quint32 occurrence = 1;
             bool ok = parts.size() == 2 || parts.size() == 3;
             ok = ok && CommandNames::parseMode(parts.at(0), &o.m_vanishMode) && CommandNames::parse(o.m_vanishMode, parts.at(1), &o.m_vanishCommand);
             if (ok && parts.size() == 3)
                 ok = CommandNames::parseNumber(parts.at(2), 1000000, &occurrence) && occurrence >= 1;
             if (!ok)
                 return o.fail(QStringLiteral("--vanish-on: '%1' is not MODE:COMMAND[:N] with N from 1 (e.g. bootloader:ProgramRow:5)").arg(text));
             o.m_vanish = true;
             o.m_vanishOccurrence = int(occurrence);
             return true;
         }, [](const Options &o, Emulator *e) {
             if (o.m_vanish)
                 e->vanishOnCommand(o.m_vanishMode, o.m_vanishCommand, o.m_vanishOccurrence);
         }, 109, [](const Options &o) {
             return o.m_vanish ? QStringLiteral("vanishes on %1 #%2").arg(commandText(o.m_vanishMode, o.m_vanishCommand)).arg(o.m_vanishOccurrence)
                               : QString();
         }},
        {"log", nullptr, "Log on stderr every request received, the boots and the tty opening and closing, with milliseconds since start.",
         Kind::Flag, 0, [](Options &o, const QString &, quint32) { return o.log = true; }, nullptr, 0, nullptr},
        {"quiet", nullptr, "Print only the tty path, and errors; overrides --log.",
         Kind::Flag, 0, [](Options &o, const QString &, quint32) {
             o.log = false;
             return o.quiet = true;
         }, nullptr, 0, nullptr},
    };
    return table;
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
    for (const Row &row : rows()) {
        const QString name = QLatin1String(row.name);
        parser.addOption(row.valueName ? QCommandLineOption(name, QString::fromUtf8(row.help), QLatin1String(row.valueName))
                                       : QCommandLineOption(name, QString::fromUtf8(row.help)));
    }
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst()));

    m_given.clear();
    for (const Row &row : rows()) {
        const QString name = QLatin1String(row.name);
        if (!parser.isSet(name))
            continue;
        m_given.insert(name);
        if (row.kind != Kind::Repeatable && row.kind != Kind::Flag && parser.values(name).size() > 1)
            return fail(QStringLiteral("--%1 is given more than once").arg(name));
    }
    for (const Row &row : rows()) {
        const QString name = QLatin1String(row.name);
        if (!m_given.contains(name))
            continue;
        const QStringList values = row.kind == Kind::Flag ? QStringList{QString()} : parser.values(name);
        for (const QString &value : values) {
            quint32 number = 0;
            if (row.kind == Kind::Number && !CommandNames::parseNumber(value, row.limit, &number))
                return fail(QStringLiteral("--%1: '%2' is not a number from 0 to %3").arg(name, value).arg(row.limit));
            if (!row.set(*this, value, number))
                return false;
        }
    }
    return checkConfigRows();
}

void EmulatorOptions::apply(VexbusEmulator *emulator) const
{
    for (const Row &row : rows()) {
        if (row.apply)
            row.apply(*this, emulator);
    }
}

QString EmulatorOptions::summary() const
{
    if (!replayPath.isEmpty())
        return QStringLiteral("replaying %1").arg(replayPath);
    QMap<int, QString> described;
    for (const Row &row : rows()) {
        if (row.describe) {
            const QString text = row.describe(*this);
            if (!text.isEmpty())
                described.insert(row.summaryPlace, text);
        }
    }
    QStringList parts;
    QStringList faults;
    for (auto it = described.cbegin(); it != described.cend(); ++it)
        (it.key() > kFirstFaultPlace ? faults : parts) << it.value();
    if (!faults.isEmpty())
        parts << QStringLiteral("faults: %1").arg(faults.join(QStringLiteral(", ")));
    return parts.join(QStringLiteral("; "));
}
