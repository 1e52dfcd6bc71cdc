// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBFIRMWAREUPDATER_H
#define NIVORAVEXBUSUSBFIRMWAREUPDATER_H

#include "bootloader/bootloaderhandler.h"
#include "bootloader/firmwaredata.h"
#include "bootloader/firmwareupdate.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

namespace NivoraVexbusUsb {

class FirmwareDownloader;
class NivoraVexbusUsbInterface;
class NivoraVexbusUsbReply;
class NivoraVexbusUsbTrafficRecorder;

// The course of a firmware update for the adapter that owns it: the image
// and its checks, the start-bootloader request, the hand-over of the serial
// device to the bootloader handler and back, and the outcome with its phase
// and reason. The adapter keeps the link's state (available, state) and
// follows the signals; everything here runs on the adapter's thread.
class NivoraVexbusUsbFirmwareUpdater : public QObject
{
    Q_OBJECT

public:
    // Sends the start-bootloader request on the adapter's link.
    using StartBootloaderRequest = std::function<NivoraVexbusUsbReply *()>;

    // The hand-over delay of the controller's bootloader start, in ms.
    static constexpr int defaultHandOverDelay = 3000;

    NivoraVexbusUsbFirmwareUpdater(NivoraVexbusUsbInterface *interface, FirmwareDownloader *downloader,
                                   StartBootloaderRequest startBootloader, QObject *parent);

    BootloaderHandler *bootloaderHandler() const { return m_bootloaderHandler; }

    FirmwareUpdate::Phase phase() const { return m_phase; }
    FirmwareUpdate::Error error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    bool updating() const { return m_updating; }
    bool firmwareUpdateAvailable() const { return m_firmwareUpdateAvailable; }
    double percentage() const { return m_percentage; }

    int handOverDelay() const { return m_handOverTimer.interval(); }
    void setHandOverDelay(int milliSeconds) { m_handOverTimer.setInterval(milliSeconds); }

    // Begins an update from firmwareFile, or from the downloader's image
    // when it is empty; every call ends in exactly one finished().
    void start(const QString &firmwareFile, bool controllerAvailable, const QString &portName, int baudrate);
    // Ends a running update at once: nothing of it runs or starts any more.
    void stop();

signals:
    void phaseChanged(NivoraVexbusUsb::FirmwareUpdate::Phase phase);
    void errorChanged(NivoraVexbusUsb::FirmwareUpdate::Error error);
    void errorStringChanged(const QString &errorString);
    void updatingChanged(bool updating);
    void percentageChanged(double percentage);
    void firmwareUpdateAvailableChanged(bool firmwareUpdateAvailable);
    // The link was released for the bootloader; the handler starts after the hand-over delay.
    void handedOver();
    // The bootloader handler holds the serial device.
    void bootloaderConnected();
    void finished(bool success);

private:
    void refuse(FirmwareUpdate::Error error, const QString &errorString);
    void onStartBootloaderFinished(NivoraVexbusUsbReply *reply);
    void handOver();
    void onBootloaderHandlerStateChanged(BootloaderHandler::State state);
    void onBootloaderHandlerFinished(bool success);
    void onFirmwareDownloaderFirmwareChanged(const FirmwareData &firmware);
    void finish(bool success, FirmwareUpdate::Error error, const QString &errorString);

    void setPhase(FirmwareUpdate::Phase phase);
    void setError(FirmwareUpdate::Error error, const QString &errorString);
    void setUpdating(bool updating);
    void setFirmwareUpdateAvailable(bool firmwareUpdateAvailable);
    void setPercentage(double percentage);

    NivoraVexbusUsbInterface *m_interface;
    FirmwareDownloader *m_downloader;
    StartBootloaderRequest m_startBootloader;
    BootloaderHandler *m_bootloaderHandler;
    QTimer m_handOverTimer;
    QPointer<NivoraVexbusUsbReply> m_startReply;
    // The running update's own copy of its image.
    FirmwareData m_image;
    // The downloader's image last offered as an update.
    FirmwareData m_offeredImage;
    FirmwareUpdate::Phase m_phase = FirmwareUpdate::PhaseIdle;
    FirmwareUpdate::Error m_error = FirmwareUpdate::ErrorNone;
    QString m_errorString;
    bool m_updating = false;
    bool m_firmwareUpdateAvailable = false;
    // The last run's progress; the handler forgets its own when it stops.
    double m_percentage = 0.0;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBFIRMWAREUPDATER_H
