// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "devicewatcher/nivoravexbususbdevicewatcher_p.h"
#include "logging/nivoravexbususblogging.h"

#include <libudev.h>

namespace NivoraVexbusUsb {

namespace {

// The USB identities of the adapter (FTDI 0403:6001 and Cypress 04b4:f139);
// udev lists a tty device when at least one of them matches.
const char *const identityMatches[][2] = {
    {"ID_VENDOR_ID", "0403"},
    {"ID_VENDOR_ID", "04b4"},
    {"ID_MODEL_ID", "6001"},
    {"ID_MODEL_ID", "f139"},
};

QString propertyValue(struct udev_device *device, const char *name)
{
    return QString::fromLatin1(udev_device_get_property_value(device, name));
}

} // namespace

NivoraVexbusUsbDeviceWatcher::NivoraVexbusUsbDeviceWatcher(QObject *parent) :
    QObject(parent),
    d_ptr(new NivoraVexbusUsbDeviceWatcherPrivate)
{
    Q_D(NivoraVexbusUsbDeviceWatcher);
    d->udev = udev_new();
    if (!d->udev) {
        qCWarning(dcVexbusUsbDeviceWatcher()) << "Could not initialize udev";
        return;
    }

    if (!loadInitialDevices() || !startMonitor())
        return;

    qCDebug(dcVexbusUsbDeviceWatcher()) << "Nivora Vexbus USB adapter device watcher initialized successfully.";
    if (d->deviceInfos.isEmpty())
        qCDebug(dcVexbusUsbDeviceWatcher()) << "There are currently no nivora Vexbus USB adapter connected.";
}

NivoraVexbusUsbDeviceWatcher::~NivoraVexbusUsbDeviceWatcher()
{
    Q_D(NivoraVexbusUsbDeviceWatcher);
    delete d->notifier;
    d->notifier = nullptr;
    releaseUdev();
}

QList<NivoraVexbusUsbDeviceWatcher::DeviceInfo> NivoraVexbusUsbDeviceWatcher::deviceInfos() const
{
    Q_D(const NivoraVexbusUsbDeviceWatcher);
    return d->deviceInfos.values();
}

bool NivoraVexbusUsbDeviceWatcher::loadInitialDevices()
{
    Q_D(NivoraVexbusUsbDeviceWatcher);
    struct udev_enumerate *enumerate = udev_enumerate_new(d->udev);
    if (!enumerate) {
        qCWarning(dcVexbusUsbDeviceWatcher()) << "Could not create udev enumerate for initial device reading.";
        releaseUdev();
        return false;
    }

    udev_enumerate_add_match_subsystem(enumerate, "tty");
    for (const auto &match : identityMatches)
        udev_enumerate_add_match_property(enumerate, match[0], match[1]);

    if (udev_enumerate_scan_devices(enumerate) < 0) {
        qCWarning(dcVexbusUsbDeviceWatcher()) << "Failed to scan devices from udev enumerate.";
        udev_enumerate_unref(enumerate);
        releaseUdev();
        return false;
    }

    qCDebug(dcVexbusUsbDeviceWatcher()) << "Load initial list of available serial ports...";
    struct udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        const char *sysPath = udev_list_entry_get_name(entry);
        struct udev_device *device = udev_device_new_from_syspath(d->udev, sysPath);
        // The device may have gone between the scan and this look-up.
        if (!device) {
            qCWarning(dcVexbusUsbDeviceWatcher()) << "Could not read device" << sysPath << "from udev. Skipping it.";
            continue;
        }

        if (dcVexbusUsbDeviceWatcher().isDebugEnabled()) {
            struct udev_list_entry *property = nullptr;
            udev_list_entry_foreach(property, udev_device_get_properties_list_entry(device)) {
                qCDebug(dcVexbusUsbDeviceWatcher()).noquote()
                    << " - Property" << udev_list_entry_get_name(property) << udev_list_entry_get_value(property);
            }
        }

        DeviceInfo deviceInfo;
        deviceInfo.devicePath = propertyValue(device, "DEVNAME");
        const QString vendor = propertyValue(device, "ID_VENDOR_ENC");
        const QString model = propertyValue(device, "ID_MODEL_ENC");
        deviceInfo.serialNumber = propertyValue(device, "ID_SERIAL_SHORT");
        udev_device_unref(device);

        qCDebug(dcVexbusUsbDeviceWatcher()) << "[+]" << deviceInfo.devicePath << vendor << model << deviceInfo.serialNumber;
        d->deviceInfos.insert(deviceInfo.devicePath, deviceInfo);
        emit deviceInfoAdded(deviceInfo);
    }
    udev_enumerate_unref(enumerate);
    return true;
}

