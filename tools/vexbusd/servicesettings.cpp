// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "servicesettings.h"

#include <QFileInfo>
#include <QSettings>

namespace {

// QSettings reads "a, b" as a list and "a" as a string.
QStringList listValue(const QSettings &settings, const QString &key)
{
    QStringList values;
    for (const QString &value : settings.value(key).toStringList()) {
        if (!value.trimmed().isEmpty())
            values.append(value.trimmed());
    }
    return values;
}

} // namespace

ServiceSettings ServiceSettings::load(const QString &fileName, QString *error)
{
    ServiceSettings result;
    if (!QFileInfo::exists(fileName))
        return result;

    QSettings settings(fileName, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot read %1: %2").arg(fileName,
                 settings.status() == QSettings::AccessError ? QStringLiteral("access denied") : QStringLiteral("not an INI file"));
        return result;
    }
    result.releaseServer = settings.value(QStringLiteral("Release/Server")).toString();
    result.caCertificate = settings.value(QStringLiteral("Release/CaCertificate")).toString();
    result.trustedKeys = listValue(settings, QStringLiteral("Release/TrustedKeys"));
    result.ignoredAdapters = listValue(settings, QStringLiteral("Adapters/Ignore"));
    bool ok = true;
    result.baudRate = settings.value(QStringLiteral("Adapters/BaudRate"), 115200).toInt(&ok);
    if (!ok || result.baudRate <= 0)
        *error = QStringLiteral("%1: Adapters/BaudRate must be a positive number of bit/s").arg(fileName);
    return result;
}

bool ServiceSettings::ignores(const QString &serialNumber, const QString &devicePath) const
{
    return (!serialNumber.isEmpty() && ignoredAdapters.contains(serialNumber)) || ignoredAdapters.contains(devicePath);
}
