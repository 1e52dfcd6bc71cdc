#ifndef NIVORAVEXBUSUSBTRAFFICRECORDER_H
#define NIVORAVEXBUSUSBTRAFFICRECORDER_H

#include "nivoravexbususb_export.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

namespace NivoraVexbusUsb {

// Records the serial traffic between the library and the adapter, on the
// link and in the bootloader, into a trace file that vexbus-emulator
// --replay plays back. The adapter owns one; the serial interface and the
// bootloader handler report to it where they open, close, write and read
// their ports.
//
// The trace is one JSON object a line, flushed line by line, in this stable
// format: "time" first, in milliseconds since the trace began with three
// decimals, then the other members (their order carries no meaning):
//   {"time":0.000,"event":"start","format":"nivora-vexbususb-trace","startedAt":"2026-12-07T23:40:47.455Z","version":1}
//   {"time":18.620,"device":"/dev/ttyUSB0","event":"open","port":"link"}
//   {"time":35.262,"bytes":"c0010001c0","direction":"out","port":"link"}
//   {"time":38.053,"bytes":"c004010001070102c0","direction":"in","port":"link"}
//   {"time":246.509,"event":"close","port":"link"}
// "port" is "link" or "bootloader"; "direction" is "out" from the library to
// the adapter and "in" from the adapter; "bytes" is lower-case hex without
// separators. What is written in one go (a frame, a bootloader packet) and
// what is read in one go make one line each.
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbTrafficRecorder : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString fileName READ fileName NOTIFY fileNameChanged)

public:
    enum Port {
        PortLink = 0,
        PortBootloader = 1
    };
    Q_ENUM(Port)

    enum Direction {
        DirectionOut = 0,
        DirectionIn = 1
    };
    Q_ENUM(Direction)

    explicit NivoraVexbusUsbTrafficRecorder(QObject *parent = nullptr);
    ~NivoraVexbusUsbTrafficRecorder() override;

    // The trace file being written; empty while nothing is recorded.
    QString fileName() const;
    // Ends the current trace and begins a new one in fileName, replacing
    // the file; an empty name only ends it. A file that cannot be written
    // is reported with a warning and leaves fileName empty.
    void setFileName(const QString &fileName);

    bool isRecording() const { return m_file.isOpen(); }

    void recordOpen(Port port, const QString &device);
    void recordClose(Port port);
    void recordBytes(Port port, Direction direction, const QByteArray &bytes);

signals:
    void fileNameChanged(const QString &fileName);

private:
    void recordEvent(Port port, const QString &event, const QString &device);
    void flushPending();
    void writeLine(qint64 timeNs, const QByteArray &object);
    void close();

    QFile m_file;
    QElapsedTimer m_clock;
    // Bytes of one port and direction written in one go arrive one call at
    // a time; they are gathered into one line until the event loop turns.
    QByteArray m_pending;
    Port m_pendingPort = PortLink;
    Direction m_pendingDirection = DirectionOut;
    qint64 m_pendingTimeNs = 0;
    QTimer m_pendingTimer;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBTRAFFICRECORDER_H
