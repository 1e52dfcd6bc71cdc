// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "servicelease.h"
#include "adaptersession.h"
#include "printer.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QMap>
#include <QStringList>

namespace {

const QString serviceName = QStringLiteral("org.nivora.Vexbus1");
const QString adapterInterface = QStringLiteral("org.nivora.Vexbus1.Adapter");

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

} // namespace

Q_DECLARE_METATYPE(ManagedObjects)

ServiceLease::ServiceLease(const Printer *printer)
    : m_printer(printer),
      m_connection(QDBusConnection::systemBus())
{
}

int ServiceLease::findAdapter(const AdapterOptions &options)
{
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    const QDBusMessage call = QDBusMessage::createMethodCall(serviceName, QStringLiteral("/org/nivora/Vexbus1"),
                                                             QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                             QStringLiteral("GetManagedObjects"));
    const QDBusReply<ManagedObjects> reply = m_connection.call(call);
    if (!reply.isValid()) {
        m_printer->error(QStringLiteral("vexbusd does not answer on the system bus (%1); without it, "
                                        "open the adapter directly.").arg(reply.error().message()));
        return ExitNoAdapter;
    }

    QStringList candidates;
    const ManagedObjects objects = reply.value();
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        const QVariantMap properties = it.value().value(adapterInterface);
        const QString port = properties.value(QStringLiteral("Port")).toString();
        const QString serialNumber = properties.value(QStringLiteral("SerialNumber")).toString();
        if (!options.serialPrefix.isEmpty() && !serialNumber.startsWith(options.serialPrefix))
            continue;
        if (!options.port.isEmpty() && port != options.port)
            continue;
        candidates.append(QStringLiteral("%1 (serial number %2)").arg(port, serialNumber.isEmpty() ? QStringLiteral("-") : serialNumber));
        m_path = it.key().path();
        m_port = port;
    }
    if (candidates.count() == 1)
        return ExitSuccess;
    if (candidates.isEmpty()) {
        m_printer->error(QStringLiteral("vexbusd drives no adapter%1.").arg(options.serialPrefix.isEmpty() && options.port.isEmpty()
                ? QString() : QStringLiteral(" that fits --port or --serial")));
        return ExitNoAdapter;
    }
    m_printer->error(QStringLiteral("vexbusd drives several adapters; choose one with --port PATH or --serial PREFIX: %1.")
                             .arg(candidates.join(QStringLiteral(", "))));
    return ExitUsage;
}

int ServiceLease::take(const AdapterOptions &options, const QString &reason)
{
    if (!m_connection.isConnected()) {
        m_printer->error(QStringLiteral("cannot reach the system bus: %1").arg(m_connection.lastError().message()));
        return ExitFailure;
    }
    const int found = findAdapter(options);
    if (found != ExitSuccess)
        return found;
    QDBusMessage call = QDBusMessage::createMethodCall(serviceName, m_path, adapterInterface, QStringLiteral("Inhibit"));
    call << reason;
    const QDBusMessage reply = m_connection.call(call);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        m_printer->error(QStringLiteral("vexbusd keeps %1: %2").arg(m_port, reply.errorMessage()));
        return ExitFailure;
    }
    return ExitSuccess;
}

void ServiceLease::release()
{
    if (m_path.isEmpty())
        return;
    m_connection.call(QDBusMessage::createMethodCall(serviceName, m_path, adapterInterface, QStringLiteral("Uninhibit")));
    m_path.clear();
}
