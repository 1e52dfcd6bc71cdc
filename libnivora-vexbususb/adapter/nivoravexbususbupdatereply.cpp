// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adapter/nivoravexbususbupdatereply.h"
#include "adapter/nivoravexbususbupdatereply_p.h"

namespace NivoraVexbusUsb {

NivoraVexbusUsbUpdateReply::NivoraVexbusUsbUpdateReply(QObject *parent) :
    QObject(parent),
    d_ptr(new NivoraVexbusUsbUpdateReplyPrivate(this))
{
}

NivoraVexbusUsbUpdateReply::~NivoraVexbusUsbUpdateReply() = default;

FirmwareUpdate::Phase NivoraVexbusUsbUpdateReply::phase() const { return d_func()->phase; }
double NivoraVexbusUsbUpdateReply::percentage() const { return d_func()->percentage; }
FirmwareUpdate::Error NivoraVexbusUsbUpdateReply::error() const { return d_func()->error; }
QString NivoraVexbusUsbUpdateReply::errorString() const { return d_func()->errorString; }
bool NivoraVexbusUsbUpdateReply::isFinished() const { return d_func()->finished; }
QString NivoraVexbusUsbUpdateReply::firmwareVersion() const { return d_func()->firmwareVersion; }

void NivoraVexbusUsbUpdateReplyPrivate::setPhase(FirmwareUpdate::Phase phase)
{
    if (finished || this->phase == phase)
        return;
    this->phase = phase;
    emit q_func()->phaseChanged(phase);
}

void NivoraVexbusUsbUpdateReplyPrivate::setPercentage(double percentage)
{
    if (finished || qFuzzyCompare(this->percentage, percentage))
        return;
    this->percentage = percentage;
    emit q_func()->percentageChanged(percentage);
}

void NivoraVexbusUsbUpdateReplyPrivate::setError(FirmwareUpdate::Error error, const QString &errorString)
{
    Q_Q(NivoraVexbusUsbUpdateReply);
    if (finished)
        return;
    if (this->error != error) {
        this->error = error;
        emit q->errorChanged(error);
    }
    if (this->errorString != errorString) {
        this->errorString = errorString;
        emit q->errorStringChanged(errorString);
    }
}

void NivoraVexbusUsbUpdateReplyPrivate::finish(bool success, FirmwareUpdate::Error error, const QString &errorString)
{
    Q_Q(NivoraVexbusUsbUpdateReply);
    if (finished)
        return;
    setError(error, errorString);
    setPhase(success ? FirmwareUpdate::PhaseDone : FirmwareUpdate::PhaseFailed);
    finished = true;
    emit q->finished(success);
    q->deleteLater();
}

} // namespace NivoraVexbusUsb
