// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbinterface.h"
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
    m_decoder(new NivoraVexbusUsbFrameDecoder)
{
    qRegisterMetaType<QSerialPort::SerialPortError>();

    m_serialPort = new NivoraVexbusUsbSerialPort(this);
    connect(m_serialPort, &QSerialPort::readyRead, this, &NivoraVexbusUsbInterface::onReadyRead);
    connect(m_serialPort, &QSerialPort::errorOccurred, this, &NivoraVexbusUsbInterface::onError);
    connect(m_serialPort, &QSerialPort::aboutToClose, this, [this]() {
        if (m_trafficRecorder)
            m_trafficRecorder->recordClose(NivoraVexbusUsbTrafficRecorder::PortLink);
    });

    if (deviceWatcher) {
        qCDebug(dcVexbusUsbInterface()) << "Using external device watcher";
        m_deviceWatcher = deviceWatcher;
    } else {
        qCDebug(dcVexbusUsbInterface()) << "Creating own device watcher";
        m_deviceWatcher = new NivoraVexbusUsbDeviceWatcher(this);
    }

    connect(m_deviceWatcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded,
            this, &NivoraVexbusUsbInterface::onDeviceInfoAdded);
    connect(m_deviceWatcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved,
            this, &NivoraVexbusUsbInterface::onDeviceInfoRemoved);
}

NivoraVexbusUsbInterface::~NivoraVexbusUsbInterface()
{
    m_serialPort->close();
}

NivoraVexbusUsbInterface::WatchMode NivoraVexbusUsbInterface::watchMode() const
{
    return m_watchMode;
}

void NivoraVexbusUsbInterface::setWatchMode(WatchMode watchMode)
{
    qCDebug(dcVexbusUsbInterface()) << "Set" << watchMode;
    m_watchMode = watchMode;
}

QString NivoraVexbusUsbInterface::portName() const
{
    return m_portName;
}

void NivoraVexbusUsbInterface::setPortName(const QString &portName)
{
    if (m_portName == portName)
        return;

    qCDebug(dcVexbusUsbInterface()) << "Set port name" << portName;
    m_portName = portName;
    emit portNameChanged(m_portName);
}

QString NivoraVexbusUsbInterface::serialNumber() const
{
    return m_serialNumber;
}

void NivoraVexbusUsbInterface::setSerialNumber(const QString &serialNumber)
{
    qCDebug(dcVexbusUsbInterface()) << "Set serialnumber" << serialNumber;
    m_serialNumber = serialNumber;
}

QSerialPort::BaudRate NivoraVexbusUsbInterface::baudrate() const
{
    return m_baudrate;
}

void NivoraVexbusUsbInterface::setBaudRate(QSerialPort::BaudRate baudrate)
{
    m_baudrate = baudrate;
}

bool NivoraVexbusUsbInterface::connected() const
{
    return m_connected;
}

QSerialPort *NivoraVexbusUsbInterface::serialPort() const
{
    return m_serialPort;
}

bool NivoraVexbusUsbInterface::enable()
{
    if (m_watchMode == WatchModeSerialNumber) {
        qCDebug(dcVexbusUsbInterface()) << "Enable interface for serial number" << m_serialNumber;
    } else {
        qCDebug(dcVexbusUsbInterface()) << "Enable interface for serial port" << m_portName;
    }

    m_enabled = true;
    connectInternally();
    return true;
}

void NivoraVexbusUsbInterface::disable()
{
    qCDebug(dcVexbusUsbInterface()) << "Disable interface" << m_portName;
    m_enabled = false;
    m_serialPort->close();
    setConnected(false);
}

void NivoraVexbusUsbInterface::reconnectInterface()
{
    qCDebug(dcVexbusUsbInterface()) << "Reconnecting interface";
    qCDebug(dcVexbusUsbInterface()) << "Closing port";
    m_serialPort->close();
    resetBuffer();
    setConnected(false);
    connectInternally();
}

void NivoraVexbusUsbInterface::setConnected(bool connected)
{
    if (m_connected == connected)
        return;

    qCDebug(dcVexbusUsbInterface()) << "Connected ->" << connected;
    m_connected = connected;
    emit connectedChanged(m_connected);
}

QSerialPortInfo NivoraVexbusUsbInterface::searchSerialPortInfo() const
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        qCDebug(dcVexbusUsbInterface()) << "Checking serial port" << info.systemLocation() << info.serialNumber();
        if (m_watchMode == WatchModePort && info.systemLocation() == m_portName) {
            qCDebug(dcVexbusUsbInterface()) << "Found serial port" << m_portName;
            return info;
        }
        if (m_watchMode == WatchModeSerialNumber && info.serialNumber().startsWith(m_serialNumber, Qt::CaseSensitive)) {
            qCDebug(dcVexbusUsbInterface()) << "Found serial port with serial number" << m_serialNumber;
            return info;
        }
    }
    return QSerialPortInfo();
}

