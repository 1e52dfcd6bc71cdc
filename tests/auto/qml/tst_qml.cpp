// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The QML module's types in Qt Quick Test: vexbusd as a process on a
// private bus like the system bus, owning a mocked adapter whose controller
// is an emulator in this process; a second mocked adapter, which the
// service leaves alone, for the in-process adapter; and the panel example's
// pictures compared with reviewed references. The QML tests reach all of
// it through the context property "harness".
#include "privatebus.h"
#include "testplatform.h"
#include "toolprocess.h"
#include "vexbusemulator.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlFileSelector>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QtQuickTest>

#include <cstdio>
#include <memory>

using NivoraTest::TestPlatform;
using NivoraVexbusUsbEmulator::RecordedRequest;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

const QString serviceName = QStringLiteral("org.nivora.Vexbus1");

// Runs the event loop until done() holds or timeoutMs passed.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

} // namespace

class Harness : public QObject
{
    Q_OBJECT

public:
    // The emulator behind the adapter that vexbusd shares, and the one behind
    // the adapter left to the in-process adapter.
    enum EmulatorIndex { ServiceEmulator = 0, LocalEmulator = 1 };
    Q_ENUM(EmulatorIndex)

    bool setUp()
    {
        m_platform.reset(new TestPlatform);
        m_platform->addAdapter(QStringLiteral("A5XK1234"));
        m_platform->addAdapter(QStringLiteral("C3PO0042"), QStringLiteral("ttyUSB1"));
        for (int i = 0; i < 2; ++i) {
            m_emulators[i].reset(new VexbusEmulator);
            if (!m_emulators[i]->attach(m_platform->masterFd(QStringLiteral("ttyUSB%1").arg(i))))
                return false;
        }
        // This process's system bus is the private one; Qt connects to it once.
        if (!m_bus.start({QStringLiteral(VEXBUSD_POLICY)}))
            return false;
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toUtf8());
        QFile settings(m_directory.filePath(QStringLiteral("vexbusd.conf")));
        if (!settings.open(QIODevice::WriteOnly))
            return false;
        settings.write("[Adapters]\nIgnore=C3PO0042\n");
        return true;
    }

    // Starts vexbusd and waits until it shares its adapter, available.
    Q_INVOKABLE bool startService()
    {
        stopService();
        m_vexbusd.reset(new QProcess);
        // Its whole log goes to a file, shown when a test failed.
        m_vexbusd->setProcessChannelMode(QProcess::ForwardedOutputChannel);
        m_serviceLogs.append(m_directory.filePath(QStringLiteral("vexbusd-%1.log").arg(m_serviceLogs.size() + 1)));
        m_vexbusd->setStandardErrorFile(m_serviceLogs.constLast());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_directory.filePath(QStringLiteral("cache")));
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=true"));
        environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{time process} %{category} %{type}: %{message}"));
        m_vexbusd->setProcessEnvironment(environment);
        m_vexbusd->start(QStringLiteral(VEXBUSD), {QStringLiteral("--config"), m_directory.filePath(QStringLiteral("vexbusd.conf"))});
        QDBusConnection bus = QDBusConnection::systemBus();
        return waitFor([&bus]() { return bus.interface()->isServiceRegistered(serviceName).value(); }, 10000);
    }

    Q_INVOKABLE bool stopService()
    {
        if (!m_vexbusd)
            return true;
        m_vexbusd->terminate();
        const bool ended = NivoraTest::waitForFinished(m_vexbusd.get(), 5000) && m_vexbusd->exitStatus() == QProcess::NormalExit
                && m_vexbusd->exitCode() == 0;
        m_vexbusd.reset();
        return ended;
    }

    void printServiceLogs() const
    {
        for (const QString &log : m_serviceLogs) {
            QFile file(log);
            if (file.open(QIODevice::ReadOnly))
                std::fprintf(stderr, "--- %s\n%s", qPrintable(log), file.readAll().constData());
        }
    }

    // The port of the adapter that the service leaves alone.
    Q_INVOKABLE QString localPort() const { return TestPlatform::devicePath(QStringLiteral("ttyUSB1")); }
    Q_INVOKABLE QUrl sampleFirmware() const { return QUrl::fromLocalFile(QStringLiteral(SAMPLE_FIRMWARE)); }
    // A file that is not a firmware image.
    Q_INVOKABLE QUrl invalidFirmware() const { return QUrl::fromLocalFile(QStringLiteral(VEXBUSD_POLICY)); }

    // The emulators as they start: a controller running 1.4.12, on a
    // synchronized, initialized and available bus, answering everything.
    Q_INVOKABLE void resetEmulators()
    {
        for (auto &emulator : m_emulators) {
            emulator->setSilent(false);
            emulator->clearCommandErrors();
            emulator->stopBusTraffic();
            emulator->setFirmwareVersion(QVersionNumber(1, 4, 12));
            if (emulator->mode() != VexbusEmulator::ModeController)
                emulator->setMode(VexbusEmulator::ModeController);
            emulator->setStatus(NivoraVexbusUsbEmulator::ControllerStatus(), true);
            emulator->clearRequests();
        }
    }

    // The controller's application is gone and its bootloader waits, as
    // after an interrupted update; resetEmulators() brings the application back.
    Q_INVOKABLE void enterBootloader(int emulator)
    {
        m_emulators[emulator]->setMode(VexbusEmulator::ModeBootloader);
    }

    Q_INVOKABLE void setStatus(int emulator, int ledMode, int statusFlags, int busType)
    {
        m_emulators[emulator]->setLedMode(quint8(ledMode), false);
        m_emulators[emulator]->setBusType(quint8(busType), false);
        m_emulators[emulator]->setStatusFlags(quint8(statusFlags), true);
    }

    Q_INVOKABLE bool sendFrame(int emulator, const QString &hex)
    {
        return m_emulators[emulator]->sendBusData(QByteArray::fromHex(hex.toLatin1()));
    }

    // The controller's answer to command with the error code.
    Q_INVOKABLE void setCommandError(int emulator, int command, int code)
    {
        m_emulators[emulator]->setCommandError(VexbusEmulator::ModeController, quint8(command), quint8(code));
    }

    // The payloads of the requests with this command that the controller received, in hex.
    Q_INVOKABLE QStringList requests(int emulator, int command) const
    {
        QStringList payloads;
        for (const RecordedRequest &request : m_emulators[emulator]->requests(RecordedRequest::ProtocolController, quint8(command)))
            payloads << QString::fromLatin1(request.payload().toHex());
        return payloads;
    }

    // Takes the adapter as another program on the bus would.
    Q_INVOKABLE QString inhibitAsOtherProgram(const QString &objectPath, const QString &reason)
    {
        QDBusConnection other = QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("other-program"));
        QDBusMessage call = QDBusMessage::createMethodCall(serviceName, objectPath, QStringLiteral("org.nivora.Vexbus1.Adapter"),
                                                           QStringLiteral("Inhibit"));
        call << reason;
        QDBusPendingCall pending = other.asyncCall(call);
        waitFor([&pending]() { return pending.isFinished(); }, 10000);
        return pending.isError() ? QString() : other.baseService();
    }

    // The other program leaves the bus, and its lease with it.
    Q_INVOKABLE void leaveAsOtherProgram()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("other-program"));
    }

    // Where a test saves its grab of the panel: the test's working folder,
    // where it stays for review when it differs from its reference.
    Q_INVOKABLE QString pictureFile(const QString &name) const
    {
        return QStringLiteral("%1/%2-qt%3.png").arg(QDir::currentPath(), name).arg(QT_VERSION_MAJOR);
    }

    // Compares the picture in pictureFile(name) with its reviewed reference
    // pictures/qtN/name.png. Empty when they match; otherwise why not.
    Q_INVOKABLE QString comparePicture(const QString &name) const
    {
        const QString referenceName = QStringLiteral("%1/qt%2/%3.png").arg(QStringLiteral(PICTURE_DIR)).arg(QT_VERSION_MAJOR).arg(name);
        const QImage actual = QImage(pictureFile(name)).convertToFormat(QImage::Format_RGB32);
        const QImage reference = QImage(referenceName).convertToFormat(QImage::Format_RGB32);
        if (actual.isNull())
            return QStringLiteral("no picture was grabbed");
        const QString verdict = differences(actual, reference);
        if (verdict.isEmpty()) {
            QFile::remove(pictureFile(name));
            return QString();
        }
        return QStringLiteral("%1 (reference %2, this run's picture %3)").arg(verdict, referenceName, pictureFile(name));
    }

