// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "managedadapter.h"
#include "commandarguments.h"
#include "names.h"
#include "servicesettings.h"
#include "updatehistory.h"
#include "vexbusdlogging.h"

#include "adapter/nivoravexbususbupdatereply.h"
#include "bootloader/firmwaredatarow.h"
#include "firmware/firmwaredownloader.h"

#include <QDateTime>

#include <cmath>

using namespace NivoraVexbusUsb;

namespace {

Outcome::Failure failureOf(NivoraVexbusUsbReply::Error error)
{
    switch (error) {
    case NivoraVexbusUsbReply::ErrorNoError:
        return Outcome::NoFailure;
    case NivoraVexbusUsbReply::ErrorInterfaceError:
        return Outcome::ControllerError;
    case NivoraVexbusUsbReply::ErrorTimeout:
        return Outcome::Timeout;
    case NivoraVexbusUsbReply::ErrorAborted:
        return Outcome::Aborted;
    case NivoraVexbusUsbReply::ErrorNotAvailable:
        return Outcome::NotAvailable;
    case NivoraVexbusUsbReply::ErrorInvalidArgument:
        return Outcome::InvalidArgument;
    case NivoraVexbusUsbReply::ErrorUpdateRunning:
        return Outcome::UpdateRunning;
    }
    return Outcome::Aborted;
}

} // namespace

ManagedAdapter::ManagedAdapter(NivoraVexbusUsbDeviceWatcher *deviceWatcher,
                               const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo,
                               const ServiceSettings &settings, const QList<ReleaseKey> &trustedKeys,
                               UpdateHistory *history, QObject *parent)
    : QObject(parent),
      m_deviceInfo(deviceInfo),
      m_history(history)
{
    // The port of this very adapter: a serial number prefix could also
    // match a second adapter, and a replugged adapter is a new object.
    m_adapter = new NivoraVexbusUsbAdapter(deviceWatcher, this);
    m_adapter->setPortName(deviceInfo.devicePath);
    m_adapter->setBaudrate(settings.baudRate);
    m_adapter->setResponseTimeout(settings.responseTimeout);
    m_trustedKeys = trustedKeys;
    m_recoverFromBootloader = settings.recoverFromBootloader;
    m_handOverDelay = m_adapter->bootloaderHandOverDelay();

    FirmwareDownloader *downloader = m_adapter->firmwareDownloader();
    if (!settings.releaseServer.isEmpty())
        downloader->setBaseUrl(settings.releaseServer);
    for (const ReleaseKey &key : trustedKeys)
        downloader->addTrustedKey(key);
    connect(downloader, &FirmwareDownloader::firmwareDownloadFinished, this, [this]() { onReleaseFetched(Outcome()); });
    connect(downloader, &FirmwareDownloader::errorOccurred, this, [this, downloader](const QString &errorString) {
        onReleaseFetched(Outcome(Outcome::ReleaseFailed,
                                 QStringLiteral("Release server %1: %2").arg(downloader->baseUrl(), errorString)));
    });

    // Every change of the library's adapter that the status shows.
    connect(m_adapter, &NivoraVexbusUsbAdapter::stateChanged, this, &ManagedAdapter::refresh);
    connect(m_adapter, &NivoraVexbusUsbAdapter::availableChanged, this, &ManagedAdapter::refresh);
    connect(m_adapter, &NivoraVexbusUsbAdapter::controllerInBootloaderChanged, this, &ManagedAdapter::refresh);
    connect(m_adapter, &NivoraVexbusUsbAdapter::firmwareVersionChanged, this, &ManagedAdapter::refresh);
    connect(m_adapter, &NivoraVexbusUsbAdapter::ledModeChanged, this, &ManagedAdapter::refresh);
    connect(m_adapter, &NivoraVexbusUsbAdapter::vexbusTypeChanged, this, &ManagedAdapter::refresh);
    connect(m_adapter, &NivoraVexbusUsbAdapter::vexbusSynchronizedChanged, this, &ManagedAdapter::refresh);
    connect(m_adapter, &NivoraVexbusUsbAdapter::vexbusInitializedChanged, this, &ManagedAdapter::refresh);
    connect(m_adapter, &NivoraVexbusUsbAdapter::vexbusAvailableChanged, this, &ManagedAdapter::refresh);
    connect(m_adapter, &NivoraVexbusUsbAdapter::updatingChanged, this, &ManagedAdapter::refresh);
    connect(m_adapter, &NivoraVexbusUsbAdapter::updatePercentageChanged, this, &ManagedAdapter::refresh);

    connect(m_adapter, &NivoraVexbusUsbAdapter::controllerInBootloaderChanged, this, [this](bool inBootloader) {
        // The library takes the port up again once it told of the
        // bootloader: the update takes it from there.
        if (inBootloader)
            QTimer::singleShot(0, this, &ManagedAdapter::recoverFromBootloader);
    });
    connect(m_adapter, &NivoraVexbusUsbAdapter::availableChanged, this, [this](bool available) {
        // An operator brought it back, or it came back by itself: what the
        // service waited for is over. A recovery's own end says "done".
        if (available && m_recovery != QLatin1String("running") && m_recovery != QLatin1String("done"))
            setRecovery(QStringLiteral("none"), QString());
    });
    m_reopenTimer.setSingleShot(true);
    connect(&m_reopenTimer, &QTimer::timeout, this, &ManagedAdapter::reopen);
    connect(m_adapter, &NivoraVexbusUsbAdapter::stateChanged, this, &ManagedAdapter::considerReopen);
    connect(m_adapter, &NivoraVexbusUsbAdapter::unavailableReasonChanged, this, &ManagedAdapter::considerReopen);

    m_status.port = deviceInfo.devicePath;
    m_status.serialNumber = deviceInfo.serialNumber;
    qCDebug(dcVexbusd()) << "Taking adapter" << key() << "on" << deviceInfo.devicePath;
    m_adapter->start();
    refresh();
    // A port that did not open is tried again, as one that closes later.
    considerReopen();
}

