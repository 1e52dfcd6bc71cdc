#include "vexbussoak.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMetaEnum>

#include <cstdio>
#include <unistd.h>

using namespace NivoraVexbusUsb;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

const QString serialNumber = QStringLiteral("SOAK0001");
// A command's reply times out after 2000 ms; its outcome may take a little
// longer to arrive on a loaded machine, never much longer.
constexpr qint64 outcomeDeadline = 2500;
constexpr quint8 programRowCommand = 0x39;

// Rows of the emulated bootloader's flash start at 0x22.
QByteArray rowLine(quint16 rowNumber, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append('\0').append(static_cast<char>(rowNumber >> 8)).append(static_cast<char>(rowNumber & 0xFF));
    bytes.append(static_cast<char>(data.size() >> 8)).append(static_cast<char>(data.size() & 0xFF)).append(data);
    quint8 sum = 0;
    for (const char byte : bytes)
        sum = static_cast<quint8>(sum + static_cast<quint8>(byte));
    bytes.append(static_cast<char>(static_cast<quint8>(-sum)));
    return ':' + bytes.toHex().toUpper();
}

} // namespace

VexbusSoak::VexbusSoak(int seconds, quint32 seed, QObject *parent) :
    QObject(parent),
    m_seconds(seconds),
    m_random(seed)
{
    writeImage();
    connect(&m_emulator, &VexbusEmulator::vanished, this, &VexbusSoak::onEmulatorVanished);
    m_device = QStringLiteral("ttyUSB0");
    m_platform.addAdapter(serialNumber, m_device);
    m_emulator.attach(m_platform.masterFd(m_device));

    m_adapter = new NivoraVexbusUsbAdapter(serialNumber, this);
    connect(m_adapter, &NivoraVexbusUsbAdapter::commandFinished, this,
            [this](NivoraVexbusUsbUtils::Command command, NivoraVexbusUsbReply::Error error) { onCommandFinished(command, error); });
    connect(m_adapter, &NivoraVexbusUsbAdapter::vexbusFrameReceived, this, &VexbusSoak::onFrameReceived);
    connect(m_adapter, &NivoraVexbusUsbAdapter::availableChanged, this, &VexbusSoak::onAvailableChanged);
    connect(m_adapter, &NivoraVexbusUsbAdapter::updateFinished, this, &VexbusSoak::onUpdateFinished);

    m_commandTimer.setInterval(150);
    connect(&m_commandTimer, &QTimer::timeout, this, &VexbusSoak::onCommandTimer);
    m_trafficTimer.setInterval(20);
    connect(&m_trafficTimer, &QTimer::timeout, this, &VexbusSoak::onTrafficTimer);
    m_faultTimer.setSingleShot(true);
    connect(&m_faultTimer, &QTimer::timeout, this, &VexbusSoak::onFaultTimer);
}

VexbusSoak::~VexbusSoak()
{
    // The adapter closes its port while the mocked platform still exists.
    delete m_adapter;
}

