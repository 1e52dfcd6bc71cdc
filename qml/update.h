// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_QML_UPDATE_H
#define NIVORA_QML_UPDATE_H

#include "bootloader/firmwareupdate.h"

#include <QObject>

// A firmware update started from QML, in-process or through vexbusd: its
// phase and progress while it runs, and its outcome. It stays alive while
// it runs; once finished, QML's garbage collector takes it when no script
// holds it any more.
class Update : public QObject
{
    Q_OBJECT
    Q_PROPERTY(NivoraVexbusUsb::FirmwareUpdate::Phase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(double percentage READ percentage NOTIFY percentageChanged)
    Q_PROPERTY(NivoraVexbusUsb::FirmwareUpdate::Error error READ error NOTIFY errorChanged)
    Q_PROPERTY(QString errorString READ errorString NOTIFY errorStringChanged)
    Q_PROPERTY(bool isFinished READ isFinished NOTIFY finished)

public:
    explicit Update(QObject *owner);

    NivoraVexbusUsb::FirmwareUpdate::Phase phase() const { return m_phase; }
    double percentage() const { return m_percentage; }
    NivoraVexbusUsb::FirmwareUpdate::Error error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    bool isFinished() const { return m_finished; }

    void setPhase(NivoraVexbusUsb::FirmwareUpdate::Phase phase);
    void setPercentage(double percentage);
    // Records why the update failed, before it ends.
    void setOutcome(NivoraVexbusUsb::FirmwareUpdate::Error error, const QString &errorString);
    // Ends the update: PhaseDone, or PhaseFailed with the reason.
    void finish(NivoraVexbusUsb::FirmwareUpdate::Error error, const QString &errorString);
    // The same on the next turn of the event loop, for a refusal.
    void finishLater(NivoraVexbusUsb::FirmwareUpdate::Error error, const QString &errorString);

signals:
    void phaseChanged(NivoraVexbusUsb::FirmwareUpdate::Phase phase);
    void percentageChanged(double percentage);
    void errorChanged(NivoraVexbusUsb::FirmwareUpdate::Error error);
    void errorStringChanged(const QString &errorString);
    void finished(bool success);

private:
    NivoraVexbusUsb::FirmwareUpdate::Phase m_phase = NivoraVexbusUsb::FirmwareUpdate::PhasePreparing;
    double m_percentage = 0;
    NivoraVexbusUsb::FirmwareUpdate::Error m_error = NivoraVexbusUsb::FirmwareUpdate::ErrorNone;
    QString m_errorString;
    bool m_finished = false;
};

#endif // NIVORA_QML_UPDATE_H