ManagedAdapter::~ManagedAdapter()
{
    const Outcome gone(Outcome::Aborted, QStringLiteral("The adapter %1 went away.").arg(key()));
    // The library's replies go with the adapter, before they finish.
    const QList<Completion> pending = std::exchange(m_pendingCompletions, {}).values();
    for (const Completion &completion : pending)
        completion(gone);
    const QList<ReleaseCompletion> releaseCompletions = m_releaseCompletions;
    m_releaseCompletions.clear();
    for (const ReleaseCompletion &completion : releaseCompletions)
        completion(gone, QVariantMap());
    if (m_updateRunning && m_history)
        m_history->finish(m_historyId, QLatin1String(UpdateRecord::resultInterrupted), QString(), Outcome::nameOf(gone.failure()), gone.message());
    if (m_updateCompletion)
        std::exchange(m_updateCompletion, Completion())(gone);
}

QString ManagedAdapter::keyOf(const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo)
{
    return deviceInfo.serialNumber.isEmpty() ? deviceInfo.devicePath : deviceInfo.serialNumber;
}

QString ManagedAdapter::key() const
{
    return keyOf(m_deviceInfo);
}

Outcome ManagedAdapter::refusal(bool needsController) const
{
    if (!m_inhibitedBy.isEmpty()) {
        return Outcome(Outcome::Inhibited,
                       QStringLiteral("The adapter %1 is lent to %2 (\"%3\"); it is back once that program "
                                      "calls Uninhibit or leaves the bus.").arg(key(), m_inhibitedBy, m_inhibitReason));
    }
    if (m_status.updating)
        return Outcome(Outcome::UpdateRunning, QStringLiteral("A firmware update of the adapter %1 runs; wait for its end.").arg(key()));
    if (needsController && !m_status.available)
        return Outcome(Outcome::NotAvailable, QStringLiteral("The controller of the adapter %1 does not answer (state %2).")
                       .arg(key(), m_status.state));
    return Outcome();
}

void ManagedAdapter::send(const Completion &completion, const std::function<NivoraVexbusUsbReply *()> &request)
{
    // A lent port is the service's own business; the library judges the rest.
    if (!m_inhibitedBy.isEmpty()) {
        completion(refusal(false));
        return;
    }
    NivoraVexbusUsbReply *reply = request();
    m_pendingCompletions.insert(reply, completion);
    connect(reply, &NivoraVexbusUsbReply::finished, this, [this, reply]() {
        const Completion completion = m_pendingCompletions.take(reply);
        if (completion)
            completion(Outcome(failureOf(reply->error()), reply->errorString()));
    });
}

