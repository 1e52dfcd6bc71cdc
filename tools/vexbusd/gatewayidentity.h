// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_GATEWAYIDENTITY_H
#define VEXBUSD_GATEWAYIDENTITY_H

#include <QString>

// The gateway's name in a fleet when the settings give none. machine-id(5)
// asks programs not to show the machine id itself: it keys an HMAC-SHA256
// of the service's own application id, as sd_id128_get_machine_app_specific()
// does, and the first 128 bits of it, as a version 4 UUID in 32 lower-case
// hexadecimal digits, name the gateway. The same machine gives the same
// name after every restart; nobody learns the machine id from it.
class GatewayIdentity
{
public:
    static constexpr const char *defaultMachineIdFile = "/etc/machine-id";

    // The id derived from the machine id in machineIdFile; empty with the
    // reason in error when the file holds no machine id.
    static QString fromMachineIdFile(const QString &machineIdFile, QString *error);
    // The id derived from a machine id of 32 hexadecimal digits.
    static QString fromMachineId(const QByteArray &machineId);
};

#endif // VEXBUSD_GATEWAYIDENTITY_H
