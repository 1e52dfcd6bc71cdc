// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "servicetransport.h"
#include "adaptersession.h"
#include "commands.h"
#include "framesocketreader.h"
#include "output.h"
#include "printer.h"
#include "servedproperties.h"
#include "vexbusadapterproperties.h"
#include "vexbusadapterproxy.h"
#include "waiter.h"

#include "bootloader/firmwaredata.h"

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QVersionNumber>

#include <fcntl.h>
#include <functional>

using namespace NivoraVexbusUsb;

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;
Q_DECLARE_METATYPE(ManagedObjects)

const QString vexbusServiceName = QStringLiteral("org.nivora.Vexbus1");

namespace {

// vexbusd's adapters keep the library's response time-out; waiting a
// little longer lets the service's own time-out speak first.
constexpr int serviceResponseTimeoutMs = 2000;
constexpr int replyWaitMarginMs = 500;
// The library's pause while the controller reboots into its bootloader.
constexpr int bootloaderHandOverMs = 3000;
// D-Bus knows no call without a limit; a day stands for none.
constexpr int unlimitedMs = 24 * 3600 * 1000;

// The library's reply error that an error of vexbusd stands for.
QString replyErrorNameOf(const QString &serviceError)
{
    const QString prefix = vexbusServiceName + QStringLiteral(".Error.");
    static const QHash<QString, NivoraVexbusUsbReply::Error> errors{
        {prefix + QStringLiteral("Timeout"), NivoraVexbusUsbReply::ErrorTimeout},
        {prefix + QStringLiteral("ControllerError"), NivoraVexbusUsbReply::ErrorInterfaceError},
        {prefix + QStringLiteral("NotAvailable"), NivoraVexbusUsbReply::ErrorNotAvailable},
        {prefix + QStringLiteral("Inhibited"), NivoraVexbusUsbReply::ErrorNotAvailable},
        {prefix + QStringLiteral("InvalidArgument"), NivoraVexbusUsbReply::ErrorInvalidArgument},
        {prefix + QStringLiteral("UpdateRunning"), NivoraVexbusUsbReply::ErrorUpdateRunning},
        {prefix + QStringLiteral("Aborted"), NivoraVexbusUsbReply::ErrorAborted}};
    const auto found = errors.constFind(serviceError);
    return found == errors.cend() ? serviceError.section(QLatin1Char('.'), -1) : replyErrorName(found.value());
}

bool isState(const QString &name, NivoraVexbusUsbAdapter::State state)
{
    return name == Names::of(state);
}

// An update that vexbusd runs: the call answers when it ended. The update
// is the service's: leaving does not stop it half-way.
class ServiceUpdateRun : public UpdateRun
{
public:
    ServiceUpdateRun(ServiceTransport *transport, const ServedProperties *properties, const std::function<QDBusPendingCall()> &call,
                     bool release)
        : UpdateRun(transport),
          m_properties(properties),
          m_call(call),
          m_release(release),
          m_port(transport->port())
    {
        connect(transport, &AdapterTransport::changed, this, [this]() {
            emit activity();
            const QString state = (*m_properties)->state();
            if (state != m_state) {
                m_state = state;
                if (isState(state, NivoraVexbusUsbAdapter::StateConnectingBootloader))
                    emit bootloaderStarting();
                if (isState(state, NivoraVexbusUsbAdapter::StateConnectedBootloader))
                    emit bootloaderOpened();
            }
            const double percentage = (*m_properties)->updatePercentage();
            if (percentage != m_percentage) {
                m_percentage = percentage;
                emit percentageChanged(percentage);
            }
        });
        m_state = (*m_properties)->state();
        m_percentage = (*m_properties)->updatePercentage();
    }

    // Refused before it started.
    ServiceUpdateRun(ServiceTransport *transport, const QString &errorName, const QString &errorString)
        : UpdateRun(transport),
          m_finished(true),
          m_errorName(errorName),
          m_errorString(errorString)
    {
    }