void ManagedAdapter::writeFrame(const QByteArray &frame, const Completion &completion)
{
    // The library writes a test frame of its own for an empty one.
    const Outcome refused = CommandArguments::checkFrame(frame);
    if (!refused.succeeded()) {
        completion(refused);
        return;
    }
    send(completion, [this, frame]() { return m_adapter->writeDataToVexbus(frame); });
}

void ManagedAdapter::pressButton(const QString &moduleName, const QString &buttonName, uint milliseconds,
                                 const Completion &completion)
{
    CommandArguments::ButtonPress press;
    const Outcome refused = CommandArguments::toButtonPress(moduleName, buttonName, milliseconds, &press);
    if (!refused.succeeded()) {
        completion(refused);
        return;
    }
    const int button = press.button;
    switch (press.module) {
    case Names::Module::Ixo:
        send(completion, [=]() {
            return m_adapter->pressIxoButton(NivoraVexbusUsbAdapter::IxoModuleButton(button), milliseconds);
        });
        break;
    case Names::Module::RemoteService:
        send(completion, [=]() {
            return m_adapter->pressRemoteServiceButton(NivoraVexbusUsbAdapter::RemoteServiceModuleButton(button), milliseconds);
        });
        break;
    case Names::Module::AppConnector:
        send(completion, [=]() {
            return m_adapter->pressAppConnectorButton(NivoraVexbusUsbAdapter::AppConnectorModuleButton(button), milliseconds);
        });
        break;
    }
}

void ManagedAdapter::reset(const Completion &completion)
{
    send(completion, [this]() { return m_adapter->resetController(); });
}

void ManagedAdapter::setParameterHandling(bool enable, const Completion &completion)
{
    send(completion, [this, enable]() { return m_adapter->enableAppConnectorParameterHandling(enable); });
}

// Status

void ManagedAdapter::refresh()
{
    AdapterStatus status = m_status;
    status.state = Names::of(m_adapter->state());
    status.available = m_adapter->available();
    status.controllerInBootloader = m_adapter->controllerInBootloader();
    status.firmwareVersion = m_adapter->firmwareVersion();
    status.ledMode = Names::of(m_adapter->ledMode());
    status.busType = Names::of(m_adapter->vexbusType());
    status.busSynchronized = m_adapter->vexbusSynchronized();
    status.busInitialized = m_adapter->vexbusInitialized();
    status.busAvailable = m_adapter->vexbusAvailable();
    status.baudRate = m_adapter->baudrate();
    status.updating = m_updateRunning || m_adapter->updating();
    status.updatePhase = Names::of(m_updatePhase);
    // The library reports every row, some hundred times a percent; the
    // status takes the first value of each whole percent, and the first
    // one after the start.
    const double percentage = m_adapter->updatePercentage();
    if (std::floor(percentage) != std::floor(m_status.updatePercentage) || m_status.updatePercentage == 0)
        status.updatePercentage = percentage;
    status.updateError = m_updateError;
    status.updateErrorString = m_updateErrorString;
    status.inhibitedBy = m_inhibitedBy;
    status.inhibitReason = m_inhibitReason;
    status.recovery = m_recovery;
    status.recoveryMessage = m_recoveryMessage;
    setStatus(status);
}

void ManagedAdapter::setStatus(const AdapterStatus &status)
{
    if (status != m_status) {
        const AdapterStatus previous = std::exchange(m_status, status);
        emit statusChanged(previous);
    }
}

// Update

UpdateRecord ManagedAdapter::historyRecord(const UpdateOrigin &origin, const FirmwareData *image) const
{
    UpdateRecord record;
    record.adapter = key();
    record.serialNumber = serialNumber();
    record.firmwareBefore = m_status.firmwareVersion;
    record.trigger = origin.trigger;
    record.requester = origin.requester;
    if (image) {
        record.releaseChannel = QLatin1String(UpdateRecord::channelFile);
        if (!image->data().isEmpty())
            record.imageSha256 = KeptImage::sha256Of(image->data());
    }
    return record;
}

void ManagedAdapter::recordRefusal(UpdateRecord record, const Outcome &outcome)
{
    if (!m_history)
        return;
    record.error = Outcome::nameOf(outcome.failure());
    record.message = outcome.message();
    m_history->recordRefusal(record);
}

void ManagedAdapter::recordRefusedUpdate(const UpdateOrigin &origin, const Outcome &outcome)
{
    recordRefusal(historyRecord(origin, nullptr), outcome);
}

