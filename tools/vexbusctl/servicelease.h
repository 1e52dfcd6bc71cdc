// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_SERVICELEASE_H
#define VEXBUSCTL_SERVICELEASE_H

#include <QDBusConnection>
#include <QString>

class Printer;
struct AdapterOptions;

// A lease of one adapter from vexbusd on the system bus: while it is held,
// the service has closed the adapter's port for other programs. The lease
// ends with release(), or when this process leaves the bus, however it ends.
class ServiceLease
{
public:
    explicit ServiceLease(const Printer *printer);

    // Finds the adapter that the options name among the service's (the
    // only one without options) and takes the lease; an exit code other
    // than 0 ends the command (the reason is printed).
    int take(const AdapterOptions &options, const QString &reason);
    void release();
    // The adapter's port, as the service reports it.
    QString port() const { return m_port; }

private:
    int findAdapter(const AdapterOptions &options);

    const Printer *m_printer;
    QDBusConnection m_connection;
    QString m_path;
    QString m_port;
};

#endif // VEXBUSCTL_SERVICELEASE_H
