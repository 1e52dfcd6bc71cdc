// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_SERVEDPROPERTIES_H
#define VEXBUSCTL_SERVEDPROPERTIES_H

#include <QObject>
#include <QVariantMap>

class VexbusAdapterProperties;

// The properties of an adapter that vexbusd serves, as the service last
// sent them (GetAll, then PropertiesChanged), each change seen in its turn.
// They are read through an adaptor generated from the interface's XML,
// whose getters read the properties of their parent by the interface's own
// names: no name is written here.
class ServedProperties : public QObject
{
    Q_OBJECT

public:
    explicit ServedProperties(const QVariantMap &properties, QObject *parent = nullptr);

    void update(const QVariantMap &changed);
    const VexbusAdapterProperties *operator->() const { return m_view; }

private:
    VexbusAdapterProperties *m_view;
};

#endif // VEXBUSCTL_SERVEDPROPERTIES_H
