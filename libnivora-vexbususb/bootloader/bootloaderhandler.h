#ifndef BOOTLOADERHANDLER_H
#define BOOTLOADERHANDLER_H

#include "nivoravexbususb_export.h"
#include "bootloader/bootloaderutils.h"
#include "bootloader/firmwaredata.h"

#include <QObject>
#include <QSerialPort>
#include <QTimer>

namespace NivoraVexbusUsb {

// Writes a firmware image into the controller while it runs its bootloader:
// opens the serial device itself, checks that the image fits the chip and
// its first flash row, streams every row in chunks, programs and verifies
// it, verifies the application and leaves the bootloader. Exactly one
// command is outstanding at any time; every run ends with one finished().
class NIVORAVEXBUSUSB_EXPORT BootloaderHandler : public QObject
{
    Q_OBJECT
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
    Q_PROPERTY(double percentage READ percentage NOTIFY percentageChanged)

public:
    enum State {
        StateIdle = 0,
        StateConnecting = 1,
        StateEnterBootloader = 2,
        StateGetFlahSize = 3,
        StatePrepareUpload = 4,
        StateStreamRow = 5,
        StateProgramRow = 6,
        StateVerifyRow = 7,
        StateVerifyApplication = 8,
        StateExitBootloader = 9
    };
    Q_ENUM(State)

    // The most row data bytes one send-data command carries.
    static constexpr int maximumChunkSize = 11;
    // How long the handler waits for the answer to a command before it gives
    // the run up (ms).
    static constexpr int responseTimeout = 5000;
    // The exit command is not answered; the bootloader has left after this (ms).
    static constexpr int exitBootloaderDelay = 200;

    explicit BootloaderHandler(QObject *parent = nullptr);

    // System location of the device to open, e.g. "/dev/ttyUSB0"; takes
    // effect at the next start().
    QString portName() const;
    void setPortName(const QString &portName);

    int baudrate() const;
    void setBaudrate(int baudrate);

    // The image to write; stop() empties it.
    FirmwareData firmwareData() const;
    void setFirmwareData(const FirmwareData &firmwareData);

    State state() const;
    // True while the handler holds the port open.
    bool connected() const;
    // Acknowledged share of the image's data bytes, 0 to 100.
    double percentage() const;

    // A complete command packet: start byte, command, little-endian length,
    // data, little-endian sum checksum, end byte.
    static QByteArray buildPacket(BootloaderUtils::BootloaderCommand command, const QByteArray &data = QByteArray());

public slots:
    // Opens the port and runs the update. A valid image is required; a run
    // that fails ends with finished(false) after its warning, and the state
    // stays where it failed.
    void start();
    // Closes the port and forgets the image and the device's answers; the
    // state is kept and no finished() follows for the run it ends.
    void stop();

signals:
    void stateChanged(NivoraVexbusUsb::BootloaderHandler::State state);
    void connectedChanged(bool connected);
    void percentageChanged(double percentage);
    void finished(bool success);

private slots:
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void onExitBootloaderTimeout();
    void onResponseTimeout();

private:
    void setState(State state);
    void setConnected(bool connected);
    void reset();
    bool openPort();
    void failRun();

    // Whether the current row exists and holds pendingBytes beyond rowOffset.
    bool hasCurrentRow(int pendingBytes) const;
    FirmwareDataRow getCurrentRow() const;
    void sendNextRowData();
    void calculateUpdatePercentage();
    void sendCommand(BootloaderUtils::BootloaderCommand command, const QByteArray &data, const char *description);
    QByteArray currentRowAddress() const;

    void sendData(const QByteArray &packet);
    void receiveByte(char byte, QByteArray *unread);
    void processData(const QByteArray &packet);
    void processMessage(BootloaderUtils::BootloaderError status, const QByteArray &payload);
    bool isResponseExpected() const;
    void processEnterBootloaderResponse(const QByteArray &payload);
    void processFlashSizeResponse(const QByteArray &payload);
    void processStreamRowResponse();
    void processVerifyRowResponse(const QByteArray &payload);
    void processVerifyApplicationResponse(const QByteArray &payload);
    void prepareUpload();

    State m_state = StateIdle;
    QSerialPort *m_serialPort = nullptr;
    QString m_portName;
    int m_baudrate = 115200;
    bool m_connected = false;

    QByteArray m_buffer;
    int m_packetSize = -1;

    int m_deviceSiliconId = 0;
    quint8 m_deviceSiliconRev = 0;
    quint32 m_bootloaderVersion = 0;
    quint16 m_startRow = 0;
    quint16 m_endRow = 0;

    FirmwareData m_firmwareData;
    int m_totalBytes = 0;
    int m_sentBytes = 0;
    double m_percentage = 0.0;
    int m_currentRow = 0;
    int m_rowOffset = 0;
    int m_lastChunkSize = 0;

    // Between start() and the run's finished(); guards against a second
    // report and against late answers reviving a run that already ended.
    bool m_running = false;
    QTimer m_responseTimer;
    QTimer m_exitTimer;
};

} // namespace NivoraVexbusUsb

#endif // BOOTLOADERHANDLER_H
