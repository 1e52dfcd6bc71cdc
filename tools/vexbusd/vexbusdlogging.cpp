// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "vexbusdlogging.h"

const QLoggingCategory &dcVexbusd()
{
    static const QLoggingCategory category("Vexbusd", QtDebugMsg);
    return category;
}

const QLoggingCategory &dcVexbusdMqtt()
{
    static const QLoggingCategory category("VexbusdMqtt", QtDebugMsg);
    return category;
}
