// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "testplatform.h"

#include <umockdev.h>

#include <QtTest>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <errno.h>
#include <poll.h>
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

QString TestPlatform::rootDir() const
{
    gchar *root = umockdev_testbed_get_root_dir(m_testbed);
    const QString path = QString::fromUtf8(root);
    g_free(root);
    return path;
}

QByteArray TestPlatform::ttySysPath(const QString &deviceName) const
{
    return m_devices.value(deviceName).ttySysPath.toUtf8();
}

QString TestPlatform::addAdapter(const QString &serialNumber, const QString &deviceName, const QString &vendorId,
                                 const QString &productId)
{
    const QString usbPath = QStringLiteral("/devices/usb%1").arg(m_nextUsbIndex++);
    const QString ttyPath = usbPath + QLatin1Char('/') + deviceName;
    const QString devNode = devicePath(deviceName);

    // The record of a USB serial adapter with its tty, as udevadm would
    // describe an FTDI FT232R on a real gateway.
    QString record = QStringLiteral(
        "P: %1\n"
        "E: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\n"
        "A: idVendor=%3\n"
        "A: idProduct=%4\n"
        "A: serial=%5\n"
        "\n"
        "P: %2\n"
        "E: SUBSYSTEM=tty\n"
        "E: DEVNAME=%6\n"
        "E: ID_VENDOR_ID=%3\n"
        "E: ID_MODEL_ID=%4\n"
        "E: ID_SERIAL_SHORT=%5\n"
        "E: ID_VENDOR_ENC=FTDI\n"
        "E: ID_MODEL_ENC=FT232R\\x20USB\\x20UART\n")
        .arg(usbPath, ttyPath, vendorId, productId, serialNumber, devNode);
    // umockdev creates the node and its PTY from the "dev" attribute; a node
    // that survives from an earlier plug keeps its PTY and is not created
    // again (umockdev cannot create a second PTY for the same node).
    const bool reuseNode = m_parked.contains(deviceName);
    const int minor = reuseNode ? m_parked.value(deviceName).minor : m_nextMinor++;
    const QString devAttribute = QStringLiteral("188:%1").arg(minor);
    if (!reuseNode)
        record += QStringLiteral("N: %1\nA: dev=%2\n").arg(deviceName, devAttribute);

    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, record.toUtf8().constData(), &error)) {
        qWarning() << "Could not add mocked adapter" << deviceName << (error ? error->message : "");
        g_clear_error(&error);
        return QString();
    }

    Device device;
    device.usbSysPath = QStringLiteral("/sys") + usbPath;
    device.ttySysPath = QStringLiteral("/sys") + ttyPath;
    device.minor = minor;
    if (reuseNode) {
        device.masterFd = m_parked.take(deviceName).masterFd;
        // Written as a plain file: umockdev would make a new node of it.
        QFile devFile(rootDir() + device.ttySysPath + QStringLiteral("/dev"));
        if (devFile.open(QIODevice::WriteOnly))
            devFile.write(devAttribute.toLatin1() + '\n');
    } else {
        device.masterFd = umockdev_testbed_get_dev_fd(m_testbed, devNode.toUtf8().constData());
    }
    m_devices.insert(deviceName, device);
    return devNode;
}

