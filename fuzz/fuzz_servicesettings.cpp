// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbusd's settings file, as an administrator or a package writes it: a
// file that loads without an error gives settings the service can act on
// (a positive baud rate, a broker it can reach by name and port, topics
// without wildcards, commands and buttons it knows).

#include "fuzzcheck.h"
#include "names.h"
#include "servicesettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

FUZZ_TARGET(input)
{
    // QSettings keeps what it read of a file by name, and a file rewritten
    // within the same instant with the same size would look unchanged: each
    // input gets a file name of its own.
    static quint64 serial = 0;
    // In memory where the system has it: a file on disk costs most of a run.
    static const QString directory = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    const QString fileName = directory
            + QStringLiteral("/fuzz-servicesettings-%1-%2.conf").arg(QCoreApplication::applicationPid()).arg(++serial);
    {
        QFile file(fileName);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly) && file.write(input) == input.size());
    }
    QString error;
    const ServiceSettings settings = ServiceSettings::load(fileName, &error);
    QFile::remove(fileName);
    if (!error.isEmpty())
        return;

    FUZZ_CHECK(settings.baudRate > 0);
    FUZZ_CHECK(settings.responseTimeout > 0);
    const ServiceSettings::Mqtt &mqtt = settings.mqtt;
    if (!mqtt.enabled())
        return;
    FUZZ_CHECK(!mqtt.host.isEmpty());
    FUZZ_CHECK(mqtt.port > 0 && mqtt.port <= 65535);
    for (const QString &topic : {mqtt.baseTopic, mqtt.discoveryPrefix}) {
        FUZZ_CHECK(!topic.isEmpty() && !topic.contains(QLatin1Char('+')) && !topic.contains(QLatin1Char('#')));
        FUZZ_CHECK(!topic.startsWith(QLatin1Char('/')) && !topic.endsWith(QLatin1Char('/')));
    }
    for (const QString &command : mqtt.commands)
        FUZZ_CHECK(QStringList({"write", "press", "reset", "update"}).contains(command));
    for (const QString &button : mqtt.buttons) {
        const QStringList parts = button.split(QLatin1Char(':'));
        Names::Module module;
        FUZZ_CHECK(Names::moduleFromName(parts.at(0), &module) && Names::buttonFromName(module, parts.value(1)) > 0);
    }
}
