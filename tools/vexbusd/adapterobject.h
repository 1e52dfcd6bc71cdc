// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_ADAPTEROBJECT_H
#define VEXBUSD_ADAPTEROBJECT_H

#include "adapterstatus.h"
#include "framesocket.h"
#include "outcome.h"
#include "updaterecord.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QVariantMap>

class FrameLeases;
class ManagedAdapter;
class QDBusServiceWatcher;

// One adapter on D-Bus: the object /org/nivora/Vexbus1/adapter/KEY with the
// interface org.nivora.Vexbus1.Adapter, which the adaptor generated from the
// interface's XML forwards here. Methods answer late, when the adapter's
// request ended; property changes go out as PropertiesChanged; an Inhibit
// lease ends when its holder leaves the bus. Frames also go through
// sockets, to clients that acquire them.
class AdapterObject : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_PROPERTY(QString State READ state)
    Q_PROPERTY(bool Available READ available)
    Q_PROPERTY(bool ControllerInBootloader READ controllerInBootloader)
    Q_PROPERTY(QString FirmwareVersion READ firmwareVersion)
    Q_PROPERTY(QString LedMode READ ledMode)
    Q_PROPERTY(QString BusType READ busType)
    Q_PROPERTY(bool BusSynchronized READ busSynchronized)
    Q_PROPERTY(bool BusInitialized READ busInitialized)
    Q_PROPERTY(bool BusAvailable READ busAvailable)
    Q_PROPERTY(QString Port READ port)
    Q_PROPERTY(QString SerialNumber READ serialNumber)
    Q_PROPERTY(int BaudRate READ baudRate)
    Q_PROPERTY(bool Updating READ updating)
    Q_PROPERTY(QString UpdatePhase READ updatePhase)
    Q_PROPERTY(double UpdatePercentage READ updatePercentage)
    Q_PROPERTY(QString UpdateError READ updateError)
    Q_PROPERTY(QString UpdateErrorString READ updateErrorString)
    Q_PROPERTY(QString InhibitedBy READ inhibitedBy)
    Q_PROPERTY(QString InhibitReason READ inhibitReason)
    Q_PROPERTY(QString Recovery READ recovery)
    Q_PROPERTY(QString RecoveryMessage READ recoveryMessage)
    Q_PROPERTY(qulonglong PolicySequence READ policySequence)
    Q_PROPERTY(QString PolicyState READ policyState)
    Q_PROPERTY(QString PolicyMessage READ policyMessage)
    Q_PROPERTY(QString PolicyRefusal READ policyRefusal)

public:
    static constexpr const char *interfaceName = "org.nivora.Vexbus1.Adapter";
    static constexpr const char *errorPrefix = "org.nivora.Vexbus1.Error.";

    AdapterObject(ManagedAdapter *adapter, const QDBusConnection &connection, QObject *parent = nullptr);

    // The object path for an adapter's key: /org/nivora/Vexbus1/adapter/
    // and the key with each character other than A-Z, a-z, 0-9 as _XX.
    static QDBusObjectPath pathFor(const QString &key);
    static QString errorName(Outcome::Failure failure);

    QDBusObjectPath path() const { return m_path; }
    // All properties, as ObjectManager reports them.
    QVariantMap properties() const;
    // Whether frames go out as BusFrameReceived too, not only through
    // frame sockets.
    void setBusFrameSignal(bool enabled) { m_busFrameSignal = enabled; }
    // The properties of a status, by their D-Bus names.
    static QVariantMap propertiesOf(const AdapterStatus &status);

    QString state() const { return status().state; }
    bool available() const { return status().available; }
    bool controllerInBootloader() const { return status().controllerInBootloader; }
    QString firmwareVersion() const { return status().firmwareVersion; }
    QString ledMode() const { return status().ledMode; }
    QString busType() const { return status().busType; }
    bool busSynchronized() const { return status().busSynchronized; }
    bool busInitialized() const { return status().busInitialized; }
    bool busAvailable() const { return status().busAvailable; }
    QString port() const { return status().port; }
    QString serialNumber() const { return status().serialNumber; }
    int baudRate() const { return status().baudRate; }
    bool updating() const { return status().updating; }
    QString updatePhase() const { return status().updatePhase; }
    double updatePercentage() const { return status().updatePercentage; }
    QString updateError() const { return status().updateError; }
    QString updateErrorString() const { return status().updateErrorString; }
    QString inhibitedBy() const { return status().inhibitedBy; }
    QString inhibitReason() const { return status().inhibitReason; }
    QString recovery() const { return status().recovery; }
    QString recoveryMessage() const { return status().recoveryMessage; }
    qulonglong policySequence() const { return status().policySequence; }
    QString policyState() const { return status().policyState; }
    QString policyMessage() const { return status().policyMessage; }
    QString policyRefusal() const { return status().policyRefusal; }

public slots:
    void WriteFrame(const QByteArray &frame);
    void PressButton(const QString &module, const QString &button, uint milliseconds);
    void Reset();
    void SetParameterHandling(bool enable);
    void UpdateFromImage(const QDBusUnixFileDescriptor &image);
    QVariantMap CheckForRelease(const QVariantMap &options);
    bool UpdateFromReleaseServer(const QVariantMap &options);
    QList<QVariantMap> GetHistory(const QVariantMap &options);
    void Inhibit(const QString &reason);
    void Uninhibit();
    QDBusUnixFileDescriptor AcquireFrames(const QVariantMap &options);
    QDBusUnixFileDescriptor AcquireWrite(const QVariantMap &options);

signals:
    // Declared for the adaptor and introspection; frames go out through
    // sendBusFrame(), which sends the same signal.
    void BusFrameReceived(const QByteArray &frame);
    void UpdateFinished(bool success, const QString &error, const QString &message);

private:
    // Takes the current call for a late answer; the returned function sends it.
    std::function<void(const Outcome &, const QVariantList &)> answerLater();
    void reply(const Outcome &outcome);
    // Answers an update request that is refused here, and records it.
    void refuseUpdate(const Outcome &outcome);
    // The caller of the current call, for the history.
    UpdateOrigin origin() const;
    void sendBusFrame(const QByteArray &frame);
    const AdapterStatus &status() const;
    void onAdapterStatusChanged(const AdapterStatus &previous);
    void sendPropertiesChanged();
    void onHolderLeft(const QString &holder);
    QDBusUnixFileDescriptor acquire(FrameSocket::Kind kind, const QVariantMap &options);

    ManagedAdapter *m_adapter;
    QDBusConnection m_connection;
    QDBusObjectPath m_path;
    const QString m_pathString;
    const QString m_interfaceString;
    const QString m_busFrameMember;
    QDBusServiceWatcher *m_leaseWatcher;
    FrameLeases *m_frameLeases;
    bool m_busFrameSignal = true;
    QVariantMap m_changedProperties;
};

#endif // VEXBUSD_ADAPTEROBJECT_H
