// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adaptersession.h"
#include "terminationsignals.h"
#include "printer.h"
#include "systemsurvey.h"
#include "waiter.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace NivoraVexbusUsb;

namespace {

QString ownership(const struct stat &status)
{
    const struct group *group = ::getgrgid(status.st_gid);
    const struct passwd *owner = ::getpwuid(status.st_uid);
    return QStringLiteral("owner %1, group %2, mode %3")
            .arg(owner ? QString::fromLocal8Bit(owner->pw_name) : QString::number(status.st_uid),
                 group ? QString::fromLocal8Bit(group->gr_name) : QString::number(status.st_gid))
            .arg(status.st_mode & 0777, 4, 8, QLatin1Char('0'));
}

} // namespace

QList<NivoraVexbusUsbDeviceWatcher::DeviceInfo> sortedDeviceInfos(const NivoraVexbusUsbDeviceWatcher *watcher)
{
    QList<NivoraVexbusUsbDeviceWatcher::DeviceInfo> deviceInfos = watcher->deviceInfos();
    std::sort(deviceInfos.begin(), deviceInfos.end(),
              [](const NivoraVexbusUsbDeviceWatcher::DeviceInfo &a, const NivoraVexbusUsbDeviceWatcher::DeviceInfo &b) {
                  return a.devicePath < b.devicePath;
              });
    return deviceInfos;
}

QString devicePathOf(const QString &path)
{
    return SystemSurvey::resolveLinks(QFileInfo(path).absoluteFilePath());
}

QHash<QString, QSerialPortInfo> serialPortsByLocation()
{
    QHash<QString, QSerialPortInfo> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports.insert(info.systemLocation(), info);
    return ports;
}

QString noAdapterListed()
{
    return QStringLiteral("udev lists no tty of a USB device 0403:6001 or 04b4:f139");
}

AdapterSession::AdapterSession(const AdapterOptions &options, const Printer *printer,
                               const TerminationSignals *terminationSignals, QObject *parent) :
    QObject(parent),
    m_options(options),
    m_printer(printer),
    m_terminationSignals(terminationSignals)
{
}

QString AdapterSession::target() const
{
    if (!m_devicePath.isEmpty())
        return m_devicePath;
    return QStringLiteral("the adapter with serial number %1*").arg(m_options.serialPrefix);
}

QString AdapterSession::adapterList() const
{
    const QList<NivoraVexbusUsbDeviceWatcher::DeviceInfo> deviceInfos = sortedDeviceInfos(m_deviceWatcher);
    if (deviceInfos.isEmpty())
        return noAdapterListed() + QLatin1Char('.');

    QStringList entries;
    for (const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo : deviceInfos)
        entries << QStringLiteral("%1 (serial number %2)").arg(deviceInfo.devicePath, deviceInfo.serialNumber);
    return QStringLiteral("udev lists: ") + entries.join(QStringLiteral(", ")) + QLatin1Char('.');
}

int AdapterSession::resolveTarget()
{
    m_deviceWatcher = new NivoraVexbusUsbDeviceWatcher(this);

    if (!m_options.port.isEmpty()) {
        const QFileInfo fileInfo(m_options.port);
        if (!fileInfo.exists()) {
            m_printer->error(QStringLiteral("no adapter at %1: the path does not exist. %2")
                                     .arg(m_options.port, adapterList()));
            return ExitNoAdapter;
        }
        // A link such as /dev/vexbus/by-serial/... stands for the tty that
        // the system lists as a serial port.
        m_devicePath = SystemSurvey::resolveLinks(fileInfo.absoluteFilePath());
        return ExitSuccess;
    }

    if (!m_options.serialPrefix.isEmpty()) {
        const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
        const auto matches = std::count_if(ports.cbegin(), ports.cend(), [this](const QSerialPortInfo &info) {
            return info.serialNumber().startsWith(m_options.serialPrefix);
        });
        if (matches == 0) {
            m_printer->error(QStringLiteral("no adapter with a serial number starting with \"%1\" among the serial ports "
                                            "the system lists. %2").arg(m_options.serialPrefix, adapterList()));
            return ExitNoAdapter;
        }
        // The library would take the first; a command must not go to a
        // device the person did not mean.
        if (matches > 1) {
            m_printer->error(QStringLiteral("several adapters have a serial number starting with \"%1\"; give more of it. %2")
                                     .arg(m_options.serialPrefix, adapterList()));
            return ExitUsage;
        }
        m_serialPortLocation = std::find_if(ports.cbegin(), ports.cend(), [this](const QSerialPortInfo &info) {
            return info.serialNumber().startsWith(m_options.serialPrefix);
        })->systemLocation();
        return ExitSuccess;
    }

    const QList<NivoraVexbusUsbDeviceWatcher::DeviceInfo> deviceInfos = sortedDeviceInfos(m_deviceWatcher);
    if (deviceInfos.isEmpty()) {
        m_printer->error(QStringLiteral("no adapter found: %1 Plug the adapter in, or name its port with --port PATH "
                                        "(also a serial bridge's pseudo-terminal).").arg(adapterList()));
        return ExitNoAdapter;
    }
    if (deviceInfos.count() > 1) {
        m_printer->error(QStringLiteral("several adapters found; choose one with --port PATH or --serial PREFIX. %1")
                                 .arg(adapterList()));
        return ExitUsage;
    }
    m_devicePath = deviceInfos.first().devicePath;
    return ExitSuccess;
}