void ManagedAdapter::updateFromImage(const FirmwareData &image, const UpdateOrigin &origin, const Completion &completion)
{
    const UpdateRecord record = historyRecord(origin, &image);
    Outcome refused = refusal(false);
    if (refused.succeeded() && !image.isValid()) {
        refused = Outcome(Outcome::InvalidArgument, QStringLiteral("The file is not a firmware image (.cyacd) of the adapter; "
                                                                   "nothing was written."));
    }
    if (!refused.succeeded()) {
        // On the disk before the caller hears of it.
        recordRefusal(record, refused);
        completion(refused);
        return;
    }
    m_updateImage = KeptImage(image.data(), QByteArray(), QByteArray());
    startUpdate([this, image]() { return m_adapter->updateFirmware(image); }, record, completion);
}

void ManagedAdapter::startUpdate(const std::function<NivoraVexbusUsbUpdateReply *()> &request, const UpdateRecord &record,
                                 const Completion &completion)
{
    qCDebug(dcVexbusd()) << "Updating adapter" << key();
    m_historyId = m_history ? m_history->begin(record) : 0;
    m_updateCompletion = completion;
    m_updateRunning = true;
    m_updatePhase = FirmwareUpdate::PhasePreparing;
    m_updateError = Names::of(FirmwareUpdate::ErrorNone);
    m_updateErrorString.clear();
    refresh();
    // The update ends once the restarted controller answered with its new
    // firmware, or with the reason it did not: whoever reads the version
    // after the answer reads the new one.
    m_update = request();
    connect(m_update, &NivoraVexbusUsbUpdateReply::phaseChanged, this, &ManagedAdapter::onUpdatePhaseChanged);
    connect(m_update, &NivoraVexbusUsbUpdateReply::finished, this, &ManagedAdapter::onUpdateFinished);
    // The first step may be taken within the call.
    onUpdatePhaseChanged(m_update->phase());
}

void ManagedAdapter::onUpdatePhaseChanged(FirmwareUpdate::Phase phase)
{
    // "done" and "failed" follow the answer, once the outcome is known.
    if (phase == FirmwareUpdate::PhaseIdle || phase == FirmwareUpdate::PhaseDone || phase == FirmwareUpdate::PhaseFailed)
        return;
    m_updatePhase = phase;
    refresh();
}

void ManagedAdapter::onUpdateFinished(bool success)
{
    if (success) {
        qCDebug(dcVexbusd()) << "Adapter" << key() << "runs firmware" << m_update->firmwareVersion() << "after its update";
        // What brings the controller back should it be found in its
        // bootloader later.
        KeptImage kept = std::exchange(m_updateImage, KeptImage());
        kept.setVersion(m_update->firmwareVersion());
        QString error;
        if (!kept.store(KeptImage::directoryFor(key()), &error))
            qCWarning(dcVexbusd()) << "Cannot keep the image installed on adapter" << key() << "for a recovery:" << error;
        finishUpdate(true, Names::of(FirmwareUpdate::ErrorNone), QString());
        return;
    }
    // The library's reason; one without a sentence gets the service's.
    const FirmwareUpdate::Error error = m_update->error();
    const QString errorString = m_update->errorString();
    finishUpdate(false, error == FirmwareUpdate::ErrorNone ? QStringLiteral("update-failed") : Names::of(error),
                 errorString.isEmpty() ? QStringLiteral("The firmware update of the adapter %1 failed in state %2; run it again.")
                                                 .arg(key(), m_status.state)
                                       : errorString);
}

void ManagedAdapter::finishUpdate(bool success, const QString &error, const QString &errorString)
{
    if (!m_updateRunning)
        return;
    m_updateRunning = false;
    m_update.clear();
    m_updateImage = KeptImage();
    m_updatePhase = success ? FirmwareUpdate::PhaseDone : FirmwareUpdate::PhaseFailed;
    m_updateError = error;
    m_updateErrorString = errorString;
    refresh();
    if (m_history) {
        m_history->finish(std::exchange(m_historyId, 0), QLatin1String(success ? UpdateRecord::resultSucceeded : UpdateRecord::resultFailed),
                          m_adapter->firmwareVersion(), m_updateError, m_updateErrorString);
    }
    emit updateEnded(success, m_updateError, m_updateErrorString);
    if (m_updateCompletion)
        std::exchange(m_updateCompletion, Completion())(success ? Outcome() : Outcome(Outcome::UpdateFailed, m_updateErrorString));
}

