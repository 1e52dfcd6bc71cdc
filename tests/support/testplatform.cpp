#include "testplatform.h"

#include <umockdev.h>

#include <QtTest>

#include <unistd.h>

namespace NivoraTest {

TestPlatform::TestPlatform() :
    m_testbed(umockdev_testbed_new())
{
    if (!umockdev_in_mock_environment())
        qWarning() << "The test platform needs umockdev-wrapper: mocked devices will not be visible.";
}

TestPlatform::~TestPlatform()
{
    g_object_unref(m_testbed);
}

QString TestPlatform::add(const QString &serialNumber, const QString &deviceName, const QString &vendorId,
                          const QString &productId)
{
    const QString usbPath = QStringLiteral("/devices/usb%1").arg(m_nextUsbIndex++);
    const QString ttyPath = usbPath + QLatin1Char('/') + deviceName;
    const QString devNode = devicePath(deviceName);

    // The record of a USB serial adapter with its tty, as udevadm would
    // describe an FTDI FT232R on a real gateway.
    const QString record = QStringLiteral(
        "P: %1\n"
        "E: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\n"
        "A: idVendor=%3\n"
        "A: idProduct=%4\n"
        "A: serial=%5\n"
        "\n"
        "P: %2\n"
        "N: %6\n"
        "E: SUBSYSTEM=tty\n"
        "E: DEVNAME=%7\n"
        "E: ID_VENDOR_ID=%3\n"
        "E: ID_MODEL_ID=%4\n"
        "E: ID_SERIAL_SHORT=%5\n"
        "E: ID_VENDOR_ENC=FTDI\n"
        "E: ID_MODEL_ENC=FT232R\\x20USB\\x20UART\n"
        "A: dev=188:%8\n")
        .arg(usbPath, ttyPath, vendorId, productId, serialNumber, deviceName, devNode)
        .arg(m_nextUsbIndex - 2);

    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, record.toUtf8().constData(), &error)) {
        qWarning() << "Could not add mocked adapter" << deviceName << (error ? error->message : "");
        g_clear_error(&error);
        return QString();
    }

    Device device;
    device.usbSysPath = QStringLiteral("/sys") + usbPath;
    device.ttySysPath = QStringLiteral("/sys") + ttyPath;
    device.masterFd = umockdev_testbed_get_dev_fd(m_testbed, devNode.toUtf8().constData());
    m_devices.insert(deviceName, device);
    return devNode;
}

QString TestPlatform::addAdapter(const QString &serialNumber, const QString &deviceName, const QString &vendorId,
                                 const QString &productId)
{
    return add(serialNumber, deviceName, vendorId, productId);
}

void TestPlatform::removeAdapter(const QString &deviceName)
{
    if (!m_devices.contains(deviceName))
        return;

    const Device device = m_devices.take(deviceName);
    umockdev_testbed_remove_device(m_testbed, device.ttySysPath.toUtf8().constData());
    umockdev_testbed_remove_device(m_testbed, device.usbSysPath.toUtf8().constData());
}

QString TestPlatform::plug(const QString &serialNumber, const QString &deviceName, const QString &vendorId,
                           const QString &productId)
{
    const QString path = add(serialNumber, deviceName, vendorId, productId);
    if (!path.isEmpty())
        sendEvent(deviceName, QStringLiteral("add"));
    return path;
}

void TestPlatform::unplug(const QString &deviceName)
{
    sendEvent(deviceName, QStringLiteral("remove"));
    removeAdapter(deviceName);
}

void TestPlatform::sendEvent(const QString &deviceName, const QString &action)
{
    if (!m_devices.contains(deviceName))
        return;

    umockdev_testbed_uevent(m_testbed, m_devices.value(deviceName).ttySysPath.toUtf8().constData(),
                            action.toUtf8().constData());
}

int TestPlatform::masterFd(const QString &deviceName) const
{
    return m_devices.value(deviceName).masterFd;
}

void TestPlatform::vanish(const QString &deviceName)
{
    auto it = m_devices.find(deviceName);
    if (it == m_devices.end() || it->masterFd < 0)
        return;

    ::close(it->masterFd);
    it->masterFd = -1;
}

} // namespace NivoraTest
