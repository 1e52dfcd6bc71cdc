// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "directtransport.h"
#include "commands.h"
#include "output.h"
#include "printer.h"
#include "waiter.h"

#include "bootloader/firmwaredata.h"
#include "bootloader/firmwareupdate.h"
#include "firmware/firmwaredownloader.h"
#include "adapter/nivoravexbususbupdatereply.h"

using namespace NivoraVexbusUsb;

namespace {

// A reply times out after the adapter's response time-out in the library;
// waiting a little longer lets its own time-out speak first.
constexpr int replyWaitMarginMs = 500;

// The library's update: the image parsed once, written by the adapter, and
// the outcome from the update's own object, which finishes once the
// controller runs the new firmware.
class DirectUpdateRun : public UpdateRun
{
public:
    DirectUpdateRun(NivoraVexbusUsbAdapter *adapter, const FirmwareData &image, bool release, QObject *parent)
        : UpdateRun(parent),
          m_adapter(adapter),
          m_image(image),
          m_release(release)
    {
        connect(adapter, &NivoraVexbusUsbAdapter::stateChanged, this, [this](NivoraVexbusUsbAdapter::State state) {
            emit activity();
            if (state == NivoraVexbusUsbAdapter::StateConnectingBootloader)
                emit bootloaderStarting();
            if (state == NivoraVexbusUsbAdapter::StateConnectedBootloader)
                emit bootloaderOpened();
        });
    }

    void start() override
    {
        // The release is the one the downloader holds.
        m_reply = m_release ? m_adapter->updateFirmware() : m_adapter->updateFirmware(m_image);
        connect(m_reply, &NivoraVexbusUsbUpdateReply::percentageChanged, this, [this](double percentage) {
            m_percentage = percentage;
            emit activity();
            emit percentageChanged(percentage);
        });
        connect(m_reply, &NivoraVexbusUsbUpdateReply::phaseChanged, this, [this](FirmwareUpdate::Phase phase) {
            m_phase = phase;
            emit activity();
        });
        // The object is gone after its finished(): its outcome is taken there.
        connect(m_reply, &NivoraVexbusUsbUpdateReply::finished, this, [this](bool success) {
            m_finished = true;
            m_success = success;
            m_error = m_reply->error();
            m_errorString = m_reply->errorString();
            emit finished(success);
        });
    }
    bool isFinished() const override { return m_finished; }
    bool succeeded() const override { return m_success; }
    QString errorName() const override { return FirmwareUpdate::errorName(m_finished ? m_error : m_adapter->updateError()); }
    QString errorString() const override { return m_finished ? m_errorString : m_adapter->updateErrorString(); }
    double percentage() const override { return m_percentage; }
    QString phaseName() const override { return FirmwareUpdate::phaseName(m_phase); }
    int quietMs() const override
    {
        // The controller reboots into its bootloader, or into the new
        // firmware, which the adapter gives three tries to answer.
        if (m_adapter->state() == NivoraVexbusUsbAdapter::StateConnectingBootloader)
            return m_adapter->bootloaderHandOverDelay();
        if (m_phase == FirmwareUpdate::PhaseRestarting)
            return m_adapter->bootloaderHandOverDelay() + 3 * m_adapter->responseTimeout();
        return 0;
    }
    // Ended here, the update is stopped in the library, which then tells
    // what became of the controller.
    void interrupt() override { m_adapter->stop(); }
    void stop() override { m_adapter->stop(); }

private:
    NivoraVexbusUsbAdapter *m_adapter;
    const FirmwareData m_image;
    const bool m_release;
    NivoraVexbusUsbUpdateReply *m_reply = nullptr;
    FirmwareUpdate::Phase m_phase = FirmwareUpdate::PhaseIdle;
    double m_percentage = 0;
    bool m_finished = false;
    bool m_success = false;
    FirmwareUpdate::Error m_error = FirmwareUpdate::ErrorNone;
    QString m_errorString;
};

} // namespace

DirectTransport::DirectTransport(const CommandContext &context, QObject *parent)
    : AdapterTransport(parent),
      m_context(context),
      m_session(context.adapterOptions, context.printer, context.terminationSignals)
{
}

int DirectTransport::open()
{
    const int opened = m_session.open();
    if (opened != ExitSuccess)
        return opened;
    NivoraVexbusUsbAdapter *adapter = m_session.adapter();
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived, this, &AdapterTransport::frameReceived);
    connect(adapter, &NivoraVexbusUsbAdapter::ledModeChanged, this, &AdapterTransport::changed);
    connect(adapter, &NivoraVexbusUsbAdapter::vexbusTypeChanged, this, &AdapterTransport::changed);
    connect(adapter, &NivoraVexbusUsbAdapter::stateChanged, this, &AdapterTransport::changed);
    for (auto signal : {&NivoraVexbusUsbAdapter::vexbusSynchronizedChanged, &NivoraVexbusUsbAdapter::vexbusInitializedChanged,
                        &NivoraVexbusUsbAdapter::vexbusAvailableChanged, &NivoraVexbusUsbAdapter::availableChanged,
                        &NivoraVexbusUsbAdapter::controllerInBootloaderChanged})
        connect(adapter, signal, this, &AdapterTransport::changed);
    connect(adapter, &NivoraVexbusUsbAdapter::firmwareVersionChanged, this, &AdapterTransport::changed);
    return ExitSuccess;
}

QString DirectTransport::target() const
{
    return m_session.target();
}

QString DirectTransport::port() const
{
    return m_session.adapter()->portName();
}

