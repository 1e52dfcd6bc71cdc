// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbusd: owns the gateway's Nivora Vexbus USB adapters and shares them on
// D-Bus, so that several programs use one adapter at the same time.
#include "adaptermanager.h"
#include "dbusservice.h"
#include "fleetpolicyagent.h"
#include "gatewayidentity.h"
#include "mqttbridge.h"
#include "releasetrust.h"
#include "servicesettings.h"
#include "terminationsignals.h"
#include "updatehistory.h"
#include "vexbusdlogging.h"

#include "nivoravexbususbversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMetaType>
#include <QCryptographicHash>
#include <QSysInfo>
#include <QFile>
#include <QLoggingCategory>

#include <cstdio>
#include <memory>

using namespace NivoraVexbusUsb;

namespace {

void fail(const QString &message)
{
    std::fprintf(stderr, "vexbusd: %s\n", qPrintable(message));
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
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption sessionOption(QStringLiteral("session"), QStringLiteral("Serve on the session bus instead of the system bus (for development)."));
    const QCommandLineOption configOption(QStringLiteral("config"), QStringLiteral("The settings file (default %1).").arg(QLatin1String(ServiceSettings::defaultFileName)),
                                          QStringLiteral("FILE"), QLatin1String(ServiceSettings::defaultFileName));
    const QCommandLineOption stateOption(QStringLiteral("state-directory"),
                                         QStringLiteral("Where the update history and the fleet policy are kept (default $STATE_DIRECTORY, as systemd's "
                                                        "StateDirectory= sets it, else /var/lib/vexbusd)."), QStringLiteral("DIR"));
    const QCommandLineOption machineIdOption(QStringLiteral("machine-id"),
                                             QStringLiteral("The file with the machine id that the gateway id is derived from when "
                                                            "[Gateway] Id is not set (default %1).").arg(QLatin1String(GatewayIdentity::defaultMachineIdFile)),
                                             QStringLiteral("FILE"), QLatin1String(GatewayIdentity::defaultMachineIdFile));
    parser.addOptions({sessionOption, configOption, stateOption, machineIdOption});
    // A bad command line is a usage error, 2, as for the settings.
    if (!parser.parse(QCoreApplication::arguments())) {
        QString error = parser.errorText();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        fail(QStringLiteral("%1 (see vexbusd --help)").arg(error));
        return 2;
    }
    if (parser.isSet(helpOption))
        parser.showHelp(0);
    if (parser.isSet(versionOption))
        parser.showVersion();
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
    if (!settings.caCertificate.isEmpty() && !ReleaseTrust::addCaCertificates(settings.caCertificate)) {
        fail(QStringLiteral("Release/CaCertificate: no PEM certificate in %1").arg(settings.caCertificate));
        return 2;
    }
    // A key meant to be trusted that cannot be read stops the service:
    // without it, releases it signed would be refused, or with no key at
    // all taken unauthenticated.
    ReleaseTrust trust;
    QString keyError;
    if (!trust.addInstalledKeys(&keyError)) {
        fail(keyError);
        return 2;
    }
    for (const QString &entry : settings.trustedKeys) {
        if (!trust.addKeyFileOrFolder(entry, &keyError)) {
            fail(QStringLiteral("Release/TrustedKeys: ") + keyError);
            return 2;
        }
    }

    TerminationSignals terminationSignals;
    terminationSignals.install();
    QObject::connect(&terminationSignals, &TerminationSignals::received, &application, &QCoreApplication::quit);

    // The gateway's name in the fleet: its own setting, or derived from the
    // machine id; a machine without one still gets a stable name, from its
    // host name.
    QString gatewayId = settings.gatewayId;
    if (gatewayId.isEmpty()) {
        QString machineIdError;
        gatewayId = GatewayIdentity::fromMachineIdFile(parser.value(machineIdOption), &machineIdError);
        if (gatewayId.isEmpty()) {
            gatewayId = GatewayIdentity::fromMachineId(QCryptographicHash::hash(QSysInfo::machineHostName().toUtf8(), QCryptographicHash::Md5).toHex());
            qCWarning(dcVexbusd()) << "The gateway id comes from the host name:" << machineIdError;
        }
    }
    qCDebug(dcVexbusd()) << "Gateway" << gatewayId;

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

    QString stateDirectory = parser.value(stateOption);
    if (stateDirectory.isEmpty()) {
        // systemd names the first of StateDirectory='s folders first.
        stateDirectory = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
        if (stateDirectory.isEmpty())
            stateDirectory = QStringLiteral("/var/lib/vexbusd");
    }
    qDBusRegisterMetaType<QList<QVariantMap>>();
    // Declared before the adapters, which record into it until they go.
    UpdateHistory history(stateDirectory, gatewayId);
    const QList<ReleaseKey> trustedKeys = trust.keys();
    AdapterManager manager(settings, trustedKeys, history.isOpen() ? &history : nullptr);
    DBusService service(&manager, connection);
    service.setBusFrameSignal(settings.busFrameSignal);
    FleetPolicyAgent policyAgent(&manager, settings.releaseServer, settings.policyInterval, trustedKeys, stateDirectory, gatewayId);
    std::unique_ptr<MqttBridge> bridge;
    if (settings.mqtt.enabled()) {
        bridge.reset(new MqttBridge(&manager, settings.mqtt, gatewayId, mqttPassword, !trustedKeys.isEmpty()));
        bridge->setPolicyAgent(&policyAgent);
        bridge->start();
    }
    policyAgent.start();
    manager.start();
    QString serviceError;
    if (!service.start(&serviceError)) {
        fail(serviceError);
        return 1;
    }
    qCDebug(dcVexbusd()) << "Serving" << manager.adapters().count() << "adapters as" << DBusService::serviceName;
    return application.exec();
}
