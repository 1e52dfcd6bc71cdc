// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "servicelease.h"
#include "adaptersession.h"
#include "printer.h"

#include "servicetransport.h"
#include "vexbusadapterproxy.h"

#include <QDBusMessage>
#include <QStringList>

ServiceLease::ServiceLease(const Printer *printer)
    : m_printer(printer),
      m_connection(QDBusConnection::systemBus())
{
}

int ServiceLease::findAdapter(const AdapterOptions &options)
{
    QList<ServedAdapter> adapters;
    QString error;
    if (!servedAdapters(m_connection, options, &adapters, &error)) {
        m_printer->error(QStringLiteral("vexbusd does not answer on the system bus (%1); without it, "
                                        "open the adapter directly.").arg(error));
        return ExitNoAdapter;
    }
    if (adapters.count() == 1) {
        m_path = adapters.first().path;
        m_port = adapters.first().port;
        return ExitSuccess;
    }
    if (adapters.isEmpty()) {
        m_printer->error(QStringLiteral("vexbusd drives no adapter%1.").arg(options.serialPrefix.isEmpty() && options.port.isEmpty()
                ? QString() : QStringLiteral(" that fits --port or --serial")));
        return ExitNoAdapter;
    }
    m_printer->error(QStringLiteral("vexbusd drives several adapters; choose one with --port PATH or --serial PREFIX: %1.")
                             .arg(describe(adapters)));
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
    QDBusPendingReply<> reply = adapterProxy(m_connection, m_path)->Inhibit(reason);
    reply.waitForFinished();
    if (reply.isError()) {
        m_printer->error(QStringLiteral("vexbusd keeps %1: %2").arg(m_port, reply.error().message()));
        return ExitFailure;
    }
    return ExitSuccess;
}

void ServiceLease::release()
{
    if (m_path.isEmpty())
        return;
    adapterProxy(m_connection, m_path)->Uninhibit().waitForFinished();
    m_path.clear();
}
