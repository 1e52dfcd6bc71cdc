// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_SERVICESETTINGS_H
#define VEXBUSD_SERVICESETTINGS_H

#include <QString>
#include <QStringList>

// The service's own settings, from /etc/vexbus/vexbusd.conf (an INI file):
//   [Release] Server, CaCertificate, TrustedKeys (key files or folders of them)
//   [Adapters] BaudRate, Ignore (serial numbers or device paths)
// The library reads no file; the service hands these to it.
class ServiceSettings
{
public:
    static constexpr const char *defaultFileName = "/etc/vexbus/vexbusd.conf";

    // The settings in fileName; a missing file gives the defaults, an
    // unreadable or malformed one an error text.
    static ServiceSettings load(const QString &fileName, QString *error);

    QString releaseServer;
    QString caCertificate;
    QStringList trustedKeys;
    int baudRate = 115200;
    QStringList ignoredAdapters;

    // Whether the adapter with this serial number or device path is left alone.
    bool ignores(const QString &serialNumber, const QString &devicePath) const;
};

#endif // VEXBUSD_SERVICESETTINGS_H
