// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSEMULATOR_EMULATOROPTIONS_H
#define VEXBUSEMULATOR_EMULATOROPTIONS_H

#include <vexbusemulator.h>

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QVersionNumber>

// The emulator's configuration as given on the command line: how the device
// presents itself, the faults it shows, and what the program reports.
class EmulatorOptions
{
public:
    using Mode = NivoraVexbusUsbEmulator::VexbusEmulator::Mode;

    struct FlashRange {
        quint8 arrayId;
        quint16 firstRow;
        quint16 lastRow;
    };

    struct CommandError {
        Mode mode;
        quint8 command;
        quint8 code;
    };

    // Reads the command line. --help and --version print and end the
    // process; anything malformed leaves a message in errorString().
    bool parse(const QStringList &arguments);
    QString errorString() const { return m_errorString; }

    // Configures the device; the bus traffic is left to the caller, which
    // runs it while a client is on the line.
    void apply(NivoraVexbusUsbEmulator::VexbusEmulator *emulator) const;
    // One line describing the device and its faults.
    QString summary() const;

    QString linkPath;
    // Where the flash is saved as an image file when the program ends.
    QString saveFlashPath;
    // A trace to play back instead of emulating the adapter.
    QString replayPath;
    // The checksum type byte of the chip's image header: the bootloader's
    // packet checksum, and what a saved image's header carries.
    quint8 checksumType = 0;
    bool log = false;
    bool quiet = false;
    double busTrafficRate = 0;
    QByteArray busFrame;

private:
    // An option's value: none, an unsigned number up to the row's limit,
    // text that the setter reads, or text given any number of times.
    enum class Kind { Flag, Number, Text, Repeatable };
    // One option of the command line, and what it does at each step.
    struct Row {
        const char *name;
        const char *valueName; // null for a flag
        const char *help;
        Kind kind;
        quint32 limit;
        bool (*set)(EmulatorOptions &options, const QString &value, quint32 number);
        void (*apply)(const EmulatorOptions &options, NivoraVexbusUsbEmulator::VexbusEmulator *emulator);
        // Where describe()'s text goes in the summary.
        int summaryPlace;
        QString (*describe)(const EmulatorOptions &options);
    };
    static const QVector<Row> &rows();

    bool fail(const QString &message);
    bool parseFlashRange(const QString &text);
    bool checkConfigRows();
    bool readChip(const QString &fileName);

    QVersionNumber m_firmwareVersion = QVersionNumber(1, 4, 12);
    QVersionNumber m_versionAfterUpdate;
    int m_ledMode = -1;
    int m_statusFlags = -1;
    int m_busType = -1;
    quint32 m_siliconId = 0x12345678;
    quint8 m_siliconRevision = 0;
    // Empty: the emulator's default array.
    QList<FlashRange> m_flashRanges;
    // 0: the emulator's default.
    int m_rowSize = 0;
    quint8 m_bootloaderMajor = 1;
    quint8 m_bootloaderMinor = 30;
    bool m_linePacing = false;
    int m_baudRate = 115200;
    int m_latencyTimer = 0;
    int m_resetTime = -1;
    int m_bootloaderStartTime = -1;
    bool m_noReady = false;
    bool m_startInBootloader = false;
    bool m_silent = false;
    int m_dropResponses = 0;
    bool m_corruptFirstResponse = false;
    int m_responseDelay = 0;
    QList<CommandError> m_commandErrors;
    bool m_stayInBootloader = false;
    QList<quint16> m_wrongVerifyRows;
    bool m_invalidApplication = false;
    bool m_fastValidation = false;
    bool m_vanish = false;
    Mode m_vanishMode = Mode::ModeController;
    quint8 m_vanishCommand = 0;
    int m_vanishOccurrence = 1;
    // The options on the command line, by name.
    QSet<QString> m_given;
    QString m_errorString;
};

#endif // VEXBUSEMULATOR_EMULATOROPTIONS_H
