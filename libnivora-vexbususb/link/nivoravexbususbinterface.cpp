// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbinterface.h"
#include "link/nivoravexbususbinterface_p.h"
#include "link/nivoravexbususbframedecoder.h"
#include "devicewatcher/nivoravexbususbportlocation.h"
#include "devicewatcher/nivoravexbususbserialport.h"
#include "logging/bytetext.h"
#include "logging/nivoravexbususblogging.h"
#include "logging/nivoravexbususbtrafficrecorder.h"

#include <QMetaEnum>

#include <limits>

namespace NivoraVexbusUsb {

// The decoder, a plain value, keeps its own copy of what the interface publishes.
static_assert(NivoraVexbusUsbFrameDecoder::maximumFrameSize == NivoraVexbusUsbInterface::maximumFrameSize, "one frame size limit");
static_assert(int(NivoraVexbusUsbFrameDecoder::End) == int(NivoraVexbusUsbInterface::ProtocolByteEnd)
              && int(NivoraVexbusUsbFrameDecoder::Esc) == int(NivoraVexbusUsbInterface::ProtocolByteEsc)
              && int(NivoraVexbusUsbFrameDecoder::TransposedEnd) == int(NivoraVexbusUsbInterface::ProtocolByteTransposedEnd)
              && int(NivoraVexbusUsbFrameDecoder::TransposedEsc) == int(NivoraVexbusUsbInterface::ProtocolByteTransposedEsc),
              "one set of SLIP bytes");

namespace {

QString baudRateName(QSerialPort::BaudRate baudrate)
{
    const char *key = QMetaEnum::fromType<QSerialPort::BaudRate>().valueToKey(baudrate);
    return key ? QString::fromLatin1(key) : QString::number(baudrate);
}

} // namespace

NivoraVexbusUsbInterface::NivoraVexbusUsbInterface(NivoraVexbusUsbDeviceWatcher *deviceWatcher, QObject *parent) :
    QObject(parent),
    d_ptr(new NivoraVexbusUsbInterfacePrivate)
{
    Q_D(NivoraVexbusUsbInterface);
    qRegisterMetaType<QSerialPort::SerialPortError>();

    d->serialPort = new NivoraVexbusUsbSerialPort(this);
    connect(d->serialPort, &QSerialPort::readyRead, this, &NivoraVexbusUsbInterface::onReadyRead);
    connect(d->serialPort, &QSerialPort::errorOccurred, this, &NivoraVexbusUsbInterface::onError);
    connect(d->serialPort, &QSerialPort::aboutToClose, this, [d]() {
        if (d->trafficRecorder)
            d->trafficRecorder->recordClose(NivoraVexbusUsbTrafficRecorder::PortLink);
    });

    if (deviceWatcher) {
        qCDebug(dcVexbusUsbInterface()) << "Using external device watcher";
        d->deviceWatcher = deviceWatcher;
    } else {
        qCDebug(dcVexbusUsbInterface()) << "Creating own device watcher";
        d->deviceWatcher = new NivoraVexbusUsbDeviceWatcher(this);
    }

    connect(d->deviceWatcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded,
            this, &NivoraVexbusUsbInterface::onDeviceInfoAdded);
    connect(d->deviceWatcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved,
            this, &NivoraVexbusUsbInterface::onDeviceInfoRemoved);
}

NivoraVexbusUsbInterface::~NivoraVexbusUsbInterface()
{
    Q_D(NivoraVexbusUsbInterface);
    d->serialPort->close();
    if (d->deletedFlag) {
        // Deleted by a receiver of a frame being read: the port is still
        // inside its readyRead(), so it goes once that has returned.
        *d->deletedFlag = true;
        disconnect(d->serialPort, nullptr, this, nullptr);
        d->serialPort->setParent(nullptr);
        d->serialPort->deleteLater();
    }
}

NivoraVexbusUsbInterface::WatchMode NivoraVexbusUsbInterface::watchMode() const
{
    Q_D(const NivoraVexbusUsbInterface);
    return d->watchMode;
}

void NivoraVexbusUsbInterface::setWatchMode(WatchMode watchMode)
{
    Q_D(NivoraVexbusUsbInterface);
    qCDebug(dcVexbusUsbInterface()) << "Set" << watchMode;
    d->watchMode = watchMode;
}

QString NivoraVexbusUsbInterface::portName() const
{
    Q_D(const NivoraVexbusUsbInterface);
    return d->portName;
}

void NivoraVexbusUsbInterface::setPortName(const QString &portName)
{
    Q_D(NivoraVexbusUsbInterface);
    if (d->portName == portName)
        return;

    qCDebug(dcVexbusUsbInterface()) << "Set port name" << portName;
    d->portName = portName;
    emit portNameChanged(d->portName);
}

QString NivoraVexbusUsbInterface::serialNumber() const
{
    Q_D(const NivoraVexbusUsbInterface);
    return d->serialNumber;
}

void NivoraVexbusUsbInterface::setSerialNumber(const QString &serialNumber)
{
    Q_D(NivoraVexbusUsbInterface);
    qCDebug(dcVexbusUsbInterface()) << "Set serialnumber" << serialNumber;
    d->serialNumber = serialNumber;
}

QSerialPort::BaudRate NivoraVexbusUsbInterface::baudrate() const
{
    Q_D(const NivoraVexbusUsbInterface);
    return d->baudrate;
}

void NivoraVexbusUsbInterface::setBaudRate(QSerialPort::BaudRate baudrate)
{
    Q_D(NivoraVexbusUsbInterface);
    d->baudrate = baudrate;
}

bool NivoraVexbusUsbInterface::connected() const
{
    Q_D(const NivoraVexbusUsbInterface);
    return d->connected;
}

QSerialPort *NivoraVexbusUsbInterface::serialPort() const
{
    Q_D(const NivoraVexbusUsbInterface);
    return d->serialPort;
}

bool NivoraVexbusUsbInterface::enable()
{
    Q_D(NivoraVexbusUsbInterface);
    if (d->watchMode == WatchModeSerialNumber) {
        qCDebug(dcVexbusUsbInterface()) << "Enable interface for serial number" << d->serialNumber;
    } else {
        qCDebug(dcVexbusUsbInterface()) << "Enable interface for serial port" << d->portName;
    }

    d->enabled = true;
    connectInternally();
    return true;
}

void NivoraVexbusUsbInterface::disable()
{
    Q_D(NivoraVexbusUsbInterface);
    qCDebug(dcVexbusUsbInterface()) << "Disable interface" << d->portName;
    d->enabled = false;
    d->serialPort->close();
    setConnected(false);
}

void NivoraVexbusUsbInterface::reconnectInterface()
{
    Q_D(NivoraVexbusUsbInterface);
    qCDebug(dcVexbusUsbInterface()) << "Reconnecting interface";
    qCDebug(dcVexbusUsbInterface()) << "Closing port";
    d->serialPort->close();
    resetBuffer();
    setConnected(false);
    connectInternally();
}

void NivoraVexbusUsbInterface::setConnected(bool connected)
{
    Q_D(NivoraVexbusUsbInterface);
    if (d->connected == connected)
        return;

    qCDebug(dcVexbusUsbInterface()) << "Connected ->" << connected;
    d->connected = connected;
    emit connectedChanged(d->connected);
}

QSerialPortInfo NivoraVexbusUsbInterface::searchSerialPortInfo() const
{
    Q_D(const NivoraVexbusUsbInterface);
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        qCDebug(dcVexbusUsbInterface()) << "Checking serial port" << info.systemLocation() << info.serialNumber();
        if (d->watchMode == WatchModePort && info.systemLocation() == d->portName) {
            qCDebug(dcVexbusUsbInterface()) << "Found serial port" << d->portName;
            return info;
        }
        if (d->watchMode == WatchModeSerialNumber && info.serialNumber().startsWith(d->serialNumber, Qt::CaseSensitive)) {
            qCDebug(dcVexbusUsbInterface()) << "Found serial port with serial number" << d->serialNumber;
            return info;
        }
    }
    return QSerialPortInfo();
}

