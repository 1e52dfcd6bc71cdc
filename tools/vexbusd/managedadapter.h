// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_MANAGEDADAPTER_H
#define VEXBUSD_MANAGEDADAPTER_H

#include "adapterstatus.h"
#include "keptimage.h"
#include "outcome.h"
#include "updaterecord.h"

#include "adapter/nivoravexbususbadapter.h"
#include "bootloader/firmwaredata.h"
#include "bootloader/firmwareupdate.h"
#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "firmware/releasekey.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <functional>

class ServiceSettings;
class UpdateHistory;

// One adapter that the service owns, shared by its front ends: the library's
// adapter object on the adapter's port, the requests of the front ends with
// their outcomes, and the lease that lends the port to another program. It
// knows nothing of D-Bus or MQTT: the front ends render its status and its
// frames and go through it for everything that sends; none of them touches
// the library's adapter.
class ManagedAdapter : public QObject
{
    Q_OBJECT

public:
    using Completion = std::function<void(const Outcome &)>;
    using ReleaseCompletion = std::function<void(const Outcome &, const QVariantMap &release)>;
    using UpdateCompletion = std::function<void(const Outcome &, bool written)>;

    struct ReleaseOptions
    {
        bool preRelease = false;
        bool force = false;
        bool allowOlder = false;
        // For the fleet policy: only the release of this version (empty
        // for any) whose image's SHA-256 is approved is installed;
        // another is refused with NotApproved.
        bool requireApproval = false;
        QString approvedVersion;
        QStringList approvedSha256;
    };

    ManagedAdapter(NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher *deviceWatcher,
                   const NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo,
                   const ServiceSettings &settings, const QList<NivoraVexbusUsb::ReleaseKey> &trustedKeys,
                   UpdateHistory *history, QObject *parent = nullptr);
    // Requests still waiting end with Aborted.
    ~ManagedAdapter() override;

    // The serial number, or the port for an adapter without one.
    static QString keyOf(const NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);
    QString key() const;
    QString devicePath() const { return m_deviceInfo.devicePath; }
    QString serialNumber() const { return m_deviceInfo.serialNumber; }
    // The adapter as the service shows it; statusChanged() follows it.
    const AdapterStatus &status() const { return m_status; }
    // Where the adapter's updates are recorded; the service's, shared.
    UpdateHistory *history() const { return m_history; }

    void writeFrame(const QByteArray &frame, const Completion &completion);
    void pressButton(const QString &module, const QString &button, uint milliseconds, const Completion &completion);
    void reset(const Completion &completion);
    void setParameterHandling(bool enable, const Completion &completion);
    // The image parsed by the caller; the answer comes once the controller
    // runs the new firmware, or with the reason it does not. Every update
    // and every refusal goes into the history with its origin; a
    // recovery passes UpdateOrigin::triggerRecovery.
    void updateFromImage(const NivoraVexbusUsb::FirmwareData &image, const UpdateOrigin &origin, const Completion &completion);
    void checkForRelease(bool preRelease, const ReleaseCompletion &completion);
    void updateFromReleaseServer(const ReleaseOptions &options, const UpdateOrigin &origin, const UpdateCompletion &completion);
    // Records an update request that a front end refused before it came here.
    void recordRefusedUpdate(const UpdateOrigin &origin, const Outcome &outcome);
    // The fleet policy's view of this adapter, which the status shows.
    void setPolicyStatus(qulonglong sequence, const QString &state, const QString &message, const QString &refusal);

    // The pauses before the service opens again a port that closed while
    // its adapter stayed plugged in: the first, doubled after each failed
    // attempt up to the longest.
    static constexpr int firstReopenDelay = 1000; // ms
    static constexpr int longestReopenDelay = 30000; // ms
    // How long the bootloader is given before a recovery writes to it: it
    // runs already, so no reboot is waited for.
    static constexpr int recoveryHandOverDelay = 200; // ms

    // Closes the port for holder until uninhibit() by the same holder.
    Outcome inhibit(const QString &holder, const QString &reason);
    Outcome uninhibit(const QString &holder);

