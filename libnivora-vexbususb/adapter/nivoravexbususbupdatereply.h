// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBUPDATEREPLY_H
#define NIVORAVEXBUSUSBUPDATEREPLY_H

#include "nivoravexbususb_export.h"
#include "bootloader/firmwareupdate.h"

#include <QObject>
#include <QScopedPointer>
#include <QString>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbUpdateReplyPrivate;

/**
 * @brief One firmware update of the adapter's controller and, once it
 * ended, its outcome.
 *
 * NivoraVexbusUsbAdapter::updateFirmware() returns it, never null. While
 * the update runs, phase() and percentage() follow its course; it emits
 * finished() exactly once, and then error() and errorString() tell why it
 * failed (FirmwareUpdate::ErrorNone after success).
 *
 * An update that cannot begin (an invalid image, no release in the
 * downloader or none a trusted key vouches for, another update running)
 * is refused: nothing is sent, and the object finishes with the reason on
 * the next turn of the event loop, never from within the call, so that a
 * connection made right after the call sees it.
 *
 * A successful update finishes only when the controller, restarted with
 * the new firmware, has answered the adapter's init procedure again:
 * inside finished(true) the adapter is available and its firmwareVersion
 * property (and firmwareVersion() here) holds the new version. A
 * controller that was written but does not answer within the wait (the
 * bootloader hand-over delay plus three init attempts of the response
 * time-out) ends the update with FirmwareUpdate::ErrorTimedOut.
 *
 * The object is owned by the library, which deletes it with deleteLater()
 * after finished(): read it in a slot connected to finished() and keep no
 * pointer to it afterwards; do not delete it yourself. An adapter deleted
 * while the update runs takes the object with it, without finished():
 * watch QObject::destroyed() or hold a QPointer when the adapter may go
 * first.
 *
 * @code
 * NivoraVexbusUsbUpdateReply *update = adapter->updateFirmware(image);
 * connect(update, &NivoraVexbusUsbUpdateReply::percentageChanged, this, &Window::showProgress);
 * connect(update, &NivoraVexbusUsbUpdateReply::finished, this, [update, adapter](bool success) {
 *     if (success)
 *         qInfo() << "Now running" << adapter->firmwareVersion();
 *     else
 *         qWarning() << update->error() << update->errorString();
 * });
 * @endcode
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbUpdateReply : public QObject
{
    Q_OBJECT
    /// Where the update is; FirmwareUpdate::PhaseDone or PhaseFailed once it finished.
    Q_PROPERTY(NivoraVexbusUsb::FirmwareUpdate::Phase phase READ phase NOTIFY phaseChanged)
    /// Progress of the writing in percent, 0 to 100.
    Q_PROPERTY(double percentage READ percentage NOTIFY percentageChanged)
    /// Why the update failed; FirmwareUpdate::ErrorNone while it runs and after success.
    Q_PROPERTY(NivoraVexbusUsb::FirmwareUpdate::Error error READ error NOTIFY errorChanged)
    /// The reason of error as a sentence a person can act on; empty without failure.
    Q_PROPERTY(QString errorString READ errorString NOTIFY errorStringChanged)

public:
    /// Deleted by the library after finished(), or with its adapter.
    ~NivoraVexbusUsbUpdateReply() override;

    /// See the phase property.
    FirmwareUpdate::Phase phase() const;
    /// See the percentage property.
    double percentage() const;
    /// See the error property.
    FirmwareUpdate::Error error() const;
    /// See the errorString property.
    QString errorString() const;
    /// True from the moment finished() is emitted.
    bool isFinished() const;
    /// The firmware version, "X.Y.Z", with which the restarted controller
    /// answered; set before finished(true), empty otherwise.
    QString firmwareVersion() const;

signals:
    /// Emitted when the phase property changed.
    void phaseChanged(NivoraVexbusUsb::FirmwareUpdate::Phase phase);
    /// Emitted when the percentage property changed.
    void percentageChanged(double percentage);
    /// Emitted when the error property changed.
    void errorChanged(NivoraVexbusUsb::FirmwareUpdate::Error error);
    /// Emitted when the errorString property changed.
    void errorStringChanged(const QString &errorString);
    /// Emitted once when the update ended: with success once the controller
    /// answers with its new firmware, without when it was refused, failed,
    /// stopped, or the controller did not answer after it.
    void finished(bool success);

private:
    friend class NivoraVexbusUsbFirmwareUpdater;
    explicit NivoraVexbusUsbUpdateReply(QObject *parent);

    Q_DECLARE_PRIVATE(NivoraVexbusUsbUpdateReply)
    QScopedPointer<NivoraVexbusUsbUpdateReplyPrivate> d_ptr;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBUPDATEREPLY_H
