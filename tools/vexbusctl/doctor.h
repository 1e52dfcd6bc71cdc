// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_DOCTOR_H
#define VEXBUSCTL_DOCTOR_H

#include "doctorfinding.h"
#include "systemsurvey.h"

#include <QList>
#include <QString>
#include <QStringList>

class TerminationSignals;

// vexbusctl doctor: looks at what stands between a user and the adapter,
// each finding with the action that fixes it. The USB device and its
// driver, the udev rule, ModemManager and brltty, the permission on the
// tty, other programs on the port, the FTDI latency timer, and last the
// controller itself (or its bootloader).
class Doctor
{
public:
    struct Options
    {
        QString port;
        QString serialPrefix;
        int baudrate = 115200;
        int timeoutMs = 10000;
        // Where udev's rules are looked for; the system's folders when empty.
        QStringList ruleFolders;
    };

    Doctor(const Options &options, const TerminationSignals *terminationSignals);

    // Runs every check; false when Ctrl-C ended it.
    bool run();
    QList<DoctorFinding> findings() const { return m_findings; }
    bool hasProblem() const;

private:
    struct Target
    {
        QString ttyPath;
        bool usb = false;
        SystemSurvey::UsbAdapter adapter;
    };

    QList<Target> targets();
    void checkUsb(const Target &target);
    void checkUdevRule(const Target &target);
    void checkModemManager(const QList<Target> &targets);
    void checkBrltty(const QList<Target> &targets);
    // False when the port cannot be opened at all.
    bool checkPermission(const Target &target);
    // False when another program holds the port.
    bool checkPortInUse(const Target &target);
    void checkLatencyTimer(const Target &target, bool portOpenable);
    // False when Ctrl-C ended the wait.
    bool checkController(const Target &target);

    void add(const QString &check, DoctorFinding::Severity severity, const QString &message,
             const QString &action = QString());
    QString ruleFile() const;

    Options m_options;
    const TerminationSignals *m_terminationSignals;
    QHash<QString, QString> m_ruleFiles;
    QList<DoctorFinding> m_findings;
};

#endif // VEXBUSCTL_DOCTOR_H
