// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_ADAPTERSESSION_H
#define VEXBUSCTL_ADAPTERSESSION_H

#include "adapter/nivoravexbususbadapter.h"
#include "devicewatcher/nivoravexbususbdevicewatcher.h"

#include <QHash>
#include <QObject>
#include <QSerialPortInfo>
#include <QString>

class TerminationSignals;
class Printer;

// The options that pick an adapter and say how long to wait for it.
struct AdapterOptions
{
    QString port;
    QString serialPrefix;
    int baudrate = 115200;
    int timeoutMs = 10000;
    // A trace file of the serial traffic, for vexbus-emulator --replay.
    QString recordFile;
};

// Exit codes of the tool.
enum ExitCode {
    ExitSuccess = 0,
    ExitFailure = 1,
    ExitUsage = 2,
    ExitNoAdapter = 3,
    ExitInterrupted = 130
};

// The devices the watcher knows, by device path.
QList<NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher::DeviceInfo>
sortedDeviceInfos(const NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher *watcher);
// The device a path names: links such as /dev/serial/by-id/... followed.
QString devicePathOf(const QString &path);
// The system's serial ports by system location, listed once: QSerialPortInfo's
// own look-up by name compares the short port name only, and lists them all
// on every call.
QHash<QString, QSerialPortInfo> serialPortsByLocation();
// What to say when udev lists no adapter.
QString noAdapterListed();

// One adapter as the commands use it: picks the port from the options (or
// the one adapter that udev lists), starts the library's adapter object on
// it, explains what stands in the way when the port cannot be opened, and
// waits for the controller to answer.
class AdapterSession : public QObject
{
    Q_OBJECT

public:
    AdapterSession(const AdapterOptions &options, const Printer *printer, const TerminationSignals *terminationSignals,
                   QObject *parent = nullptr);

    // Picks the port and opens it; an exit code other than ExitSuccess
    // ends the command (the reason is printed).
    int open();
    // Waits for the controller's init procedure; prints why on failure
    // unless the caller has a way on.
    int waitForController(bool reportFailure = true);

    NivoraVexbusUsb::NivoraVexbusUsbAdapter *adapter() const { return m_adapter; }
    // The device path or serial number the session uses, for messages.
    QString target() const;

private:
    int resolveTarget();
    int explainOpenFailure() const;
    QString adapterList() const;

    AdapterOptions m_options;
    const Printer *m_printer;
    const TerminationSignals *m_terminationSignals;
    NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher *m_deviceWatcher = nullptr;
    NivoraVexbusUsb::NivoraVexbusUsbAdapter *m_adapter = nullptr;
    QString m_devicePath;
    // The port of the adapter that --serial names, as the system lists it.
    QString m_serialPortLocation;
};

#endif // VEXBUSCTL_ADAPTERSESSION_H
