#ifndef NIVORAVEXBUSUSBDEVICEWATCHER_H
#define NIVORAVEXBUSUSBDEVICEWATCHER_H

#include "nivoravexbususb_export.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSocketDescriptor>
#include <QSocketNotifier>

struct udev;
struct udev_monitor;

namespace NivoraVexbusUsb {

// Finds the adapter's tty devices through udev at construction and follows
// the add and remove events of tty devices from then on. Several adapters
// may share one watcher; it lives on the thread that created it.
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbDeviceWatcher : public QObject
{
    Q_OBJECT

public:
    class DeviceInfo
    {
    public:
        QString devicePath;
        QString serialNumber;
    };

    explicit NivoraVexbusUsbDeviceWatcher(QObject *parent = nullptr);
    ~NivoraVexbusUsbDeviceWatcher() override;

    QList<DeviceInfo> deviceInfos() const;

signals:
    void deviceInfoAdded(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);
    void deviceInfoRemoved(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);

private:
    bool loadInitialDevices();
    bool startMonitor();
    void releaseUdev();

private slots:
    void onSocketActivated(QSocketDescriptor socket);

private:

    QHash<QString, DeviceInfo> m_deviceInfos;
    struct udev *m_udev = nullptr;
    struct udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    int m_socketDescriptor = -1;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBDEVICEWATCHER_H
