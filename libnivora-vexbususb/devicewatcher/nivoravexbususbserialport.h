// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBSERIALPORT_H
#define NIVORAVEXBUSUSBSERIALPORT_H

#include <QSerialPort>

namespace NivoraVexbusUsb {

// The serial port that the interface and the bootloader handler open the
// adapter with: a QSerialPort that asks the kernel for low latency once it
// is open, and gives the port its earlier setting back when it closes.
//
// Every response of the adapter is a few bytes, which the FTDI chip holds
// until its latency timer runs out (16 ms by default under ftdi_sio); in low
// latency mode (ASYNC_LOW_LATENCY, a 1 ms timer under ftdi_sio) a round
// trip costs little more than its bytes on the line. Drivers that do not
// offer the setting (pseudo-terminals, serial-over-network bridges) or
// refuse it leave the port as it is, without a word.
//
// What is written while nothing waits in the port's buffer goes to the
// descriptor at once; QSerialPort would buffer it, switch its write notifier
// on and write it from the event loop: two turns of the loop and the
// notifier on and off again for every request. bytesWritten() still comes
// from the event loop, for the writes made while it has a receiver.
class NivoraVexbusUsbSerialPort : public QSerialPort
{
public:
    explicit NivoraVexbusUsbSerialPort(QObject *parent = nullptr);
    ~NivoraVexbusUsbSerialPort() override;

    bool open(OpenMode mode) override;
    void close() override;

protected:
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    void requestLowLatency();
    void restoreLatency();

    bool m_lowLatencySet = false;
    qint64 m_writtenDirectly = 0;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBSERIALPORT_H
