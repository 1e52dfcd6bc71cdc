// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_SYSTEMSURVEY_H
#define VEXBUSCTL_SYSTEMSURVEY_H

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// What vexbusctl doctor looks at, read from the system and never changed:
// the adapters' USB devices in sysfs and udev's view of their ttys
// (libudev), the udev rule folders, the processes in /proc and the serial
// ports' lock files.
class SystemSurvey
{
public:
    // A USB device with one of the adapter's identities.
    struct UsbAdapter
    {
        QString vendorId;        // "0403"
        QString productId;       // "6001"
        QString serialNumber;
        QString interfaceName;   // "1-1:1.0", the interface that a driver binds
        QString interfaceClass;  // "ff" vendor specific, "02" communications
        QString driver;          // bound to the interface; empty when none
        QString ttyPath;         // "/dev/ttyUSB0"; empty when no driver made one
        QString latencyTimer;    // ms, the FTDI port's attribute; empty when none
        QString latencyTimerFile;
        QHash<QString, QString> ttyProperties; // udev's, such as ID_MM_DEVICE_IGNORE and DEVLINKS

        QString identity() const { return vendorId + QLatin1Char(':') + productId; }
    };

    struct Process
    {
        qint64 pid = 0;
        QString program; // the process's name, as /proc/PID/comm gives it
    };

    struct LockFile
    {
        QString path;
        qint64 pid = 0;
        bool running = false;
        QString program;
    };

    // The adapter's USB identities.
    static QStringList adapterIdentities();
    // The USB devices with those identities, in sysfs order.
    static QList<UsbAdapter> usbAdapters();

    // The folders udev reads its rules from, in its order of precedence.
    static QStringList defaultRuleFolders();
    // The rule files in effect, by file name: a name in an earlier folder
    // hides the same name in a later one, and a link to /dev/null masks it.
    static QHash<QString, QString> ruleFiles(const QStringList &folders);

    // Running processes with this name, except this one.
    static QList<Process> processesNamed(const QString &program);
    // Processes, except this one, with a file descriptor open on the device.
    static QList<Process> processesHolding(const QString &devicePath);
    // The lock file of the port in one of the lock folders that
    // QSerialPort uses; a null path when there is none.
    static LockFile lockFile(const QString &devicePath);
    // The name of a running process; empty when it does not run.
    static QString programOf(qint64 pid);

    // Links followed one by one, as the mocked platform of the tests
    // allows (realpath() does not).
    static QString resolveLinks(const QString &path);
};

#endif // VEXBUSCTL_SYSTEMSURVEY_H