private:
    // Font hinting and anti-aliasing move the edges of glyphs by a pixel or
    // two and change their grey: such a pixel still lies within the colours
    // of its 5 x 5 neighbourhood in the other picture, and the few that do
    // not lie scattered along the text. A missing or added element, even a
    // pale dot, leaves a patch of pixels far outside them.
    static void markStrangers(const QImage &picture, const QImage &other, QVector<int> *mask)
    {
        constexpr int tolerance = 16; // of 255, per channel
        constexpr int reach = 2; // pixels to each side
        for (int y = 0; y < picture.height(); ++y) {
            const QRgb *line = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
            for (int x = 0; x < picture.width(); ++x) {
                int low[3] = {255, 255, 255};
                int high[3] = {0, 0, 0};
                for (int ny = qMax(0, y - reach); ny <= qMin(other.height() - 1, y + reach); ++ny) {
                    const QRgb *near = reinterpret_cast<const QRgb *>(other.constScanLine(ny));
                    for (int nx = qMax(0, x - reach); nx <= qMin(other.width() - 1, x + reach); ++nx) {
                        const int channels[3] = {qRed(near[nx]), qGreen(near[nx]), qBlue(near[nx])};
                        for (int c = 0; c < 3; ++c) {
                            low[c] = qMin(low[c], channels[c]);
                            high[c] = qMax(high[c], channels[c]);
                        }
                    }
                }
                const int channels[3] = {qRed(line[x]), qGreen(line[x]), qBlue(line[x])};
                for (int c = 0; c < 3; ++c) {
                    if (channels[c] < low[c] - tolerance || channels[c] > high[c] + tolerance) {
                        (*mask)[y * picture.width() + x] = 1;
                        break;
                    }
                }
            }
        }
    }

    static QString differences(const QImage &actual, const QImage &reference)
    {
        if (reference.isNull())
            return QStringLiteral("no reference picture");
        if (actual.size() != reference.size())
            return QStringLiteral("size %1x%2 instead of %3x%4").arg(actual.width()).arg(actual.height())
                    .arg(reference.width()).arg(reference.height());
        const int width = actual.width();
        const int height = actual.height();
        QVector<int> mask(width * height, 0);
        markStrangers(reference, actual, &mask);
        markStrangers(actual, reference, &mask);
        // The densest 8 x 8 square of such pixels, from the sums of the
        // rectangles above and left of each pixel.
        constexpr int square = 8;
        // Rendering without hinting instead of with it leaves at most 5 in a
        // square of these pictures; the smallest element, a bus flag's pale
        // dot, leaves 64 when it is missing.
        constexpr int allowed = 16;
        QVector<int> sums((width + 1) * (height + 1), 0);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x)
                sums[(y + 1) * (width + 1) + x + 1] = mask[y * width + x] + sums[y * (width + 1) + x + 1]
                        + sums[(y + 1) * (width + 1) + x] - sums[y * (width + 1) + x];
        }
        int densest = 0;
        QPoint where;
        for (int y = 0; y + square <= height; ++y) {
            for (int x = 0; x + square <= width; ++x) {
                const int count = sums[(y + square) * (width + 1) + x + square] - sums[y * (width + 1) + x + square]
                        - sums[(y + square) * (width + 1) + x] + sums[y * (width + 1) + x];
                if (count > densest) {
                    densest = count;
                    where = QPoint(x, y);
                }
            }
        }
        if (densest <= allowed)
            return QString();
        return QStringLiteral("%1 pixels of the %2 x %2 square at %3,%4 differ").arg(densest).arg(square).arg(where.x()).arg(where.y());
    }

    std::unique_ptr<TestPlatform> m_platform;
    std::unique_ptr<VexbusEmulator> m_emulators[2];
    NivoraTest::PrivateBus m_bus;
    QTemporaryDir m_directory;
    std::unique_ptr<QProcess> m_vexbusd;
    QStringList m_serviceLogs;
};

