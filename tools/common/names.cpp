// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "names.h"

#include "adapter/nivoravexbususbadapter.h"

using NivoraVexbusUsb::NivoraVexbusUsbAdapter;

namespace Names {

namespace {

QString hyphenated(const QString &camelCase)
{
    QString name;
    for (int i = 0; i < camelCase.size(); ++i) {
        const QChar c = camelCase.at(i);
        const bool wordStart = c.isUpper() || (c.isDigit() && i > 0 && !camelCase.at(i - 1).isDigit());
        if (wordStart && i > 0)
            name += QLatin1Char('-');
        name += c.toLower();
    }
    return name;
}

QMetaEnum buttonEnum(Module module)
{
    switch (module) {
    case Module::Ixo:
        return QMetaEnum::fromType<NivoraVexbusUsbAdapter::IxoModuleButton>();
    case Module::RemoteService:
        return QMetaEnum::fromType<NivoraVexbusUsbAdapter::RemoteServiceModuleButton>();
    case Module::AppConnector:
        return QMetaEnum::fromType<NivoraVexbusUsbAdapter::AppConnectorModuleButton>();
    }
    return QMetaEnum();
}

} // namespace

QString fromEnumerator(const QMetaEnum &metaEnum, int value)
{
    const char *key = metaEnum.valueToKey(value);
    if (!key)
        return QString::number(value);

    // Every enumerator starts with its enumeration's name, except for the
    // flag names of VexbusStatusFlag, which are not used here.
    QString name = QString::fromLatin1(key);
    const QString prefix = QString::fromLatin1(metaEnum.enumName());
    if (name.startsWith(prefix) && name.size() > prefix.size())
        name = name.mid(prefix.size());
    return hyphenated(name);
}

bool moduleFromName(const QString &name, Module *module)
{
    for (Module candidate : {Module::Ixo, Module::RemoteService, Module::AppConnector}) {
        if (moduleName(candidate) == name) {
            *module = candidate;
            return true;
        }
    }
    return false;
}

QString moduleName(Module module)
{
    switch (module) {
    case Module::Ixo:
        return QStringLiteral("ixo");
    case Module::RemoteService:
        return QStringLiteral("remote");
    case Module::AppConnector:
        return QStringLiteral("app");
    }
    return QString();
}

QString buttonName(Module module, int button)
{
    return fromEnumerator(buttonEnum(module), button);
}

QStringList buttonNames(Module module)
{
    const QMetaEnum metaEnum = buttonEnum(module);
    QStringList names;
    for (int i = 0; i < metaEnum.keyCount(); ++i) {
        if (metaEnum.value(i) != 0)
            names << fromEnumerator(metaEnum, metaEnum.value(i));
    }
    return names;
}

int buttonFromName(Module module, const QString &name)
{
    const QMetaEnum metaEnum = buttonEnum(module);
    for (int i = 0; i < metaEnum.keyCount(); ++i) {
        if (metaEnum.value(i) != 0 && fromEnumerator(metaEnum, metaEnum.value(i)) == name)
            return metaEnum.value(i);
    }
    return -1;
}

} // namespace Names
