// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

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

/**
 * @brief Writes a firmware image into the controller while it runs its
 * bootloader.
 *
 * The handler opens the serial device itself once the adapter's link let
 * go, then walks the bootloader through enter (checking the chip), flash
 * size (the row range), per row: data in chunks of at most 11 bytes,
 * program and verify, and finally the application checksum and exit.
 * The adapter object drives it during a firmware update; applications
 * follow the update through the adapter.
 */
class NIVORAVEXBUSUSB_EXPORT BootloaderHandler : public QObject
{
    Q_OBJECT

public:
    /// The step of the bootloader run; a failed run stays in the step that failed.
    enum State {
        StateIdle = 0,              ///< not running
        StateConnecting = 1,        ///< opening the serial device
        StateEnterBootloader = 2,   ///< enter-bootloader command sent; the chip is checked
        StateGetFlahSize = 3,       ///< asking for the first and last flash row
        StatePrepareUpload = 4,     ///< the image fits; the upload begins
        StateStreamRow = 5,         ///< sending a row's data in chunks
        StateProgramRow = 6,        ///< programming the row
        StateVerifyRow = 7,         ///< comparing the row's checksum with the image
        StateVerifyApplication = 8, ///< checking the application checksum
        StateExitBootloader = 9     ///< exit sent; the controller reboots
    };
    Q_ENUM(State)

    /// The most row data, in bytes, that one send-data command carries.
    static constexpr int maximumChunkSize = 11;
    /// How long, in ms, a command may wait for its response before the run fails.
    static constexpr int responseTimeout = 5000;
    /// The bootloader does not answer the exit command but reboots;
    /// finished(true) follows this many ms after it.
    static constexpr int exitDelay = 200;

    /// An idle handler; nothing is opened before start().
    explicit BootloaderHandler(QObject *parent = nullptr);
    ~BootloaderHandler() override;

    /// The step of the current or last run.
    State state() const;
    /// True while the handler holds the serial device open.
    bool connected() const;

    /// The device path of the serial port, for example "/dev/ttyUSB0".
    QString portName() const;
    /// Sets the device path for the next start().
    void setPortName(const QString &portName);

    /// The baud rate (bit/s) of the serial line; 115200 by default.
    int baudrate() const;
    /// Sets the baud rate (bit/s) for the next start().
    void setBaudrate(int baudrate);

    /// The image to write.
    FirmwareData firmwareData() const;
    /// Sets the image for the next start().
    void setFirmwareData(const FirmwareData &firmwareData);

    /// Progress of the run in percent of the image's row bytes sent, 0 to 100.
    double percentage() const;

    /// Where the port's opening, closing and bytes are recorded (the adapter's recorder).
    void setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder);

public slots:
    /// Opens the serial device and begins a run; failures show in finished(false) and in the log.
    void start();
    /// Closes the serial device and resets the progress; the state stays.
    void stop();

signals:
    /// Emitted when the run moves to another step.
    void stateChanged(NivoraVexbusUsb::BootloaderHandler::State state);
    /// Emitted when the serial device was opened (true) or closed (false).
    void connectedChanged(bool connected);
    /// Emitted when the progress changed, in percent, 0 to 100.
    void percentageChanged(double percentage);
    /**
     * Emitted once per run: true 200 ms after the exit command, once every
     * row was programmed and verified; false when the run failed (the
     * bootloader refused a command, a response did not come within 5000 ms,
     * the image does not fit the chip, or the serial device failed).
     */
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
