// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_WAITER_H
#define VEXBUSCTL_WAITER_H

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

class TerminationSignals;

// Runs the event loop until a condition holds, a time-out passes or the
// user interrupts. The condition is checked whenever one of the signals
// given to wakeOn() arrives, so nothing is polled.
class Waiter
{
public:
    enum Result { Done, TimedOut, Interrupted };

    Waiter(const TerminationSignals *terminationSignals, std::function<bool()> condition);

    template<typename Sender, typename Signal>
    void wakeOn(const Sender *sender, Signal signal)
    {
        QObject::connect(sender, signal, &m_loop, [this]() { check(); });
    }

    // A time-out of 0 or less waits without limit.
    Result wait(int timeoutMs);

private:
    void check();

    const TerminationSignals *m_terminationSignals;
    std::function<bool()> m_condition;
    QEventLoop m_loop;
    QTimer m_timer;
    Result m_result = TimedOut;
};

#endif // VEXBUSCTL_WAITER_H