bool NivoraVexbusUsbInterface::connectInternally()
{
    qCDebug(dcVexbusUsbInterface()) << "Connecting to nivora Vexbus USB adapter";
    if (m_serialPort->isOpen()) {
        qCDebug(dcVexbusUsbInterface()) << "Port is already open. Closing it first...";
        m_serialPort->close();
        setConnected(false);
    }

    NivoraVexbusUsbPortLocation location(searchSerialPortInfo());
    if (location.isNull() && m_watchMode == WatchModePort) {
        // Pseudo-terminals, such as those of serial-over-network bridges, are
        // not enumerated as serial ports but open like one.
        location = NivoraVexbusUsbPortLocation::terminalDevice(m_portName);
        if (!location.isNull())
            qCDebug(dcVexbusUsbInterface()) << "Using terminal device" << m_portName << "which is not listed as a serial port";
    }

    if (location.isNull()) {
        if (m_watchMode == WatchModeSerialNumber) {
            qCWarning(dcVexbusUsbInterface()) << "Could not find any serial port with serial number" << m_serialNumber;
        } else {
            qCWarning(dcVexbusUsbInterface()) << "Could not find any serial port on" << m_portName;
        }
        return false;
    }

    qCDebug(dcVexbusUsbInterface()) << "Found serial port info:" << location.portName();
    location.applyTo(m_serialPort, m_baudrate);

    qCDebug(dcVexbusUsbInterface()) << "Opening serial port" << m_serialPort->isOpen();
    // OpenError means the device is open already, which counts as connected.
    if (m_serialPort->open(QIODevice::ReadWrite)) {
        // The device found, also by its serial number, is the one whose
        // removal ends the connection.
        m_devicePath = location.systemLocation();
        if (m_trafficRecorder)
            m_trafficRecorder->recordOpen(NivoraVexbusUsbTrafficRecorder::PortLink, location.systemLocation());
    } else if (m_serialPort->error() != QSerialPort::OpenError) {
        qCWarning(dcVexbusUsbInterface()) << "Could not open serial port" << m_portName << baudRateName(m_baudrate)
                                          << m_serialPort->errorString();
        return false;
    }

    qCDebug(dcVexbusUsbInterface()) << "Serial port" << m_portName << baudRateName(m_baudrate) << "connected successfully";
    resetBuffer();
    setConnected(true);
    return true;
}

void NivoraVexbusUsbInterface::onDeviceInfoAdded(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo)
{
    switch (m_watchMode) {
    case WatchModeSerialNumber:
        if (!deviceInfo.serialNumber.startsWith(m_serialNumber, Qt::CaseSensitive)) {
            qCWarning(dcVexbusUsbInterface()) << "Device showed up but we are watching for" << m_serialNumber;
            return;
        }
        qCDebug(dcVexbusUsbInterface()) << "Vexbus USB adapter with serial number" << m_serialNumber << "showed up on"
                                        << deviceInfo.devicePath;
        setPortName(deviceInfo.devicePath);
        if (!m_enabled) {
            qCWarning(dcVexbusUsbInterface()) << "Not connecting to" << m_portName << m_serialNumber
                                              << "because the interface is disabled";
            return;
        }
        connectInternally();
        break;
    case WatchModePort:
        if (deviceInfo.devicePath != m_portName) {
            qCWarning(dcVexbusUsbInterface()) << "Device showed up but we are waiting for" << m_portName;
            return;
        }
        qCDebug(dcVexbusUsbInterface()) << "Serial port" << m_portName << "showed up.";
        if (!m_enabled) {
            qCWarning(dcVexbusUsbInterface()) << "Not connecting to" << m_portName << "because the interface is disabled";
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
    if (devicePath != m_portName)
        return;

    qCDebug(dcVexbusUsbInterface()) << "Serial port device" << m_portName << "added.";
    if (!m_enabled) {
        qCWarning(dcVexbusUsbInterface()) << "Not connecting to" << m_portName << "because the interface is disabled";
        return;
    }
    connectInternally();
}

void NivoraVexbusUsbInterface::onDeviceRemoved(const QString &devicePath)
{
    if (devicePath != m_portName && (!m_serialPort->isOpen() || devicePath != m_devicePath))
        return;

    qCWarning(dcVexbusUsbInterface()) << "Serial port device" << devicePath << "removed.";
    m_serialPort->close();
    setConnected(false);
}

void NivoraVexbusUsbInterface::onError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || error == QSerialPort::OpenError || !m_serialPort->isOpen())
        return;

    qCWarning(dcVexbusUsbInterface()) << "Serial port error occurred:" << error << m_serialPort->errorString()
                                      << "(Is open:" << m_serialPort->isOpen() << ")";
    m_serialPort->close();
    setConnected(false);
}

