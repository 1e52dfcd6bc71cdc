// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "update.h"
#include "reply.h"

#include <QQmlEngine>
#include <QTimer>

using NivoraVexbusUsb::FirmwareUpdate;

Update::Update(QObject *owner)
    : QObject(owner)
{
    QQmlEngine::setObjectOwnership(this, QQmlEngine::CppOwnership);
}

void Update::setPhase(FirmwareUpdate::Phase phase)
{
    if (m_finished || m_phase == phase)
        return;
    m_phase = phase;
    emit phaseChanged(phase);
}

void Update::setPercentage(double percentage)
{
    if (m_finished || qFuzzyCompare(m_percentage + 1, percentage + 1))
        return;
    m_percentage = percentage;
    emit percentageChanged(percentage);
}

void Update::setOutcome(FirmwareUpdate::Error error, const QString &errorString)
{
    if (m_finished)
        return;
    if (m_error != error) {
        m_error = error;
        emit errorChanged(error);
    }
    if (m_errorString != errorString) {
        m_errorString = errorString;
        emit errorStringChanged(errorString);
    }
}

void Update::finish(FirmwareUpdate::Error error, const QString &errorString)
{
    if (m_finished)
        return;
    const bool success = error == FirmwareUpdate::ErrorNone;
    if (success)
        setPercentage(100);
    setPhase(success ? FirmwareUpdate::PhaseDone : FirmwareUpdate::PhaseFailed);
    setOutcome(error, errorString);
    m_finished = true;
    releaseToQml(this);
    emit finished(success);
}

void Update::finishLater(FirmwareUpdate::Error error, const QString &errorString)
{
    QTimer::singleShot(0, this, [this, error, errorString]() { finish(error, errorString); });
}
