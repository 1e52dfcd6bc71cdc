// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/bootloaderprobe.h"
#include "bootloader/bootloaderresponsedecoder.h"
#include "bootloader/bootloaderutils.h"
#include "devicewatcher/nivoravexbususbportlocation.h"
#include "devicewatcher/nivoravexbususbserialport.h"
#include "logging/nivoravexbususblogging.h"
#include "logging/nivoravexbususbtrafficrecorder.h"

namespace NivoraVexbusUsb {

BootloaderProbe::BootloaderProbe(QObject *parent) :
    QObject(parent),
    m_decoder(new BootloaderResponseDecoder)
{
    m_serialPort = new NivoraVexbusUsbSerialPort(this);
    connect(m_serialPort, &QSerialPort::readyRead, this, &BootloaderProbe::onReadyRead);
    connect(m_serialPort, &QSerialPort::aboutToClose, this, [this]() {
        if (m_trafficRecorder)
            m_trafficRecorder->recordClose(NivoraVexbusUsbTrafficRecorder::PortBootloader);
    });

    m_responseTimer.setSingleShot(true);
    m_responseTimer.setInterval(responseTimeout);
    connect(&m_responseTimer, &QTimer::timeout, this, [this]() { finish(false); });
}

BootloaderProbe::~BootloaderProbe() = default;

void BootloaderProbe::setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder)
{
    m_trafficRecorder = recorder;
}

bool BootloaderProbe::isRunning() const
{
    return m_serialPort->isOpen();
}

void BootloaderProbe::start(const QString &portName, int baudrate)
{
    m_decoder->reset();
    const NivoraVexbusUsbPortLocation location = NivoraVexbusUsbPortLocation::find(portName);
    if (!location.isNull())
        location.applyTo(m_serialPort, baudrate);
    if (location.isNull() || !m_serialPort->open(QIODevice::ReadWrite)) {
        qCDebug(dcVexbusUsbBootloader()) << "Cannot open" << portName << "to ask whether a bootloader answers.";
        // Reported on the next turn of the event loop, as every other outcome.
        QTimer::singleShot(0, this, [this]() { emit finished(false); });
        return;
    }
    if (m_trafficRecorder)
        m_trafficRecorder->recordOpen(NivoraVexbusUsbTrafficRecorder::PortBootloader, location.systemLocation());

    // What the silent application may have sent earlier is no answer.
    m_serialPort->clear(QSerialPort::Input);
    qCDebug(dcVexbusUsbBootloader()) << "Asking whether a bootloader answers on" << location.systemLocation();
    send(BootloaderUtils::commandPacket(BootloaderUtils::BootloaderCommandEnterBootloader));
    m_responseTimer.start();
}

void BootloaderProbe::onReadyRead()
{
    const QByteArray data = m_serialPort->readAll();
    if (m_trafficRecorder)
        m_trafficRecorder->recordBytes(NivoraVexbusUsbTrafficRecorder::PortBootloader, NivoraVexbusUsbTrafficRecorder::DirectionIn, data);
    for (const char byte : data) {
        m_decoder->processByte(static_cast<quint8>(byte));
        while (m_decoder->hasPacket()) {
            unsigned char status = 0;
            QByteArray payload;
            if (BootloaderResponseDecoder::parse(m_decoder->takePacket(), &status, &payload)) {
                qCDebug(dcVexbusUsbBootloader()) << "The bootloader answered enter-bootloader with"
                                                 << BootloaderStatus{status} << payload.toHex();
                finish(true);
                return;
            }
        }
    }
}

void BootloaderProbe::finish(bool bootloaderAnswered)
{
    if (!m_serialPort->isOpen())
        return;

    m_responseTimer.stop();
    // Only to a bootloader that answered: an application's SLIP receiver
    // would take enter and sync together, up to its next frame delimiter,
    // for one frame whose XOR checksum holds (each packet XORs to 0x16),
    // a firmware-version request; enter alone fails that checksum.
    if (bootloaderAnswered) {
        send(BootloaderUtils::commandPacket(BootloaderUtils::BootloaderCommandSyncBootloader));
        m_serialPort->flush();
    }
    m_serialPort->close();
    emit finished(bootloaderAnswered);
}

void BootloaderProbe::send(const QByteArray &packet)
{
    if (m_trafficRecorder)
        m_trafficRecorder->recordBytes(NivoraVexbusUsbTrafficRecorder::PortBootloader, NivoraVexbusUsbTrafficRecorder::DirectionOut, packet);
    m_serialPort->write(packet);
}

} // namespace NivoraVexbusUsb
