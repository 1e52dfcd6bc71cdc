// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "devicewatcher/nivoravexbususbportlocation.h"
#include "devicewatcher/nivoravexbususbportlocation_p.h"

#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace NivoraVexbusUsb {

NivoraVexbusUsbPortLocation::NivoraVexbusUsbPortLocation() :
    d(new NivoraVexbusUsbPortLocationPrivate)
{
}

NivoraVexbusUsbPortLocation::NivoraVexbusUsbPortLocation(const QSerialPortInfo &serialPortInfo) :
    d(new NivoraVexbusUsbPortLocationPrivate)
{
    d->serialPortInfo = serialPortInfo;
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
        location.d->terminalPath = QFileInfo(path).absoluteFilePath();
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
    location.d->terminalPath = name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    return location;
}

bool NivoraVexbusUsbPortLocation::isNull() const
{
    return d->serialPortInfo.isNull() && d->terminalPath.isEmpty();
}

bool NivoraVexbusUsbPortLocation::isEnumerated() const
{
    return !d->serialPortInfo.isNull();
}

QSerialPortInfo NivoraVexbusUsbPortLocation::serialPortInfo() const
{
    return d->serialPortInfo;
}

QString NivoraVexbusUsbPortLocation::portName() const
{
    if (isEnumerated())
        return d->serialPortInfo.portName();
    // Named as QSerialPort names it: the path without a leading "/dev/".
    const QString devPrefix = QStringLiteral("/dev/");
    return d->terminalPath.startsWith(devPrefix) ? d->terminalPath.mid(devPrefix.size()) : d->terminalPath;
}

QString NivoraVexbusUsbPortLocation::systemLocation() const
{
    if (isEnumerated())
        return d->serialPortInfo.systemLocation();
    return d->terminalPath;
}

void NivoraVexbusUsbPortLocation::applyTo(QSerialPort *serialPort, int baudrate) const
{
    serialPort->setBaudRate(baudrate, QSerialPort::AllDirections);
    if (isEnumerated()) {
        serialPort->setPort(d->serialPortInfo);
    } else {
        serialPort->setPortName(d->terminalPath);
    }
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    serialPort->setStopBits(QSerialPort::OneStop);
}

NivoraVexbusUsbPortLocation::NivoraVexbusUsbPortLocation(const NivoraVexbusUsbPortLocation &other) = default;
NivoraVexbusUsbPortLocation::NivoraVexbusUsbPortLocation(NivoraVexbusUsbPortLocation &&other) noexcept = default;
NivoraVexbusUsbPortLocation &NivoraVexbusUsbPortLocation::operator=(const NivoraVexbusUsbPortLocation &other) = default;
NivoraVexbusUsbPortLocation &NivoraVexbusUsbPortLocation::operator=(NivoraVexbusUsbPortLocation &&other) noexcept = default;
NivoraVexbusUsbPortLocation::~NivoraVexbusUsbPortLocation() = default;


} // namespace NivoraVexbusUsb
