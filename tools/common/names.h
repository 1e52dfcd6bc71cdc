// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_NAMES_H
#define VEXBUSCTL_NAMES_H

#include <QMetaEnum>
#include <QString>
#include <QStringList>

// The names a person types and reads for the library's enumerations: the
// enumerator without the enumeration's prefix, in lower case with hyphens
// between words (LedModeBlinkSlow -> "blink-slow",
// AppConnectorModuleButtonIntermediatePosition1 -> "intermediate-position-1").
namespace Names {

QString fromEnumerator(const QMetaEnum &metaEnum, int value);

template<typename Enum>
QString of(Enum value)
{
    return fromEnumerator(QMetaEnum::fromType<Enum>(), static_cast<int>(value));
}

// The value that a name of of() stands for; false when none has it.
template<typename Enum>
bool fromName(const QString &name, Enum *value)
{
    const QMetaEnum metaEnum = QMetaEnum::fromType<Enum>();
    for (int i = 0; i < metaEnum.keyCount(); ++i) {
        if (of(Enum(metaEnum.value(i))) == name) {
            *value = Enum(metaEnum.value(i));
            return true;
        }
    }
    return false;
}

// The modules whose buttons the adapter can press, by the name on the
// command line ("ixo", "remote", "app").
enum class Module { Ixo, RemoteService, AppConnector };

bool moduleFromName(const QString &name, Module *module);
QString moduleName(Module module);
QString buttonName(Module module, int button);
// The button names of a module, in the order of their values, without
// the "none" button.
QStringList buttonNames(Module module);
// The button value for a name, or -1.
int buttonFromName(Module module, const QString &name);

} // namespace Names

#endif // VEXBUSCTL_NAMES_H
