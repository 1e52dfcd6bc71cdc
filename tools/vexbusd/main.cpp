// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbusd: owns the gateway's Nivora Vexbus USB adapters and shares them on
// D-Bus, so that several programs use one adapter at the same time.
#include "adaptermanager.h"
#include "dbusservice.h"
#include "mqttbridge.h"
#include "servicesettings.h"
#include "terminationsignals.h"
#include "vexbusdlogging.h"

#include "nivoravexbususbversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <cstdio>
#include <memory>

using namespace NivoraVexbusUsb;

namespace {

void fail(const QString &message)
{
    std::fprintf(stderr, "vexbusd: %s\n", qPrintable(message));
}

// Key files, or folders of them (*.pem, *.pub); the installed folder first.
QList<ReleaseKey> loadTrustedKeys(const QStringList &entries)
{
    QStringList files;
    // The installed folder may be missing where the service was not installed.
    const QString installed = QStringLiteral(NIVORA_RELEASE_KEY_DIRECTORY);
    for (const QString &entry : (QFileInfo::exists(installed) ? QStringList{installed} : QStringList()) + entries) {
        const QDir directory(entry);
        if (QFileInfo(entry).isDir()) {
            for (const QString &name : directory.entryList({QStringLiteral("*.pem"), QStringLiteral("*.pub")}, QDir::Files, QDir::Name))
                files.append(directory.filePath(name));
        } else {
            files.append(entry);
        }
    }
    QList<ReleaseKey> keys;
    for (const QString &fileName : files) {
        QFile file(fileName);
        const ReleaseKey key = file.open(QIODevice::ReadOnly) ? ReleaseKey::fromPem(file.readAll()) : ReleaseKey();
        if (key.isNull())
            qCWarning(dcVexbusd()) << "Ignoring" << fileName << ": not a readable Ed25519 public key in PEM";
        else
            keys.append(key);
    }
    return keys;
}

bool trustCertificate(const QString &fileName)
{
    if (fileName.isEmpty())
        return true;
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(fileName);
    if (certificates.isEmpty())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    for (const QSslCertificate &certificate : certificates)
        configuration.addCaCertificate(certificate);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

// The first line of the file, as mosquitto_passwd users keep it.
bool readPassword(const QString &fileName, QString *password)
{
    if (fileName.isEmpty())
        return true;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *password = QString::fromUtf8(file.readLine(4096)).trimmed();
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's own event dispatcher instead of GLib's: the service turns its
    // loops once or twice for every bus frame (the serial port, then the
    // D-Bus connection's thread), and GLib's prepare, check and dispatch
    // cost about an eighth of what the service spends on a frame. Nothing
    // in the service needs GLib's main context.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexbusd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NIVORAVEXBUSUSB_VERSION_STRING));
    // The library logs every frame and request at debug level: in a service
    // that runs for months that is the journal's and the CPU's burden.
    // QT_LOGGING_RULES still turns it on for a diagnosis.
    QLoggingCategory::setFilterRules(QStringLiteral("VexbusUsb*.debug=false"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Owns the Nivora Vexbus USB adapters and shares them on D-Bus as org.nivora.Vexbus1."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption sessionOption(QStringLiteral("session"), QStringLiteral("Serve on the session bus instead of the system bus (for development)."));
    const QCommandLineOption configOption(QStringLiteral("config"), QStringLiteral("The settings file (default %1).").arg(QLatin1String(ServiceSettings::defaultFileName)),
                                          QStringLiteral("FILE"), QLatin1String(ServiceSettings::defaultFileName));
    parser.addOptions({sessionOption, configOption});
    parser.process(application);
    if (!parser.positionalArguments().isEmpty()) {
        fail(QStringLiteral("unexpected argument %1 (see vexbusd --help)").arg(parser.positionalArguments().constFirst()));
        return 2;
    }

    QString settingsError;
    const ServiceSettings settings = ServiceSettings::load(parser.value(configOption), &settingsError);
    if (!settingsError.isEmpty()) {
        fail(settingsError);
        return 2;
    }
    if (!trustCertificate(settings.caCertificate)) {
        fail(QStringLiteral("Release/CaCertificate: no PEM certificate in %1").arg(settings.caCertificate));
        return 2;
    }

    TerminationSignals terminationSignals;
    terminationSignals.install();
    QObject::connect(&terminationSignals, &TerminationSignals::received, &application, &QCoreApplication::quit);

    const QDBusConnection connection = parser.isSet(sessionOption) ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
    if (!connection.isConnected()) {
        fail(QStringLiteral("cannot connect to the %1 bus: %2")
                     .arg(parser.isSet(sessionOption) ? QStringLiteral("session") : QStringLiteral("system"), connection.lastError().message()));
        return 1;
    }

    QString mqttPassword;
    if (!readPassword(settings.mqtt.passwordFile, &mqttPassword)) {
        fail(QStringLiteral("mqtt/PasswordFile: cannot read %1").arg(settings.mqtt.passwordFile));
        return 2;
    }

    const QList<ReleaseKey> trustedKeys = loadTrustedKeys(settings.trustedKeys);
    AdapterManager manager(settings, trustedKeys);
    DBusService service(&manager, connection);
    std::unique_ptr<MqttBridge> bridge;
    if (settings.mqtt.enabled()) {
        bridge.reset(new MqttBridge(&manager, settings.mqtt, mqttPassword, !trustedKeys.isEmpty()));
        bridge->start();
    }
    manager.start();
    QString serviceError;
    if (!service.start(&serviceError)) {
        fail(serviceError);
        return 1;
    }
    qCDebug(dcVexbusd()) << "Serving" << manager.adapters().count() << "adapters as" << DBusService::serviceName;
    return application.exec();
}