bool NivoraVexbusUsbInterface::connectInternally()
{
    Q_D(NivoraVexbusUsbInterface);
    qCDebug(dcVexbusUsbInterface()) << "Connecting to nivora Vexbus USB adapter";
    if (d->serialPort->isOpen()) {
        qCDebug(dcVexbusUsbInterface()) << "Port is already open. Closing it first...";
        d->serialPort->close();
        setConnected(false);
    }

    NivoraVexbusUsbPortLocation location(searchSerialPortInfo());
    if (location.isNull() && d->watchMode == WatchModePort) {
        // Pseudo-terminals, such as those of serial-over-network bridges, are
        // not enumerated as serial ports but open like one.
        location = NivoraVexbusUsbPortLocation::terminalDevice(d->portName);
        if (!location.isNull())
            qCDebug(dcVexbusUsbInterface()) << "Using terminal device" << d->portName << "which is not listed as a serial port";
    }

    if (location.isNull()) {
        if (d->watchMode == WatchModeSerialNumber) {
            qCWarning(dcVexbusUsbInterface()) << "Could not find any serial port with serial number" << d->serialNumber;
        } else {
            qCWarning(dcVexbusUsbInterface()) << "Could not find any serial port on" << d->portName;
        }
        return false;
    }

    qCDebug(dcVexbusUsbInterface()) << "Found serial port info:" << location.portName();
    location.applyTo(d->serialPort, d->baudrate);

    qCDebug(dcVexbusUsbInterface()) << "Opening serial port" << d->serialPort->isOpen();
    // OpenError means the device is open already, which counts as connected.
    if (d->serialPort->open(QIODevice::ReadWrite)) {
        // The device found, also by its serial number, is the one whose
        // removal ends the connection.
        d->devicePath = location.systemLocation();
        if (d->trafficRecorder)
            d->trafficRecorder->recordOpen(NivoraVexbusUsbTrafficRecorder::PortLink, location.systemLocation());
    } else if (d->serialPort->error() != QSerialPort::OpenError) {
        qCWarning(dcVexbusUsbInterface()) << "Could not open serial port" << d->portName << baudRateName(d->baudrate)
                                          << d->serialPort->errorString();
        return false;
    }

    qCDebug(dcVexbusUsbInterface()) << "Serial port" << d->portName << baudRateName(d->baudrate) << "connected successfully";
    resetBuffer();
    setConnected(true);
    return true;
}

