#ifndef NIVORAVEXBUSUSBEMULATOR_TTYLINK_H
#define NIVORAVEXBUSUSBEMULATOR_TTYLINK_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

namespace NivoraVexbusUsbEmulator {

// The emulator's end of the serial line: a file descriptor (typically a PTY
// master) read and written without blocking. It survives the other side
// closing and reopening the line any number of times, and can pace what it
// writes at the rate of a 115200 baud 8N1 line.
class TtyLink : public QObject
{
    Q_OBJECT
public:
    // Ten bit times at 115200 baud.
    static constexpr qint64 ByteTimeNs = 86806;

    explicit TtyLink(QObject *parent = nullptr);
    ~TtyLink() override;

    // Takes the descriptor (not its ownership) and switches it to
    // non-blocking mode. Fails on an invalid descriptor.
    bool attach(int fd);
    // Stops using the descriptor at once; queued output is dropped.
    void detach();
    bool isAttached() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Queues bytes for the line; ignored when not attached.
    void write(const QByteArray &bytes);
    int pendingBytes() const { return m_output.size(); }

    bool linePacing() const { return m_linePacing; }
    void setLinePacing(bool enabled);

Q_SIGNALS:
    void bytesReceived(const QByteArray &bytes);
    // The other side closed the line (a PTY master reads EIO until the slave
    // is opened again).
    void hungUp();

private:
    void onReadActivated();
    void onWriteActivated();
    void onPaceTimeout();
    void onHangUpTimeout();
    void enterHangUp();
    void flush(int maximum);

    int m_fd = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_output;
    bool m_hungUp = false;
    bool m_linePacing = false;
    QTimer m_hangUpTimer;
    QTimer m_paceTimer;
    QElapsedTimer m_paceClock;
    qint64 m_paceCreditNs = 0;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_TTYLINK_H