    void start() override
    {
        if (m_finished)
            return;
        m_watcher = new QDBusPendingCallWatcher(m_call(), this);
        connect(m_watcher, &QDBusPendingCallWatcher::finished, this, [this]() { onFinished(); });
    }
    bool isFinished() const override { return m_finished; }
    bool succeeded() const override { return m_success; }
    QString errorName() const override { return m_errorName; }
    QString errorString() const override { return m_errorString; }
    double percentage() const override { return (*m_properties)->updatePercentage(); }
    QString phaseName() const override
    {
        const QString phase = (*m_properties)->updatePhase();
        FirmwareUpdate::Phase value;
        return Names::fromName(phase, &value) ? FirmwareUpdate::phaseName(value) : phase;
    }
    int quietMs() const override
    {
        if (isState((*m_properties)->state(), NivoraVexbusUsbAdapter::StateConnectingBootloader))
            return bootloaderHandOverMs;
        // The service answers once the restarted controller answers, which
        // the adapter gives three tries.
        FirmwareUpdate::Phase phase;
        if (Names::fromName((*m_properties)->updatePhase(), &phase) && phase == FirmwareUpdate::PhaseRestarting)
            return bootloaderHandOverMs + 3 * serviceResponseTimeoutMs;
        return 0;
    }
    bool written() const override { return m_written; }
    void interrupt() override
    {
        m_errorName = QStringLiteral("Interrupted");
        m_errorString = QStringLiteral("interrupted; vexbusd goes on with the update of %1 to its end.").arg(m_port);
    }
    void stop() override {}

private:
    void onFinished()
    {
        m_finished = true;
        const QDBusMessage reply = m_watcher->reply();
        if (reply.type() == QDBusMessage::ErrorMessage) {
            // The update's reason is set before the answer.
            FirmwareUpdate::Error error;
            const bool updateFailed = reply.errorName() == vexbusServiceName + QStringLiteral(".Error.UpdateFailed");
            const QString serviceError = updateFailed ? (*m_properties)->updateError() : QString();
            m_errorName = !updateFailed ? replyErrorNameOf(reply.errorName())
                    : Names::fromName(serviceError, &error) ? FirmwareUpdate::errorName(error) : serviceError;
            m_errorString = reply.errorMessage();
        } else {
            m_success = true;
            m_written = !m_release || reply.arguments().value(0).toBool();
        }
        emit finished(m_success);
    }

    const ServedProperties *m_properties = nullptr;
    std::function<QDBusPendingCall()> m_call;
    QDBusPendingCallWatcher *m_watcher = nullptr;
    bool m_release = false;
    QString m_port;
    bool m_finished = false;
    bool m_success = false;
    bool m_written = false;
    double m_percentage = -1;
    QString m_state;
    QString m_errorName;
    QString m_errorString;
};

} // namespace

std::unique_ptr<VexbusAdapterProxy> adapterProxy(const QDBusConnection &connection, const QString &path)
{
    return std::unique_ptr<VexbusAdapterProxy>(new VexbusAdapterProxy(vexbusServiceName, path, connection));
}

bool servedAdapters(const QDBusConnection &connection, const AdapterOptions &options, QList<ServedAdapter> *adapters,
                    QString *error)
{
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    const QDBusMessage call = QDBusMessage::createMethodCall(vexbusServiceName, QStringLiteral("/org/nivora/Vexbus1"),
                                                             QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                             QStringLiteral("GetManagedObjects"));
    const QDBusReply<ManagedObjects> reply = connection.call(call);
    if (!reply.isValid()) {
        *error = reply.error().message();
        return false;
    }
    // A link such as /dev/serial/by-id/... names the port the service reports.
    const QString port = options.port.isEmpty() ? QString() : devicePathOf(options.port);
    const ManagedObjects objects = reply.value();
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (!it.value().contains(QLatin1String(VexbusAdapterProxy::staticInterfaceName())))
            continue;
        const QVariantMap properties = it.value().value(QLatin1String(VexbusAdapterProxy::staticInterfaceName()));
        const ServedProperties served(properties);
        const ServedAdapter adapter{it.key().path(), served->port(), served->serialNumber(), served->inhibitedBy(), properties};
        if (!options.serialPrefix.isEmpty() && !adapter.serialNumber.startsWith(options.serialPrefix))
            continue;
        if (!port.isEmpty() && adapter.port != port)
            continue;
        adapters->append(adapter);
    }
    return true;
}

