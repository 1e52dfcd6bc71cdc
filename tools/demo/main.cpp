// nivora-demo: lists the Nivora Vexbus USB adapters that the library's device
// watcher finds on this machine. Built against the installed library, like
// any application.
#include "nivoravexbususbversion.h"
#include "devicewatcher/nivoravexbususbdevicewatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <algorithm>

using NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher;

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nivora-demo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NIVORAVEXBUSUSB_VERSION_STRING));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Lists the Nivora Vexbus USB adapters connected to this machine."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(application);

    QTextStream out(stdout);
    out << "libnivora-vexbususb " << NIVORAVEXBUSUSB_VERSION_STRING << Qt::endl;

    NivoraVexbusUsbDeviceWatcher watcher;
    QList<NivoraVexbusUsbDeviceWatcher::DeviceInfo> deviceInfos = watcher.deviceInfos();
    if (deviceInfos.isEmpty()) {
        out << "no adapters found" << Qt::endl;
        return 0;
    }

    std::sort(deviceInfos.begin(), deviceInfos.end(),
              [](const NivoraVexbusUsbDeviceWatcher::DeviceInfo &a, const NivoraVexbusUsbDeviceWatcher::DeviceInfo &b) {
                  return a.devicePath < b.devicePath;
              });
    out << deviceInfos.count() << " adapter(s) found:" << Qt::endl;
    for (const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo : deviceInfos) {
        const QString serialNumber = deviceInfo.serialNumber.isEmpty() ? QStringLiteral("(none)") : deviceInfo.serialNumber;
        out << "  " << deviceInfo.devicePath << "  serial number " << serialNumber << Qt::endl;
    }
    return 0;
}