// Release server

void ManagedAdapter::checkForRelease(bool preRelease, const ReleaseCompletion &completion)
{
    fetchRelease(preRelease, completion);
}

void ManagedAdapter::fetchRelease(bool preRelease, const ReleaseCompletion &completion)
{
    if (!m_releaseCompletions.isEmpty() && preRelease != m_fetchPreRelease) {
        completion(Outcome(Outcome::InvalidArgument, QStringLiteral("The release server is being asked for the %1 releases; "
                                                                    "ask again when that answer is in.")
                           .arg(m_fetchPreRelease ? QStringLiteral("pre-release") : QStringLiteral("regular"))), QVariantMap());
        return;
    }
    m_releaseCompletions.append(completion);
    if (m_releaseCompletions.count() > 1)
        return;
    m_fetchPreRelease = preRelease;
    m_adapter->firmwareDownloader()->setPreReleaseEnabled(preRelease);
    m_adapter->firmwareDownloader()->checkNewFirmware();
}

void ManagedAdapter::onReleaseFetched(const Outcome &outcome)
{
    const QVariantMap release = outcome.succeeded() ? releaseDescription() : QVariantMap();
    const QList<ReleaseCompletion> completions = std::exchange(m_releaseCompletions, {});
    for (const ReleaseCompletion &completion : completions)
        completion(outcome, release);
}

QVariantMap ManagedAdapter::releaseDescription() const
{
    const FirmwareDownloader *downloader = m_adapter->firmwareDownloader();
    int bytes = 0;
    for (const FirmwareDataRow &row : downloader->firmware().rows())
        bytes += row.rowData().size();
    return QVariantMap{
        {QStringLiteral("version"), downloader->versionString()},
        {QStringLiteral("hardware"), downloader->hardwareName()},
        {QStringLiteral("release-date"), downloader->releaseDateTime().toUTC().toString(Qt::ISODate)},
        {QStringLiteral("file-name"), downloader->updateFileName()},
        {QStringLiteral("authenticated"), downloader->releaseAuthenticated()},
        {QStringLiteral("signing-key"), downloader->releaseKeyFingerprint()},
        {QStringLiteral("server"), downloader->baseUrl()},
        {QStringLiteral("pre-release"), downloader->preReleaseEnabled()},
        {QStringLiteral("row-count"), downloader->firmware().rows().count()},
        {QStringLiteral("byte-count"), bytes},
    };
}

void ManagedAdapter::updateFromReleaseServer(const ReleaseOptions &options, const UpdateOrigin &origin, const UpdateCompletion &completion)
{
    UpdateRecord record = historyRecord(origin, nullptr);
    record.releaseChannel = options.preRelease ? QStringLiteral("pre-release") : QStringLiteral("stable");
    const Outcome refused = refusal(false);
    if (!refused.succeeded()) {
        recordRefusal(record, refused);
        completion(refused, false);
        return;
    }
    fetchRelease(options.preRelease, [this, options, record, completion](const Outcome &fetched, const QVariantMap &release) mutable {
        if (!fetched.succeeded()) {
            recordRefusal(record, fetched);
            completion(fetched, false);
            return;
        }
        const FirmwareDownloader *downloader = m_adapter->firmwareDownloader();
        record.releaseVersion = release.value(QStringLiteral("version")).toString();
        record.releaseSigned = release.value(QStringLiteral("authenticated")).toBool();
        record.imageSha256 = KeptImage::sha256Of(downloader->firmware().data());
        // The lease or another update may have come while the server answered.
        const Outcome refused = refusal(false);
        if (!refused.succeeded()) {
            recordRefusal(record, refused);
            completion(refused, false);
            return;
        }
        const QString running = m_adapter->firmwareVersion();
        const QString version = release.value(QStringLiteral("version")).toString();
        if (options.requireApproval) {
            QString unapproved;
            if (!options.approvedVersion.isEmpty() && version != options.approvedVersion)
                unapproved = QStringLiteral("The release server offers firmware %1, not %2 of the fleet policy; nothing was written.")
                        .arg(version, options.approvedVersion);
            else if (!options.approvedSha256.contains(record.imageSha256))
                unapproved = QStringLiteral("The image of release %1 (SHA-256 %2) is not one the fleet policy approves; "
                                            "nothing was written.").arg(version, record.imageSha256);
            if (!unapproved.isEmpty()) {
                const Outcome notApproved(Outcome::NotApproved, unapproved);
                recordRefusal(record, notApproved);
                completion(notApproved, false);
                return;
            }
        }
        if (!options.force && !running.isEmpty() && running == version) {
            completion(Outcome(), false);
            return;
        }
        if (!options.allowOlder && downloader->releaseIsOlderThan(running)) {
            const Outcome older(Outcome::OlderRelease, QStringLiteral("The release %1 is older than the firmware %2 that the "
                                                                      "controller runs; nothing was written (allow-older writes it).")
                                .arg(version, running));
            recordRefusal(record, older);
            completion(older, false);
            return;
        }
        m_updateImage = KeptImage(downloader->firmware().data(), downloader->releaseDescription(), downloader->releaseSignature());
        startUpdate([this]() { return m_adapter->updateFirmware(); }, record,
                    [completion](const Outcome &updated) { completion(updated, updated.succeeded()); });
    });
}

