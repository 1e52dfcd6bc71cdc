// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "doctorfinding.h"

QString DoctorFinding::severityName() const
{
    switch (m_severity) {
    case Ok:
        return QStringLiteral("ok");
    case Warning:
        return QStringLiteral("warning");
    case Problem:
        break;
    }
    return QStringLiteral("problem");
}

QString DoctorFinding::text() const
{
    QString line = severityName().leftJustified(8) + m_check.leftJustified(14) + m_message;
    if (!m_action.isEmpty())
        line += QStringLiteral(" Fix: ") + m_action;
    return line;
}

QJsonObject DoctorFinding::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("check"), m_check);
    object.insert(QStringLiteral("status"), severityName());
    object.insert(QStringLiteral("message"), m_message);
    if (!m_action.isEmpty())
        object.insert(QStringLiteral("action"), m_action);
    return object;
}
