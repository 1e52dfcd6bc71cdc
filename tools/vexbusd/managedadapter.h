// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_MANAGEDADAPTER_H
#define VEXBUSD_MANAGEDADAPTER_H

#include "outcome.h"

#include "adapter/nivoravexbususbadapter.h"
#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "firmware/releasekey.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QVariantMap>

#include <functional>

class ServiceSettings;

// One adapter that the service owns, shared by its front ends: the library's
// adapter object on the adapter's port, the requests of the front ends with
// their outcomes, and the lease that lends the port to another program. It
// knows nothing of D-Bus; a front end reads the library's adapter for state
// and frames and goes through this object for everything that sends.
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
    };

    ManagedAdapter(NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher *deviceWatcher,
                   const NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo,
                   const ServiceSettings &settings, const QList<NivoraVexbusUsb::ReleaseKey> &trustedKeys,
                   QObject *parent = nullptr);
    // Requests still waiting end with Aborted.
    ~ManagedAdapter() override;

    // The serial number, or the port for an adapter without one.
    static QString keyOf(const NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);
    QString key() const;
    QString devicePath() const { return m_deviceInfo.devicePath; }
    QString serialNumber() const { return m_deviceInfo.serialNumber; }
    NivoraVexbusUsb::NivoraVexbusUsbAdapter *adapter() const { return m_adapter; }

    QString inhibitedBy() const { return m_inhibitedBy; }
    QString inhibitReason() const { return m_inhibitReason; }
    QString updatePhase() const { return m_updatePhase; }
    QString updateError() const { return m_updateError; }
    QString updateErrorString() const { return m_updateErrorString; }

    void writeFrame(const QByteArray &frame, const Completion &completion);
    void pressButton(const QString &module, const QString &button, uint milliseconds, const Completion &completion);
    void reset(const Completion &completion);
    void setParameterHandling(bool enable, const Completion &completion);
    void updateFromImage(const QByteArray &image, const Completion &completion);
    void checkForRelease(bool preRelease, const ReleaseCompletion &completion);
    void updateFromReleaseServer(const ReleaseOptions &options, const UpdateCompletion &completion);

    // Closes the port for holder until uninhibit() by the same holder.
    Outcome inhibit(const QString &holder, const QString &reason);
    Outcome uninhibit(const QString &holder);

signals:
    void inhibitChanged();
    void updatePhaseChanged(const QString &updatePhase);
    void updateErrorChanged();
    void updateEnded(bool success, const QString &error, const QString &message);

private:
    // Why nothing may be sent now; NoFailure when it may.
    Outcome refusal(bool needsController = true) const;
    void send(const Completion &completion, const std::function<NivoraVexbusUsb::NivoraVexbusUsbReply *()> &request);
    void fetchRelease(bool preRelease, const ReleaseCompletion &completion);
    void onReleaseFetched(const Outcome &outcome);
    QVariantMap releaseDescription() const;
    void startUpdate(const QString &imageFile, const Completion &completion);
    void onUpdateFinished(bool success);
    void followUpdatePhase();
    void setUpdatePhase(const QString &phase);
    void setUpdateError(const QString &error, const QString &errorString);

    NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo m_deviceInfo;
    NivoraVexbusUsb::NivoraVexbusUsbAdapter *m_adapter = nullptr;
    QHash<NivoraVexbusUsb::NivoraVexbusUsbReply *, Completion> m_pendingCompletions;
    QList<ReleaseCompletion> m_releaseCompletions;
    bool m_fetchPreRelease = false;
    Completion m_updateCompletion;
    QString m_inhibitedBy;
    QString m_inhibitReason;
    QString m_updatePhase = QStringLiteral("idle");
    QString m_updateError = QStringLiteral("none");
    QString m_updateErrorString;
};

#endif // VEXBUSD_MANAGEDADAPTER_H
