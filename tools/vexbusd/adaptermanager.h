// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_ADAPTERMANAGER_H
#define VEXBUSD_ADAPTERMANAGER_H

#include "servicesettings.h"

#include "devicewatcher/nivoravexbususbdevicewatcher.h"
#include "firmware/releasekey.h"

#include <QHash>
#include <QObject>

class ManagedAdapter;
class UpdateHistory;

// The adapters the service owns: follows the device watcher, makes one
// ManagedAdapter per adapter (keyed by serial number, else by port) as it
// appears and removes it as it goes. Front ends (D-Bus, MQTT) attach to
// adapterAdded() and adapterRemoved(); none of them owns an adapter.
class AdapterManager : public QObject
{
    Q_OBJECT

public:
    // history records the updates of every adapter; it may be nullptr.
    AdapterManager(const ServiceSettings &settings, const QList<NivoraVexbusUsb::ReleaseKey> &trustedKeys,
                   UpdateHistory *history, QObject *parent = nullptr);

    // Takes the adapters present now; the front ends attach before.
    void start();
    QList<ManagedAdapter *> adapters() const;

signals:
    void adapterAdded(ManagedAdapter *adapter);
    // Emitted before the adapter is deleted.
    void adapterRemoved(ManagedAdapter *adapter);

private:
    void onDeviceInfoAdded(const NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);
    void onDeviceInfoRemoved(const NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo);
    void remove(ManagedAdapter *adapter);
    bool isPresent(const QString &devicePath) const;

    ServiceSettings m_settings;
    QList<NivoraVexbusUsb::ReleaseKey> m_trustedKeys;
    UpdateHistory *m_history;
    NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher *m_deviceWatcher = nullptr;
    QHash<QString, ManagedAdapter *> m_adapters;
};

#endif // VEXBUSD_ADAPTERMANAGER_H