QString TestPlatform::addUsbSerialDevice(const UsbSerialDevice &device)
{
    const QString usbPath = QStringLiteral("/devices/usb%1").arg(m_nextUsbIndex);
    const QString interfacePath = usbPath + QStringLiteral("/%1-1:1.0").arg(m_nextUsbIndex++);
    QString record = QStringLiteral(
        "P: %1\n"
        "E: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\n"
        "A: idVendor=%2\n"
        "A: idProduct=%3\n"
        "A: serial=%4\n"
        "\n"
        "P: %5\n"
        "E: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_interface\n"
        "A: bInterfaceClass=%6\n")
        .arg(usbPath, device.vendorId, device.productId, device.serialNumber, interfacePath, device.interfaceClass);
    if (!device.driver.isEmpty())
        record += QStringLiteral("E: DRIVER=%1\nL: driver=../../../bus/usb/drivers/%1\n").arg(device.driver);

    const bool ftdi = device.driver == QLatin1String("ftdi_sio");
    const bool hasTty = ftdi || device.driver == QLatin1String("cdc_acm");
    QString ttyPath;
    if (ftdi) {
        const QString portPath = interfacePath + QLatin1Char('/') + device.ttyName;
        record += QStringLiteral("\nP: %1\nE: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\nL: driver=../../../../bus/usb-serial/drivers/ftdi_sio\n").arg(portPath);
        if (!device.latencyTimer.isEmpty())
            record += QStringLiteral("A: latency_timer=%1\n").arg(device.latencyTimer);
        ttyPath = portPath + QStringLiteral("/tty/") + device.ttyName;
    } else if (hasTty) {
        ttyPath = interfacePath + QStringLiteral("/tty/") + device.ttyName;
    }
    const int minor = m_nextMinor++;
    if (hasTty) {
        record += QStringLiteral("\nP: %1\nN: %2\nA: dev=%3:%4\nE: SUBSYSTEM=tty\nE: DEVNAME=%5\n"
                                 "E: ID_VENDOR_ID=%6\nE: ID_MODEL_ID=%7\nE: ID_SERIAL_SHORT=%8\n")
                          .arg(ttyPath, device.ttyName, ftdi ? QStringLiteral("188") : QStringLiteral("166"))
                          .arg(minor)
                          .arg(devicePath(device.ttyName), device.vendorId, device.productId, device.serialNumber);
        for (auto it = device.ttyProperties.cbegin(); it != device.ttyProperties.cend(); ++it)
            record += QStringLiteral("E: %1=%2\n").arg(it.key(), it.value());
    }

    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, record.toUtf8().constData(), &error)) {
        qWarning() << "Could not add mocked USB device" << device.serialNumber << (error ? error->message : "");
        g_clear_error(&error);
        return QString();
    }
    if (!hasTty)
        return QString();

    Device added;
    added.usbSysPath = QStringLiteral("/sys") + usbPath;
    added.ttySysPath = QStringLiteral("/sys") + ttyPath;
    added.minor = minor;
    added.masterFd = umockdev_testbed_get_dev_fd(m_testbed, devicePath(device.ttyName).toUtf8().constData());
    m_devices.insert(device.ttyName, added);
    return devicePath(device.ttyName);
}

QString TestPlatform::ptyPath(const QString &deviceName) const
{
    return QFileInfo(rootDir() + devicePath(deviceName)).symLinkTarget();
}

bool TestPlatform::addLink(const QString &linkPath, const QString &deviceName)
{
    const QString root = rootDir();
    const QFileInfo link(root + linkPath);
    if (!QDir().mkpath(link.absolutePath()))
        return false;
    const QString target = QDir(QFileInfo(linkPath).absolutePath()).relativeFilePath(devicePath(deviceName));
    return QFile::link(target, link.filePath());
}

QString TestPlatform::plug(const QString &serialNumber, const QString &deviceName, const QString &vendorId,
                           const QString &productId)
{
    const QString path = addAdapter(serialNumber, deviceName, vendorId, productId);
    if (!path.isEmpty())
        sendEvent(deviceName, QStringLiteral("add"));
    return path;
}

void TestPlatform::unplug(const QString &deviceName)
{
    if (!m_devices.contains(deviceName))
        return;

    sendEvent(deviceName, QStringLiteral("remove"));
    // The tty's sysfs entries go, its node and PTY stay for a later plug.
    const Device device = m_devices.take(deviceName);
    const QString root = rootDir();
    QDir(root + device.ttySysPath).removeRecursively();
    QFile::remove(root + QStringLiteral("/sys/class/tty/") + deviceName);
    QFile::remove(root + QStringLiteral("/sys/dev/char/188:%1").arg(device.minor));
    umockdev_testbed_remove_device(m_testbed, device.usbSysPath.toUtf8().constData());
    m_parked.insert(deviceName, device);
}

void TestPlatform::sendEvent(const QString &deviceName, const QString &action)
{
    if (m_devices.contains(deviceName))
        umockdev_testbed_uevent(m_testbed, ttySysPath(deviceName).constData(), action.toUtf8().constData());
}

void TestPlatform::setProperty(const QString &deviceName, const QString &name, const QString &value)
{
    if (m_devices.contains(deviceName))
        umockdev_testbed_set_property(m_testbed, ttySysPath(deviceName).constData(), name.toUtf8().constData(),
                                      value.toUtf8().constData());
}

int TestPlatform::masterFd(const QString &deviceName) const
{
    return m_devices.value(deviceName).masterFd;
}

bool writeToFd(int fd, const QByteArray &data)
{
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t result = ::write(fd, data.constData() + written, static_cast<size_t>(data.size() - written));
        if (result < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        written += result;
    }
    return true;
}

QByteArray readFromFd(int fd, int minimumSize, int timeoutMs)
{
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (data.size() < minimumSize && timer.elapsed() < timeoutMs) {
        // The library writes from the event loop, so keep it turning.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        struct pollfd pfd = {fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10) <= 0 || !(pfd.revents & POLLIN))
            continue;
        char buffer[4096];
        const ssize_t result = ::read(fd, buffer, sizeof(buffer));
        if (result > 0)
            data.append(buffer, static_cast<int>(result));
    }
    return data;
}

void ignoreWarnings(const QStringList &patterns)
{
    for (const QString &pattern : patterns) {
        if (!pattern.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern));
    }
}

} // namespace NivoraTest
