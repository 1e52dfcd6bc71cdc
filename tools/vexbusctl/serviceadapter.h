// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_SERVICEADAPTER_H
#define VEXBUSCTL_SERVICEADAPTER_H

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class Printer;
class TerminationSignals;
struct AdapterOptions;

// An adapter that vexbusd serves: its object, port, serial number and
// properties.
struct ServedAdapter
{
    QString path;
    QString port;
    QString serialNumber;
    QVariantMap properties;
};
// The adapters that vexbusd serves which fit --port or --serial (all of
// them without either); false with the reason when the service does not
// answer.
bool servedAdapters(const QDBusConnection &connection, const AdapterOptions &options, QList<ServedAdapter> *adapters,
                    QString *error);
// "PORT (serial number SERIAL), ..." for a message.
QString describe(const QList<ServedAdapter> &adapters);

// One adapter that vexbusd owns, as a command sees it through the service:
// its properties kept up to date from PropertiesChanged, its bus frames, and
// its methods.
class ServiceAdapter : public QObject
{
    Q_OBJECT

public:
    static const QString serviceName;
    static const QString interfaceName;

    explicit ServiceAdapter(QObject *parent = nullptr);

    // Looks for the adapter the options name among vexbusd's. Returns
    // false when the service does not run or does not own that adapter:
    // the command then opens the port itself. Otherwise *exitCode tells
    // whether the command can go on (ExitSuccess) or why not (printed).
    // With anyWillDo, one of several adapters is as good as another.
    bool find(const AdapterOptions &options, const Printer *printer, int *exitCode, bool anyWillDo = false);

    QString port() const { return m_adapter.port; }
    QVariant value(const QString &property) const { return m_adapter.properties.value(property); }
    bool available() const { return value(QStringLiteral("Available")).toBool(); }
    QString firmwareVersion() const { return value(QStringLiteral("FirmwareVersion")).toString(); }
    // Who holds the adapter through Inhibit and why, as a sentence; empty
    // when nobody does.
    QString lease() const;

    // Calls method and waits for its answer (a reply or an error) without
    // blocking the event loop; a timeout of 0 or less waits without limit.
    // Interrupted when Ctrl-C came first.
    QDBusMessage call(const QString &method, const QVariantList &arguments, int timeoutMs, bool *interrupted,
                      const TerminationSignals *terminationSignals);
    QDBusPendingCall asyncCall(const QString &method, const QVariantList &arguments, int timeoutMs);

    // How the last update ended, as UpdateFinished told it: the reason's
    // name and sentence.
    QString updateError() const { return m_updateError; }
    QString updateErrorString() const { return m_updateErrorString; }

signals:
    // Properties changed; their names.
    void propertiesChanged(const QStringList &names);
    void busFrameReceived(const QByteArray &frame);

private slots:
    void onPropertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &invalidated);
    void onBusFrameReceived(const QByteArray &frame);
    void onUpdateFinished(bool success, const QString &error, const QString &message);

private:
    QDBusConnection m_connection;
    ServedAdapter m_adapter;
    QString m_updateError;
    QString m_updateErrorString;
};

#endif // VEXBUSCTL_SERVICEADAPTER_H
