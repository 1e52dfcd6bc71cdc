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
class NivoraVexbusUsbUpdateReply;

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
    // How long, in ms, the controller may take after a written update to
    // answer the init procedure again.
    using RestartWait = std::function<int()>;

    // The hand-over delay of the controller's bootloader start, in ms.
    static constexpr int defaultHandOverDelay = 3000;

    NivoraVexbusUsbFirmwareUpdater(NivoraVexbusUsbInterface *interface, FirmwareDownloader *downloader,
                                   StartBootloaderRequest startBootloader, RestartWait restartWait, QObject *parent);

    BootloaderHandler *bootloaderHandler() const { return m_bootloaderHandler; }

    FirmwareUpdate::Phase phase() const { return m_phase; }
    FirmwareUpdate::Error error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    bool updating() const { return m_updating; }
    bool firmwareUpdateAvailable() const { return m_firmwareUpdateAvailable; }
    double percentage() const { return m_percentage; }

    int handOverDelay() const { return m_handOverTimer.interval(); }
    void setHandOverDelay(int milliSeconds) { m_handOverTimer.setInterval(milliSeconds); }

    // Where the update's bootloader handler finds the controller.
    struct Link
    {
        bool controllerAvailable;
        QString portName;
        int baudrate;
    };
    // Begins an update of image, or of the downloader's image without one. A running update is replaced when replaceRunning is set and
    // refuses the new one otherwise. Every call ends in exactly one
    // finished() and returns the update's object, which ends once too.
    NivoraVexbusUsbUpdateReply *start(const FirmwareData *image, bool replaceRunning, const Link &link);
    // An update that cannot begin: reported on the next turn of the event
    // loop, by its object and, with toAdapter, by finished() as well.
    NivoraVexbusUsbUpdateReply *refuse(FirmwareUpdate::Error error, const QString &errorString, bool toAdapter = true);
    // Ends a running update at once: nothing of it runs or starts any more.
    void stop();
    // The controller answered the init procedure with firmwareVersion: a
    // written update's object finishes with success.
    void controllerAnswered(const QString &firmwareVersion);

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
    NivoraVexbusUsbUpdateReply *newReply();
    // Ends the object that waits for the restarted controller.
    void endRestartWait(FirmwareUpdate::Error error, const QString &errorString);
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
    RestartWait m_restartWait;
    // The running update's object, and the written one's while it waits
    // for the restarted controller.
    QPointer<NivoraVexbusUsbUpdateReply> m_reply;
    QPointer<NivoraVexbusUsbUpdateReply> m_restartingReply;
    QTimer m_restartTimer;
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
