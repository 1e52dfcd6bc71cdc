// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "serviceadapter.h"
#include "framesocketreader.h"
#include "names.h"
#include "vexbusadapterproxy.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QFile>

#include <fcntl.h>

using namespace NivoraVexbusUsb;
using Proxy = OrgNivoraVexbus1AdapterInterface;

namespace {

// The name on the bus of the proxy's property that getter reads; naming the
// member makes a property that the interface no longer has a compile error.
template<typename Getter>
QString busName(Getter, const char *getter)
{
    QString name = QString::fromLatin1(getter);
    name[0] = name.at(0).toUpper();
    return name;
}
#define BUS_NAME(getter) busName(&Proxy::getter, #getter)

// The enumerator that the service names on the bus; fallback for a name
// this version does not know.
template<typename Enum>
Enum fromBus(const QVariant &value, Enum fallback)
{
    Enum result = fallback;
    return Names::fromName(value.toString(), &result) ? result : fallback;
}

// An update that the service refused or that ended without its reason.
FirmwareUpdate::Error updateErrorFromService(const QString &errorName)
{
    if (errorName == QLatin1String("org.nivora.Vexbus1.Error.InvalidArgument"))
        return FirmwareUpdate::ErrorImageInvalid;
    // Lent to another program, not connected, or gone: the port is not there for this update.
    return FirmwareUpdate::ErrorPortLost;
}

const QString serviceName = QStringLiteral("org.nivora.Vexbus1");

} // namespace

ServiceAdapter::ServiceAdapter(const QDBusConnection &connection, const QDBusObjectPath &path,
                               const QVariantMap &properties, QObject *parent)
    : Adapter(parent),
      m_path(path),
      m_proxy(new Proxy(serviceName, path.path(), connection, this))
{
    // An update answers when it ended; the service answers every other
    // call within its own time-outs.
    m_proxy->setTimeout(10 * 60 * 1000);
    m_announced = properties;
    QDBusConnection(connection).connect(serviceName, path.path(), QStringLiteral("org.freedesktop.DBus.Properties"),
                                        QStringLiteral("PropertiesChanged"), this,
                                        SLOT(onPropertiesChanged(QString,QVariantMap,QStringList)));
    connect(m_proxy, &Proxy::UpdateFinished, this, &ServiceAdapter::onUpdateFinished);
    acquireFrames();

    // The object shows the adapter once its frames come through: an
    // application that sees it connected and available gets every frame the
    // service receives from then on. The service answers one caller's calls
    // in order, so when GetAll answers, the frame socket is in place, and
    // the answer follows every change sent before it.
    QDBusMessage getAll = QDBusMessage::createMethodCall(serviceName, path.path(), QStringLiteral("org.freedesktop.DBus.Properties"),
                                                         QStringLiteral("GetAll"));
    getAll << QString::fromLatin1(Proxy::staticInterfaceName());
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection(connection).asyncCall(getAll), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *call) {
        call->deleteLater();
        const QDBusPendingReply<QVariantMap> reply = *call;
        m_following = true;
        // Without an answer the announcement is the best there is.
        applyProperties(reply.isValid() ? reply.value() : m_announced);
        m_announced.clear();
    });
}

void ServiceAdapter::acquireFrames()
{
    auto *watcher = new QDBusPendingCallWatcher(m_proxy->AcquireFrames(QVariantMap()), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher]() {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        if (reply.isError()) {
            // A service from before frame sockets sends frames as signals only.
            if (reply.error().type() == QDBusError::UnknownMethod)
                connect(m_proxy, &Proxy::BusFrameReceived, this, &Adapter::vexbusFrameReceived);
            else
                qWarning() << "vexbusd gives no frames of" << m_path.path() << ":" << reply.error().message();
            return;
        }
        const int socket = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        if (socket < 0)
            return;
        auto *reader = new FrameSocketReader(socket, this);
        connect(reader, &FrameSocketReader::frameReceived, this, &Adapter::vexbusFrameReceived);
    });
}

void ServiceAdapter::onPropertiesChanged(const QString &interfaceName, const QVariantMap &changed, const QStringList &)
{
    // Until GetAll answers, its answer holds every change.
    if (m_following && interfaceName == QLatin1String(Proxy::staticInterfaceName()))
        applyProperties(changed);
}

void ServiceAdapter::takeProperties(const QVariantMap &properties)
{
    if (!m_following) {
        for (auto it = properties.constBegin(); it != properties.constEnd(); ++it)
            m_announced.insert(it.key(), it.value());
        return;
    }
    applyProperties(properties);
}