void ManagedAdapter::setPolicyStatus(qulonglong sequence, const QString &state, const QString &message, const QString &refusal)
{
    AdapterStatus status = m_status;
    status.policySequence = sequence;
    status.policyState = state;
    status.policyMessage = message;
    status.policyRefusal = refusal;
    setStatus(status);
}

// Lease

Outcome ManagedAdapter::inhibit(const QString &holder, const QString &reason)
{
    if (!m_inhibitedBy.isEmpty() && m_inhibitedBy != holder)
        return refusal(false);
    if (m_status.updating)
        return refusal(false);
    qCDebug(dcVexbusd()) << "Lending adapter" << key() << "to" << holder << "for" << reason;
    const bool wasInhibited = !m_inhibitedBy.isEmpty();
    m_inhibitedBy = holder;
    m_inhibitReason = reason;
    if (!wasInhibited)
        m_adapter->stop();
    refresh();
    return Outcome();
}

Outcome ManagedAdapter::uninhibit(const QString &holder)
{
    if (m_inhibitedBy.isEmpty() || m_inhibitedBy != holder) {
        return Outcome(Outcome::NotInhibited, m_inhibitedBy.isEmpty()
                       ? QStringLiteral("The adapter %1 is not lent to anyone.").arg(key())
                       : QStringLiteral("The adapter %1 is lent to %2, not to %3.").arg(key(), m_inhibitedBy, holder));
    }
    qCDebug(dcVexbusd()) << "Taking adapter" << key() << "back from" << holder;
    m_inhibitedBy.clear();
    m_inhibitReason.clear();
    m_adapter->start();
    refresh();
    return Outcome();
}

// Recovery from the bootloader

