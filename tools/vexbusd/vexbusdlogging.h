// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_VEXBUSDLOGGING_H
#define VEXBUSD_VEXBUSDLOGGING_H

#include <QLoggingCategory>

// Category "Vexbusd": adapters that come and go, requests of the front ends
// and their outcomes, leases. Enabled at every level, as the library's are.
const QLoggingCategory &dcVexbusd();
// Category "VexbusdMqtt": the MQTT bridge, its broker connection and commands.
const QLoggingCategory &dcVexbusdMqtt();

#endif // VEXBUSD_VEXBUSDLOGGING_H