QString describe(const QList<ServedAdapter> &adapters)
{
    QStringList entries;
    for (const ServedAdapter &adapter : adapters)
        entries.append(QStringLiteral("%1 (serial number %2)").arg(adapter.port, orDash(adapter.serialNumber)));
    return entries.join(QStringLiteral(", "));
}

ServiceTransport::ServiceTransport(const CommandContext &context, QObject *parent)
    : AdapterTransport(parent),
      m_context(context),
      m_connection(QDBusConnection::systemBus())
{
}

ServiceTransport::~ServiceTransport() = default;

bool ServiceTransport::find(int *exitCode, bool anyWillDo)
{
    *exitCode = ExitSuccess;
    // Without a bus or without the service the port is there to be opened.
    if (!m_connection.isConnected() || !m_connection.interface()->isServiceRegistered(vexbusServiceName))
        return false;
    QList<ServedAdapter> adapters;
    QString error;
    if (!servedAdapters(m_connection, m_context.adapterOptions, &adapters, &error)) {
        // Most often the bus's policy: only root and the group vexbus may talk to it.
        m_context.printer->error(QStringLiteral("vexbusd runs but does not answer on the system bus (%1). Root and the members of "
                                                "the group vexbus may use it; vexbusctl --direct opens a port that it does not hold.").arg(error));
        *exitCode = ExitFailure;
        return true;
    }
    if (adapters.isEmpty())
        return false;
    if (adapters.count() > 1 && !anyWillDo) {
        m_context.printer->error(QStringLiteral("several adapters found; choose one with --port PATH or --serial PREFIX. vexbusd drives: %1.")
                                         .arg(describe(adapters)));
        *exitCode = ExitUsage;
        return true;
    }
    // Lent to a program, the port is that program's: perhaps this one's,
    // started by vexbusctl inhibit.
    if (!adapters.first().inhibitedBy.isEmpty())
        return false;

    // Subscribed first, then read: no change falls between the two.
    const QString path = adapters.first().path;
    m_port = adapters.first().port;
    m_proxy = adapterProxy(m_connection, path);
    const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
    m_connection.connect(vexbusServiceName, path, propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                         SLOT(onPropertiesChanged(QString,QVariantMap,QStringList)));
    m_properties = new ServedProperties(adapters.first().properties, this);
    QDBusMessage getAll = QDBusMessage::createMethodCall(vexbusServiceName, path, propertiesInterface, QStringLiteral("GetAll"));
    getAll << QLatin1String(VexbusAdapterProxy::staticInterfaceName());
    const QDBusReply<QVariantMap> properties = m_connection.call(getAll);
    if (properties.isValid())
        m_properties->update(properties.value());
    return true;
}

void ServiceTransport::onPropertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &invalidated)
{
    Q_UNUSED(invalidated)
    if (interface != QLatin1String(VexbusAdapterProxy::staticInterfaceName()))
        return;
    m_properties->update(changed);
    if (m_watchingFrames && !m_frameReader)
        acquireFrames(false);
    emit this->changed();
}

AdapterStatus ServiceTransport::status() const
{
    // The serial port is described as the library describes it, from the
    // system's list of serial ports.
    if (!m_serialPortRead) {
        m_serialPort = serialPortsByLocation().value(m_port);
        m_serialPortRead = true;
    }
    AdapterStatus status;
    status.port = m_port;
    status.available = (*m_properties)->available();
    status.controllerInBootloader = (*m_properties)->controllerInBootloader();
    status.firmwareVersion = (*m_properties)->firmwareVersion();
    status.ledMode = (*m_properties)->ledMode();
    status.busType = (*m_properties)->busType();
    status.busSynchronized = (*m_properties)->busSynchronized();
    status.busInitialized = (*m_properties)->busInitialized();
    status.busAvailable = (*m_properties)->busAvailable();
    status.serialPortName = m_serialPort.portName();
    status.serialPortSystemLocation = m_serialPort.systemLocation();
    status.serialPortDescription = m_serialPort.description();
    status.serialPortManufacturer = m_serialPort.manufacturer();
    status.serialPortSerialNumber = m_serialPort.serialNumber();
    status.vendorIdentifier = m_serialPort.vendorIdentifier();
    status.productIdentifier = m_serialPort.productIdentifier();
    status.baudrate = (*m_properties)->baudRate();
    status.updating = (*m_properties)->updating();
    status.updatePhase = (*m_properties)->updatePhase();
    status.updatePercentage = (*m_properties)->updatePercentage();
    status.updateError = (*m_properties)->updateError();
    status.updateErrorString = (*m_properties)->updateErrorString();
    status.recovery = (*m_properties)->recovery();
    status.recoveryMessage = (*m_properties)->recoveryMessage();
    status.policySequence = (*m_properties)->policySequence();
    status.policyState = (*m_properties)->policyState();
    status.policyMessage = (*m_properties)->policyMessage();
    status.policyRefusal = (*m_properties)->policyRefusal();
    return status;
}

