// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_DOCTORFINDING_H
#define VEXBUSCTL_DOCTORFINDING_H

#include <QJsonObject>
#include <QString>

// One line of vexbusctl doctor: what a check found, how bad it is, and for
// a problem (and some warnings) what fixes it.
class DoctorFinding
{
public:
    enum Severity { Ok, Warning, Problem };

    DoctorFinding() = default;
    DoctorFinding(const QString &check, Severity severity, const QString &message, const QString &action = QString()) :
        m_check(check), m_severity(severity), m_message(message), m_action(action) {}

    QString check() const { return m_check; }
    Severity severity() const { return m_severity; }
    QString message() const { return m_message; }
    QString action() const { return m_action; }

    // "ok", "warning" or "problem".
    QString severityName() const;
    // The line for a person: severity, check and message, then the action.
    QString text() const;
    QJsonObject toJson() const;

private:
    QString m_check;
    Severity m_severity = Ok;
    QString m_message;
    QString m_action;
};

#endif // VEXBUSCTL_DOCTORFINDING_H
