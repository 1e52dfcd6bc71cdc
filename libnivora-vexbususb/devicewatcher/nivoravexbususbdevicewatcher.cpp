// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "devicewatcher/nivoravexbususbdevicewatcher.h"
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
    QObject(parent)
{
    m_udev = udev_new();
    if (!m_udev) {
        qCWarning(dcVexbusUsbDeviceWatcher()) << "Could not initialize udev";
        return;
    }

    if (!loadInitialDevices() || !startMonitor())
        return;

    qCDebug(dcVexbusUsbDeviceWatcher()) << "Nivora Vexbus USB adapter device watcher initialized successfully.";
    if (m_deviceInfos.isEmpty())
        qCDebug(dcVexbusUsbDeviceWatcher()) << "There are currently no nivora Vexbus USB adapter connected.";
}

NivoraVexbusUsbDeviceWatcher::~NivoraVexbusUsbDeviceWatcher()
{
    delete m_notifier;
    m_notifier = nullptr;
    releaseUdev();
}

QList<NivoraVexbusUsbDeviceWatcher::DeviceInfo> NivoraVexbusUsbDeviceWatcher::deviceInfos() const
{
    return m_deviceInfos.values();
}

bool NivoraVexbusUsbDeviceWatcher::loadInitialDevices()
{
    struct udev_enumerate *enumerate = udev_enumerate_new(m_udev);
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
        struct udev_device *device = udev_device_new_from_syspath(m_udev, sysPath);
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
        m_deviceInfos.insert(deviceInfo.devicePath, deviceInfo);
        emit deviceInfoAdded(deviceInfo);
    }
    udev_enumerate_unref(enumerate);
    return true;
}

bool NivoraVexbusUsbDeviceWatcher::startMonitor()
{
    struct udev_monitor *monitor = udev_monitor_new_from_netlink(m_udev, "udev");
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

    m_monitor = monitor;
    m_socketDescriptor = udev_monitor_get_fd(m_monitor);
    m_notifier = new QSocketNotifier(m_socketDescriptor, QSocketNotifier::Read, this);
    // The overload that carries the descriptor lets the handler check it;
    // its private-signal tag leaves only the string-based connection.
    connect(m_notifier, SIGNAL(activated(QSocketDescriptor, QSocketNotifier::Type)),
            this, SLOT(onSocketActivated(QSocketDescriptor)));
    m_notifier->setEnabled(true);
    return true;
}

void NivoraVexbusUsbDeviceWatcher::releaseUdev()
{
    if (m_monitor) {
        udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
    }
    if (m_udev) {
        udev_unref(m_udev);
        m_udev = nullptr;
    }
}

void NivoraVexbusUsbDeviceWatcher::onSocketActivated(QSocketDescriptor socket)
{
    if (static_cast<int>(socket) != m_socketDescriptor) {
        qCWarning(dcVexbusUsbDeviceWatcher()) << "socket != socketdescriptor";
        return;
    }

    struct udev_device *device = udev_monitor_receive_device(m_monitor);
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
        if (m_deviceInfos.contains(deviceInfo.devicePath))
            return;

        m_deviceInfos.insert(deviceInfo.devicePath, deviceInfo);
        emit deviceInfoAdded(deviceInfo);
    } else if (action == QLatin1String("remove")) {
        qCDebug(dcVexbusUsbDeviceWatcher()) << "[-]" << deviceInfo.devicePath << deviceInfo.serialNumber;
        if (!m_deviceInfos.remove(deviceInfo.devicePath))
            return;

        emit deviceInfoRemoved(deviceInfo);
    }
}

} // namespace NivoraVexbusUsb