int AdapterSession::open()
{
    const int resolved = resolveTarget();
    if (resolved != ExitSuccess)
        return resolved;

    if (m_devicePath.isEmpty()) {
        m_adapter = new NivoraVexbusUsbAdapter(m_deviceWatcher, m_options.serialPrefix, this);
    } else {
        m_adapter = new NivoraVexbusUsbAdapter(m_deviceWatcher, this);
        m_adapter->setPortName(m_devicePath);
    }
    m_adapter->setBaudrate(m_options.baudrate);
    if (!m_options.recordFile.isEmpty()) {
        m_adapter->setTrafficRecordFileName(m_options.recordFile);
        if (m_adapter->trafficRecordFileName().isEmpty()) {
            m_printer->error(QStringLiteral("cannot record the serial traffic into %1.").arg(m_options.recordFile));
            return ExitFailure;
        }
    }
    m_adapter->start();

    // The interface opens the port at once when it can.
    if (!m_adapter->serialInterface()->connected())
        return explainOpenFailure();

    if (m_devicePath.isEmpty())
        m_devicePath = m_adapter->portName();
    return ExitSuccess;
}

namespace {

// The pid of the program named application that holds the serial port lock
// of devicePath, in the folders where Qt's serial port looks for locks; 0
// when another program or none holds it.
qint64 lockHolderPid(const QString &devicePath, const QString &application)
{
    const QString name = QStringLiteral("LCK..") + QFileInfo(devicePath).fileName();
    for (const char *folder : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp", "/var/tmp",
                               "/var/lock/lockdev", "/run/lock"}) {
        const QString path = QLatin1String(folder) + QLatin1Char('/') + name;
        if (!QFileInfo::exists(path))
            continue;
        qint64 pid = 0;
        QString hostName;
        QString appName;
        if (QLockFile(path).getLockInfo(&pid, &hostName, &appName) && appName == application)
            return pid;
        return 0;
    }
    return 0;
}

} // namespace

