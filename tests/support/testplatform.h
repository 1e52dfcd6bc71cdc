// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_TESTPLATFORM_H
#define NIVORA_TESTPLATFORM_H

#include <QHash>
#include <QString>
#include <QStringList>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace NivoraTest {

// A mocked udev/sysfs platform for the tests, built on umockdev. Each adapter
// is a USB device with a tty child; umockdev backs the tty node with a PTY
// whose other end (the master) the test, or an emulator, talks on.
// The test binary must run under umockdev-wrapper.
class TestPlatform
{
public:
    // A USB serial device as the kernel lays it out: the device, its
    // interface 1.0 with the driver bound to it, for ftdi_sio the driver's
    // port device (with its latency timer), and the tty. Without a serial
    // driver there is no tty.
    struct UsbSerialDevice
    {
        QString serialNumber;
        QString vendorId = QStringLiteral("0403");
        QString productId = QStringLiteral("6001");
        QString interfaceClass = QStringLiteral("ff");
        // "ftdi_sio" or "cdc_acm" make a tty; "usbfs" (a program that
        // claimed the device) and "" (none bound) do not.
        QString driver = QStringLiteral("ftdi_sio");
        QString ttyName = QStringLiteral("ttyUSB0");
        // The FTDI port's latency_timer attribute, in ms; empty for none.
        QString latencyTimer;
        // udev properties of the tty, such as ID_MM_DEVICE_IGNORE or DEVLINKS.
        QHash<QString, QString> ttyProperties;
    };


    TestPlatform();
    ~TestPlatform();

    TestPlatform(const TestPlatform &) = delete;
    TestPlatform &operator=(const TestPlatform &) = delete;

    // Adds an adapter as if present before the test started. Returns the
    // device node path, for example "/dev/ttyUSB0". umockdev itself sends an
    // "add" uevent for a new device, which a udev monitor that already
    // listens receives; a node that is reused after unplug() is not
    // announced.
    QString addAdapter(const QString &serialNumber, const QString &deviceName = QStringLiteral("ttyUSB0"),
                       const QString &vendorId = QStringLiteral("0403"),
                       const QString &productId = QStringLiteral("6001"));

    // Adds the adapter and sends the "add" uevent, as on plugging it in.
    QString plug(const QString &serialNumber, const QString &deviceName = QStringLiteral("ttyUSB0"),
                 const QString &vendorId = QStringLiteral("0403"),
                 const QString &productId = QStringLiteral("6001"));
    // Adds the device; returns its tty's node path, empty when it has none.
    QString addUsbSerialDevice(const UsbSerialDevice &device);
    // Where the PTY behind the device's node is, for example "/dev/pts/3".
    QString ptyPath(const QString &deviceName) const;
    // The testbed's root directory, which a process of another user needs
    // to read as well.
    QString rootDir() const;

    // Sends the "remove" uevent and removes the device, as on unplugging it.
    void unplug(const QString &deviceName);
    // Sends a uevent with any action for the tty of the device.
    void sendEvent(const QString &deviceName, const QString &action);
    // Sets a udev property of the device's tty, as later events report it.
    void setProperty(const QString &deviceName, const QString &name, const QString &value);

    // Adds a symbolic link to the device's node in the mocked /dev, as a udev
    // rule makes one, for example "/dev/vexbus/by-serial/A5XK1234". The
    // link is relative, as udev writes it.
    bool addLink(const QString &linkPath, const QString &deviceName);

    // The PTY master of the device's tty: the far end of the serial line.
    // -1 when unknown.
    int masterFd(const QString &deviceName) const;
    static QString devicePath(const QString &deviceName) { return QStringLiteral("/dev/") + deviceName; }

    UMockdevTestbed *testbed() const { return m_testbed; }

private:
    struct Device {
        QString usbSysPath;
        QString ttySysPath;
        int masterFd = -1;
        int minor = 0;
    };

    QByteArray ttySysPath(const QString &deviceName) const;

    UMockdevTestbed *m_testbed = nullptr;
    QHash<QString, Device> m_devices;
    // Devices removed from sysfs whose node and PTY remain.
    QHash<QString, Device> m_parked;
    int m_nextUsbIndex = 1;
    int m_nextMinor = 0;
};

// Raw byte access to the far end of a mocked tty.
// Writes all of data; false on an error.
bool writeToFd(int fd, const QByteArray &data);
// Reads what arrives within timeoutMs, keeping the event loop running, and
// returns as soon as at least minimumSize bytes were read.
QByteArray readFromFd(int fd, int minimumSize, int timeoutMs = 2000);

// Expects a warning for each pattern, in this order; an empty pattern
// expects none.
void ignoreWarnings(const QStringList &patterns);

} // namespace NivoraTest

#endif // NIVORA_TESTPLATFORM_H
