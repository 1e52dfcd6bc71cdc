#ifndef BOOTLOADERHANDLER_H
#define BOOTLOADERHANDLER_H

#include "nivoravexbususb_export.h"
#include "bootloader/bootloaderutils.h"
#include "bootloader/firmwaredata.h"

#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QTimer>

#include <memory>

namespace NivoraVexbusUsb {

class BootloaderResponseDecoder;
class NivoraVexbusUsbTrafficRecorder;

// Writes a firmware image into the controller while it runs its bootloader:
// enter, check the chip, get the row range, then per row stream the data in
// chunks, program and verify it, and finally verify the application and
// exit. It opens the serial device itself once the adapter's link let go.
class NIVORAVEXBUSUSB_EXPORT BootloaderHandler : public QObject
{
    Q_OBJECT

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

    // The most row data one send-data command carries.
    static constexpr int maximumChunkSize = 11;
    // How long a command may wait for its response before the run fails.
    static constexpr int responseTimeout = 5000;
    // The bootloader does not answer the exit command; it reboots.
    static constexpr int exitDelay = 200;

    explicit BootloaderHandler(QObject *parent = nullptr);
    ~BootloaderHandler() override;

    State state() const;
    bool connected() const;

    QString portName() const;
    void setPortName(const QString &portName);

    int baudrate() const;
    void setBaudrate(int baudrate);

    FirmwareData firmwareData() const;
    void setFirmwareData(const FirmwareData &firmwareData);

    double percentage() const;

    /// Where the port's opening, closing and bytes are recorded (the adapter's recorder).
    void setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder);

public slots:
    void start();
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
    void fail();
    bool openPort();

    FirmwareDataRow getCurrentRow() const;
    bool currentRowExists() const;
    QByteArray rowAddress() const;
    void sendNextRowData();
    void calculateUpdatePercentage();

    QByteArray buildPacket(BootloaderUtils::BootloaderCommand command, const QByteArray &data = QByteArray());
    void sendCommand(const char *message, BootloaderUtils::BootloaderCommand command, const QByteArray &data = QByteArray());
    void sendData(const QByteArray &packet);
    void processData(const QByteArray &packet);
    void processMessage(quint8 status, const QByteArray &payload);
    void processEnterBootloaderResponse(const QByteArray &payload);
    void processFlashSizeResponse(const QByteArray &payload);
    void processStreamRowResponse();
    void processVerifyRowResponse(const QByteArray &payload);

    State m_state = StateIdle;
    QSerialPort *m_serialPort = nullptr;
    QPointer<NivoraVexbusUsbTrafficRecorder> m_trafficRecorder;
    QString m_portName;
    int m_baudrate = 115200;
    bool m_connected = false;
    std::unique_ptr<BootloaderResponseDecoder> m_decoder;
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

    QTimer m_responseTimer;
    // A run reports its failure once; start() begins a new run.
    bool m_failureReported = false;
};

} // namespace NivoraVexbusUsb

#endif // BOOTLOADERHANDLER_H