void ManagedAdapter::recoverFromBootloader()
{
    if (m_updateRunning || !m_inhibitedBy.isEmpty() || !m_adapter->controllerInBootloader())
        return;
    const QString waiting = QStringLiteral("The controller of the adapter %1 waits in its bootloader").arg(key());
    // One attempt per plug-in: a controller that falls back, or an image
    // that does not take, is left to an operator rather than flashed over
    // and over.
    if (std::exchange(m_recoveryTried, true)) {
        if (m_recovery == QLatin1String("none") || m_recovery == QLatin1String("done")) {
            setRecovery(QStringLiteral("failed"), waiting + QStringLiteral(" again; the service brings a controller back once "
                        "per plug-in and leaves it to an operator now: update its firmware, for example with vexbusctl update --online."));
            qCWarning(dcVexbusd()).noquote() << m_recoveryMessage;
        }
        return;
    }
    if (!m_recoverFromBootloader) {
        setRecovery(QStringLiteral("off"), waiting + QStringLiteral("; the settings leave it to an operator (RecoverFromBootloader=false): "
                                                                    "update its firmware, for example with vexbusctl update --online."));
        qCWarning(dcVexbusd()).noquote() << m_recoveryMessage;
        return;
    }
    const KeptImage kept = KeptImage::load(KeptImage::directoryFor(key()));
    if (kept.isNull()) {
        setRecovery(QStringLiteral("no-image"), waiting + QStringLiteral(", and the service keeps no image installed on it to bring it "
                    "back with. It needs a firmware image: update it with vexbusctl update --online, or vexbusctl update FILE."));
        qCWarning(dcVexbusd()).noquote() << m_recoveryMessage;
        return;
    }
    FirmwareData image;
    const QString refused = kept.authenticate(m_trustedKeys, &image);
    UpdateRecord record = historyRecord(UpdateOrigin{QLatin1String(UpdateOrigin::triggerRecovery), QStringLiteral("vexbusd")}, &image);
    record.releaseVersion = kept.version();
    record.releaseChannel = QStringLiteral("kept");
    record.releaseSigned = refused.isEmpty() && !kept.signer(m_trustedKeys).isEmpty();
    if (!refused.isEmpty()) {
        recordRefusal(record, Outcome(Outcome::InvalidArgument, refused));
        setRecovery(QStringLiteral("refused"), waiting + QStringLiteral("; the image of firmware %1 kept from its last update is not "
                    "used: %2. Update its firmware by hand, for example with vexbusctl update --online.").arg(kept.version(), refused));
        qCWarning(dcVexbusd()).noquote() << m_recoveryMessage;
        return;
    }
    setRecovery(QStringLiteral("running"), QStringLiteral("The service brings back the controller of the adapter %1 from its bootloader "
                                                          "with the image of firmware %2 installed on it before.").arg(key(), kept.version()));
    qCWarning(dcVexbusd()).noquote() << waiting + QStringLiteral("; bringing it back with the kept image of firmware %1, "
                                                                 "signed by key %2.").arg(kept.version(), kept.signer(m_trustedKeys));
    m_updateImage = kept;
    // The bootloader runs already: nothing to wait for before writing.
    m_adapter->setBootloaderHandOverDelay(recoveryHandOverDelay);
    startUpdate([this, image]() { return m_adapter->updateFirmware(image); }, record,
                [this](const Outcome &outcome) { onRecoveryFinished(outcome); });
}

void ManagedAdapter::onRecoveryFinished(const Outcome &outcome)
{
    m_adapter->setBootloaderHandOverDelay(m_handOverDelay);
    if (outcome.succeeded()) {
        setRecovery(QStringLiteral("done"), QStringLiteral("The service brought back the controller of the adapter %1 from its "
                                                           "bootloader; it runs firmware %2.").arg(key(), m_status.firmwareVersion));
        qCInfo(dcVexbusd()).noquote() << m_recoveryMessage;
        return;
    }
    setRecovery(QStringLiteral("failed"), QStringLiteral("The service could not bring back the controller of the adapter %1 from its "
                "bootloader: %2 It waits for an operator: update its firmware by hand.").arg(key(), outcome.message()));
    qCWarning(dcVexbusd()).noquote() << m_recoveryMessage;
}

void ManagedAdapter::setRecovery(const QString &recovery, const QString &message)
{
    m_recovery = recovery;
    m_recoveryMessage = message;
    refresh();
}

// Reopening

bool ManagedAdapter::portClosedUnexpectedly() const
{
    return m_inhibitedBy.isEmpty() && !m_updateRunning && !m_adapter->updating()
            && m_adapter->state() == NivoraVexbusUsbAdapter::StateUnconnected
            && m_adapter->unavailableReason() == NivoraVexbusUsbAdapter::UnavailableReasonNotConnected;
}

void ManagedAdapter::considerReopen()
{
    if (m_adapter->available())
        m_reopenDelay = firstReopenDelay;
    if (!portClosedUnexpectedly()) {
        m_reopenTimer.stop();
        return;
    }
    if (m_reopenTimer.isActive())
        return;
    qCDebug(dcVexbusd()) << "The port" << devicePath() << "of adapter" << key() << "is closed while the adapter is plugged in;"
                         << "opening it again in" << m_reopenDelay << "ms";
    m_reopenTimer.start(m_reopenDelay);
}

void ManagedAdapter::reopen()
{
    if (!portClosedUnexpectedly())
        return;
    // A USB serial bridge or its driver that reset hangs up the line
    // without udev telling of it: nothing else would open it again.
    qCWarning(dcVexbusd()) << "Opening the port" << devicePath() << "of adapter" << key()
                           << "again, which closed without the adapter leaving";
    m_reopenDelay = qMin(m_reopenDelay * 2, longestReopenDelay);
    m_adapter->start();
    considerReopen();
}
