// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "devicewatcher/nivoravexbususbserialport.h"
#include "logging/nivoravexbususblogging.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace NivoraVexbusUsb {

NivoraVexbusUsbSerialPort::NivoraVexbusUsbSerialPort(QObject *parent) :
    QSerialPort(parent)
{
}

NivoraVexbusUsbSerialPort::~NivoraVexbusUsbSerialPort()
{
    // QSerialPort's own destructor would close without the setting given back.
    if (isOpen())
        close();
}

bool NivoraVexbusUsbSerialPort::open(OpenMode mode)
{
    if (!QSerialPort::open(mode))
        return false;
    requestLowLatency();
    return true;
}

void NivoraVexbusUsbSerialPort::close()
{
    restoreLatency();
    QSerialPort::close();
}

void NivoraVexbusUsbSerialPort::requestLowLatency()
{
    m_lowLatencySet = false;
    serial_struct serial = {};
    const int fd = static_cast<int>(handle());
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY))
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) != 0)
        return;
    m_lowLatencySet = true;
    qCDebug(dcVexbusUsbInterface()) << "Serial port" << portName() << "in low latency mode";
}

void NivoraVexbusUsbSerialPort::restoreLatency()
{
    if (!m_lowLatencySet || !isOpen())
        return;
    m_lowLatencySet = false;
    // Only the flag set on opening goes back; a device that is gone takes its setting along.
    serial_struct serial = {};
    const int fd = static_cast<int>(handle());
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags &= ~ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) == 0)
        qCDebug(dcVexbusUsbInterface()) << "Serial port" << portName() << "back from low latency mode";
}

} // namespace NivoraVexbusUsb