void NivoraVexbusUsbInterface::onDeviceInfoAdded(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo)
{
    Q_D(NivoraVexbusUsbInterface);
    switch (d->watchMode) {
    case WatchModeSerialNumber:
        if (!deviceInfo.serialNumber.startsWith(d->serialNumber, Qt::CaseSensitive)) {
            qCWarning(dcVexbusUsbInterface()) << "Device showed up but we are watching for" << d->serialNumber;
            return;
        }
        qCDebug(dcVexbusUsbInterface()) << "Vexbus USB adapter with serial number" << d->serialNumber << "showed up on"
                                        << deviceInfo.devicePath;
        setPortName(deviceInfo.devicePath);
        if (!d->enabled) {
            qCWarning(dcVexbusUsbInterface()) << "Not connecting to" << d->portName << d->serialNumber
                                              << "because the interface is disabled";
            return;
        }
        connectInternally();
        break;
    case WatchModePort:
        if (deviceInfo.devicePath != d->portName) {
            qCWarning(dcVexbusUsbInterface()) << "Device showed up but we are waiting for" << d->portName;
            return;
        }
        qCDebug(dcVexbusUsbInterface()) << "Serial port" << d->portName << "showed up.";
        if (!d->enabled) {
            qCWarning(dcVexbusUsbInterface()) << "Not connecting to" << d->portName << "because the interface is disabled";
            return;
        }
        connectInternally();
        break;
    }
}

void NivoraVexbusUsbInterface::onDeviceInfoRemoved(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo)
{
    onDeviceRemoved(deviceInfo.devicePath);
}

void NivoraVexbusUsbInterface::onDeviceAdded(const QString &devicePath)
{
    Q_D(NivoraVexbusUsbInterface);
    if (devicePath != d->portName)
        return;

    qCDebug(dcVexbusUsbInterface()) << "Serial port device" << d->portName << "added.";
    if (!d->enabled) {
        qCWarning(dcVexbusUsbInterface()) << "Not connecting to" << d->portName << "because the interface is disabled";
        return;
    }
    connectInternally();
}

