// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBPORTLOCATION_H
#define NIVORAVEXBUSUSBPORTLOCATION_H

#include "nivoravexbususb_export.h"

#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>
#include <QSharedDataPointer>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbPortLocationPrivate;
/**
 * @brief Where a serial port to the adapter is, a copyable value.
 *
 * Either a port that the system enumerates, or a terminal device that it
 * does not, such as the pseudo-terminal of a serial-over-network bridge or
 * of the emulator. Everything that opens the adapter by a path (also a link
 * such as /dev/vexbus/by-serial/SERIAL) finds its port here.
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbPortLocation
{
public:
    /// A null location.
    NivoraVexbusUsbPortLocation();
    /// The location of an enumerated port.
    explicit NivoraVexbusUsbPortLocation(const QSerialPortInfo &serialPortInfo);
    /// Copies share the data until one of them changes.
    NivoraVexbusUsbPortLocation(const NivoraVexbusUsbPortLocation &other);
    /// Takes the data of @p other, which is left for assignment or destruction only.
    NivoraVexbusUsbPortLocation(NivoraVexbusUsbPortLocation &&other) noexcept;
    /// Shares the data of @p other.
    NivoraVexbusUsbPortLocation &operator=(const NivoraVexbusUsbPortLocation &other);
    /// Takes the data of @p other, which is left for assignment or destruction only.
    NivoraVexbusUsbPortLocation &operator=(NivoraVexbusUsbPortLocation &&other) noexcept;
    /// Releases this copy's share of the data.
    ~NivoraVexbusUsbPortLocation();

    /// The enumerated port with this system location (links followed), else
    /// the terminal device at this path, else a null location.
    static NivoraVexbusUsbPortLocation find(const QString &systemLocation);
    /// The terminal device at this path, or a null location when the path
    /// does not exist or is no terminal.
    static NivoraVexbusUsbPortLocation terminalDevice(const QString &path);
    /// Where an open port is. Asks the open handle, since a terminal opened
    /// for exclusive use cannot be opened a second time to be looked at.
    static NivoraVexbusUsbPortLocation ofOpenPort(const QSerialPort *serialPort);

    /// True when the location names no port.
    bool isNull() const;
    /// True for a port that the system enumerates, false for a bare terminal.
    bool isEnumerated() const;

    /// The system's information on an enumerated port; null for a terminal device.
    QSerialPortInfo serialPortInfo() const;
    /// The port's name, for example "ttyUSB0" or "pts/3".
    QString portName() const;
    /// The port's device path, for example "/dev/ttyUSB0".
    QString systemLocation() const;

    /// Points the port at this location and sets the adapter's line: the
    /// baud rate (bit/s) in both directions, 8 data bits, no parity, no flow
    /// control, one stop bit. Called before the port is opened.
    void applyTo(QSerialPort *serialPort, int baudrate) const;

private:
    QSharedDataPointer<NivoraVexbusUsbPortLocationPrivate> d;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBPORTLOCATION_H
