// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The commands that watch the adapters or talk to the controller.
#include "commands.h"
#include "adaptertransport.h"
#include "output.h"
#include "printer.h"
#include "servicelease.h"
#include "terminationsignals.h"
#include "waiter.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPortInfo>
#include <QTimer>

#include <functional>
#include <memory>

using namespace NivoraVexbusUsb;

namespace {

// A command's failure: the reason on standard error and, for scripts, the
// result with the error's name.
int commandFailed(const CommandContext &context, const QString &description, const QString &target, const QString &message,
                  QJsonObject result, const QString &error, const QString &controllerError)
{
    context.printer->error(QStringLiteral("%1 failed at %2: %3").arg(description, target, message));
    if (context.printer->json()) {
        result.insert(QStringLiteral("success"), false);
        result.insert(QStringLiteral("error"), error);
        result.insert(QStringLiteral("message"), message);
        if (!controllerError.isEmpty())
            result.insert(QStringLiteral("controllerError"), controllerError);
        context.printer->result(QString(), result);
    }
    return ExitFailure;
}

// A command's success; the firmware of a controller that restarted goes with it.
int commandSucceeded(const CommandContext &context, QJsonObject result, QString done, const QString &restartedVersion)
{
    if (!restartedVersion.isEmpty()) {
        result.insert(QStringLiteral("firmwareVersion"), restartedVersion);
        done += QStringLiteral(" with firmware %1").arg(restartedVersion);
    }
    result.insert(QStringLiteral("success"), true);
    context.printer->result(QStringLiteral("ok: %1").arg(done), result);
    return ExitSuccess;
}

// Sends one command and waits for its outcome, whose error and sentence
// the tool passes on as they are. description names the action ("writing
// 3 bytes to the bus"), done says it happened ("wrote 3 bytes to the
// bus"). A command that restarts the controller is done when the
// controller answers again.
int runCommand(const CommandContext &context, const QString &command, const QString &description, const QString &done,
               const std::function<CommandOutcome(AdapterTransport *)> &send, QJsonObject result = QJsonObject(),
               bool restarts = false)
{
    std::unique_ptr<AdapterTransport> adapter;
    const int opened = AdapterTransport::open(context, &adapter);
    if (opened != ExitSuccess)
        return opened;
    const int ready = adapter->waitForController();
    if (ready != ExitSuccess)
        return ready;

    const CommandOutcome outcome = send(adapter.get());
    if (outcome.interrupted)
        return interrupted(context.printer);
    result.insert(QStringLiteral("command"), command);
    result.insert(QStringLiteral("port"), adapter->port());
    if (outcome.failed)
        return commandFailed(context, description, adapter->target(), outcome.message, result, outcome.error, outcome.controllerError);
    if (!restarts)
        return commandSucceeded(context, result, done, QString());
    context.printer->text(QStringLiteral("reset acknowledged; waiting for the controller to restart"));
    const int back = adapter->waitForRestart();
    if (back != ExitSuccess)
        return back;
    return commandSucceeded(context, result, done, adapter->status().firmwareVersion);
}

// What a monitor prints, whichever way it reaches the adapter: frames, the
// bus status and the adapter coming and going.
class MonitorOutput
{
public:
    MonitorOutput(const CommandContext &context, int frameCount, const std::function<AdapterStatus()> &view)
        : m_context(context),
          m_frameCount(frameCount),
          m_view(view)
    {
        m_statusTimer.setSingleShot(true);
        m_statusTimer.setInterval(0);
        QObject::connect(&m_statusTimer, &QTimer::timeout, [this]() { printPendingStatus(); });
    }

    int frames() const { return m_frames; }
    bool complete() const { return m_frameCount > 0 && m_frames >= m_frameCount; }

    void frame(const QByteArray &frame)
    {
        // A counted monitor shows that many frames, also when more arrive
        // before it has finished starting.
        if (complete())
            return;
        printPendingStatus();
        ++m_frames;
        m_context.printer->asciiLine(frameLine(frame, m_context.printer->json()));
    }

