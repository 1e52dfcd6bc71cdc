#include "emulatedadapter.h"

#include <QtTest>

using NivoraVexbusUsb::NivoraVexbusUsbAdapter;

namespace NivoraTest {

EmulatedAdapter::EmulatedAdapter(const QString &serialNumber, const QString &deviceName) :
    m_serialNumber(serialNumber),
    m_deviceName(deviceName)
{
    if (!m_platform.addAdapter(serialNumber, deviceName).isEmpty())
        m_attached = m_emulator.attach(masterFd());
    if (!m_attached)
        qWarning() << "The emulator could not be attached to" << devicePath();
    // Created after the device, so that it finds the device present.
    m_adapter.reset(new NivoraVexbusUsbAdapter);
    m_adapter->setPortName(devicePath());
}

EmulatedAdapter::~EmulatedAdapter() = default;

bool EmulatedAdapter::start()
{
    return m_attached && m_adapter->start();
}

bool EmulatedAdapter::startConnected(int timeoutMs)
{
    if (!start())
        return false;
    return QTest::qWaitFor([this]() { return m_adapter->state() == NivoraVexbusUsbAdapter::StateConnected; },
                           timeoutMs);
}

void EmulatedAdapter::unplug()
{
    m_platform.unplug(m_deviceName);
}

void EmulatedAdapter::replug()
{
    m_platform.plug(m_serialNumber, m_deviceName);
    m_attached = m_emulator.attach(masterFd());
}

} // namespace NivoraTest
