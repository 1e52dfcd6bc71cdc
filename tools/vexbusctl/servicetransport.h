// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_SERVICETRANSPORT_H
#define VEXBUSCTL_SERVICETRANSPORT_H

#include "adaptertransport.h"
#include "releases.h"

#include <QDBusConnection>
#include <QList>
#include <QSerialPortInfo>
#include <QString>
#include <QVariantMap>

#include <memory>

class FrameSocketReader;
class ServedProperties;
class VexbusAdapterProxy;
struct AdapterOptions;

extern const QString vexbusServiceName;

// An adapter that vexbusd serves: its object, port and serial number, and
// who holds it (Inhibit).
struct ServedAdapter
{
    QString path;
    QString port;
    QString serialNumber;
    QString inhibitedBy;
    QVariantMap properties;
};
// The adapters that vexbusd serves which fit --port or --serial (all of
// them without either); false with the reason when the service does not
// answer.
bool servedAdapters(const QDBusConnection &connection, const AdapterOptions &options, QList<ServedAdapter> *adapters,
                    QString *error);
// "PORT (serial number SERIAL), ..." for a message.
QString describe(const QList<ServedAdapter> &adapters);
// The proxy of a served adapter's object.
std::unique_ptr<VexbusAdapterProxy> adapterProxy(const QDBusConnection &connection, const QString &path);

// The adapter through vexbusd, which owns its port: the interface's
// generated proxy for its methods and signals, and the properties as the
// service sends them.
class ServiceTransport : public AdapterTransport
{
    Q_OBJECT

public:
    explicit ServiceTransport(const CommandContext &context, QObject *parent = nullptr);
    ~ServiceTransport() override;

    // Looks for the adapter the options name among vexbusd's. Returns
    // false when the service does not run or does not own that adapter:
    // the command then opens the port itself. Otherwise *exitCode tells
    // whether the command can go on (ExitSuccess) or why not (printed).
    // With anyWillDo, one of several adapters is as good as another.
    bool find(int *exitCode, bool anyWillDo = false);
    // Asks the service's release server; the service verifies the image
    // with its own keys.
    FetchedRelease checkForRelease(bool preRelease);

    QString target() const override { return m_port; }
    QString port() const override { return m_port; }
    AdapterStatus status() const override;
    int waitForController(bool reportFailure = true) override;
    int waitForRestart() override;
    // Through a frame socket of the service, or its signal when it has none.
    int watchFrames() override;
    CommandOutcome writeFrame(const QByteArray &frame) override;
    CommandOutcome pressButton(Names::Module module, int button, uint milliSeconds) override;
    CommandOutcome setParameterHandling(bool enable) override;
    CommandOutcome reset() override;
    int fetchRelease(const ReleaseOptions &releaseOptions, ReleaseImage *image) override;
    bool releaseIsOlderThan(const QString &runningVersion) const override;
    UpdateRun *createUpdate(const QString &file, const NivoraVexbusUsb::FirmwareData &image,
                           const ReleaseOptions *releaseOptions) override;

private slots:
    void onPropertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &invalidated);

private:
    // Who holds the adapter through Inhibit and why, as a sentence; empty
    // when nobody does.
    QString lease() const;
    CommandOutcome outcomeOf(const QDBusPendingCall &call, int limitMs);
    // An exit code; the reason is printed with reportFailure.
    int acquireFrames(bool reportFailure);

    const CommandContext &m_context;
    QDBusConnection m_connection;
    std::unique_ptr<VexbusAdapterProxy> m_proxy;
    ServedProperties *m_properties = nullptr;
    QString m_port;
    QVariantMap m_release;
    bool m_watchingFrames = false;
    FrameSocketReader *m_frameReader = nullptr;
    bool m_wentAway = false;
    mutable bool m_serialPortRead = false;
    mutable QSerialPortInfo m_serialPort;
};

#endif // VEXBUSCTL_SERVICETRANSPORT_H