int AdapterSession::explainOpenFailure() const
{
    const QString portError = m_adapter->serialInterface()->serialPort()->errorString();
    if (m_devicePath.isEmpty()) {
        // The service that shares the adapter holds its lock, as below.
        const qint64 servicePid = !m_serialPortLocation.isEmpty() && m_adapter->serialInterface()->serialPort()->error() == QSerialPort::PermissionError
                ? lockHolderPid(m_serialPortLocation, QStringLiteral("vexbusd")) : 0;
        if (servicePid > 0) {
            m_printer->error(QStringLiteral("%1 is in use by vexbusd (pid %2), which shares the adapter on D-Bus. "
                                            "To open the port directly, let vexbusd lend it: vexbusctl inhibit --serial %3 -- "
                                            "vexbusctl --serial %3 COMMAND").arg(m_serialPortLocation).arg(servicePid)
                                     .arg(m_options.serialPrefix));
            return ExitNoAdapter;
        }
        m_printer->error(QStringLiteral("could not open the serial port of the adapter with serial number %1*: %2")
                                 .arg(m_options.serialPrefix, portError));
        return ExitNoAdapter;
    }

    // The service that shares the adapter holds its lock: that is the whole story.
    const qint64 servicePid = m_adapter->serialInterface()->serialPort()->error() == QSerialPort::PermissionError
            ? lockHolderPid(m_devicePath, QStringLiteral("vexbusd")) : 0;
    if (servicePid > 0) {
        m_printer->error(QStringLiteral("%1 is in use by vexbusd (pid %2), which shares the adapter on D-Bus. "
                                        "To open the port directly, let vexbusd lend it: vexbusctl inhibit --port %1 -- "
                                        "vexbusctl --port %1 COMMAND").arg(m_devicePath).arg(servicePid));
        return ExitNoAdapter;
    }

    // Ask the system itself, which says more precisely than the port's
    // error text what stands in the way.
    const QByteArray path = QFile::encodeName(m_devicePath);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int openError = errno;
    struct stat status = {};
    const bool haveStatus = ::stat(path.constData(), &status) == 0;

    if (fd < 0 && (openError == EACCES || openError == EPERM)) {
        const struct group *group = haveStatus ? ::getgrgid(status.st_gid) : nullptr;
        if (group && (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            const QString groupName = QString::fromLocal8Bit(group->gr_name);
            m_printer->error(QStringLiteral("permission denied on %1 (%2). Add your user to the group \"%3\" "
                                            "(sudo usermod -aG %3 $USER) and log in again.")
                                     .arg(m_devicePath, ownership(status), groupName));
        } else {
            // No group may use it: being a member of one does not help.
            m_printer->error(QStringLiteral("permission denied on %1 (%2): only its owner may use it. A udev rule "
                                            "such as GROUP=\"dialout\", MODE=\"0660\" lets the members of dialout in.")
                                     .arg(m_devicePath, haveStatus ? ownership(status) : QStringLiteral("no status")));
        }
        return ExitNoAdapter;
    }
    if (fd < 0 && openError == EBUSY) {
        m_printer->error(QStringLiteral("%1 is busy: another program holds it for exclusive use "
                                        "(find it with: fuser -v %1).").arg(m_devicePath));
        return ExitNoAdapter;
    }
    if (fd < 0) {
        m_printer->error(QStringLiteral("could not open %1: %2").arg(m_devicePath, QString::fromLocal8Bit(std::strerror(openError))));
        return ExitNoAdapter;
    }

    const bool terminal = ::isatty(fd);
    ::close(fd);
    if (!terminal) {
        m_printer->error(QStringLiteral("%1 is not a serial port or terminal device.").arg(m_devicePath));
        return ExitNoAdapter;
    }
    // The system lets us open it, so what failed is the port's lock file.
    if (m_adapter->serialInterface()->serialPort()->error() == QSerialPort::PermissionError) {
        m_printer->error(QStringLiteral("%1 is in use: another program holds its lock (find it with: fuser -v %1).")
                                 .arg(m_devicePath));
        return ExitNoAdapter;
    }
    m_printer->error(QStringLiteral("could not open %1: %2").arg(m_devicePath, portError));
    return ExitNoAdapter;
}

int AdapterSession::waitForController(bool reportFailure)
{
    Waiter waiter(m_terminationSignals, [this]() { return m_adapter->available() || m_adapter->controllerInBootloader(); });
    waiter.wakeOn(m_adapter, &NivoraVexbusUsbAdapter::availableChanged);
    waiter.wakeOn(m_adapter, &NivoraVexbusUsbAdapter::controllerInBootloaderChanged);
    switch (waiter.wait(m_options.timeoutMs)) {
    case Waiter::Done:
        if (m_adapter->available())
            return ExitSuccess;
        if (reportFailure) {
            m_printer->error(QStringLiteral("the controller at %1 does not answer, but its bootloader does: an update was "
                                            "interrupted. Write its firmware again (run: vexbusctl update FILE, or "
                                            "vexbusctl update --online).").arg(target()));
        }
        return ExitFailure;
    case Waiter::Interrupted:
        return ExitInterrupted;
    case Waiter::TimedOut:
        break;
    }
    if (!reportFailure)
        return ExitFailure;
    if (!m_adapter->serialInterface()->connected()) {
        m_printer->error(QStringLiteral("the connection to %1 was lost before the controller answered: the device "
                                        "disappeared or closed the line.").arg(target()));
        return ExitFailure;
    }
    m_printer->error(QStringLiteral("the controller at %1 did not answer within %2 s: the port is open, but the "
                                    "controller does not answer its firmware-version request. Check that the adapter "
                                    "is powered; after an interrupted update it waits in its bootloader "
                                    "(run: vexbusctl update FILE).")
                             .arg(target()).arg(m_options.timeoutMs / 1000.0));
    return ExitFailure;
}