QString ServiceTransport::lease() const
{
    const QString holder = (*m_properties)->inhibitedBy();
    if (holder.isEmpty())
        return QString();
    return QStringLiteral("vexbusd lends %1 to %2 (\"%3\")").arg(m_port, holder, (*m_properties)->inhibitReason());
}

int ServiceTransport::waitForController(bool reportFailure)
{
    bool available = false;
    bool inBootloader = false;
    QString lease;
    Waiter waiter(m_context.terminationSignals, [&]() {
        available = (*m_properties)->available();
        inBootloader = !available && (*m_properties)->controllerInBootloader();
        lease = this->lease();
        return available || inBootloader || !lease.isEmpty();
    });
    waiter.wakeOn(this, &AdapterTransport::changed);
    if (waiter.wait(m_context.adapterOptions.timeoutMs) == Waiter::Interrupted)
        return interrupted(m_context.printer);
    if (!lease.isEmpty()) {
        m_context.printer->error(QStringLiteral("%1; run the command when that program has given it back.").arg(lease));
        return ExitNoAdapter;
    }
    if (available)
        return ExitSuccess;
    if (!reportFailure)
        return ExitFailure;
    if (inBootloader) {
        m_context.printer->error(QStringLiteral("the controller at %1 does not answer, but its bootloader does: an update was "
                                                "interrupted. Write its firmware again (run: vexbusctl update FILE, or "
                                                "vexbusctl update --online).").arg(m_port));
        return ExitFailure;
    }
    if (isState((*m_properties)->state(), NivoraVexbusUsbAdapter::StateUnconnected)) {
        m_context.printer->error(QStringLiteral("vexbusd cannot open %1: the device disappeared or closed the line.").arg(m_port));
        return ExitFailure;
    }
    m_context.printer->error(QStringLiteral("the controller at %1 did not answer within %2 s: the port is open, but the "
                                            "controller does not answer its firmware-version request. Check that the adapter "
                                            "is powered; after an interrupted update it waits in its bootloader "
                                            "(run: vexbusctl update FILE).")
                                     .arg(m_port).arg(m_context.adapterOptions.timeoutMs / 1000.0));
    return ExitFailure;
}

int ServiceTransport::waitForRestart()
{
    // A reset takes the controller away; it is back when it answers again.
    Waiter waiter(m_context.terminationSignals, [this]() { return m_wentAway; });
    waiter.wakeOn(this, &AdapterTransport::changed);
    if (waiter.wait(m_context.adapterOptions.timeoutMs) == Waiter::Interrupted)
        return interrupted(m_context.printer);
    return waitForController();
}

CommandOutcome ServiceTransport::outcomeOf(const QDBusPendingCall &call, int limitMs)
{
    QDBusPendingCallWatcher watcher(call);
    Waiter waiter(m_context.terminationSignals, [&watcher]() { return watcher.isFinished(); });
    waiter.wakeOn(&watcher, &QDBusPendingCallWatcher::finished);
    CommandOutcome outcome;
    outcome.interrupted = waiter.wait(0) == Waiter::Interrupted;
    const QDBusMessage reply = watcher.reply();
    if (outcome.interrupted || reply.type() != QDBusMessage::ErrorMessage)
        return outcome;
    outcome.failed = true;
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
        outcome.error = replyErrorName(NivoraVexbusUsbReply::ErrorTimeout);
        outcome.message = QStringLiteral("The request got no outcome within %1 ms.").arg(limitMs);
        return outcome;
    }
    outcome.error = replyErrorNameOf(reply.errorName());
    outcome.message = reply.errorMessage();
    // The controller's code is named in the sentence, as the library writes it.
    const QRegularExpressionMatch code = QRegularExpression(QStringLiteral("with error code (\\d+) ")).match(reply.errorMessage());
    if (reply.errorName() == vexbusServiceName + QStringLiteral(".Error.ControllerError") && code.hasMatch())
        outcome.controllerError = Names::of(NivoraVexbusUsbUtils::Error(code.captured(1).toInt()));
    return outcome;
}

