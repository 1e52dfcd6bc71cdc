// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbus-panel: the example gateway panel on the QML module Nivora.Vexbus.
#include <QCommandLineParser>
#include <QDir>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlFileSelector>
#include <QQuickStyle>
#include <QVariantMap>

int main(int argc, char *argv[])
{
    QGuiApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexbus-panel"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The example gateway panel: the adapters that vexbusd shares, or one adapter in this process."));
    parser.addHelpOption();
    const QCommandLineOption sessionOption(QStringLiteral("session"), QStringLiteral("Find vexbusd on the session bus (vexbusd --session)."));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Drive the adapter on PATH in this process instead."), QStringLiteral("PATH"));
    parser.addOptions({sessionOption, portOption});
    parser.process(application);

    // The same look on every machine, as the panel's reference pictures have it.
    QQuickStyle::setStyle(QString::fromLatin1(QT_VERSION_MAJOR == 6 ? "Basic" : "Default"));

    QQmlApplicationEngine engine;
    // Where the build tree keeps the module, for a panel run before installing.
    if (QDir(QStringLiteral(NIVORA_QML_BUILD_DIR)).exists())
        engine.addImportPath(QStringLiteral(NIVORA_QML_BUILD_DIR));
    if (QT_VERSION_MAJOR == 6)
        (new QQmlFileSelector(&engine, &engine))->setExtraSelectors({QStringLiteral("qt6")});
    engine.rootContext()->setContextProperty(QStringLiteral("panelOptions"), QVariantMap{
        {QStringLiteral("sessionBus"), parser.isSet(sessionOption)},
        {QStringLiteral("port"), parser.value(portOption)},
    });
    engine.load(QUrl(QStringLiteral("qrc:/panel/main.qml")));
    if (engine.rootObjects().isEmpty())
        return 1;
    return application.exec();
}