void ServiceAdapter::applyProperties(const QVariantMap &properties)
{
    const auto take = [&properties](const QString &name, const auto &apply) {
        const auto it = properties.constFind(name);
        if (it != properties.constEnd())
            apply(it.value());
    };
    take(BUS_NAME(state), [this](const QVariant &value) {
        setState(fromBus(value, NivoraVexbusUsbAdapter::StateUnconnected));
    });
    take(BUS_NAME(available), [this](const QVariant &value) { setAvailable(value.toBool()); });
    take(BUS_NAME(controllerInBootloader), [this](const QVariant &value) { setControllerInBootloader(value.toBool()); });
    take(BUS_NAME(firmwareVersion), [this](const QVariant &value) { setFirmwareVersion(value.toString()); });
    take(BUS_NAME(ledMode), [this](const QVariant &value) { setLedMode(fromBus(value, NivoraVexbusUsbUtils::LedModeUnknown)); });
    take(BUS_NAME(busType), [this](const QVariant &value) { setVexbusType(fromBus(value, NivoraVexbusUsbUtils::VexbusTypeUnknown)); });
    take(BUS_NAME(busSynchronized), [this](const QVariant &value) { setVexbusSynchronized(value.toBool()); });
    take(BUS_NAME(busInitialized), [this](const QVariant &value) { setVexbusInitialized(value.toBool()); });
    take(BUS_NAME(busAvailable), [this](const QVariant &value) { setVexbusAvailable(value.toBool()); });
    take(BUS_NAME(port), [this](const QVariant &value) { setSerialPortSystemLocation(value.toString()); });
    take(BUS_NAME(serialNumber), [this](const QVariant &value) { setSerialPortSerialNumber(value.toString()); });
    take(BUS_NAME(baudRate), [this](const QVariant &value) { setBaudrate(value.toInt()); });
    take(BUS_NAME(updating), [this](const QVariant &value) { setUpdating(value.toBool()); });
    take(BUS_NAME(updatePhase), [this](const QVariant &value) {
        setUpdatePhase(fromBus(value, FirmwareUpdate::PhaseIdle));
        if (!m_updates.isEmpty() && m_updates.constFirst() && updating())
            m_updates.constFirst()->setPhase(updatePhase());
    });
    take(BUS_NAME(updatePercentage), [this](const QVariant &value) {
        setUpdatePercentage(value.toDouble());
        if (!m_updates.isEmpty() && m_updates.constFirst() && updating())
            m_updates.constFirst()->setPercentage(updatePercentage());
    });
    take(BUS_NAME(updateError), [this](const QVariant &value) { setUpdateError(fromBus(value, FirmwareUpdate::ErrorNone)); });
    take(BUS_NAME(updateErrorString), [this](const QVariant &value) { setUpdateErrorString(value.toString()); });
    take(BUS_NAME(inhibitedBy), [this](const QVariant &value) { setInhibitedBy(value.toString()); });
    take(BUS_NAME(inhibitReason), [this](const QVariant &value) { setInhibitReason(value.toString()); });
}

Reply *ServiceAdapter::writeDataToVexbus(const QByteArray &data)
{
    return Reply::following(m_proxy->WriteFrame(data), this);
}

Reply *ServiceAdapter::pressIxoButton(NivoraVexbusUsbAdapter::IxoModuleButton button, uint milliSeconds)
{
    return Reply::following(m_proxy->PressButton(Names::moduleName(Names::Module::Ixo),
                                                 Names::buttonName(Names::Module::Ixo, button), milliSeconds), this);
}

Reply *ServiceAdapter::pressRemoteServiceButton(NivoraVexbusUsbAdapter::RemoteServiceModuleButton button, uint milliSeconds)
{
    return Reply::following(m_proxy->PressButton(Names::moduleName(Names::Module::RemoteService),
                                                 Names::buttonName(Names::Module::RemoteService, button), milliSeconds), this);
}

Reply *ServiceAdapter::pressAppConnectorButton(NivoraVexbusUsbAdapter::AppConnectorModuleButton button, uint milliSeconds)
{
    return Reply::following(m_proxy->PressButton(Names::moduleName(Names::Module::AppConnector),
                                                 Names::buttonName(Names::Module::AppConnector, button), milliSeconds), this);
}

Reply *ServiceAdapter::resetController()
{
    return Reply::following(m_proxy->Reset(), this);
}

Reply *ServiceAdapter::enableAppConnectorParameterHandling(bool enable)
{
    return Reply::following(m_proxy->SetParameterHandling(enable), this);
}

Reply *ServiceAdapter::inhibit(const QString &reason)
{
    return Reply::following(m_proxy->Inhibit(reason), this);
}

Reply *ServiceAdapter::uninhibit()
{
    return Reply::following(m_proxy->Uninhibit(), this);
}

Update *ServiceAdapter::updateFirmware(const QUrl &image)
{
    auto *update = new Update(this);
    // The service reads the image from a descriptor this program opened.
    QFile file(image.isLocalFile() ? image.toLocalFile() : image.toString());
    if (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly)) {
        update->finishLater(FirmwareUpdate::ErrorImageUnreadable,
                            tr("Cannot read the image %1: %2").arg(file.fileName(), file.errorString()));
        return update;
    }
    m_updates.append(update);
    auto *watcher = new QDBusPendingCallWatcher(m_proxy->UpdateFromImage(QDBusUnixFileDescriptor(file.handle())), update);
    connect(watcher, &QDBusPendingCallWatcher::finished, update, [this, update, watcher]() {
        watcher->deleteLater();
        m_updates.removeAll(update);
        const QString errorName = watcher->error().name();
        if (!watcher->isError())
            update->finish(FirmwareUpdate::ErrorNone, QString());
        else if (errorName == QLatin1String("org.nivora.Vexbus1.Error.UpdateFailed") && update->error() != FirmwareUpdate::ErrorNone)
            update->finish(update->error(), update->errorString());
        else
            update->finish(updateErrorFromService(errorName), watcher->error().message());
    });
    return update;
}

void ServiceAdapter::onUpdateFinished(bool success, const QString &error, const QString &message)
{
    // The service ends an update with this signal and then answers the call
    // that started it; the reason travels only here by name.
    if (success || m_updates.isEmpty() || !m_updates.constFirst())
        return;
    Update *update = m_updates.constFirst();
    const FirmwareUpdate::Error reason = fromBus(error, FirmwareUpdate::ErrorNone);
    if (reason != FirmwareUpdate::ErrorNone)
        update->setOutcome(reason, message);
}
