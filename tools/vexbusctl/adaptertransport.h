// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_ADAPTERTRANSPORT_H
#define VEXBUSCTL_ADAPTERTRANSPORT_H

#include "names.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

struct CommandContext;
struct ReleaseOptions;

namespace NivoraVexbusUsb {
class FirmwareData;
}

// What status and monitor show of an adapter.
struct AdapterStatus
{
    QString port;
    bool available = false;
    bool controllerInBootloader = false;
    QString firmwareVersion;
    QString ledMode;
    QString busType;
    bool busSynchronized = false;
    bool busInitialized = false;
    bool busAvailable = false;
    QString serialPortName;
    QString serialPortSystemLocation;
    QString serialPortDescription;
    QString serialPortManufacturer;
    QString serialPortSerialNumber;
    unsigned short vendorIdentifier = 0;
    unsigned short productIdentifier = 0;
    int baudrate = 0;
    // The service's account of a firmware update and of what it does about
    // a controller waiting in its bootloader; the library on the port
    // tells neither (recovery stays empty).
    bool updating = false;
    QString updatePhase;
    double updatePercentage = 0;
    QString updateError;
    QString updateErrorString;
    QString recovery;
    QString recoveryMessage;
    // The service's fleet policy as it concerns the adapter, and the last
    // policy the gateway refused; policyState stays empty without the service.
    qulonglong policySequence = 0;
    QString policyState;
    QString policyMessage;
    QString policyRefusal;

    // Whether the service has an update or a recovery to tell of.
    bool showsRecovery() const { return updating || (!recovery.isEmpty() && recovery != QLatin1String("none")); }
    // Whether the service has a fleet policy, or a refused one, to tell of.
    bool showsPolicy() const
    {
        return (!policyState.isEmpty() && policyState != QLatin1String("none")) || !policyRefusal.isEmpty();
    }
};

// How a command to the controller ended: the reason's name for scripts
// (the library's reply error), the controller's error code by name, and
// the sentence as the library or the service wrote it.
struct CommandOutcome
{
    bool interrupted = false;
    bool failed = false;
    QString error;
    QString controllerError;
    QString message;
};

// The image that an update from the release server writes.
struct ReleaseImage
{
    QString version;
    QString imageName;
    int rowCount = 0;
    int byteCount = 0;
};

// A firmware update on its way: its progress, the controller going to its
// bootloader and the outcome. It finishes once the update failed or the
// image is written; the controller may still be restarting then.
class UpdateRun : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Starts the update; a refused one finishes at once.
    virtual void start() = 0;
    virtual bool isFinished() const = 0;
    virtual bool succeeded() const = 0;
    // The reason's name for scripts and its sentence, once failed.
    virtual QString errorName() const = 0;
    virtual QString errorString() const = 0;
    virtual double percentage() const = 0;
    // The step the update is in, for a message.
    virtual QString phaseName() const = 0;
    // How much longer than the time-out the update may stay quiet now, as
    // while the controller reboots into its bootloader.
    virtual int quietMs() const = 0;
    // False when the controller runs the release already and nothing was written.
    virtual bool written() const { return true; }
    // Ctrl-C: the update is stopped, or left to whoever runs it; errorName()
    // and errorString() then say what became of it.
    virtual void interrupt() = 0;
    // Nothing moved for too long.
    virtual void stop() = 0;

signals:
    void percentageChanged(double percentage);
    void bootloaderStarting();
    void bootloaderOpened();
    // Anything happened: the update is still alive.
    void activity();
    void finished(bool success);
};

// One adapter as the commands reach it: through the library on its port, or
// through vexbusd, which owns the port. Every command is written once
// against this.
class AdapterTransport : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Finds the adapter the options name and reaches it; an exit code other
    // than ExitSuccess ends the command (the reason is printed).
    static int open(const CommandContext &context, std::unique_ptr<AdapterTransport> *transport);

    // The device path, or what names the adapter, for messages.
    virtual QString target() const = 0;
    // The adapter's device path.
    virtual QString port() const = 0;
    virtual AdapterStatus status() const = 0;

    // Waits until the controller answers; the exit code, with the reason
    // printed unless the caller has a way on without the controller.
    virtual int waitForController(bool reportFailure = true) = 0;
    // After a reset was acknowledged: waits until the controller is back.
    virtual int waitForRestart() = 0;

    // Makes frameReceived() follow the bus; an exit code other than
    // ExitSuccess when it cannot (the reason is printed).
    virtual int watchFrames() { return 0; }
    virtual CommandOutcome writeFrame(const QByteArray &frame) = 0;
    virtual CommandOutcome pressButton(Names::Module module, int button, uint milliSeconds) = 0;
    virtual CommandOutcome setParameterHandling(bool enable) = 0;
    virtual CommandOutcome reset() = 0;

    // Fetches, shows and verifies the release an update from the release
    // server writes; an exit code.
    virtual int fetchRelease(const ReleaseOptions &releaseOptions, ReleaseImage *image) = 0;
    // Whether the fetched release is older than the running firmware (or,
    // without it, than what this gateway took before).
    virtual bool releaseIsOlderThan(const QString &runningVersion) const = 0;
    // An update, to be started, that writes the image from file (image
    // parsed from it), or the fetched release with releaseOptions. The
    // transport owns it.
    virtual UpdateRun *createUpdate(const QString &file, const NivoraVexbusUsb::FirmwareData &image,
                                   const ReleaseOptions *releaseOptions) = 0;

signals:
    // Something of the status changed.
    void changed();
    void frameReceived(const QByteArray &frame);
};

#endif // VEXBUSCTL_ADAPTERTRANSPORT_H
