// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_TOOLS_NAMES_H
#define NIVORA_TOOLS_NAMES_H

#include "adapter/nivoravexbususbadapter.h"
#include "bootloader/firmwareupdate.h"

#include <QList>
#include <QString>
#include <QStringList>

// The names a person types and reads for the library's enumerations, and
// that vexbusd publishes on D-Bus and MQTT. Each enumeration has a table
// of its own written out in names.cpp: these strings are a contract with
// scripts and clients, so renaming an enumerator must not change them.
namespace Names {

// One row of a table: an enumerator and its name.
template<typename Enum>
struct Row
{
    Enum value;
    const char *name;
};

// The table of an enumeration, in the order of its enumerators. Declared
// for the enumerations below only: an enumeration without a table does
// not compile.
template<typename Enum>
const QList<Row<Enum>> &table();

template<>
const QList<Row<NivoraVexbusUsb::NivoraVexbusUsbAdapter::State>> &table();
template<>
const QList<Row<NivoraVexbusUsb::FirmwareUpdate::Phase>> &table();
template<>
const QList<Row<NivoraVexbusUsb::FirmwareUpdate::Error>> &table();
template<>
const QList<Row<NivoraVexbusUsb::NivoraVexbusUsbUtils::LedMode>> &table();
template<>
const QList<Row<NivoraVexbusUsb::NivoraVexbusUsbUtils::VexbusType>> &table();
template<>
const QList<Row<NivoraVexbusUsb::NivoraVexbusUsbUtils::Error>> &table();
template<>
const QList<Row<NivoraVexbusUsb::NivoraVexbusUsbAdapter::IxoModuleButton>> &table();
template<>
const QList<Row<NivoraVexbusUsb::NivoraVexbusUsbAdapter::RemoteServiceModuleButton>> &table();
template<>
const QList<Row<NivoraVexbusUsb::NivoraVexbusUsbAdapter::AppConnectorModuleButton>> &table();

// The name of value; a value outside the table (a byte of the controller
// that no enumerator names) as its number.
template<typename Enum>
QString of(Enum value)
{
    for (const Row<Enum> &row : table<Enum>()) {
        if (row.value == value)
            return QLatin1String(row.name);
    }
    return QString::number(static_cast<int>(value));
}

// The enumerator called name; false for a name of no row.
template<typename Enum>
bool fromName(const QString &name, Enum *value)
{
    for (const Row<Enum> &row : table<Enum>()) {
        if (name == QLatin1String(row.name)) {
            *value = row.value;
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

#endif // NIVORA_TOOLS_NAMES_H
