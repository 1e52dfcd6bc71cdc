// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_PRIVATEBUS_H
#define NIVORA_PRIVATEBUS_H

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace NivoraTest {

// A dbus-daemon of the test's own, configured as the system bus is (method
// calls denied unless a policy allows them) and with the given policy files
// included, listening on a socket in a temporary folder that every user may
// enter. Stopped when destroyed.
class PrivateBus
{
public:
    PrivateBus() = default;
    ~PrivateBus();

    // Starts the daemon and waits for the address it prints.
    bool start(const QStringList &policyFiles);
    QString address() const { return m_address; }

private:
    QTemporaryDir m_directory;
    QProcess m_daemon;
    QString m_address;
};

} // namespace NivoraTest

#endif // NIVORA_PRIVATEBUS_H