    // One status notification changes several properties in a row; they
    // are shown as one line once the notification is handled, and before
    // anything that comes after it.
    void statusChanged()
    {
        m_statusPending = true;
        m_statusTimer.start();
    }

    void printPendingStatus()
    {
        if (!m_statusPending)
            return;
        m_statusPending = false;
        m_statusTimer.stop();
        const AdapterStatus view = m_view();
        if (!view.available)
            return;
        QJsonObject object = statusObject(view);
        object.insert(QStringLiteral("time"), timeStamp());
        object.insert(QStringLiteral("event"), QStringLiteral("status"));
        m_context.printer->result(QStringLiteral("%1 status %2").arg(timeStamp(), busStatusText(view)), object);
    }

    void availabilityChanged(bool available, const QString &firmwareVersion)
    {
        QJsonObject object;
        object.insert(QStringLiteral("time"), timeStamp());
        object.insert(QStringLiteral("event"), available ? QStringLiteral("available") : QStringLiteral("unavailable"));
        object.insert(QStringLiteral("firmwareVersion"), firmwareVersion);
        m_context.printer->result(available ? QStringLiteral("%1 adapter available, firmware %2").arg(timeStamp(), firmwareVersion)
                                            : QStringLiteral("%1 adapter not available").arg(timeStamp()),
                                  object);
    }

    // Runs until Ctrl-C or the last frame asked for; the exit code.
    template<typename Sender, typename Signal>
    int run(const QString &target, const QString &firmwareVersion, const Sender *sender, Signal frameSignal)
    {
        printPendingStatus();
        m_context.printer->note(QStringLiteral("monitoring %1 (firmware %2); press Ctrl-C to stop").arg(target, firmwareVersion));
        Waiter waiter(m_context.terminationSignals, [this]() { return complete(); });
        waiter.wakeOn(sender, frameSignal);
        const Waiter::Result waited = waiter.wait(0);
        printPendingStatus();
        m_context.printer->note(QStringLiteral("%1 frame(s) received").arg(m_frames));
        // Ctrl-C is the normal end of a monitor, but not of one that was
        // asked for a number of frames it did not get.
        return waited == Waiter::Interrupted && m_frameCount > 0 ? int(ExitInterrupted) : int(ExitSuccess);
    }

private:
    const CommandContext &m_context;
    const int m_frameCount;
    const std::function<AdapterStatus()> m_view;
    QTimer m_statusTimer;
    bool m_statusPending = false;
    int m_frames = 0;
};

} // namespace

