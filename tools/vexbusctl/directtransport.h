// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_DIRECTTRANSPORT_H
#define VEXBUSCTL_DIRECTTRANSPORT_H

#include "adaptersession.h"
#include "adaptertransport.h"
#include "releases.h"

// The adapter through the library, on the port this process opens.
class DirectTransport : public AdapterTransport
{
    Q_OBJECT

public:
    DirectTransport(const CommandContext &context, QObject *parent = nullptr);

    // Opens the port; an exit code.
    int open();

    QString target() const override;
    QString port() const override;
    AdapterStatus status() const override;
    int waitForController(bool reportFailure = true) override;
    int waitForRestart() override;
    CommandOutcome writeFrame(const QByteArray &frame) override;
    CommandOutcome pressButton(Names::Module module, int button, uint milliSeconds) override;
    CommandOutcome setParameterHandling(bool enable) override;
    CommandOutcome reset() override;
    int fetchRelease(const ReleaseOptions &releaseOptions, ReleaseImage *image) override;
    bool releaseIsOlderThan(const QString &runningVersion) const override;
    UpdateRun *createUpdate(const QString &file, const NivoraVexbusUsb::FirmwareData &image,
                           const ReleaseOptions *releaseOptions) override;

private:
    CommandOutcome outcomeOf(NivoraVexbusUsb::NivoraVexbusUsbReply *reply);

    const CommandContext &m_context;
    AdapterSession m_session;
};

#endif // VEXBUSCTL_DIRECTTRANSPORT_H