void NivoraVexbusUsbInterface::onDeviceRemoved(const QString &devicePath)
{
    Q_D(NivoraVexbusUsbInterface);
    if (devicePath != d->portName && (!d->serialPort->isOpen() || devicePath != d->devicePath))
        return;

    qCWarning(dcVexbusUsbInterface()) << "Serial port device" << devicePath << "removed.";
    d->serialPort->close();
    setConnected(false);
}

void NivoraVexbusUsbInterface::onError(QSerialPort::SerialPortError error)
{
    Q_D(NivoraVexbusUsbInterface);
    if (error == QSerialPort::NoError || error == QSerialPort::OpenError || !d->serialPort->isOpen())
        return;

    qCWarning(dcVexbusUsbInterface()) << "Serial port error occurred:" << error << d->serialPort->errorString()
                                      << "(Is open:" << d->serialPort->isOpen() << ")";
    d->serialPort->close();
    setConnected(false);
}

void NivoraVexbusUsbInterface::setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder)
{
    Q_D(NivoraVexbusUsbInterface);
    d->trafficRecorder = recorder;
}

// Sending

void NivoraVexbusUsbInterface::sendPacket(const NivoraVexbusUsbPacket &packet)
{
    Q_D(NivoraVexbusUsbInterface);
    if (dcVexbusUsbInterface().isDebugEnabled())
        qCDebug(dcVexbusUsbInterface()) << "Sending" << packet;
    if (dcVexbusUsbInterfaceTraffic().isDebugEnabled())
        qCDebug(dcVexbusUsbInterfaceTraffic()) << "Sending packet data" << packet.packetData().toHex();

    const QByteArray data = packet.packetData();
    // One write for the frame: a write per byte costs the port a buffer
    // append and a notifier round each, for every byte of every request.
    // Reserved, the buffer keeps its memory from one frame to the next.
    if (dcVexbusUsbInterfaceTraffic().isDebugEnabled()) {
        // Byte by byte, each one logged.
        d->sendBuffer.resize(0);
        d->sendBuffer.reserve(2 * data.size() + 4);
        streamByte(ProtocolByteEnd, true);
        for (const char byte : data)
            streamByte(static_cast<unsigned char>(byte));
        streamByte(calculateCrc(data));
        streamByte(ProtocolByteEnd, true);
    } else {
        // The same frame in one pass, the checksum taken on the way.
        d->sendBuffer.resize(2 * data.size() + 4);
        char *const begin = d->sendBuffer.data();
        char *out = begin;
        const auto put = [&out](unsigned char byte) {
            if (byte == ProtocolByteEnd) {
                *out++ = static_cast<char>(ProtocolByteEsc);
                *out++ = static_cast<char>(ProtocolByteTransposedEnd);
            } else if (byte == ProtocolByteEsc) {
                *out++ = static_cast<char>(ProtocolByteEsc);
                *out++ = static_cast<char>(ProtocolByteTransposedEsc);
            } else {
                *out++ = static_cast<char>(byte);
            }
        };
        unsigned char crc = 0;
        *out++ = static_cast<char>(ProtocolByteEnd);
        for (const char byte : data) {
            crc ^= static_cast<unsigned char>(byte);
            put(static_cast<unsigned char>(byte));
        }
        put(crc);
        *out++ = static_cast<char>(ProtocolByteEnd);
        d->sendBuffer.resize(int(out - begin));
    }
    if (d->trafficRecorder && d->trafficRecorder->isRecording())
        d->trafficRecorder->recordBytes(NivoraVexbusUsbTrafficRecorder::PortLink, NivoraVexbusUsbTrafficRecorder::DirectionOut, d->sendBuffer);
    d->serialPort->write(d->sendBuffer);
}

unsigned char NivoraVexbusUsbInterface::calculateCrc(const QByteArray &data)
{
    return NivoraVexbusUsbFrameDecoder::calculateCrc(data);
}

