// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBTRAFFICRECORDER_H
#define NIVORAVEXBUSUSBTRAFFICRECORDER_H

#include "nivoravexbususb_export.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>
#include <QScopedPointer>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbTrafficRecorderPrivate;
/**
 * @brief Records the serial traffic between the library and the adapter
 * into a trace file that vexbus-emulator --replay plays back.
 *
 * It records the link and the bootloader, both directions, with time stamps.
 * The adapter owns one (see NivoraVexbusUsbAdapter::trafficRecordFileName);
 * the serial interface and the bootloader handler report to it where they
 * open, close, write and read their ports.
 *
 * The trace is one JSON object a line, flushed line by line, in this stable
 * format: "time" first, in milliseconds since the trace began with three
 * decimals, then the other members (their order carries no meaning):
 * @code
 * {"time":0.000,"event":"start","format":"nivora-vexbususb-trace","startedAt":"2026-12-07T23:40:47.455Z","version":1}
 * {"time":18.620,"device":"/dev/ttyUSB0","event":"open","port":"link"}
 * {"time":35.262,"bytes":"c0010001c0","direction":"out","port":"link"}
 * {"time":38.053,"bytes":"c004010001070102c0","direction":"in","port":"link"}
 * {"time":246.509,"event":"close","port":"link"}
 * @endcode
 * "port" is "link" or "bootloader"; "direction" is "out" from the library to
 * the adapter and "in" from the adapter; "bytes" is lower-case hex without
 * separators. What is written in one go (a frame, a bootloader packet) and
 * what is read in one go make one line each.
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbTrafficRecorder : public QObject
{
    Q_OBJECT
    /// The trace file being written; empty while nothing is recorded.
    Q_PROPERTY(QString fileName READ fileName NOTIFY fileNameChanged)

public:
    /// Which of the library's two uses of the serial device the traffic belongs to.
    enum Port {
        PortLink = 0,      ///< the adapter protocol of the serial interface
        PortBootloader = 1 ///< the bootloader protocol of the bootloader handler
    };
    Q_ENUM(Port)

    /// Which way bytes went.
    enum Direction {
        DirectionOut = 0, ///< from the library to the adapter
        DirectionIn = 1   ///< from the adapter to the library
    };
    Q_ENUM(Direction)

    /// Creates a recorder that records nothing until setFileName() is given a name.
    explicit NivoraVexbusUsbTrafficRecorder(QObject *parent = nullptr);
    /// Writes what is still gathered and closes the trace.
    ~NivoraVexbusUsbTrafficRecorder() override;

    /// The trace file being written; empty while nothing is recorded.
    QString fileName() const;
    /// Ends the current trace and begins a new one in @p fileName, replacing
    /// the file; an empty name only ends it. The trace is readable and
    /// writable by its owner only (0600), and a symbolic link at its name is
    /// refused. A file that cannot be written is reported with a warning and
    /// leaves fileName() empty.
    void setFileName(const QString &fileName);

    /// True while a trace file is open.
    bool isRecording() const;

    /// Records that @p port opened the serial device @p device.
    void recordOpen(Port port, const QString &device);
    /// Records that @p port closed its serial device.
    void recordClose(Port port);
    /// Records @p bytes that went the @p direction on @p port; consecutive
    /// calls for the same port and direction before the event loop turns
    /// make one line.
    void recordBytes(Port port, Direction direction, const QByteArray &bytes);

signals:
    /// The trace file changed: a new trace began (its name) or it ended (empty).
    void fileNameChanged(const QString &fileName);

private:
    Q_DECL_HIDDEN QString openTrace();
    Q_DECL_HIDDEN void recordEvent(Port port, const QString &event, const QString &device);
    Q_DECL_HIDDEN void flushPending();
    Q_DECL_HIDDEN void writeLine(qint64 timeNs, const QByteArray &object);
    Q_DECL_HIDDEN void close();

    Q_DECLARE_PRIVATE(NivoraVexbusUsbTrafficRecorder)
    const QScopedPointer<NivoraVexbusUsbTrafficRecorderPrivate> d_ptr;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBTRAFFICRECORDER_H