namespace {

// The service answers after the response time-out at the latest; the
// call's own limit only guards against a service that never does.
constexpr int commandLimitMs = 2 * (serviceResponseTimeoutMs + replyWaitMarginMs);

} // namespace

int ServiceTransport::watchFrames()
{
    m_watchingFrames = true;
    return acquireFrames(true);
}

int ServiceTransport::acquireFrames(bool reportFailure)
{
    // The socket spares the service a D-Bus signal a frame, and this
    // process the bus's thread hand-over.
    QDBusPendingReply<QDBusUnixFileDescriptor> acquired = m_proxy->AcquireFrames(QVariantMap());
    acquired.waitForFinished();
    if (acquired.isError()) {
        // A service from before frame sockets sends frames as signals only.
        if (acquired.error().type() == QDBusError::UnknownMethod) {
            m_watchingFrames = false;
            connect(m_proxy.get(), &VexbusAdapterProxy::BusFrameReceived, this, &AdapterTransport::frameReceived);
            return ExitSuccess;
        }
        if (reportFailure)
            m_context.printer->error(QStringLiteral("vexbusd gives no frames of %1: %2").arg(m_port, acquired.error().message()));
        return ExitFailure;
    }
    const int socket = ::fcntl(acquired.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (socket < 0) {
        if (reportFailure)
            m_context.printer->error(QStringLiteral("vexbusd gave no usable frame socket for %1.").arg(m_port));
        return ExitFailure;
    }
    m_frameReader = new FrameSocketReader(socket, this);
    connect(m_frameReader, &FrameSocketReader::frameReceived, this, &AdapterTransport::frameReceived);
    connect(m_frameReader, &FrameSocketReader::framesDropped, this, [this](quint32 count) {
        m_context.printer->note(QStringLiteral("%1 frame(s) lost: they came faster than they were shown.").arg(count));
    });
    // The adapter went away, or the service stopped: the socket is taken
    // anew once the adapter's object tells of itself again.
    connect(m_frameReader, &FrameSocketReader::closed, this, [this]() {
        m_frameReader->deleteLater();
        m_frameReader = nullptr;
    });
    return ExitSuccess;
}

CommandOutcome ServiceTransport::writeFrame(const QByteArray &frame)
{
    m_proxy->setTimeout(commandLimitMs);
    return outcomeOf(m_proxy->WriteFrame(frame), commandLimitMs);
}

CommandOutcome ServiceTransport::pressButton(Names::Module module, int button, uint milliSeconds)
{
    m_proxy->setTimeout(commandLimitMs);
    return outcomeOf(m_proxy->PressButton(Names::moduleName(module), Names::buttonName(module, button), milliSeconds), commandLimitMs);
}

CommandOutcome ServiceTransport::setParameterHandling(bool enable)
{
    m_proxy->setTimeout(commandLimitMs);
    return outcomeOf(m_proxy->SetParameterHandling(enable), commandLimitMs);
}

CommandOutcome ServiceTransport::reset()
{
    // A reset takes the controller away, perhaps before its answer comes.
    m_wentAway = false;
    connect(this, &AdapterTransport::changed, this, [this]() { m_wentAway = m_wentAway || !(*m_properties)->available(); });
    m_proxy->setTimeout(commandLimitMs);
    return outcomeOf(m_proxy->Reset(), commandLimitMs);
}

FetchedRelease ServiceTransport::checkForRelease(bool preRelease)
{
    FetchedRelease fetched;
    m_proxy->setTimeout(m_context.adapterOptions.timeoutMs + replyWaitMarginMs);
    QDBusPendingCallWatcher watcher(m_proxy->CheckForRelease(QVariantMap{{QStringLiteral("pre-release"), preRelease}}));
    Waiter waiter(m_context.terminationSignals, [&watcher]() { return watcher.isFinished(); });
    waiter.wakeOn(&watcher, &QDBusPendingCallWatcher::finished);
    fetched.interrupted = waiter.wait(0) == Waiter::Interrupted;
    const QDBusMessage reply = watcher.reply();
    if (fetched.interrupted)
        return fetched;
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
        fetched.failure = QStringLiteral("no answer from the release server of vexbusd within %1 s.").arg(m_context.adapterOptions.timeoutMs / 1000.0);
        return fetched;
    }
    if (reply.type() == QDBusMessage::ErrorMessage) {
        // "Release server URL: what went wrong", as the tool's own errors start.
        fetched.failure = printable(reply.errorMessage());
        if (!fetched.failure.isEmpty())
            fetched.failure[0] = fetched.failure.at(0).toLower();
        return fetched;
    }
    m_release = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    fetched.described = true;
    fetched.verified = true;
    ReleaseView &view = fetched.release;
    view.authenticated = m_release.value(QStringLiteral("authenticated")).toBool();
    view.signingKey = m_release.value(QStringLiteral("signing-key")).toString();
    view.version = m_release.value(QStringLiteral("version")).toString();
    view.hardware = m_release.value(QStringLiteral("hardware")).toString();
    view.releaseDate = QDateTime::fromString(m_release.value(QStringLiteral("release-date")).toString(), Qt::ISODate);
    view.fileName = m_release.value(QStringLiteral("file-name")).toString();
    view.preRelease = m_release.value(QStringLiteral("pre-release")).toBool();
    view.server = m_release.value(QStringLiteral("server")).toString();
    fetched.rowCount = m_release.value(QStringLiteral("row-count")).toInt();
    return fetched;
}