int runList(const CommandContext &context, bool watch)
{
    NivoraVexbusUsbDeviceWatcher watcher;
    const QList<NivoraVexbusUsbDeviceWatcher::DeviceInfo> deviceInfos = sortedDeviceInfos(&watcher);
    const QHash<QString, QSerialPortInfo> ports = serialPortsByLocation();

    QJsonArray adapters;
    QStringList lines;
    lines << QStringLiteral("%1 %2 %3 %4").arg(QStringLiteral("DEVICE"), -16).arg(QStringLiteral("SERIAL NUMBER"), -16)
                     .arg(QStringLiteral("USB ID"), -10).arg(QStringLiteral("VENDOR AND PRODUCT"));
    for (const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo : deviceInfos) {
        const QSerialPortInfo info = ports.value(deviceInfo.devicePath);
        const QString usb = info.hasVendorIdentifier()
                ? usbId(info.vendorIdentifier()) + QLatin1Char(':') + usbId(info.productIdentifier()) : QString();
        const QString product = QStringList{info.manufacturer(), info.description()}.join(QLatin1Char(' ')).trimmed();
        lines << QStringLiteral("%1 %2 %3 %4").arg(deviceInfo.devicePath, -16).arg(orDash(deviceInfo.serialNumber), -16)
                         .arg(orDash(usb), -10).arg(orDash(product));
        QJsonObject adapter;
        adapter.insert(QStringLiteral("devicePath"), deviceInfo.devicePath);
        adapter.insert(QStringLiteral("serialNumber"), deviceInfo.serialNumber);
        adapter.insert(QStringLiteral("vendorIdentifier"), info.hasVendorIdentifier() ? usbId(info.vendorIdentifier()) : QString());
        adapter.insert(QStringLiteral("productIdentifier"), info.hasProductIdentifier() ? usbId(info.productIdentifier()) : QString());
        adapter.insert(QStringLiteral("manufacturer"), info.manufacturer());
        adapter.insert(QStringLiteral("description"), info.description());
        adapters.append(adapter);
    }
    if (deviceInfos.isEmpty())
        lines = QStringList{QStringLiteral("no adapters found (%1)").arg(noAdapterListed())};
    context.printer->result(lines.join(QLatin1Char('\n')), QJsonObject{{QStringLiteral("adapters"), adapters}});
    if (!watch)
        return ExitSuccess;

    context.printer->note(QStringLiteral("watching for adapters; press Ctrl-C to stop"));
    auto report = [&context](const QString &event, const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo) {
        QJsonObject object;
        object.insert(QStringLiteral("time"), timeStamp());
        object.insert(QStringLiteral("event"), event);
        object.insert(QStringLiteral("devicePath"), deviceInfo.devicePath);
        object.insert(QStringLiteral("serialNumber"), deviceInfo.serialNumber);
        context.printer->result(QStringLiteral("%1 %2 %3 serial number %4").arg(timeStamp(), event, deviceInfo.devicePath,
                                                                                  orDash(deviceInfo.serialNumber)),
                                object);
    };
    QObject::connect(&watcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoAdded, &watcher,
                     [report](const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo) { report(QStringLiteral("added"), deviceInfo); });
    QObject::connect(&watcher, &NivoraVexbusUsbDeviceWatcher::deviceInfoRemoved, &watcher,
                     [report](const NivoraVexbusUsbDeviceWatcher::DeviceInfo &deviceInfo) { report(QStringLiteral("removed"), deviceInfo); });
    Waiter waiter(context.terminationSignals, []() { return false; });
    waiter.wait(0);
    return ExitSuccess;
}

int runStatus(const CommandContext &context)
{
    std::unique_ptr<AdapterTransport> adapter;
    const int opened = AdapterTransport::open(context, &adapter);
    if (opened != ExitSuccess)
        return opened;
    // An update of the service, such as its recovery of a controller from
    // the bootloader, keeps the controller away for a while: it is shown
    // as it stands, not waited for.
    const int ready = adapter->status().updating ? ExitFailure : adapter->waitForController();
    const AdapterStatus status = adapter->status();
    // A controller waiting in its bootloader has a status worth showing.
    if (ready != ExitSuccess && !status.controllerInBootloader && !status.showsRecovery())
        return ready;
    context.printer->result(statusText(status), statusObject(status));
    return ready;
}

int runMonitor(const CommandContext &context, int frameCount)
{
    std::unique_ptr<AdapterTransport> adapter;
    const int opened = AdapterTransport::open(context, &adapter);
    if (opened != ExitSuccess)
        return opened;

    // The controller reports frames from the moment the port is open, also
    // while the adapter still reads its version and status.
    AdapterTransport *transport = adapter.get();
    MonitorOutput output(context, frameCount, [transport]() { return transport->status(); });
    QObject::connect(transport, &AdapterTransport::frameReceived, transport, [&output](const QByteArray &frame) { output.frame(frame); });
    AdapterStatus last = transport->status();
    QObject::connect(transport, &AdapterTransport::changed, transport, [&output, &last, transport]() {
        const AdapterStatus now = transport->status();
        if (now.ledMode != last.ledMode || now.busType != last.busType || now.busSynchronized != last.busSynchronized
                || now.busInitialized != last.busInitialized || now.busAvailable != last.busAvailable)
            output.statusChanged();
        if (now.available != last.available)
            output.availabilityChanged(now.available, now.firmwareVersion);
        last = now;
    });
    // An adapter that the service has started already is new to this
    // monitor as it would be on the port: it says so, with its status.
    if (last.available) {
        output.availabilityChanged(true, last.firmwareVersion);
        output.statusChanged();
    }
    const int answered = transport->waitForController();
    if (answered != ExitSuccess)
        return answered;
    return output.run(transport->target(), transport->status().firmwareVersion, transport, &AdapterTransport::frameReceived);
}

