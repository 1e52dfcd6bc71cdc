// vexbus-soak [--seconds N] [--seed N]: see VexbusSoak. Run it under
// umockdev-wrapper, as make soak does.

#include "vexbussoak.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QLoggingCategory>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("An adapter against the emulated controller, with faults, for a while."));
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("How long to run (default 600)."),
                                           QStringLiteral("N"), QStringLiteral("600"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Seed of the random faults (default: from the clock)."),
                                        QStringLiteral("N"));
    parser.addOption(secondsOption);
    parser.addOption(seedOption);
    parser.process(application);

    const int seconds = parser.value(secondsOption).toInt();
    if (seconds < 30) {
        std::fprintf(stderr, "vexbus-soak: --seconds takes at least 30\n");
        return 2;
    }
    const quint32 seed = parser.isSet(seedOption) ? parser.value(seedOption).toUInt()
                                                  : static_cast<quint32>(QDateTime::currentMSecsSinceEpoch());
    std::printf("soak: seed %u\n", seed);
    // The faults make the library warn all the time; the counts tell more.
    QLoggingCategory::setFilterRules(QStringLiteral("VexbusUsb*=false"));
    VexbusSoak soak(seconds, seed);
    return soak.run();
}