class Setup : public QObject
{
    Q_OBJECT

public slots:
    void applicationAvailable()
    {
        // The panel's pictures are taken in one style and with the software
        // renderer on every machine: the offscreen platform has no OpenGL.
        QQuickWindow::setSceneGraphBackend(QStringLiteral("software"));
        QQuickStyle::setStyle(QString::fromLatin1(QT_VERSION_MAJOR == 6 ? "Basic" : "Default"));
        qmlRegisterUncreatableType<Harness>("NivoraTest", 1, 0, "Harness", QStringLiteral("is the context property harness"));
        if (!m_harness.setUp())
            qFatal("The mocked adapters, their emulators or the private bus did not start");
    }

    void qmlEngineAvailable(QQmlEngine *engine)
    {
        engine->addImportPath(QStringLiteral(NIVORA_QML_BUILD_DIR));
        if (QT_VERSION_MAJOR == 6)
            (new QQmlFileSelector(engine, engine))->setExtraSelectors({QStringLiteral("qt6")});
        engine->rootContext()->setContextProperty(QStringLiteral("harness"), &m_harness);
    }

    void cleanupTestCase()
    {
        m_harness.stopService();
    }

public:
    void printServiceLogs() const { m_harness.printServiceLogs(); }

private:
    Harness m_harness;
};

int main(int argc, char **argv)
{
    Setup setup;
    const int failures = quick_test_main_with_setup(argc, argv, "qml", QUICK_TEST_SOURCE_DIR, &setup);
    if (failures)
        setup.printServiceLogs();
    return failures;
}

#include "tst_qml.moc"
