// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "devicewatcher/nivoravexbususbserialport.h"
#include "logging/nivoravexbususblogging.h"

#include <QMetaMethod>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
    // As QSerialPort, no bytesWritten() after closing.
    m_writtenDirectly = 0;
    restoreLatency();
    QSerialPort::close();
}

qint64 NivoraVexbusUsbSerialPort::writeData(const char *data, qint64 maxSize)
{
    qint64 written = 0;
    if (maxSize > 0 && bytesToWrite() == 0) {
        const ssize_t count = ::write(static_cast<int>(handle()), data, size_t(maxSize));
        // Anything but a partial or complete write (EAGAIN, a lost device)
        // is left to QSerialPort, which reports its errors itself.
        if (count > 0)
            written = count;
    }
    // bytesWritten() costs a posted event and a turn of the event loop for
    // every write; without a receiver no one would see it.
    static const QMetaMethod bytesWrittenSignal = QMetaMethod::fromSignal(&QIODevice::bytesWritten);
    if (written > 0 && isSignalConnected(bytesWrittenSignal)) {
        if (m_writtenDirectly == 0) {
            QMetaObject::invokeMethod(this, [this]() {
                const qint64 bytes = m_writtenDirectly;
                m_writtenDirectly = 0;
                if (bytes > 0)
                    emit bytesWritten(bytes);
            }, Qt::QueuedConnection);
        }
        m_writtenDirectly += written;
    }
    if (written == maxSize)
        return written;
    const qint64 buffered = QSerialPort::writeData(data + written, maxSize - written);
    return buffered < 0 ? (written > 0 ? written : buffered) : written + buffered;
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
