// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_SOAKSUPPORT_H
#define NIVORA_SOAKSUPPORT_H

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <sys/types.h>

namespace NivoraSoak {

// The firmware image both soaks write: rows of 64 bytes in array 0 for the
// chip the emulator plays, whose flash starts at row 0x22, and the metadata
// row in its last row, 0xFF.
constexpr int imageRows = 12;
QByteArray imageText();

// A process's resident memory and open file descriptors, from /proc; the
// calling process for pid 0. Zero when the process is gone.
struct Resources
{
    qint64 rss = 0;
    int fds = 0;
};
Resources sampleResources(qint64 pid = 0);

// The dbus-daemons that this process started (NivoraTest::PrivateBus runs
// them), for a soak that must take them along when it is killed.
QList<pid_t> busDaemons();

// A port on 127.0.0.1 that is free now, for a broker to listen on.
quint16 freePort();
// Whether something listens on the port of 127.0.0.1 within ms.
bool awaitListening(quint16 port, int ms);

} // namespace NivoraSoak

#endif // NIVORA_SOAKSUPPORT_H
