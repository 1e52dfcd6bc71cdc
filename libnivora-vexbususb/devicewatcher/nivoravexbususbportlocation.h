#ifndef NIVORAVEXBUSUSBPORTLOCATION_H
#define NIVORAVEXBUSUSBPORTLOCATION_H

#include "nivoravexbususb_export.h"

#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>

namespace NivoraVexbusUsb {

// Where a serial port to the adapter is: a port that the system enumerates,
// or a terminal device that it does not, such as the pseudo-terminal of a
// serial-over-network bridge or of the emulator. Everything that opens the
// adapter by a path finds its port here.
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbPortLocation
{
public:
    NivoraVexbusUsbPortLocation() = default;
    explicit NivoraVexbusUsbPortLocation(const QSerialPortInfo &serialPortInfo);

    // The enumerated port with this system location, else the terminal
    // device at this path, else a null location.
    static NivoraVexbusUsbPortLocation find(const QString &systemLocation);
    // The terminal device at this path, or a null location when the path
    // does not exist or is no terminal.
    static NivoraVexbusUsbPortLocation terminalDevice(const QString &path);
    // Where an open port is. Asks the open handle, since a terminal opened
    // for exclusive use cannot be opened a second time to be looked at.
    static NivoraVexbusUsbPortLocation ofOpenPort(const QSerialPort *serialPort);

    bool isNull() const;
    bool isEnumerated() const;

    // Enumerated ports only; null for a terminal device.
    QSerialPortInfo serialPortInfo() const;
    QString portName() const;
    QString systemLocation() const;

    // Points the port at this location and sets the adapter's line: the
    // baud rate in both directions, 8 data bits, no parity, no flow
    // control, one stop bit. Called before the port is opened.
    void applyTo(QSerialPort *serialPort, int baudrate) const;

private:
    QSerialPortInfo m_serialPortInfo;
    QString m_terminalPath;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBPORTLOCATION_H
