// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "devicewatcher/nivoravexbususbportlocation.h"

#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace NivoraVexbusUsb {

NivoraVexbusUsbPortLocation::NivoraVexbusUsbPortLocation(const QSerialPortInfo &serialPortInfo) :
    m_serialPortInfo(serialPortInfo)
{
}

NivoraVexbusUsbPortLocation NivoraVexbusUsbPortLocation::find(const QString &systemLocation)
{
    if (systemLocation.isEmpty())
        return NivoraVexbusUsbPortLocation();

    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        if (info.systemLocation() == systemLocation)
            return NivoraVexbusUsbPortLocation(info);
    }
    return terminalDevice(systemLocation);
}

NivoraVexbusUsbPortLocation NivoraVexbusUsbPortLocation::terminalDevice(const QString &path)
{
    NivoraVexbusUsbPortLocation location;
    if (path.isEmpty())
        return location;

    // Only a terminal takes the line settings a serial port needs. Opening
    // without becoming the controlling terminal and without waiting for a
    // carrier leaves the device as it was.
    const QByteArray nativePath = QFileInfo(path).absoluteFilePath().toLocal8Bit();
    const int fd = ::open(nativePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return location;

    if (::isatty(fd))
        location.m_terminalPath = QFileInfo(path).absoluteFilePath();
    ::close(fd);
    return location;
}

NivoraVexbusUsbPortLocation NivoraVexbusUsbPortLocation::ofOpenPort(const QSerialPort *serialPort)
{
    const QSerialPortInfo info(*serialPort);
    if (!info.isNull())
        return NivoraVexbusUsbPortLocation(info);

    NivoraVexbusUsbPortLocation location;
    if (!serialPort->isOpen() || !::isatty(static_cast<int>(serialPort->handle())))
        return location;

    // QSerialPort names a port by its path without the leading "/dev/".
    const QString name = serialPort->portName();
    location.m_terminalPath = name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    return location;
}

bool NivoraVexbusUsbPortLocation::isNull() const
{
    return m_serialPortInfo.isNull() && m_terminalPath.isEmpty();
}

bool NivoraVexbusUsbPortLocation::isEnumerated() const
{
    return !m_serialPortInfo.isNull();
}

QSerialPortInfo NivoraVexbusUsbPortLocation::serialPortInfo() const
{
    return m_serialPortInfo;
}

QString NivoraVexbusUsbPortLocation::portName() const
{
    if (isEnumerated())
        return m_serialPortInfo.portName();
    // Named as QSerialPort names it: the path without a leading "/dev/".
    const QString devPrefix = QStringLiteral("/dev/");
    return m_terminalPath.startsWith(devPrefix) ? m_terminalPath.mid(devPrefix.size()) : m_terminalPath;
}

QString NivoraVexbusUsbPortLocation::systemLocation() const
{
    if (isEnumerated())
        return m_serialPortInfo.systemLocation();
    return m_terminalPath;
}

void NivoraVexbusUsbPortLocation::applyTo(QSerialPort *serialPort, int baudrate) const
{
    serialPort->setBaudRate(baudrate, QSerialPort::AllDirections);
    if (isEnumerated()) {
        serialPort->setPort(m_serialPortInfo);
    } else {
        serialPort->setPortName(m_terminalPath);
    }
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    serialPort->setStopBits(QSerialPort::OneStop);
}

} // namespace NivoraVexbusUsb
