// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_SERIALDRIVER_H
#define NIVORA_SERIALDRIVER_H

#include <QString>

#include <functional>
#include <memory>

namespace NivoraTest {

class TestPlatform;

// The serial ioctls of a mocked adapter's tty, answered as a USB serial
// driver such as ftdi_sio answers them: TIOCGSERIAL reports the port's flags
// and TIOCSSERIAL stores them, or is refused as by a driver or bridge that
// does not let them change. umockdev hands every ioctl on the node to this
// handler; the others go on to the PTY behind the node.
class SerialDriver
{
public:
    enum Behaviour {
        Accepts,           // flags are read and set
        RefusesSettings,   // flags are read, setting them fails with EPERM
        NoSerialIoctls,    // both fail with ENOTTY, as on a pseudo-terminal
    };

    // Attaches to the device node of an adapter that the platform holds.
    SerialDriver(TestPlatform *platform, const QString &deviceName, Behaviour behaviour, int flags = 0);
    ~SerialDriver();

    bool isAttached() const;
    // The port's flags as last read or set.
    int flags() const;
    // How often TIOCSSERIAL succeeded.
    int settingsChanged() const;
    // Called on umockdev's worker thread after every change of the flags.
    void setFlagsChangedHandler(std::function<void(int flags)> handler);

    struct State;

private:
    TestPlatform *m_platform;
    QString m_devicePath;
    std::shared_ptr<State> m_state;
    void *m_handler = nullptr;
};

} // namespace NivoraTest

#endif // NIVORA_SERIALDRIVER_H
