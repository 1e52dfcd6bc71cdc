// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "waiter.h"
#include "terminationsignals.h"

Waiter::Waiter(const TerminationSignals *terminationSignals, std::function<bool()> condition) :
    m_terminationSignals(terminationSignals),
    m_condition(std::move(condition))
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_loop, [this]() {
        m_result = TimedOut;
        m_loop.quit();
    });
    QObject::connect(terminationSignals, &TerminationSignals::received, &m_loop, [this]() {
        m_result = Interrupted;
        m_loop.quit();
    });
}

Waiter::Result Waiter::wait(int timeoutMs)
{
    if (m_condition())
        return Done;
    if (m_terminationSignals->hasReceived())
        return Interrupted;
    if (timeoutMs > 0)
        m_timer.start(timeoutMs);
    m_loop.exec();
    m_timer.stop();
    return m_result;
}

void Waiter::check()
{
    if (m_loop.isRunning() && m_condition()) {
        m_result = Done;
        m_loop.quit();
    }
}
