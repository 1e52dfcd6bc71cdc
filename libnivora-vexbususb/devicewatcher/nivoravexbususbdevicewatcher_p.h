// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBDEVICEWATCHER_P_H
#define NIVORAVEXBUSUSBDEVICEWATCHER_P_H

// The watcher's udev handles and the adapters it knows.

#include "devicewatcher/nivoravexbususbdevicewatcher.h"

#include <QHash>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace NivoraVexbusUsb {

class NivoraVexbusUsbDeviceWatcherPrivate
{
public:
    QHash<QString, NivoraVexbusUsbDeviceWatcher::DeviceInfo> deviceInfos;
    struct udev *udev = nullptr;
    struct udev_monitor *monitor = nullptr;
    QSocketNotifier *notifier = nullptr;
    int socketDescriptor = -1;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBDEVICEWATCHER_P_H
