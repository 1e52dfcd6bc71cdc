// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adapter/nivoravexbususbfirmwareupdater.h"
#include "adapter/nivoravexbususbupdatereply.h"
#include "adapter/nivoravexbususbupdatereply_p.h"
#include "link/nivoravexbususbutils.h"
#include "firmware/firmwaredownloader.h"
#include "link/nivoravexbususbinterface.h"
#include "link/nivoravexbususbreply.h"
#include "logging/nivoravexbususblogging.h"

#include <QMetaEnum>

namespace NivoraVexbusUsb {

NivoraVexbusUsbFirmwareUpdater::NivoraVexbusUsbFirmwareUpdater(NivoraVexbusUsbInterface *interface, FirmwareDownloader *downloader,
                                                               StartBootloaderRequest startBootloader, RestartWait restartWait,
                                                               QObject *parent) :
    QObject(parent),
    m_interface(interface),
    m_downloader(downloader),
    m_startBootloader(std::move(startBootloader)),
    m_restartWait(std::move(restartWait))
{
    qRegisterMetaType<FirmwareUpdate::Phase>();
    qRegisterMetaType<FirmwareUpdate::Error>();

    m_bootloaderHandler = new BootloaderHandler(this);
    connect(m_bootloaderHandler, &BootloaderHandler::finished, this, &NivoraVexbusUsbFirmwareUpdater::onBootloaderHandlerFinished);
    connect(m_bootloaderHandler, &BootloaderHandler::stateChanged, this, &NivoraVexbusUsbFirmwareUpdater::onBootloaderHandlerStateChanged);
    connect(m_bootloaderHandler, &BootloaderHandler::connectedChanged, this, [this](bool connected) {
        if (connected)
            emit bootloaderConnected();
    });
    connect(m_bootloaderHandler, &BootloaderHandler::percentageChanged, this, &NivoraVexbusUsbFirmwareUpdater::setPercentage);

    m_handOverTimer.setSingleShot(true);
    m_handOverTimer.setTimerType(Qt::PreciseTimer);
    m_handOverTimer.setInterval(defaultHandOverDelay);
    connect(&m_handOverTimer, &QTimer::timeout, m_bootloaderHandler, &BootloaderHandler::start);

    m_restartTimer.setSingleShot(true);
    connect(&m_restartTimer, &QTimer::timeout, this, [this]() {
        qCWarning(dcVexbusUsb()) << "The controller did not answer within" << m_restartTimer.interval() << "ms after the firmware update";
        endRestartWait(FirmwareUpdate::ErrorTimedOut,
                       QStringLiteral("The image was written and verified, but the controller did not answer with its firmware "
                                      "within %1 ms of its restart.").arg(m_restartTimer.interval()));
    });

    connect(m_downloader, &FirmwareDownloader::firmwareChanged, this, &NivoraVexbusUsbFirmwareUpdater::onFirmwareDownloaderFirmwareChanged);
}

NivoraVexbusUsbUpdateReply *NivoraVexbusUsbFirmwareUpdater::newReply()
{
    return new NivoraVexbusUsbUpdateReply(this);
}

NivoraVexbusUsbUpdateReply *NivoraVexbusUsbFirmwareUpdater::start(const FirmwareData *image, bool replaceRunning, const Link &link)
{
    // A call that may not replace the running update leaves it and the
    // adapter's account of it alone when it is refused.
    const bool toAdapter = !m_updating || replaceRunning;
    FirmwareData update;
    if (!image) {
        qCDebug(dcVexbusUsb()) << "Using online firmware file for update.";
        if (!m_downloader->firmware().isValid()) {
            qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. There is no valid firmware in the downloader. Please update before starting the upgrade.";
            return refuse(FirmwareUpdate::ErrorNoRelease, QStringLiteral("There is no release in the firmware downloader: check for a release before the update."),
                          toAdapter);
        }
        // Trusting a key means taking only what it signed.
        if (!m_downloader->trustedKeys().isEmpty() && !m_downloader->releaseAuthenticated()) {
            qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. The downloader's firmware is not of a release authenticated by a trusted key.";
            return refuse(FirmwareUpdate::ErrorReleaseNotAuthenticated,
                          QStringLiteral("The release %1 in the firmware downloader is not signed by a trusted key.").arg(m_downloader->versionString()),
                          toAdapter);
        }
        update = m_downloader->firmware();
    } else if (!image->isValid()) {
        qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. The firmware data is not valid.";
        const QString what = image->name().isEmpty() ? QStringLiteral("The image") : QStringLiteral("The image %1").arg(image->name());
        return refuse(FirmwareUpdate::ErrorImageInvalid, QStringLiteral("%1 is invalid: %2.").arg(what, image->errorString()), toAdapter);
    } else {
        update = *image;
    }

    if (m_updating && !replaceRunning) {
        qCWarning(dcVexbusUsb()) << "Cannot start firmware upgrade. Another firmware update is running.";
        return refuse(FirmwareUpdate::ErrorUpdateRunning,
                      QStringLiteral("Another firmware update holds the adapter; nothing was started. Start the update again once it has finished."),
                      false);
    }

    if (m_updating) {
        qCWarning(dcVexbusUsb()) << "A new firmware update replaces the running one.";
        m_handOverTimer.stop();
        m_startReply.clear();
        m_bootloaderHandler->stop();
        finish(false, FirmwareUpdate::ErrorStoppedByApplication, QStringLiteral("The application started another update in place of this one."));
    }
    endRestartWait(FirmwareUpdate::ErrorStoppedByApplication,
                   QStringLiteral("The image was written, but the application started another update before the controller answered."));

    m_reply = newReply();
    m_image = update;
    setPercentage(0.0);
    setError(FirmwareUpdate::ErrorNone, QString());
    setPhase(FirmwareUpdate::PhasePreparing);
    m_bootloaderHandler->setPortName(link.portName);
    m_bootloaderHandler->setBaudrate(link.baudrate);
    setUpdating(true);
    NivoraVexbusUsbUpdateReply *reply = m_reply;
    if (!link.controllerAvailable) {
        qCWarning(dcVexbusUsb()) << "The controller is not available, try to connect either way to the bootloader, maybe the update was interrupted";
        handOver();
        return reply;
    }

    qCDebug(dcVexbusUsb()) << "Start bootloader...";
    setPhase(FirmwareUpdate::PhaseStartingBootloader);
    NivoraVexbusUsbReply *startReply = m_startBootloader();
    m_startReply = startReply;
    connect(startReply, &NivoraVexbusUsbReply::finished, this, [this, startReply]() {
        // A reply that the update no longer waits for (stopped, replaced) changes nothing.
        if (m_startReply == startReply)
            onStartBootloaderFinished(startReply);
    });
    return reply;
}

NivoraVexbusUsbUpdateReply *NivoraVexbusUsbFirmwareUpdater::refuse(FirmwareUpdate::Error error, const QString &errorString, bool toAdapter)
{
    // A refusal leaves a running update alone; it only answers this call.
    if (!m_updating) {
        setPhase(FirmwareUpdate::PhasePreparing);
        setError(error, errorString);
        setPhase(FirmwareUpdate::PhaseFailed);
    }
    // Reported on the next turn of the event loop, so that the caller can
    // connect after the call as after any other start.
    QPointer<NivoraVexbusUsbUpdateReply> reply = newReply();
    QTimer::singleShot(0, this, [this, reply, error, errorString, toAdapter]() {
        if (reply)
            reply->d_func()->finish(false, error, errorString);
        if (toAdapter)
            emit finished(false);
    });
    return reply;
}

void NivoraVexbusUsbFirmwareUpdater::onStartBootloaderFinished(NivoraVexbusUsbReply *reply)
{
    m_startReply.clear();
    switch (reply->error()) {
    case NivoraVexbusUsbReply::ErrorNoError:
        qCDebug(dcVexbusUsb()) << "Start bootloader finished successfully";
        handOver();
        return;
    case NivoraVexbusUsbReply::ErrorInterfaceError: {
        qCWarning(dcVexbusUsb()) << "Start bootloader finished with error" << reply->error();
        const NivoraVexbusUsbUtils::Error controllerError = reply->responsePacket().error();
        qCWarning(dcVexbusUsb()) << "Interface error" << controllerError;
        const char *name = QMetaEnum::fromType<NivoraVexbusUsbUtils::Error>().valueToKey(controllerError);
        finish(false, FirmwareUpdate::ErrorBootloaderRefused,
               QStringLiteral("The controller refused to start its bootloader with error %1 (%2); nothing was written.")
                       .arg(name ? QString::fromLatin1(name) : QStringLiteral("unknown")).arg(int(controllerError)));
        return;
    }
    case NivoraVexbusUsbReply::ErrorTimeout:
        // Only the answer may have been lost: a controller that did start its
        // bootloader answers no request of the application any more, and each
        // later update would ask it again in vain. So the bootloader is tried
        // either way; if it does not answer, the update ends there.
        qCWarning(dcVexbusUsb()) << "Start bootloader finished with error" << reply->error();
        qCWarning(dcVexbusUsb()) << "The controller did not answer the request to start its bootloader, try to connect either way to the bootloader";
        handOver();
        return;
    default:
        qCWarning(dcVexbusUsb()) << "Start bootloader finished with error" << reply->error();
        finish(false, FirmwareUpdate::ErrorPortLost,
               QStringLiteral("The link to the controller was lost before it answered the request to start its bootloader; nothing was written."));
        return;
    }
}

void NivoraVexbusUsbFirmwareUpdater::handOver()
{
    const QString portName = m_bootloaderHandler->portName();
    const int baudrate = m_bootloaderHandler->baudrate();
    m_bootloaderHandler->stop();
    m_bootloaderHandler->setPortName(portName);
    m_bootloaderHandler->setBaudrate(baudrate);
    m_bootloaderHandler->setFirmwareData(m_image);
    m_offeredImage = m_image;
    // The downloader's image is on its way into the flash: no longer on offer.
    if (m_image == m_downloader->firmware())
        setFirmwareUpdateAvailable(false);

    m_interface->disable();
    if (m_handOverTimer.interval() == defaultHandOverDelay) {
        qCDebug(dcVexbusUsb()) << "Start the booloader handler with 3 s delay in order to give some time to reboot into the bootloader...";
    } else {
        qCDebug(dcVexbusUsb()) << "Start the booloader handler with" << m_handOverTimer.interval()
                               << "ms delay in order to give some time to reboot into the bootloader...";
    }
    m_handOverTimer.start();
    setPhase(FirmwareUpdate::PhaseWaitingForBootloader);
    emit handedOver();
}

void NivoraVexbusUsbFirmwareUpdater::onBootloaderHandlerStateChanged(BootloaderHandler::State state)
{
    if (!m_updating)
        return;
    switch (state) {
    case BootloaderHandler::StateEnterBootloader:
    case BootloaderHandler::StateGetFlahSize:
    case BootloaderHandler::StatePrepareUpload:
        setPhase(FirmwareUpdate::PhaseCheckingChip);
        break;
    case BootloaderHandler::StateStreamRow:
    case BootloaderHandler::StateProgramRow:
    case BootloaderHandler::StateVerifyRow:
        setPhase(FirmwareUpdate::PhaseWriting);
        break;
    case BootloaderHandler::StateVerifyApplication:
        setPhase(FirmwareUpdate::PhaseVerifyingApplication);
        break;
    case BootloaderHandler::StateExitBootloader:
        setPhase(FirmwareUpdate::PhaseRestarting);
        break;
    case BootloaderHandler::StateIdle:
    case BootloaderHandler::StateConnecting:
        break;
    }
}

void NivoraVexbusUsbFirmwareUpdater::onBootloaderHandlerFinished(bool success)
{
    if (!m_updating)
        return;
    qCDebug(dcVexbusUsb()) << "Bootloader process finished" << (success ? "successfully" : "with errors");
    if (success) {
        m_bootloaderHandler->stop();
        m_offeredImage = FirmwareData();
        m_interface->enable();
        finish(true, FirmwareUpdate::ErrorNone, QString());
        return;
    }

    // Nothing was written and the bootloader was left: the controller runs
    // its application again, and the link is taken up again.
    if (m_bootloaderHandler->leftBootloader()) {
        m_bootloaderHandler->stop();
        m_interface->enable();
    }
    finish(false, m_bootloaderHandler->error(), m_bootloaderHandler->errorString());
}

void NivoraVexbusUsbFirmwareUpdater::stop()
{
    m_handOverTimer.stop();
    endRestartWait(FirmwareUpdate::ErrorStoppedByApplication,
                   QStringLiteral("The image was written, but the application stopped the adapter before the controller answered."));
    if (!m_updating)
        return;

    qCDebug(dcVexbusUsb()) << "The application stops the firmware update in" << m_phase;
    m_startReply.clear();
    m_interface->disable();
    // Before the first programmed row the application in the flash is
    // whole: the bootloader that was started for the update is left again.
    const bool left = m_phase <= FirmwareUpdate::PhaseWriting && m_bootloaderHandler->leaveBootloader();
    const double percentage = m_bootloaderHandler->percentage();
    m_bootloaderHandler->stop();
    finish(false, FirmwareUpdate::ErrorStoppedByApplication,
           left ? QStringLiteral("The application stopped the update before anything was written; the controller left its bootloader.")
                : QStringLiteral("The application stopped the update at %1%; the controller stays in its bootloader.")
                          .arg(QString::number(percentage, 'f', 1)));
}

void NivoraVexbusUsbFirmwareUpdater::finish(bool success, FirmwareUpdate::Error error, const QString &errorString)
{
    // An image that did not make it into the flash is still to be installed.
    if (!success && m_downloader->firmware().isValid() && m_image == m_downloader->firmware())
        setFirmwareUpdateAvailable(true);
    // Written, the update's object waits for the controller to answer with
    // its new firmware; it leaves the adapter's figures as they end here.
    NivoraVexbusUsbUpdateReply *reply = m_reply;
    m_reply.clear();
    if (success && reply) {
        m_restartingReply = reply;
        m_restartTimer.start(m_restartWait());
    }
    setUpdating(false);
    setError(error, errorString);
    setPhase(success ? FirmwareUpdate::PhaseDone : FirmwareUpdate::PhaseFailed);
    if (!success && reply)
        reply->d_func()->finish(false, error, errorString);
    emit finished(success);
}

void NivoraVexbusUsbFirmwareUpdater::controllerAnswered(const QString &firmwareVersion)
{
    if (!m_restartingReply)
        return;
    m_restartTimer.stop();
    NivoraVexbusUsbUpdateReply *reply = m_restartingReply;
    m_restartingReply.clear();
    qCDebug(dcVexbusUsb()) << "The controller answers after the firmware update with version" << firmwareVersion;
    reply->d_func()->firmwareVersion = firmwareVersion;
    reply->d_func()->finish(true);
}

void NivoraVexbusUsbFirmwareUpdater::endRestartWait(FirmwareUpdate::Error error, const QString &errorString)
{
    m_restartTimer.stop();
    NivoraVexbusUsbUpdateReply *reply = m_restartingReply;
    m_restartingReply.clear();
    if (reply)
        reply->d_func()->finish(false, error, errorString);
}

void NivoraVexbusUsbFirmwareUpdater::onFirmwareDownloaderFirmwareChanged(const FirmwareData &firmware)
{
    if (!firmware.isValid()) {
        qCWarning(dcVexbusUsb()) << "The downloaded firmware is not valid" << firmware;
        setFirmwareUpdateAvailable(false);
        return;
    }

    // Only offered: a running update goes on with its own copy of the image.
    if (firmware != m_offeredImage) {
        m_offeredImage = firmware;
        setFirmwareUpdateAvailable(true);
    }
}

void NivoraVexbusUsbFirmwareUpdater::setPhase(FirmwareUpdate::Phase phase)
{
    if (m_phase == phase)
        return;
    qCDebug(dcVexbusUsb()) << "Firmware update phase" << phase;
    m_phase = phase;
    emit phaseChanged(m_phase);
    if (m_reply)
        m_reply->d_func()->setPhase(phase);
}

void NivoraVexbusUsbFirmwareUpdater::setError(FirmwareUpdate::Error error, const QString &errorString)
{
    if (m_error != error) {
        m_error = error;
        emit errorChanged(m_error);
    }
    if (m_errorString != errorString) {
        m_errorString = errorString;
        emit errorStringChanged(m_errorString);
    }
}

void NivoraVexbusUsbFirmwareUpdater::setUpdating(bool updating)
{
    if (m_updating == updating)
        return;
    m_updating = updating;
    emit updatingChanged(m_updating);
}

void NivoraVexbusUsbFirmwareUpdater::setFirmwareUpdateAvailable(bool firmwareUpdateAvailable)
{
    if (m_firmwareUpdateAvailable == firmwareUpdateAvailable)
        return;
    m_firmwareUpdateAvailable = firmwareUpdateAvailable;
    emit firmwareUpdateAvailableChanged(m_firmwareUpdateAvailable);
}

void NivoraVexbusUsbFirmwareUpdater::setPercentage(double percentage)
{
    if (qFuzzyCompare(m_percentage, percentage))
        return;
    m_percentage = percentage;
    emit percentageChanged(m_percentage);
    if (m_reply)
        m_reply->d_func()->setPercentage(percentage);
}

} // namespace NivoraVexbusUsb