void VexbusSoak::writeImage()
{
    QByteArray text = "123456780000\n";
    m_imageRows = 12;
    for (int row = 0; row < m_imageRows; ++row) {
        QByteArray data(64, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(row * 13 + i);
        text += rowLine(static_cast<quint16>(0x22 + row), data) + '\n';
    }
    m_image = m_directory.filePath(QStringLiteral("soak.cyacd"));
    QFile file(m_image);
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
}

int VexbusSoak::run()
{
    m_clock.start();
    m_adapter->start();
    m_commandTimer.start();
    m_trafficTimer.start();
    m_faultTimer.start(3000);
    // Faults end early enough for the last one to be recovered from.
    const int settle = qMin(20, m_seconds / 3);
    QTimer::singleShot((m_seconds - settle) * 1000, this, &VexbusSoak::onEndOfFaults);
    QTimer::singleShot(m_seconds * 1000, this, &VexbusSoak::onEnd);
    // Resources are compared with their size after a warm-up.
    const int warmUp = qBound(8, m_seconds / 6, 60);
    QTimer::singleShot(warmUp * 1000, this, [this]() { sampleResources(&m_warmRss, &m_warmFds); });
    // At least one interrupted update in every run.
    QTimer::singleShot(m_seconds * 400, this, [this]() { m_counts[QStringLiteral("updates due")] = 1; });
    return QCoreApplication::exec();
}

void VexbusSoak::plugDevice()
{
    m_platform.plug(serialNumber, m_device);
    m_emulator.attach(m_platform.masterFd(m_device));
    ++m_counts[QStringLiteral("replugs")];
}

void VexbusSoak::onEmulatorVanished()
{
    // The device stops in the middle of what it does, udev reports its
    // removal a little later, and it comes back. Its tty keeps its PTY: a
    // hang-up would free the PTY's number, which umockdev cannot give to a
    // device plugged later.
    QTimer::singleShot(300, this, [this]() { m_platform.unplug(m_device); });
    QTimer::singleShot(800, this, &VexbusSoak::plugDevice);
}

void VexbusSoak::onCommandTimer()
{
    m_emulator.clearRequests();
    if (m_commandPending && m_commandClock.elapsed() > outcomeDeadline + 1000) {
        ++m_counts[QStringLiteral("commands without outcome")];
        m_commandPending = false;
    }
    if (!m_commandPending && m_adapter->available() && !m_adapter->updating())
        giveCommand();
}

void VexbusSoak::giveCommand()
{
    m_commandPending = true;
    m_commandClock.start();
    ++m_counts[QStringLiteral("commands given")];
    switch (m_random.bounded(10)) {
    case 0:
        m_adapter->resetController();
        break;
    case 1:
    case 2:
    case 3:
        m_adapter->writeDataToVexbus(QByteArray::fromHex("0a1b2c3d"));
        break;
    case 4:
        m_adapter->enableAppConnectorParameterHandling(m_random.bounded(2) == 1);
        break;
    default:
        m_adapter->pressIxoButton(NivoraVexbusUsbAdapter::IxoModuleButtonPlus, 100);
        break;
    }
}

void VexbusSoak::onCommandFinished(NivoraVexbusUsbUtils::Command command, NivoraVexbusUsbReply::Error error)
{
    Q_UNUSED(command)
    const char *name = QMetaEnum::fromType<NivoraVexbusUsbReply::Error>().valueToKey(error);
    ++m_counts[QStringLiteral("outcome %1").arg(QString::fromLatin1(name ? name : "?"))];
    if (!m_commandPending) {
        ++m_counts[QStringLiteral("outcomes without a command")];
        return;
    }
    m_commandPending = false;
    const qint64 elapsed = m_commandClock.elapsed();
    m_slowestOutcome = qMax(m_slowestOutcome, elapsed);
    if (elapsed > outcomeDeadline)
        ++m_counts[QStringLiteral("outcomes after the time-out")];
}

void VexbusSoak::onTrafficTimer()
{
    const quint32 number = m_nextFrame++;
    QByteArray frame(4, '\0');
    for (int i = 0; i < 4; ++i)
        frame[i] = static_cast<char>((number >> (24 - 8 * i)) & 0xFF);
    if (!m_emulator.sendBusData(frame))
        return;
    ++m_counts[QStringLiteral("frames sent")];
    if (m_adapter->available())
        m_framesInFlight.emplace_back(number, m_connection);
}

void VexbusSoak::onFrameReceived(const QByteArray &frame)
{
    ++m_counts[QStringLiteral("frames received")];
    if (frame.size() != 4)
        return;
    quint32 number = 0;
    for (const char byte : frame)
        number = (number << 8) | static_cast<quint8>(byte);
    while (!m_framesInFlight.empty() && m_framesInFlight.front().first <= number) {
        if (m_framesInFlight.front().first < number && m_framesInFlight.front().second == m_connection)
            ++m_counts[QStringLiteral("frames lost")];
        m_framesInFlight.pop_front();
    }
}

void VexbusSoak::onAvailableChanged(bool available)
{
    if (available)
        return;
    // Frames on their way when a connection ends are not owed.
    ++m_connection;
    m_framesInFlight.clear();
    ++m_counts[QStringLiteral("disconnections")];
}

void VexbusSoak::onFaultTimer()
{
    if (m_phase == PhaseRunning)
        injectFault();
    if (m_phase != PhaseSettling)
        m_faultTimer.start(2000 + m_random.bounded(3000));
}

void VexbusSoak::injectFault()
{
    if (m_counts.value(QStringLiteral("updates due")) && m_adapter->available()) {
        m_counts.remove(QStringLiteral("updates due"));
        startInterruptedUpdate();
        return;
    }

    switch (m_random.bounded(8)) {
    case 0:
        ++m_counts[QStringLiteral("fault: dropped response")];
        m_emulator.dropResponses(1);
        break;
    case 1:
        ++m_counts[QStringLiteral("fault: corrupt checksum")];
        m_emulator.corruptNextResponse();
        break;
    case 2:
        ++m_counts[QStringLiteral("fault: late responses")];
        m_emulator.setResponseDelay(2300);
        QTimer::singleShot(3000, this, [this]() { m_emulator.setResponseDelay(0); });
        break;
    case 3:
        ++m_counts[QStringLiteral("fault: silence")];
        m_emulator.setSilent(true);
        QTimer::singleShot(1000 + m_random.bounded(6000), this, [this]() { m_emulator.setSilent(false); });
        break;
    case 4:
    case 5: {
        ++m_counts[QStringLiteral("fault: command error")];
        const quint8 commands[] = {0x10, 0x41, 0xA0};
        const quint8 command = commands[m_random.bounded(3)];
        m_emulator.setCommandError(VexbusEmulator::ModeController, command, 0x06);
        QTimer::singleShot(2500, this, [this, command]() {
            m_emulator.clearCommandError(VexbusEmulator::ModeController, command);
        });
        break;
    }
    case 6:
        ++m_counts[QStringLiteral("fault: vanish and replug")];
        m_emulator.vanish();
        break;
    default:
        if (m_adapter->available() && m_clock.elapsed() < (m_seconds - 40) * 1000)
            startInterruptedUpdate();
        break;
    }
}

void VexbusSoak::startInterruptedUpdate()
{
    m_phase = PhaseUpdating;
    ++m_counts[QStringLiteral("updates interrupted")];
    m_emulator.vanishOnCommand(VexbusEmulator::ModeBootloader, programRowCommand, 1 + m_random.bounded(m_imageRows));
    m_adapter->startFirmwareUpdate(m_image);
}

void VexbusSoak::onUpdateFinished(bool success)
{
    if (m_phase == PhaseUpdating) {
        ++m_counts[success ? QStringLiteral("interrupted updates that succeeded") : QStringLiteral("interrupted updates failed")];
        m_phase = PhaseRecovering;
        // The controller is left in its bootloader; a new update finds it
        // there.
        QTimer::singleShot(3000, this, [this]() { m_adapter->startFirmwareUpdate(m_image); });
        return;
    }
    if (m_phase != PhaseRecovering)
        return;

    if (!success) {
        ++m_counts[QStringLiteral("recoveries retried")];
        QTimer::singleShot(3000, this, [this]() { m_adapter->startFirmwareUpdate(m_image); });
        return;
    }
    ++m_counts[QStringLiteral("updates recovered")];
    m_phase = PhaseRunning;
}

void VexbusSoak::onEndOfFaults()
{
    if (m_phase == PhaseRunning)
        m_phase = PhaseSettling;
    else
        QTimer::singleShot(1000, this, &VexbusSoak::onEndOfFaults);
    m_emulator.setSilent(false);
    m_emulator.setResponseDelay(0);
    m_emulator.clearCommandErrors();
}

void VexbusSoak::onEnd()
{
    m_faultTimer.stop();
    // Resources are compared in the same condition as at the warm-up: the
    // adapter connected and no command on its way.
    QElapsedTimer wait;
    wait.start();
    while (wait.elapsed() < 20000 && (!m_adapter->available() || m_commandPending || m_phase != PhaseSettling))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    m_commandTimer.stop();
    m_trafficTimer.stop();
    QCoreApplication::exit(report() ? 0 : 1);
}

void VexbusSoak::sampleResources(qint64 *rss, int *fds) const
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = statm.readAll().split(' ');
        if (fields.size() > 1)
            *rss = fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE);
    }
    *fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).count();
}

