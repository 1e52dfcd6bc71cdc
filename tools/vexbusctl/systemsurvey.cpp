// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "systemsurvey.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dirent.h>
#include <libudev.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct UdevDeleter
{
    void operator()(udev *handle) const { udev_unref(handle); }
    void operator()(udev_enumerate *handle) const { udev_enumerate_unref(handle); }
    void operator()(udev_device *handle) const { udev_device_unref(handle); }
};
template<typename T>
using UdevPointer = std::unique_ptr<T, UdevDeleter>;

QString text(const char *value)
{
    return value ? QString::fromUtf8(value) : QString();
}

// The sysfs paths of the devices below parent in one subsystem.
QStringList children(udev *context, udev_device *parent, const char *subsystem)
{
    UdevPointer<udev_enumerate> enumerate(udev_enumerate_new(context));
    if (!enumerate)
        return {};
    udev_enumerate_add_match_parent(enumerate.get(), parent);
    udev_enumerate_add_match_subsystem(enumerate.get(), subsystem);
    udev_enumerate_scan_devices(enumerate.get());
    QStringList paths;
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
        paths << text(udev_list_entry_get_name(entry));
    return paths;
}

// The kernel names the bound driver by the "driver" link; udev's record
// has it as a property too.
QString driverOf(udev_device *device)
{
    const QString driver = text(udev_device_get_driver(device));
    return driver.isEmpty() ? text(udev_device_get_property_value(device, "DRIVER")) : driver;
}

void readTty(udev_device *tty, SystemSurvey::UsbAdapter *adapter)
{
    adapter->ttyPath = text(udev_device_get_devnode(tty));
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(tty))
        adapter->ttyProperties.insert(text(udev_list_entry_get_name(entry)), text(udev_list_entry_get_value(entry)));
    // ftdi_sio keeps the latency timer on the port device above the tty.
    udev_device *port = udev_device_get_parent(tty);
    const char *latency = port ? udev_device_get_sysattr_value(port, "latency_timer") : nullptr;
    if (latency) {
        adapter->latencyTimer = text(latency).trimmed();
        adapter->latencyTimerFile = text(udev_device_get_syspath(port)) + QStringLiteral("/latency_timer");
    }
}

void readInterfaces(udev *context, udev_device *usbDevice, SystemSurvey::UsbAdapter *adapter)
{
    for (const QString &path : children(context, usbDevice, "usb")) {
        UdevPointer<udev_device> interface(udev_device_new_from_syspath(context, path.toUtf8().constData()));
        if (!interface || qstrcmp(udev_device_get_devtype(interface.get()), "usb_interface") != 0)
            continue;
        // The first interface speaks for the device; a second one that has
        // a driver (the data interface of a CDC device) is the better one.
        if (!adapter->interfaceName.isEmpty() && (!adapter->driver.isEmpty() || driverOf(interface.get()).isEmpty()))
            continue;
        adapter->interfaceName = text(udev_device_get_sysname(interface.get()));
        adapter->interfaceClass = text(udev_device_get_sysattr_value(interface.get(), "bInterfaceClass"));
        adapter->driver = driverOf(interface.get());
    }
}

} // namespace

QStringList SystemSurvey::adapterIdentities()
{
    return {QStringLiteral("0403:6001"), QStringLiteral("04b4:f139")};
}

QList<SystemSurvey::UsbAdapter> SystemSurvey::usbAdapters()
{
    QList<UsbAdapter> adapters;
    UdevPointer<udev> context(udev_new());
    if (!context)
        return adapters;
    UdevPointer<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
    udev_enumerate_add_match_subsystem(enumerate.get(), "usb");
    udev_enumerate_add_match_property(enumerate.get(), "DEVTYPE", "usb_device");
    udev_enumerate_scan_devices(enumerate.get());

    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        UdevPointer<udev_device> device(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!device)
            continue;
        UsbAdapter adapter;
        adapter.vendorId = text(udev_device_get_sysattr_value(device.get(), "idVendor")).trimmed().toLower();
        adapter.productId = text(udev_device_get_sysattr_value(device.get(), "idProduct")).trimmed().toLower();
        if (!adapterIdentities().contains(adapter.identity()))
            continue;
        adapter.serialNumber = text(udev_device_get_sysattr_value(device.get(), "serial")).trimmed();
        readInterfaces(context.get(), device.get(), &adapter);
        const QStringList ttys = children(context.get(), device.get(), "tty");
        if (!ttys.isEmpty()) {
            UdevPointer<udev_device> tty(udev_device_new_from_syspath(context.get(), ttys.first().toUtf8().constData()));
            if (tty)
                readTty(tty.get(), &adapter);
        }
        adapters << adapter;
    }
    return adapters;
}

