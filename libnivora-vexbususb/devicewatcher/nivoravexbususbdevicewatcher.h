// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBDEVICEWATCHER_H
#define NIVORAVEXBUSUSBDEVICEWATCHER_H

#include "nivoravexbususb_export.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSocketDescriptor>
#include <QSocketNotifier>
#include <QScopedPointer>

struct udev;
struct udev_monitor;

namespace NivoraVexbusUsb {

class NivoraVexbusUsbDeviceWatcherPrivate;
/**
 * @brief Finds the adapters' tty devices through udev and reports those that
 * arrive and leave.
 *
 * The watcher enumerates the tty devices of the adapter's USB identities
 * (0403:6001, 04b4:f139) at construction and follows udev's add and remove
 * events of tty devices from then on. Several adapter objects may share one
 * watcher; it lives on the thread that created it. A failed udev step is
 * logged and leaves a watcher that reports nothing.
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbDeviceWatcher : public QObject
{
    Q_OBJECT

public:
    /// One adapter's tty as udev reports it.
    class DeviceInfo
    {
    public:
        QString devicePath;   ///< the device node, for example "/dev/ttyUSB0"
        QString serialNumber; ///< the USB serial number (udev's ID_SERIAL_SHORT)
    };

    /// Enumerates the present adapters and starts listening to udev events.
    explicit NivoraVexbusUsbDeviceWatcher(QObject *parent = nullptr);
    /// Stops listening and releases the udev objects.
    ~NivoraVexbusUsbDeviceWatcher() override;

    /// The adapters present now, in no particular order.
    QList<DeviceInfo> deviceInfos() const;

signals:
    /// Emitted when udev reports a new tty of an adapter.
    void deviceInfoAdded(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);
    /// Emitted when udev reports that a known adapter's tty went away.
    void deviceInfoRemoved(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);

private:
    Q_DECL_HIDDEN bool loadInitialDevices();
    Q_DECL_HIDDEN bool startMonitor();
    Q_DECL_HIDDEN void releaseUdev();

private slots:
    Q_DECL_HIDDEN void onSocketActivated(QSocketDescriptor socket);

private:

    Q_DECLARE_PRIVATE(NivoraVexbusUsbDeviceWatcher)
    const QScopedPointer<NivoraVexbusUsbDeviceWatcherPrivate> d_ptr;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBDEVICEWATCHER_H
