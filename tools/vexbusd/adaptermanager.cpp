// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adaptermanager.h"
#include "managedadapter.h"
#include "vexbusdlogging.h"

using namespace NivoraVexbusUsb;

AdapterManager::AdapterManager(const ServiceSettings &settings, const QList<ReleaseKey> &trustedKeys, UpdateHistory *history,
                               QObject *parent)
    : QObject(parent),
      m_settings(settings),
      m_trustedKeys(trustedKeys),
      m_history(history)
{
}

void AdapterManager::start()
{
    if (m_deviceWatcher)
        return;
    m_deviceWatcher = new NivoraVexbusUsbDeviceWatcher(this);
    connect(m_deviceWatcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded, this, &AdapterManager::onDeviceInfoAdded);
    connect(m_deviceWatcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved, this, &AdapterManager::onDeviceInfoRemoved);
    for (const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo : m_deviceWatcher->deviceInfos())
        onDeviceInfoAdded(deviceInfo);
}

QList<ManagedAdapter *> AdapterManager::adapters() const
{
    return m_adapters.values();
}

void AdapterManager::onDeviceInfoAdded(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo)
{
    const QString key = ManagedAdapter::keyOf(deviceInfo);
    if (m_settings.ignores(deviceInfo.serialNumber, deviceInfo.devicePath)) {
        qCDebug(dcVexbusd()) << "Leaving adapter" << key << "on" << deviceInfo.devicePath << "alone, as configured";
        return;
    }
    if (ManagedAdapter *known = m_adapters.value(key)) {
        // Back during an update that kept it, or a second tty of one serial number.
        if (known->devicePath() != deviceInfo.devicePath)
            qCWarning(dcVexbusd()) << "Adapter" << key << "appeared on" << deviceInfo.devicePath
                                   << "while the service drives it on" << known->devicePath() << "; ignoring the second port";
        return;
    }
    auto *adapter = new ManagedAdapter(m_deviceWatcher, deviceInfo, m_settings, m_trustedKeys, m_history, this);
    m_adapters.insert(key, adapter);
    connect(adapter, &ManagedAdapter::updateEnded, this, [this, adapter]() {
        // An adapter that left during its update goes once the update ended.
        if (!isPresent(adapter->devicePath()))
            remove(adapter);
    });
    emit adapterAdded(adapter);
}

void AdapterManager::onDeviceInfoRemoved(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo)
{
    ManagedAdapter *adapter = m_adapters.value(ManagedAdapter::keyOf(deviceInfo));
    if (!adapter || adapter->devicePath() != deviceInfo.devicePath)
        return;
    // The controller restarts during an update; an adapter whose USB side
    // goes with it comes back on its own, and its update must not lose its
    // object meanwhile.
    if (adapter->status().updating) {
        qCDebug(dcVexbusd()) << "Adapter" << adapter->key() << "left during its update; keeping it until the update ended";
        return;
    }
    remove(adapter);
}

void AdapterManager::remove(ManagedAdapter *adapter)
{
    qCDebug(dcVexbusd()) << "Adapter" << adapter->key() << "left" << adapter->devicePath();
    m_adapters.remove(adapter->key());
    emit adapterRemoved(adapter);
    adapter->deleteLater();
}

bool AdapterManager::isPresent(const QString &devicePath) const
{
    for (const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo : m_deviceWatcher->deviceInfos()) {
        if (deviceInfo.devicePath == devicePath)
            return true;
    }
    return false;
}