QStringList SystemSurvey::defaultRuleFolders()
{
    return {QStringLiteral("/etc/udev/rules.d"), QStringLiteral("/run/udev/rules.d"),
            QStringLiteral("/usr/local/lib/udev/rules.d"), QStringLiteral("/lib/udev/rules.d"),
            QStringLiteral("/usr/lib/udev/rules.d")};
}

QHash<QString, QString> SystemSurvey::ruleFiles(const QStringList &folders)
{
    QHash<QString, QString> files;
    QStringList masked;
    for (const QString &folder : folders) {
        const QDir directory(folder);
        for (const QString &name : directory.entryList({QStringLiteral("*.rules")}, QDir::Files | QDir::System)) {
            if (files.contains(name) || masked.contains(name))
                continue;
            const QString path = directory.filePath(name);
            if (QFileInfo(path).symLinkTarget() == QLatin1String("/dev/null"))
                masked << name;
            else
                files.insert(name, path);
        }
    }
    return files;
}

QString SystemSurvey::programOf(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (pid <= 0 || !comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

namespace {

QList<qint64> otherProcessIds()
{
    QList<qint64> pids;
    const qint64 self = ::getpid();
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const qint64 pid = name.toLongLong(&numeric);
        if (numeric && pid != self)
            pids << pid;
    }
    return pids;
}

QString linkTarget(const QString &link)
{
    char buffer[4096];
    const ssize_t size = ::readlink(QFile::encodeName(link).constData(), buffer, sizeof(buffer) - 1);
    return size > 0 ? QFile::decodeName(QByteArray(buffer, int(size))) : QString();
}

} // namespace

QList<SystemSurvey::Process> SystemSurvey::processesNamed(const QString &program)
{
    QList<Process> processes;
    for (const qint64 pid : otherProcessIds()) {
        if (programOf(pid) == program)
            processes << Process{pid, program};
    }
    return processes;
}

QList<SystemSurvey::Process> SystemSurvey::processesHolding(const QString &devicePath)
{
    // A descriptor names the node that was opened; a node that is itself
    // a link (as the mocked platform's are, to a pseudo-terminal) is
    // followed even where lstat() does not call it one.
    const QString resolved = resolveLinks(devicePath);
    QStringList names{devicePath, resolved};
    const QString target = QFileInfo(resolved).symLinkTarget();
    if (!target.isEmpty())
        names << target;
    QList<Process> processes;
    for (const qint64 pid : otherProcessIds()) {
        // Read without QDir, which would look at every descriptor's target.
        const QByteArray folder = QByteArray("/proc/") + QByteArray::number(pid) + "/fd";
        DIR *fds = ::opendir(folder.constData());
        if (!fds)
            continue;
        while (const struct dirent *entry = ::readdir(fds)) {
            if (entry->d_name[0] != '.' && names.contains(linkTarget(QFile::decodeName(folder + '/' + entry->d_name)))) {
                processes << Process{pid, programOf(pid)};
                break;
            }
        }
        ::closedir(fds);
    }
    return processes;
}

SystemSurvey::LockFile SystemSurvey::lockFile(const QString &devicePath)
{
    // QSerialPort names the lock after the port's name below /dev.
    QString portName = resolveLinks(devicePath);
    if (portName.startsWith(QLatin1String("/dev/")))
        portName = portName.mid(5);
    const QString fileName = QStringLiteral("LCK..") + portName.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QStringList folders{QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"), QStringLiteral("/var/spool/locks"),
                              QStringLiteral("/var/spool/uucp"), QStringLiteral("/tmp"), QStringLiteral("/var/tmp"),
                              QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock")};
    for (const QString &folder : folders) {
        QFile file(QDir(folder).filePath(fileName));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        LockFile lock;
        lock.path = file.fileName();
        // QLockFile writes the pid on the first line, as the UUCP
        // convention does (there padded to ten characters).
        lock.pid = QString::fromLatin1(file.readLine()).trimmed().toLongLong();
        lock.program = programOf(lock.pid);
        lock.running = !lock.program.isEmpty();
        return lock;
    }
    return LockFile();
}

QString SystemSurvey::resolveLinks(const QString &path)
{
    constexpr int maximumLinks = 40;
    QString resolved = path;
    for (int i = 0; i < maximumLinks && QFileInfo(resolved).isSymLink(); ++i)
        resolved = QFileInfo(resolved).symLinkTarget();
    return resolved;
}