void NivoraVexbusUsbInterface::setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder)
{
    m_trafficRecorder = recorder;
}

// Sending

void NivoraVexbusUsbInterface::sendPacket(const NivoraVexbusUsbPacket &packet)
{
    if (dcVexbusUsbInterface().isDebugEnabled())
        qCDebug(dcVexbusUsbInterface()) << "Sending" << packet;
    if (dcVexbusUsbInterfaceTraffic().isDebugEnabled())
        qCDebug(dcVexbusUsbInterfaceTraffic()) << "Sending packet data" << packet.packetData().toHex();

    const QByteArray data = packet.packetData();
    // One write for the frame: a write per byte costs the port a buffer
    // append and a notifier round each, for every byte of every request.
    // Reserved, the buffer keeps its memory from one frame to the next.
    m_sendBuffer.resize(0);
    m_sendBuffer.reserve(2 * data.size() + 4);
    if (dcVexbusUsbInterfaceTraffic().isDebugEnabled()) {
        // Byte by byte, each one logged.
        streamByte(ProtocolByteEnd, true);
        for (const char byte : data)
            streamByte(static_cast<unsigned char>(byte));
        streamByte(calculateCrc(data));
        streamByte(ProtocolByteEnd, true);
    } else {
        // The same frame in one pass, the checksum taken on the way.
        m_sendBuffer.resize(2 * data.size() + 4);
        char *const begin = m_sendBuffer.data();
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
        m_sendBuffer.resize(int(out - begin));
    }
    if (m_trafficRecorder && m_trafficRecorder->isRecording())
        m_trafficRecorder->recordBytes(NivoraVexbusUsbTrafficRecorder::PortLink, NivoraVexbusUsbTrafficRecorder::DirectionOut, m_sendBuffer);
    m_serialPort->write(m_sendBuffer);
}

unsigned char NivoraVexbusUsbInterface::calculateCrc(const QByteArray &data)
{
    return NivoraVexbusUsbFrameDecoder::calculateCrc(data);
}

void NivoraVexbusUsbInterface::writeByte(unsigned char byte)
{
    if (dcVexbusUsbInterfaceTraffic().isDebugEnabled())
        qCDebug(dcVexbusUsbInterfaceTraffic()) << "-->" << byteText(byte);
    m_sendBuffer.append(static_cast<char>(byte));
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
    // The bytes go into the interface's own buffer, which keeps its memory
    // from one read to the next (readAll() allocates for every read). It is
    // taken out while its bytes are processed: a receiver that turns the
    // event loop may bring a nested read, which then reads into a buffer of
    // its own.
    QByteArray data;
    data.swap(m_readBuffer);
    const qint64 available = m_serialPort->bytesAvailable();
    if (data.size() < available)
        data.resize(int(qMin<qint64>(available, std::numeric_limits<int>::max())));
    const qint64 count = available > 0 ? m_serialPort->read(data.data(), data.size()) : 0;
    if (count > 0 && m_trafficRecorder && m_trafficRecorder->isRecording())
        m_trafficRecorder->recordBytes(NivoraVexbusUsbTrafficRecorder::PortLink, NivoraVexbusUsbTrafficRecorder::DirectionIn,
                                       QByteArray(data.constData(), int(count)));
    // Receivers run synchronously and may send or reconnect from inside
    // processData(); the decoder takes the next byte only afterwards.
    const char *bytes = data.constData();
    int remaining = int(qMax<qint64>(count, 0));
    while (remaining > 0) {
        bool frameClosed = false;
        const int taken = m_decoder->processBytes(bytes, remaining, &frameClosed);
        bytes += taken;
        remaining -= taken;
        if (frameClosed)
            processData(m_decoder->frame());
    }
    m_readBuffer.swap(data);
}

void NivoraVexbusUsbInterface::processData(const QByteArray &data)
{
    if (dcVexbusUsbInterfaceTraffic().isDebugEnabled())
        qCDebug(dcVexbusUsbInterfaceTraffic()) << "Processing data" << data.toHex();

    emit dataReceived(data);

    const NivoraVexbusUsbPacket packet(data);
    if (!packet.isValid()) {
        if (dcVexbusUsbInterface().isWarningEnabled())
            qCWarning(dcVexbusUsbInterface()) << "Could not create valid packet from received data" << data.toHex() << "Discard data...";
        return;
    }

    if (packet.type() == NivoraVexbusUsbPacket::TypeNotification && packet.command() == NivoraVexbusUsbUtils::NotificationVexbusData) {
        qCDebug(dcVexbusUsbInterfaceVexbus()) << "Received" << packet;
    } else {
        qCDebug(dcVexbusUsbInterface()) << "Received" << packet;
    }
    emit packetReceived(packet);
}

void NivoraVexbusUsbInterface::resetBuffer()
{
    m_decoder->reset();
}

} // namespace NivoraVexbusUsb
