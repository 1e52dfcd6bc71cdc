// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef FIRMWAREUPDATE_H
#define FIRMWAREUPDATE_H

#include "nivoravexbususb_export.h"

#include <QMetaType>
#include <QObject>
#include <QString>

namespace NivoraVexbusUsb {

class FirmwareData;

/**
 * @brief The vocabulary of a firmware update's course and outcome.
 *
 * NivoraVexbusUsbAdapter shows a running update as its updatePhase
 * property and the reason of a failed one as updateError, with
 * updateErrorString as the sentence a person can act on;
 * BootloaderHandler reports the failure of its run with the same Error.
 */
class NIVORAVEXBUSUSB_EXPORT FirmwareUpdate
{
    Q_GADGET

public:
    /// Where an update is, in the order an update passes through.
    enum Phase {
        PhaseIdle,                  ///< no update has run yet
        PhasePreparing,             ///< the image is read and checked
        PhaseStartingBootloader,    ///< the controller was asked to start its bootloader
        PhaseWaitingForBootloader,  ///< the link is released; the bootloader is given time to start
        PhaseCheckingChip,          ///< the bootloader is entered, the chip and its flash rows checked
        PhaseWriting,               ///< rows are sent, programmed and verified
        PhaseVerifyingApplication,  ///< the bootloader checks the written application
        PhaseRestarting,            ///< the bootloader was left; the controller starts the new firmware
        PhaseDone,                  ///< the update succeeded
        PhaseFailed                 ///< the update failed; the error tells why
    };
    Q_ENUM(Phase)

    /// Why an update failed.
    enum Error {
        ErrorNone,                       ///< no failure
        ErrorImageUnreadable,            ///< the image file does not exist or cannot be read
        ErrorImageInvalid,               ///< the image does not parse; the message names the line
        ErrorImageTooLarge,              ///< the image file exceeds FirmwareData::maximumFileSize
        ErrorNoRelease,                  ///< no image file was given and the downloader holds no release
        ErrorReleaseNotAuthenticated,    ///< the downloader trusts keys, but none verified its release
        ErrorWrongChip,                  ///< the image is built for another silicon ID or revision
        ErrorImageDoesNotFitFlash,       ///< a row of the image lies outside the chip's flash
        ErrorBootloaderRefused,          ///< the controller or its bootloader refused a command
        ErrorBootloaderNotAnswering,     ///< the bootloader did not answer, or not as a bootloader
        ErrorRowRejected,                ///< the bootloader refused a row's data, programming or verification
        ErrorRowVerificationFailed,      ///< a programmed row reads back with another checksum
        ErrorApplicationChecksumInvalid, ///< every row verified, but the bootloader holds the application invalid
        ErrorPortLost,                   ///< the serial port is not there, does not open or went away
        ErrorTimedOut,                   ///< a response did not come in time during the run
        ErrorStoppedByApplication,       ///< the application stopped the adapter, or started another update
        ErrorUpdateRunning               ///< not started: another update holds the adapter
    };
    Q_ENUM(Error)

    /**
     * Reads and checks the image file @p fileName for an update: on success
     * ErrorNone and the image in @p image, named after the file. Otherwise
     * ErrorImageUnreadable, ErrorImageTooLarge or ErrorImageInvalid, with
     * a sentence naming the file (and the line of an invalid image) in
     * @p errorString; the library logs a warning as well.
     */
    static Error loadImageFile(const QString &fileName, FirmwareData *image, QString *errorString);

    /// The enumerator's name, for example "ErrorApplicationChecksumInvalid".
    static QString errorName(Error error);
    /// The enumerator's name, for example "PhaseWriting".
    static QString phaseName(Phase phase);
};

} // namespace NivoraVexbusUsb

Q_DECLARE_METATYPE(NivoraVexbusUsb::FirmwareUpdate::Phase)
Q_DECLARE_METATYPE(NivoraVexbusUsb::FirmwareUpdate::Error)

#endif // FIRMWAREUPDATE_H
