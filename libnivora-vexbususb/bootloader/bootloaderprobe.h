// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef BOOTLOADERPROBE_H
#define BOOTLOADERPROBE_H

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

class QSerialPort;

namespace NivoraVexbusUsb {

class BootloaderResponseDecoder;
class NivoraVexbusUsbTrafficRecorder;

// Asks once, on a port that nobody else holds, whether the controller's
// bootloader answers: the adapter uses it when the controller's application
// stays silent, as after an interrupted update.
//
// The probe sends enter-bootloader and, when a bootloader answered it,
// sync-bootloader, then closes the port. A running application ignores
// enter: it is no SLIP frame of its protocol, and its checksum fails as one.
// A bootloader answers enter with its identity and status; sync then drops
// whatever the bootloader buffered, unanswered, so that it waits for its
// next command as before. Exit-bootloader would
// not do: it resets the chip, which starts a valid application or, without
// one, comes back into the bootloader, so the probe would change what it
// looked at. (A bootloader that was entered stays in its host loop instead
// of timing out into the application; one that waits after an interrupted
// update has no application to time out into.)
class BootloaderProbe : public QObject
{
    Q_OBJECT

public:
    // How long the bootloader has to answer enter-bootloader, in ms.
    static constexpr int responseTimeout = 1000;

    explicit BootloaderProbe(QObject *parent = nullptr);
    ~BootloaderProbe() override;

    void setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder);
    bool isRunning() const;

    // Opens the port and asks; finished() follows, also when the port
    // cannot be opened.
    void start(const QString &portName, int baudrate);

signals:
    // bootloaderAnswered: a well-formed bootloader response came back,
    // whatever its status.
    void finished(bool bootloaderAnswered);

private:
    void onReadyRead();
    void finish(bool bootloaderAnswered);
    void send(const QByteArray &packet);

    QSerialPort *m_serialPort = nullptr;
    QPointer<NivoraVexbusUsbTrafficRecorder> m_trafficRecorder;
    std::unique_ptr<BootloaderResponseDecoder> m_decoder;
    QTimer m_responseTimer;
};

} // namespace NivoraVexbusUsb

#endif // BOOTLOADERPROBE_H
