// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "servedproperties.h"
#include "vexbusadapterproperties.h"

ServedProperties::ServedProperties(const QVariantMap &properties, QObject *parent)
    : QObject(parent),
      m_view(new VexbusAdapterProperties(this))
{
    update(properties);
}

void ServedProperties::update(const QVariantMap &changed)
{
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        setProperty(it.key().toLatin1().constData(), it.value());
}