int ServiceTransport::fetchRelease(const ReleaseOptions &releaseOptions, ReleaseImage *image)
{
    if (releaseOptionsGiven(releaseOptions)) {
        m_context.printer->error(QStringLiteral("vexbusd owns %1 and takes releases from the server and with the keys of its "
                                                "settings; --server, --ca-certificate and --trusted-key go with --direct, "
                                                "while vexbusd lends the adapter: vexbusctl inhibit --port %1 -- "
                                                "vexbusctl --direct --port %1 update --online ...").arg(m_port));
        return ExitUsage;
    }
    const int shown = showRelease(m_context, checkForRelease(releaseOptions.preRelease));
    if (shown != ExitSuccess)
        return shown;
    image->version = m_release.value(QStringLiteral("version")).toString();
    image->imageName = m_release.value(QStringLiteral("file-name")).toString();
    image->rowCount = m_release.value(QStringLiteral("row-count")).toInt();
    image->byteCount = m_release.value(QStringLiteral("byte-count")).toInt();
    return ExitSuccess;
}

bool ServiceTransport::releaseIsOlderThan(const QString &runningVersion) const
{
    // The service itself refuses a release older than one it took before.
    return !runningVersion.isEmpty()
            && QVersionNumber::fromString(m_release.value(QStringLiteral("version")).toString()) < QVersionNumber::fromString(runningVersion);
}

UpdateRun *ServiceTransport::createUpdate(const QString &file, const FirmwareData &image, const ReleaseOptions *releaseOptions)
{
    Q_UNUSED(image)
    m_proxy->setTimeout(unlimitedMs);
    if (releaseOptions) {
        const QVariantMap options{{QStringLiteral("pre-release"), releaseOptions->preRelease},
                                  {QStringLiteral("force"), releaseOptions->force},
                                  {QStringLiteral("allow-older"), releaseOptions->allowOlder}};
        return new ServiceUpdateRun(this, m_properties, [this, options]() { return m_proxy->UpdateFromReleaseServer(options); }, true);
    }
    // The service reads what this user could open, never a path of its own.
    auto imageFile = std::make_shared<QFile>(file);
    if (!imageFile->open(QIODevice::ReadOnly))
        return new ServiceUpdateRun(this, FirmwareUpdate::errorName(FirmwareUpdate::ErrorImageUnreadable),
                                    QStringLiteral("cannot read %1: %2").arg(file, imageFile->errorString()));
    return new ServiceUpdateRun(this, m_properties, [this, imageFile]() {
        return m_proxy->UpdateFromImage(QDBusUnixFileDescriptor(imageFile->handle()));
    }, false);
}