int runWrite(const CommandContext &context, const QByteArray &frame)
{
    QJsonObject result;
    result.insert(QStringLiteral("data"), QString::fromLatin1(frame.toHex()));
    return runCommand(context, QStringLiteral("write"), QStringLiteral("writing %1 byte(s) to the bus").arg(frame.size()),
                      QStringLiteral("wrote %1 byte(s) to the bus").arg(frame.size()), [frame](AdapterTransport *adapter) { return adapter->writeFrame(frame); }, result);
}

int runPress(const CommandContext &context, Names::Module module, int button, uint milliSeconds)
{
    const QString moduleName = Names::moduleName(module);
    const QString buttonName = Names::buttonName(module, button);
    QJsonObject result;
    result.insert(QStringLiteral("module"), moduleName);
    result.insert(QStringLiteral("button"), buttonName);
    result.insert(QStringLiteral("milliSeconds"), int(milliSeconds));
    return runCommand(context, QStringLiteral("press"),
                      QStringLiteral("pressing %1 button %2 for %3 ms").arg(moduleName, buttonName).arg(milliSeconds),
                      QStringLiteral("pressed %1 button %2 for %3 ms").arg(moduleName, buttonName).arg(milliSeconds),
                      [module, button, milliSeconds](AdapterTransport *adapter) {
                          return adapter->pressButton(module, button, milliSeconds);
                      }, result);
}

int runAppParams(const CommandContext &context, bool enable)
{
    QJsonObject result;
    result.insert(QStringLiteral("enabled"), enable);
    const QString state = enable ? QStringLiteral("on") : QStringLiteral("off");
    return runCommand(context, QStringLiteral("app-params"),
                      QStringLiteral("switching app connector parameter handling %1").arg(state),
                      QStringLiteral("app connector parameter handling is %1").arg(state),
                      [enable](AdapterTransport *adapter) { return adapter->setParameterHandling(enable); }, result);
}

int runReset(const CommandContext &context)
{
    return runCommand(context, QStringLiteral("reset"), QStringLiteral("the reset"), QStringLiteral("the controller restarted"),
                      [](AdapterTransport *adapter) { return adapter->reset(); }, QJsonObject(), true);
}

int runInhibit(const CommandContext &context, const QStringList &command)
{
    ServiceLease lease(context.printer);
    const int taken = lease.take(context.adapterOptions, QStringLiteral("vexbusctl inhibit -- %1").arg(command.join(QLatin1Char(' '))));
    if (taken != ExitSuccess)
        return taken;
    context.printer->note(QStringLiteral("vexbusd lends %1 to %2").arg(lease.port(), command.first()));

    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    Waiter waiter(context.terminationSignals, [&process]() { return process.state() == QProcess::NotRunning; });
    waiter.wakeOn(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    waiter.wakeOn(&process, &QProcess::errorOccurred);
    process.start(command.first(), command.mid(1));
    const Waiter::Result waited = waiter.wait(0);
    if (waited == Waiter::Interrupted) {
        process.terminate();
        process.waitForFinished(5000);
        lease.release();
        return interrupted(context.printer);
    }
    // The service opens the port again before this program ends.
    lease.release();
    if (process.error() == QProcess::FailedToStart) {
        context.printer->error(QStringLiteral("cannot run %1: %2").arg(command.first(), process.errorString()));
        return ExitFailure;
    }
    if (process.exitStatus() == QProcess::CrashExit) {
        context.printer->error(QStringLiteral("%1 ended abnormally").arg(command.first()));
        return ExitFailure;
    }
    return process.exitCode();
}