bool NivoraVexbusUsbDeviceWatcher::startMonitor()
{
    Q_D(NivoraVexbusUsbDeviceWatcher);
    struct udev_monitor *monitor = udev_monitor_new_from_netlink(d->udev, "udev");
    if (!monitor) {
        qCWarning(dcVexbusUsbDeviceWatcher()) << "Could not initialize udev monitor.";
        releaseUdev();
        return false;
    }

    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0) {
        qCWarning(dcVexbusUsbDeviceWatcher()) << "Could not set subsystem device type filter to tty.";
        udev_monitor_unref(monitor);
        releaseUdev();
        return false;
    }

    if (udev_monitor_enable_receiving(monitor) < 0) {
        qCWarning(dcVexbusUsbDeviceWatcher()) << "Could not enable udev monitor.";
        udev_monitor_unref(monitor);
        releaseUdev();
        return false;
    }

    d->monitor = monitor;
    d->socketDescriptor = udev_monitor_get_fd(d->monitor);
    d->notifier = new QSocketNotifier(d->socketDescriptor, QSocketNotifier::Read, this);
    // The overload that carries the descriptor lets the handler check it;
    // its private-signal tag leaves only the string-based connection.
    connect(d->notifier, SIGNAL(activated(QSocketDescriptor, QSocketNotifier::Type)),
            this, SLOT(onSocketActivated(QSocketDescriptor)));
    d->notifier->setEnabled(true);
    return true;
}

void NivoraVexbusUsbDeviceWatcher::releaseUdev()
{
    Q_D(NivoraVexbusUsbDeviceWatcher);
    if (d->monitor) {
        udev_monitor_unref(d->monitor);
        d->monitor = nullptr;
    }
    if (d->udev) {
        udev_unref(d->udev);
        d->udev = nullptr;
    }
}

void NivoraVexbusUsbDeviceWatcher::onSocketActivated(QSocketDescriptor socket)
{
    Q_D(NivoraVexbusUsbDeviceWatcher);
    if (static_cast<int>(socket) != d->socketDescriptor) {
        qCWarning(dcVexbusUsbDeviceWatcher()) << "socket != socketdescriptor";
        return;
    }

    struct udev_device *device = udev_monitor_receive_device(d->monitor);
    if (!device) {
        qCWarning(dcVexbusUsbDeviceWatcher()) << "Got socket sotification but could not read device information.";
        return;
    }

    const QString action = QString::fromLatin1(udev_device_get_action(device));
    DeviceInfo deviceInfo;
    deviceInfo.devicePath = propertyValue(device, "DEVNAME");
    deviceInfo.serialNumber = propertyValue(device, "ID_SERIAL_SHORT");
    udev_device_unref(device);

    if (action.isEmpty())
        return;

    if (action == QLatin1String("add")) {
        qCDebug(dcVexbusUsbDeviceWatcher()) << "[+]" << deviceInfo.devicePath << deviceInfo.serialNumber;
        if (d->deviceInfos.contains(deviceInfo.devicePath))
            return;

        d->deviceInfos.insert(deviceInfo.devicePath, deviceInfo);
        emit deviceInfoAdded(deviceInfo);
    } else if (action == QLatin1String("remove")) {
        qCDebug(dcVexbusUsbDeviceWatcher()) << "[-]" << deviceInfo.devicePath << deviceInfo.serialNumber;
        if (!d->deviceInfos.remove(deviceInfo.devicePath))
            return;

        emit deviceInfoRemoved(deviceInfo);
    }
}

} // namespace NivoraVexbusUsb
