#ifndef NIVORAVEXBUSUSBINTERFACE_H
#define NIVORAVEXBUSUSBINTERFACE_H

#include "nivoravexbususb_export.h"
#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "link/nivoravexbususbpacket.h"

#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <memory>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbFrameDecoder;
class NivoraVexbusUsbTrafficRecorder;

// Owns the serial port to the adapter: finds its tty by device path or by
// USB serial number, opens it, follows the device watcher, and carries
// packets in SLIP frames with an XOR checksum in both directions.
// The interface never retries by itself; every connection attempt follows
// a call or a device event.
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbInterface : public QObject
{
    Q_OBJECT

public:
    enum WatchMode {
        WatchModePort = 0,
        WatchModeSerialNumber = 1
    };
    Q_ENUM(WatchMode)

    enum ProtocolByte {
        ProtocolByteEnd = 0xC0,
        ProtocolByteEsc = 0xDB,
        ProtocolByteTransposedEnd = 0xDC,
        ProtocolByteTransposedEsc = 0xDD
    };
    Q_ENUM(ProtocolByte)

    // A frame longer than this is no frame of the adapter; the receiver
    // drops it instead of growing without bound.
    static constexpr int maximumFrameSize = 4096;

    explicit NivoraVexbusUsbInterface(NivoraVexbusUsbDeviceWatcher *deviceWatcher, QObject *parent = nullptr);
    ~NivoraVexbusUsbInterface() override;

    WatchMode watchMode() const;
    void setWatchMode(WatchMode watchMode);

    QString portName() const;
    void setPortName(const QString &portName);

    QString serialNumber() const;
    void setSerialNumber(const QString &serialNumber);

    QSerialPort::BaudRate baudrate() const;
    void setBaudRate(QSerialPort::BaudRate baudrate);

    bool connected() const;
    QSerialPort *serialPort() const;

    /// Where the port's opening, closing and bytes are recorded (the adapter's recorder).
    void setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder);

    void sendPacket(const NivoraVexbusUsbPacket &packet);
    void reconnectInterface();

public slots:
    bool enable();
    void disable();

signals:
    void connectedChanged(bool connected);
    void portNameChanged(const QString &portName);
    void packetReceived(const NivoraVexbusUsb::NivoraVexbusUsbPacket &packet);
    void dataReceived(const QByteArray &data);

private slots:
    bool connectInternally();
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void onDeviceAdded(const QString &devicePath);
    void onDeviceRemoved(const QString &devicePath);

private:
    void setConnected(bool connected);
    QSerialPortInfo searchSerialPortInfo() const;
    void onDeviceInfoAdded(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);
    void onDeviceInfoRemoved(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);

    unsigned char calculateCrc(const QByteArray &data);
    void writeByte(unsigned char byte);
    void streamByte(unsigned char byte, bool special = false);
    void processData(const QByteArray &data);
    void resetBuffer();

    WatchMode m_watchMode = WatchModePort;
    NivoraVexbusUsbDeviceWatcher *m_deviceWatcher = nullptr;
    QSerialPort *m_serialPort = nullptr;
    QPointer<NivoraVexbusUsbTrafficRecorder> m_trafficRecorder;
    bool m_connected = false;
    bool m_enabled = false;
    QString m_portName;
    QString m_serialNumber;
    QSerialPort::BaudRate m_baudrate = QSerialPort::Baud115200;
    std::unique_ptr<NivoraVexbusUsbFrameDecoder> m_decoder;
    // The frame being encoded by sendPacket(), written to the port in one piece.
    QByteArray m_sendBuffer;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBINTERFACE_H
