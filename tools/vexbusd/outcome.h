// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_OUTCOME_H
#define VEXBUSD_OUTCOME_H

#include <QString>

// How a request of a front end (a D-Bus call, later an MQTT command) to a
// managed adapter ended: a failure kind that the front end names in its own
// way, and the sentence a person can act on.
class Outcome
{
public:
    enum Failure {
        NoFailure,
        Timeout,
        ControllerError,
        NotAvailable,
        InvalidArgument,
        Inhibited,
        NotInhibited,
        UpdateRunning,
        UpdateFailed,
        ReleaseFailed,
        OlderRelease,
        Aborted,
        LimitReached,
        NotApproved
    };

    Outcome() = default;
    Outcome(Failure failure, const QString &message) : m_failure(failure), m_message(message) {}

    bool succeeded() const { return m_failure == NoFailure; }
    // The failure in the service's wire names: "timeout", "not-available"...
    static QString nameOf(Failure failure)
    {
        static const char *const names[] = {
            "none", "timeout", "controller-error", "not-available", "invalid-argument", "inhibited", "not-inhibited",
            "update-running", "update-failed", "release-failed", "older-release", "aborted", "limit-reached", "not-approved"};
        return QLatin1String(names[failure]);
    }
    Failure failure() const { return m_failure; }
    QString message() const { return m_message; }

private:
    Failure m_failure = NoFailure;
    QString m_message;
};

#endif // VEXBUSD_OUTCOME_H
