// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef BOOTLOADERHANDLER_H
#define BOOTLOADERHANDLER_H

#include "nivoravexbususb_export.h"
#include "bootloader/bootloaderutils.h"
#include "bootloader/firmwaredata.h"
#include "bootloader/firmwareupdate.h"

#include <QHash>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSerialPort>
#include <QTimer>
#include <QScopedPointer>

#include <memory>

namespace NivoraVexbusUsb {

class BootloaderHandlerPrivate;
class BootloaderResponseDecoder;
class NivoraVexbusUsbPortLocation;
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
    /// Sets the image for the next start(); a running run keeps writing
    /// the image it started with.
    void setFirmwareData(const FirmwareData &firmwareData);

    /// Progress of the run in percent of the image's row bytes sent, 0 to 100.
    double percentage() const;

    /**
     * True when the last run sent the exit command: after success, and after
     * a failure before the first row was programmed (the application in the
     * flash is whole, so the controller runs it again), or leaveBootloader().
     * False after a failure once rows were written: the controller waits in
     * its bootloader for a new run.
     */
    bool leftBootloader() const;

    /// Why the last run failed; ErrorNone while a run goes on and after success.
    FirmwareUpdate::Error error() const;
    /// The failure of the last run as a sentence, naming the row, array and
    /// the expected and received values where they apply; empty without failure.
    QString errorString() const;

    /// Where the port's opening, closing and bytes are recorded (the adapter's recorder).
    void setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder);

public slots:
    /// Opens the serial device and begins a run; failures show in finished(false) and in the log.
    void start();
    /// Closes the serial device, resets the progress and cancels what the
    /// run still had to do (the time-out, the exit's delay); the state returns
    /// to StateIdle. A failed run keeps the step it failed in until then.
    void stop();
    /**
     * Sends the exit command to the bootloader at once, opening the port for
     * it when the handler holds none, and waits for nothing: for an owner
     * that gives up before the first row is programmed. False, sending
     * nothing, once the run programmed a row (the controller must stay in
     * its bootloader) or when the port does not open. Follow it with stop().
     */
    bool leaveBootloader();

signals:
    /// Emitted when the run moves to another step.
    void stateChanged(NivoraVexbusUsb::BootloaderHandler::State state);
    /// Emitted when the serial device was opened (true) or closed (false).
    void connectedChanged(bool connected);
    /// Emitted when the progress changed, in percent, 0 to 100.
    void percentageChanged(double percentage);
    /**
     * Emitted once per run: true 200 ms after the exit command, once every
     * row was programmed and verified and the application checksum holds;
     * false when the run failed (the bootloader refused a command, a
     * response did not come within 5000 ms, the image does not fit the chip,
     * the application does not verify, or the serial device failed), with
     * error() and errorString() telling why. A failure before the first row
     * was programmed sends the exit command first and reports 200 ms later.
     */
    void finished(bool success);

private slots:
    Q_DECL_HIDDEN void onReadyRead();
    Q_DECL_HIDDEN void onError(QSerialPort::SerialPortError error);
    Q_DECL_HIDDEN void onExitBootloaderTimeout();
    Q_DECL_HIDDEN void onResponseTimeout();

private:
    Q_DECL_HIDDEN void setState(State state);
    Q_DECL_HIDDEN void setConnected(bool connected);
    Q_DECL_HIDDEN void reset();
    Q_DECL_HIDDEN void fail(FirmwareUpdate::Error error, const QString &errorString);
    Q_DECL_HIDDEN void failOnStatus(quint8 status);
    Q_DECL_HIDDEN QString runPosition() const;
    Q_DECL_HIDDEN bool openPort();
    Q_DECL_HIDDEN NivoraVexbusUsbPortLocation portLocation() const;
    Q_DECL_HIDDEN void sendExitBootloader();
    Q_DECL_HIDDEN void sendExitPackets();
    Q_DECL_HIDDEN void sendFlashSizeRequest();

    Q_DECL_HIDDEN FirmwareDataRow getCurrentRow() const;
    Q_DECL_HIDDEN bool currentRowExists() const;
    Q_DECL_HIDDEN QByteArray rowAddress() const;
    Q_DECL_HIDDEN void sendNextRowData();
    Q_DECL_HIDDEN void calculateUpdatePercentage();

    Q_DECL_HIDDEN QByteArray buildPacket(BootloaderUtils::BootloaderCommand command, const QByteArray &data = QByteArray());
    Q_DECL_HIDDEN void sendCommand(const char *message, BootloaderUtils::BootloaderCommand command, const QByteArray &data = QByteArray());
    Q_DECL_HIDDEN void sendData(const QByteArray &packet);
    Q_DECL_HIDDEN void processData(const QByteArray &packet);
    Q_DECL_HIDDEN void processMessage(quint8 status, const QByteArray &payload);
    Q_DECL_HIDDEN void processEnterBootloaderResponse(const QByteArray &payload);
    Q_DECL_HIDDEN void processFlashSizeResponse(const QByteArray &payload);
    Q_DECL_HIDDEN void processStreamRowResponse();
    Q_DECL_HIDDEN void processVerifyRowResponse(const QByteArray &payload);

    Q_DECLARE_PRIVATE(BootloaderHandler)
    const QScopedPointer<BootloaderHandlerPrivate> d_ptr;
};

} // namespace NivoraVexbusUsb

#endif // BOOTLOADERHANDLER_H