void NivoraVexbusUsbInterface::writeByte(unsigned char byte)
{
    Q_D(NivoraVexbusUsbInterface);
    if (dcVexbusUsbInterfaceTraffic().isDebugEnabled())
        qCDebug(dcVexbusUsbInterfaceTraffic()) << "-->" << byteText(byte);
    d->sendBuffer.append(static_cast<char>(byte));
}

void NivoraVexbusUsbInterface::streamByte(unsigned char byte, bool special)
{
    if (special) {
        writeByte(byte);
        return;
    }

    switch (byte) {
    case ProtocolByteEnd:
        writeByte(ProtocolByteEsc);
        writeByte(ProtocolByteTransposedEnd);
        break;
    case ProtocolByteEsc:
        writeByte(ProtocolByteEsc);
        writeByte(ProtocolByteTransposedEsc);
        break;
    default:
        writeByte(byte);
        break;
    }
}

// Receiving

void NivoraVexbusUsbInterface::onReadyRead()
{
    Q_D(NivoraVexbusUsbInterface);
    // The bytes go into the interface's own buffer, which keeps its memory
    // from one read to the next (readAll() allocates for every read). It is
    // taken out while its bytes are processed: a receiver that turns the
    // event loop may bring a nested read, which then reads into a buffer of
    // its own.
    QByteArray data;
    data.swap(d->readBuffer);
    const qint64 available = d->serialPort->bytesAvailable();
    if (data.size() < available)
        data.resize(int(qMin<qint64>(available, std::numeric_limits<int>::max())));
    const qint64 count = available > 0 ? d->serialPort->read(data.data(), data.size()) : 0;
    if (count > 0 && d->trafficRecorder && d->trafficRecorder->isRecording())
        d->trafficRecorder->recordBytes(NivoraVexbusUsbTrafficRecorder::PortLink, NivoraVexbusUsbTrafficRecorder::DirectionIn,
                                       QByteArray(data.constData(), int(count)));
    // Receivers run synchronously and may send or reconnect from inside
    // processData(); the decoder takes the next byte only afterwards.
    // A receiver may also delete the interface; nothing of it is touched
    // after that. A nested read keeps the flag of the outer one in mind.
    bool deleted = false;
    bool *const outerFlag = d->deletedFlag;
    d->deletedFlag = &deleted;
    const char *bytes = data.constData();
    int remaining = int(qMax<qint64>(count, 0));
    while (remaining > 0) {
        bool frameClosed = false;
        const int taken = d->decoder->processBytes(bytes, remaining, &frameClosed);
        bytes += taken;
        remaining -= taken;
        if (frameClosed && !processData(d->decoder->frame())) {
            if (outerFlag)
                *outerFlag = true;
            return;
        }
    }
    d->deletedFlag = outerFlag;
    d->readBuffer.swap(data);
}

// False when a receiver deleted the interface.
bool NivoraVexbusUsbInterface::processData(const QByteArray &data)
{
    Q_D(NivoraVexbusUsbInterface);
    if (dcVexbusUsbInterfaceTraffic().isDebugEnabled())
        qCDebug(dcVexbusUsbInterfaceTraffic()) << "Processing data" << data.toHex();

    bool *const deleted = d->deletedFlag;
    emit dataReceived(data);
    if (*deleted)
        return false;

    const NivoraVexbusUsbPacket packet(data);
    if (!packet.isValid()) {
        if (dcVexbusUsbInterface().isWarningEnabled())
            qCWarning(dcVexbusUsbInterface()) << "Could not create valid packet from received data" << data.toHex() << "Discard data...";
        return true;
    }

    if (packet.type() == NivoraVexbusUsbPacket::TypeNotification && packet.command() == NivoraVexbusUsbUtils::NotificationVexbusData) {
        qCDebug(dcVexbusUsbInterfaceVexbus()) << "Received" << packet;
    } else {
        qCDebug(dcVexbusUsbInterface()) << "Received" << packet;
    }
    if (d->packetHook) {
        d->packetHook(d->packetHookReceiver, packet);
        if (*deleted)
            return false;
    }
    emit packetReceived(packet);
    return !*deleted;
}

void NivoraVexbusUsbInterface::resetBuffer()
{
    Q_D(NivoraVexbusUsbInterface);
    d->decoder->reset();
}

} // namespace NivoraVexbusUsb
