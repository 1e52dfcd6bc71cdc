#ifndef NIVORA_EMULATEDADAPTER_H
#define NIVORA_EMULATEDADAPTER_H

#include "testplatform.h"
#include "vexbusemulator.h"

#include <adapter/nivoravexbususbadapter.h>

#include <memory>

namespace NivoraTest {

// An adapter as a test meets it on a gateway: a mocked USB serial adapter on
// the platform, the emulated controller on the far end of its tty, and the
// library's adapter object in port mode on the device, not yet started. The
// emulator is attached from the start and can be configured before start();
// tests of the bootloader handler use the platform and the emulator and
// leave the adapter stopped.
class EmulatedAdapter
{
public:
    explicit EmulatedAdapter(const QString &serialNumber = QStringLiteral("ABC123"),
                             const QString &deviceName = QStringLiteral("ttyUSB0"));
    ~EmulatedAdapter();

    EmulatedAdapter(const EmulatedAdapter &) = delete;
    EmulatedAdapter &operator=(const EmulatedAdapter &) = delete;

    TestPlatform &platform() { return m_platform; }
    NivoraVexbusUsbEmulator::VexbusEmulator &emulator() { return m_emulator; }
    NivoraVexbusUsb::NivoraVexbusUsbAdapter *adapter() const { return m_adapter.get(); }

    QString deviceName() const { return m_deviceName; }
    QString devicePath() const { return TestPlatform::devicePath(m_deviceName); }
    // The PTY master that the emulator answers on.
    int masterFd() const { return m_platform.masterFd(m_deviceName); }
    bool isAttached() const { return m_attached; }

    // Starts the adapter; false when the emulator is not attached or the
    // port did not open.
    bool start();
    // start(), then waits until the init procedure has connected the adapter.
    bool startConnected(int timeoutMs = 5000);
    // Sends the device's "remove" uevent and removes it from sysfs.
    void unplug();
    // Plugs the device in again under the same node; the emulator answers
    // on it as before.
    void replug();

private:
    QString m_serialNumber;
    QString m_deviceName;
    // Declared in this order so that the adapter closes its port before the
    // emulator and the platform go.
    TestPlatform m_platform;
    NivoraVexbusUsbEmulator::VexbusEmulator m_emulator;
    std::unique_ptr<NivoraVexbusUsb::NivoraVexbusUsbAdapter> m_adapter;
    bool m_attached = false;
};

} // namespace NivoraTest

#endif // NIVORA_EMULATEDADAPTER_H
