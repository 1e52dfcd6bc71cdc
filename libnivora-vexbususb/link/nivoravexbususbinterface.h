// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBINTERFACE_H
#define NIVORAVEXBUSUSBINTERFACE_H

#include "nivoravexbususb_export.h"
#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "link/nivoravexbususbpacket.h"

#include <QObject>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QScopedPointer>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbInterfacePrivate;
class NivoraVexbusUsbTrafficRecorder;

/**
 * @brief The serial link to the adapter's controller.
 *
 * Owns the serial port: finds the adapter's tty by device path or by USB
 * serial number, opens it, follows the device watcher to release the port
 * when the device goes and to reopen it when it comes back, and carries
 * packets in SLIP frames with an XOR checksum in both directions. The
 * interface has no timer and never retries by itself; every connection
 * attempt follows a call or a device event.
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbInterface : public QObject
{
    Q_OBJECT

public:
    /// How the interface recognises its adapter's tty.
    enum WatchMode {
        WatchModePort = 0,        ///< the tty whose system location is portName()
        WatchModeSerialNumber = 1 ///< the tty whose USB serial number starts with serialNumber()
    };
    Q_ENUM(WatchMode)

    /// The special bytes of SLIP framing.
    enum ProtocolByte {
        ProtocolByteEnd = 0xC0,           ///< starts and ends a frame
        ProtocolByteEsc = 0xDB,           ///< escapes the next byte
        ProtocolByteTransposedEnd = 0xDC, ///< after Esc: a data byte 0xC0
        ProtocolByteTransposedEsc = 0xDD  ///< after Esc: a data byte 0xDB
    };
    Q_ENUM(ProtocolByte)

    /// A received frame longer than this many bytes is no frame of the
    /// adapter; the receiver drops it instead of growing without bound.
    static constexpr int maximumFrameSize = 4096;

    /**
     * A disabled interface that follows the given watcher, or a watcher of
     * its own when it is null. Nothing is opened before enable().
     */
    explicit NivoraVexbusUsbInterface(NivoraVexbusUsbDeviceWatcher *deviceWatcher, QObject *parent = nullptr);
    /// Closes the port.
    ~NivoraVexbusUsbInterface() override;

    /// How the adapter's tty is recognised.
    WatchMode watchMode() const;
    /// Sets how the adapter's tty is recognised; takes effect at the next connection attempt.
    void setWatchMode(WatchMode watchMode);

    /// The device path of the port, for example "/dev/ttyUSB0".
    QString portName() const;
    /// Sets the device path; emits portNameChanged() when it differs.
    void setPortName(const QString &portName);

    /// The USB serial number prefix looked for in WatchModeSerialNumber.
    QString serialNumber() const;
    /// Sets the USB serial number prefix (case-sensitive).
    void setSerialNumber(const QString &serialNumber);

    /// The baud rate (bit/s) used when the port is opened; 115200 by default.
    QSerialPort::BaudRate baudrate() const;
    /// Sets the baud rate (bit/s) for the next opening.
    void setBaudRate(QSerialPort::BaudRate baudrate);

    /// True while the port is open.
    bool connected() const;
    /// The port object, for the owner to read port information or close the port.
    QSerialPort *serialPort() const;

    /// Where the port's opening, closing and bytes are recorded (the adapter's recorder).
    void setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder);

    /// Writes the packet in one SLIP frame with its XOR checksum.
    void sendPacket(const NivoraVexbusUsbPacket &packet);
    /// Closes the port, resets the decoder and makes one connection attempt,
    /// also when the interface is disabled.
    void reconnectInterface();

public slots:
    /// Enables the interface and makes one connection attempt; returns true
    /// whatever its outcome (connectedChanged() tells it).
    bool enable();
    /// Disables the interface and closes the port.
    void disable();

signals:
    /// Emitted when the port was opened (true) or closed (false).
    void connectedChanged(bool connected);
    /// Emitted when setPortName() stored a different device path.
    void portNameChanged(const QString &portName);
    /// Emitted for each received frame whose checksum is right and whose
    /// bytes make a valid packet, after dataReceived().
    void packetReceived(const NivoraVexbusUsb::NivoraVexbusUsbPacket &packet);
    /// Emitted for each received frame whose checksum is right: its packet
    /// bytes, un-escaped, without the checksum byte.
    void dataReceived(const QByteArray &data);

private slots:
    Q_DECL_HIDDEN bool connectInternally();
    Q_DECL_HIDDEN void onReadyRead();
    Q_DECL_HIDDEN void onError(QSerialPort::SerialPortError error);
    Q_DECL_HIDDEN void onDeviceAdded(const QString &devicePath);
    Q_DECL_HIDDEN void onDeviceRemoved(const QString &devicePath);

private:
    Q_DECL_HIDDEN void setConnected(bool connected);
    Q_DECL_HIDDEN QSerialPortInfo searchSerialPortInfo() const;
    Q_DECL_HIDDEN void onDeviceInfoAdded(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);
    Q_DECL_HIDDEN void onDeviceInfoRemoved(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);

    Q_DECL_HIDDEN unsigned char calculateCrc(const QByteArray &data);
    Q_DECL_HIDDEN void writeByte(unsigned char byte);
    Q_DECL_HIDDEN void streamByte(unsigned char byte, bool special = false);
    Q_DECL_HIDDEN bool processData(const QByteArray &data);
    Q_DECL_HIDDEN void resetBuffer();

    Q_DECLARE_PRIVATE(NivoraVexbusUsbInterface)
    const QScopedPointer<NivoraVexbusUsbInterfacePrivate> d_ptr;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBINTERFACE_H