AdapterStatus DirectTransport::status() const
{
    const NivoraVexbusUsbAdapter *adapter = m_session.adapter();
    AdapterStatus status;
    status.port = adapter->portName();
    status.available = adapter->available();
    status.controllerInBootloader = adapter->controllerInBootloader();
    status.firmwareVersion = adapter->firmwareVersion();
    status.ledMode = Names::of(adapter->ledMode());
    status.busType = Names::of(adapter->vexbusType());
    status.busSynchronized = adapter->vexbusSynchronized();
    status.busInitialized = adapter->vexbusInitialized();
    status.busAvailable = adapter->vexbusAvailable();
    status.serialPortName = adapter->serialPortName();
    status.serialPortSystemLocation = adapter->serialPortSystemLocation();
    status.serialPortDescription = adapter->serialPortDescription();
    status.serialPortManufacturer = adapter->serialPortManufacturer();
    status.serialPortSerialNumber = adapter->serialPortSerialNumber();
    status.vendorIdentifier = adapter->serialPortVendorIdentifier();
    status.productIdentifier = adapter->serialPortProductIdentifier();
    status.baudrate = adapter->baudrate();
    return status;
}

int DirectTransport::waitForController(bool reportFailure)
{
    const int answered = m_session.waitForController(reportFailure);
    return answered == ExitInterrupted ? interrupted(m_context.printer) : answered;
}

int DirectTransport::waitForRestart()
{
    // The controller reboots and announces itself; the init runs again.
    return waitForController();
}

CommandOutcome DirectTransport::outcomeOf(NivoraVexbusUsbReply *reply)
{
    NivoraVexbusUsbAdapter *adapter = m_session.adapter();
    CommandOutcome outcome;
    bool finished = false;
    // The reply is gone after its finished(): its outcome is taken there.
    QObject::connect(reply, &NivoraVexbusUsbReply::finished, adapter, [&, reply]() {
        finished = true;
        outcome.failed = reply->error() != NivoraVexbusUsbReply::ErrorNoError;
        outcome.error = replyErrorName(reply->error());
        if (reply->error() == NivoraVexbusUsbReply::ErrorInterfaceError)
            outcome.controllerError = Names::of(reply->controllerError());
        outcome.message = reply->errorString();
    });
    Waiter waiter(m_context.terminationSignals, [&finished]() { return finished; });
    waiter.wakeOn(reply, &NivoraVexbusUsbReply::finished);
    // The reply ends by itself after the adapter's response time-out; the
    // wait's own limit only guards against a reply that never does.
    const int limitMs = adapter->responseTimeout() + replyWaitMarginMs;
    const Waiter::Result waited = waiter.wait(limitMs);
    outcome.interrupted = waited == Waiter::Interrupted;
    if (waited == Waiter::TimedOut)
        outcome = CommandOutcome{false, true, replyErrorName(NivoraVexbusUsbReply::ErrorTimeout), QString(),
                                 QStringLiteral("The request got no outcome within %1 ms.").arg(limitMs)};
    return outcome;
}

CommandOutcome DirectTransport::writeFrame(const QByteArray &frame)
{
    return outcomeOf(m_session.adapter()->writeDataToVexbus(frame));
}

CommandOutcome DirectTransport::pressButton(Names::Module module, int button, uint milliSeconds)
{
    NivoraVexbusUsbAdapter *adapter = m_session.adapter();
    switch (module) {
    case Names::Module::Ixo:
        return outcomeOf(adapter->pressIxoButton(NivoraVexbusUsbAdapter::IxoModuleButton(button), milliSeconds));
    case Names::Module::RemoteService:
        return outcomeOf(adapter->pressRemoteServiceButton(NivoraVexbusUsbAdapter::RemoteServiceModuleButton(button), milliSeconds));
    case Names::Module::AppConnector:
        break;
    }
    return outcomeOf(adapter->pressAppConnectorButton(NivoraVexbusUsbAdapter::AppConnectorModuleButton(button), milliSeconds));
}

CommandOutcome DirectTransport::setParameterHandling(bool enable)
{
    return outcomeOf(m_session.adapter()->enableAppConnectorParameterHandling(enable));
}

CommandOutcome DirectTransport::reset()
{
    return outcomeOf(m_session.adapter()->resetController());
}

int DirectTransport::fetchRelease(const ReleaseOptions &releaseOptions, ReleaseImage *image)
{
    FirmwareDownloader *downloader = m_session.adapter()->firmwareDownloader();
    KeyFiles keyFiles;
    if (!trustCertificate(releaseOptions.caCertificate, m_context.printer)
            || !configureDownloader(downloader, releaseOptions, m_context.printer, &keyFiles))
        return ExitUsage;
    const int shown = showRelease(m_context, ::fetchRelease(m_context, downloader, keyFiles));
    if (shown != ExitSuccess)
        return shown;
    const FirmwareData firmware = downloader->firmware();
    image->version = downloader->versionString();
    image->imageName = firmware.name();
    image->rowCount = firmware.rows().count();
    image->byteCount = byteCount(firmware);
    return ExitSuccess;
}

bool DirectTransport::releaseIsOlderThan(const QString &runningVersion) const
{
    return m_session.adapter()->firmwareDownloader()->releaseIsOlderThan(runningVersion);
}

UpdateRun *DirectTransport::createUpdate(const QString &file, const FirmwareData &image, const ReleaseOptions *releaseOptions)
{
    Q_UNUSED(file)
    return new DirectUpdateRun(m_session.adapter(), image, releaseOptions, this);
}