bool VexbusSoak::report()
{
    qint64 rss = 0;
    int fds = 0;
    sampleResources(&rss, &fds);

    std::printf("soak: %d s\n", m_seconds);
    for (auto it = m_counts.cbegin(); it != m_counts.cend(); ++it)
        std::printf("  %-36s %lld\n", qPrintable(it.key()), static_cast<long long>(it.value()));
    std::printf("  %-36s %lld ms\n", "slowest outcome", static_cast<long long>(m_slowestOutcome));
    std::printf("  %-36s %lld KiB after warm-up, %lld KiB at the end\n", "resident memory",
                static_cast<long long>(m_warmRss / 1024), static_cast<long long>(rss / 1024));
    std::printf("  %-36s %d after warm-up, %d at the end\n", "open file descriptors", m_warmFds, fds);

    const auto count = [this](const char *key) { return m_counts.value(QString::fromLatin1(key)); };
    struct Check { const char *text; bool held; };
    const Check checks[] = {
        {"every command ended in an outcome within its time-out",
         count("commands without outcome") == 0 && count("outcomes after the time-out") == 0
             && count("outcomes without a command") == 0 && m_adapter->available() && !m_commandPending},
        {"every interrupted update was recovered by a new update",
         count("updates interrupted") > 0 && count("updates recovered") == count("updates interrupted")},
        {"no bus frame lost while the link was up", count("frames lost") == 0 && count("frames received") > 0},
        {"resident memory grew by less than 1 MiB after warm-up", m_warmRss > 0 && rss - m_warmRss < 1024 * 1024},
        {"open file descriptors stayed constant", m_warmFds > 0 && fds == m_warmFds},
    };
    bool held = true;
    for (const Check &check : checks) {
        std::printf("%s: %s\n", check.held ? "ok" : "FAILED", check.text);
        held = held && check.held;
    }
    std::fflush(stdout);
    return held;
}
