// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSEMULATOR_DEVICELINK_H
#define VEXBUSEMULATOR_DEVICELINK_H

#include <QString>

// A symbolic link with a stable name (e.g. /tmp/vexbus0) to the emulated
// adapter's tty, whose /dev/pts number changes from run to run. An existing
// symbolic link is replaced atomically; any other file is left alone. The
// link is removed again on destruction, if it still points at the tty.
class DeviceLink
{
public:
    DeviceLink() = default;
    ~DeviceLink();
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    bool create(const QString &linkPath, const QString &targetPath);
    void remove();
    bool exists() const { return !m_linkPath.isEmpty(); }
    QString linkPath() const { return m_linkPath; }
    QString errorString() const { return m_errorString; }

private:
    QString m_linkPath;
    QString m_targetPath;
    QString m_errorString;
};

#endif // VEXBUSEMULATOR_DEVICELINK_H