    // Connects slot of receiver to the frames that the controller reports
    // from the bus: to the library adapter's signal itself, since a relay
    // through a signal of this object would cost every frame another
    // activation.
    template<typename Receiver, typename Slot>
    QMetaObject::Connection connectFrames(const Receiver *receiver, Slot slot) const
    {
        return QObject::connect(m_adapter, &NivoraVexbusUsb::NivoraVexbusUsbAdapter::vexbusFrameReceived, receiver, slot);
    }

signals:
    // The status changed from previous to status(); several fields may
    // change at once.
    void statusChanged(const AdapterStatus &previous);
    // An update ended, as its answer says; error and message as
    // AdapterStatus::updateError and updateErrorString.
    void updateEnded(bool success, const QString &error, const QString &message);

private:
    // Why nothing may be sent now; NoFailure when it may.
    Outcome refusal(bool needsController = true) const;
    void send(const Completion &completion, const std::function<NivoraVexbusUsb::NivoraVexbusUsbReply *()> &request);
    void fetchRelease(bool preRelease, const ReleaseCompletion &completion);
    void onReleaseFetched(const Outcome &outcome);
    QVariantMap releaseDescription() const;
    // Starts the update that request() returns; from the image, or from
    // the release the downloader holds.
    void startUpdate(const std::function<NivoraVexbusUsb::NivoraVexbusUsbUpdateReply *()> &request, const UpdateRecord &record,
                     const Completion &completion);
    // The history entry of an update of this adapter, as far as the
    // request tells; image given for one from a file.
    UpdateRecord historyRecord(const UpdateOrigin &origin, const NivoraVexbusUsb::FirmwareData *image) const;
    void recordRefusal(UpdateRecord record, const Outcome &outcome);
    void onUpdatePhaseChanged(NivoraVexbusUsb::FirmwareUpdate::Phase phase);
    void onUpdateFinished(bool success);
    void finishUpdate(bool success, const QString &error, const QString &errorString);
    // Takes the status anew from the library and the service's own state.
    void refresh();
    // Replaces the status, telling of a change.
    void setStatus(const AdapterStatus &status);

    // Brings back a controller found in its bootloader, once per plug-in.
    void recoverFromBootloader();
    void setRecovery(const QString &recovery, const QString &message);
    void onRecoveryFinished(const Outcome &outcome);
    // A port that closed while the adapter is still there is opened again
    // after a pause; a lease, an update or the adapter's removal close it
    // on purpose.
    bool portClosedUnexpectedly() const;
    void considerReopen();
    void reopen();

    NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo m_deviceInfo;
    NivoraVexbusUsb::NivoraVexbusUsbAdapter *m_adapter = nullptr;
    QHash<NivoraVexbusUsb::NivoraVexbusUsbReply *, Completion> m_pendingCompletions;
    QList<ReleaseCompletion> m_releaseCompletions;
    bool m_fetchPreRelease = false;
    Completion m_updateCompletion;
    // From startUpdate() to finishUpdate().
    bool m_updateRunning = false;
    UpdateHistory *m_history;
    qint64 m_historyId = 0;
    // The library's, which deletes it after its end.
    QPointer<NivoraVexbusUsb::NivoraVexbusUsbUpdateReply> m_update;
    NivoraVexbusUsb::FirmwareUpdate::Phase m_updatePhase = NivoraVexbusUsb::FirmwareUpdate::PhaseIdle;
    QString m_updateError = QStringLiteral("none");
    QString m_updateErrorString;
    QString m_inhibitedBy;
    QString m_inhibitReason;
    AdapterStatus m_status;

    QList<NivoraVexbusUsb::ReleaseKey> m_trustedKeys;
    bool m_recoverFromBootloader = true;
    // The image the running update writes, kept once it succeeded.
    KeptImage m_updateImage;
    bool m_recoveryTried = false;
    QString m_recovery = QStringLiteral("none");
    QString m_recoveryMessage;
    int m_handOverDelay = 0;
    QTimer m_reopenTimer;
    int m_reopenDelay = firstReopenDelay;
};

#endif // VEXBUSD_MANAGEDADAPTER_H
