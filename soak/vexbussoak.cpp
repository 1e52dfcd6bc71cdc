// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbus-soak [--seconds N] [--seed N]: runs an adapter (found by its serial
// number) against the emulated controller on the mocked platform for a
// given time: continuous bus traffic, one command of the application at a
// time, and every few seconds a fault from the emulator's set (dropped,
// corrupt and late responses, silence, command errors, vanish and replug,
// updates interrupted at a random row and then recovered by a new update).
// At the end it prints its counts and whether every check held. Run it
// under umockdev-wrapper, as make soak does.

#include "adapter/nivoravexbususbadapter.h"
#include "soaksupport.h"
#include "testplatform.h"
#include "vexbusemulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QMap>
#include <QMetaEnum>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>

using namespace NivoraVexbusUsb;
using NivoraVexbusUsbEmulator::VexbusEmulator;

namespace {

const QString serialNumber = QStringLiteral("SOAK0001");
const QString device = QStringLiteral("ttyUSB0");
// A command's reply times out after 2000 ms; its outcome may take a little
// longer to arrive on a loaded machine, never much longer.
constexpr qint64 outcomeDeadline = 2500;
constexpr quint8 programRowCommand = 0x39;
using NivoraSoak::imageRows;
using NivoraSoak::Resources;
using NivoraSoak::sampleResources;

} // namespace

class VexbusSoak : public QObject
{
public:
    VexbusSoak(int seconds, quint32 seed) :
        m_seconds(seconds),
        m_random(seed)
    {
        QFile image(m_image);
        if (image.open(QIODevice::WriteOnly))
            image.write(NivoraSoak::imageText());
        // The device stops in the middle of what it does, udev reports its
        // removal a little later, and it comes back. Its tty keeps its PTY: a
        // hang-up would free the PTY's number, which umockdev cannot give to a
        // device plugged later.
        connect(&m_emulator, &VexbusEmulator::vanished, this, [this]() {
            later(300, [this]() { m_platform.unplug(device); });
            later(800, [this]() {
                m_platform.plug(serialNumber, device);
                m_emulator.attach(m_platform.masterFd(device));
                ++m_counts["replugs"];
            });
        });
        m_platform.addAdapter(serialNumber, device);
        m_emulator.attach(m_platform.masterFd(device));

        // Created after the device.
        m_adapter = std::make_unique<NivoraVexbusUsbAdapter>(serialNumber);
        connect(m_adapter.get(), &NivoraVexbusUsbAdapter::commandFinished, this, &VexbusSoak::onCommandFinished);
        connect(m_adapter.get(), &NivoraVexbusUsbAdapter::vexbusFrameReceived, this, &VexbusSoak::onFrameReceived);
        connect(m_adapter.get(), &NivoraVexbusUsbAdapter::availableChanged, this, [this](bool available) {
            if (available)
                return;
            // Frames on their way when a connection ends are not owed.
            m_framesInFlight.clear();
            ++m_counts["disconnections"];
        });
        connect(m_adapter.get(), &NivoraVexbusUsbAdapter::updateFinished, this, &VexbusSoak::onUpdateFinished);
        m_commandTimer.callOnTimeout(this, &VexbusSoak::onCommandTimer);
        m_trafficTimer.callOnTimeout(this, &VexbusSoak::onTrafficTimer);
        m_faultTimer.setSingleShot(true);
        m_faultTimer.callOnTimeout(this, [this]() {
            if (m_phase == PhaseRunning)
                injectFault();
            if (m_phase != PhaseSettling)
                m_faultTimer.start(2000 + m_random.bounded(3000));
        });
    }

    // Runs the event loop until the time is up; the exit code says whether
    // every check held.
    int run()
    {
        m_clock.start();
        m_adapter->start();
        m_commandTimer.start(150);
        m_trafficTimer.start(20);
        m_faultTimer.start(3000);
        // Faults end early enough for the last one to be recovered from.
        later((m_seconds - qMin(20, m_seconds / 3)) * 1000, [this]() { onEndOfFaults(); });
        later(m_seconds * 1000, [this]() { onEnd(); });
        // Resources are compared with their size after a warm-up.
        later(qBound(8, m_seconds / 6, 60) * 1000, [this]() { sampleWarmUp(); });
        // At least one interrupted update in every run.
        later(m_seconds * 400, [this]() { m_updateDue = true; });
        return QCoreApplication::exec();
    }

private:
    enum Phase { PhaseRunning, PhaseUpdating, PhaseRecovering, PhaseSettling };

    void later(int ms, const std::function<void()> &step) { QTimer::singleShot(ms, this, step); }

    void onCommandTimer()
    {
        m_emulator.clearRequests();
        if (m_commandClock.isValid() && m_commandClock.elapsed() > outcomeDeadline + 1000) {
            ++m_counts["commands without outcome"];
            m_commandClock.invalidate();
        }
        if (m_commandClock.isValid() || !m_adapter->available() || m_adapter->updating())
            return;
        m_commandClock.start();
        ++m_counts["commands given"];
        const int command = m_random.bounded(10);
        if (command == 0)
            m_adapter->resetController();
        else if (command <= 3)
            m_adapter->writeDataToVexbus(QByteArray::fromHex("0a1b2c3d"));
        else if (command == 4)
            m_adapter->enableAppConnectorParameterHandling(m_random.bounded(2) == 1);
        else
            m_adapter->pressIxoButton(NivoraVexbusUsbAdapter::IxoModuleButtonPlus, 100);
    }

    void onCommandFinished(NivoraVexbusUsbUtils::Command, NivoraVexbusUsbReply::Error error)
    {
        ++m_counts["outcome " + QByteArray(QMetaEnum::fromType<NivoraVexbusUsbReply::Error>().valueToKey(error))];
        if (!m_commandClock.isValid()) {
            ++m_counts["outcomes without a command"];
            return;
        }
        const qint64 elapsed = m_commandClock.elapsed();
        m_commandClock.invalidate();
        m_slowestOutcome = qMax(m_slowestOutcome, elapsed);
        if (elapsed > outcomeDeadline)
            ++m_counts["outcomes after the time-out"];
    }

    // Bus frames carry a running number; a frame sent while the adapter was
    // available is lost if a later one arrives first on the same connection
    // (the frames in flight are forgotten when a connection ends, and none
    // are noted until the next one is up).
    void onTrafficTimer()
    {
        QByteArray frame(4, '\0');
        qToBigEndian(m_nextFrame, frame.data());
        if (m_emulator.sendBusData(frame)) {
            ++m_counts["frames sent"];
            if (m_adapter->available())
                m_framesInFlight.push_back(m_nextFrame);
        }
        ++m_nextFrame;
    }

    void onFrameReceived(const QByteArray &frame)
    {
        ++m_counts["frames received"];
        if (frame.size() != 4)
            return;
        const quint32 number = qFromBigEndian<quint32>(frame.constData());
        while (!m_framesInFlight.empty() && m_framesInFlight.front() <= number) {
            if (m_framesInFlight.front() < number)
                ++m_counts["frames lost"];
            m_framesInFlight.pop_front();
        }
    }

    void injectFault()
    {
        if (m_updateDue && m_adapter->available()) {
            m_updateDue = false;
            startInterruptedUpdate();
            return;
        }
        const auto commandError = [this]() {
            const quint8 command = static_cast<quint8>(QByteArray::fromHex("1041a0").at(m_random.bounded(3)));
            m_emulator.setCommandError(VexbusEmulator::ModeController, command, 0x06);
            later(2500, [this, command]() { m_emulator.clearCommandError(VexbusEmulator::ModeController, command); });
        };
        // An update started here is counted as an interrupted one.
        const std::pair<const char *, std::function<void()>> faults[] = {
            {"fault: dropped response", [this]() { m_emulator.dropResponses(1); }},
            {"fault: corrupt checksum", [this]() { m_emulator.corruptNextResponse(); }},
            {"fault: late responses", [this]() { m_emulator.setResponseDelay(2300); later(3000, [this]() { m_emulator.setResponseDelay(0); }); }},
            {"fault: silence", [this]() { m_emulator.setSilent(true); later(1000 + m_random.bounded(6000), [this]() { m_emulator.setSilent(false); }); }},
            {"fault: command error", commandError},
            {"fault: command error", commandError},
            {"fault: vanish and replug", [this]() { m_emulator.vanish(); }},
            {nullptr, [this]() { if (m_adapter->available() && m_clock.elapsed() < (m_seconds - 40) * 1000) startInterruptedUpdate(); }},
        };
        const auto &fault = faults[m_random.bounded(8)];
        if (fault.first)
            ++m_counts[fault.first];
        fault.second();
    }

    void startInterruptedUpdate()
    {
        m_phase = PhaseUpdating;
        ++m_counts["updates interrupted"];
        m_emulator.vanishOnCommand(VexbusEmulator::ModeBootloader, programRowCommand, 1 + m_random.bounded(imageRows));
        m_adapter->startFirmwareUpdate(m_image);
    }

    void onUpdateFinished(bool success)
    {
        if (m_phase != PhaseUpdating && m_phase != PhaseRecovering)
            return;
        if (m_phase == PhaseRecovering && success) {
            ++m_counts["updates recovered"];
            m_phase = PhaseRunning;
            return;
        }
        ++m_counts[m_phase == PhaseRecovering ? "recoveries retried" : success ? "interrupted updates that succeeded" : "interrupted updates failed"];
        // The controller is left in its bootloader; a new update finds it
        // there.
        m_phase = PhaseRecovering;
        later(3000, [this]() { m_adapter->startFirmwareUpdate(m_image); });
    }

    void onEndOfFaults()
    {
        if (m_phase == PhaseRunning)
            m_phase = PhaseSettling;
        else
            later(1000, [this]() { onEndOfFaults(); });
        m_emulator.setSilent(false);
        m_emulator.setResponseDelay(0);
        m_emulator.clearCommandErrors();
    }

    // In the same condition as at the end: the adapter connected and no
    // command on its way (a fault may have the port closed just then).
    void sampleWarmUp()
    {
        if (!m_adapter->available() || m_commandClock.isValid()) {
            later(50, [this]() { sampleWarmUp(); });
            return;
        }
        m_warm = sampleResources();
    }

    void onEnd()
    {
        m_faultTimer.stop();
        // Resources are compared in the same condition as at the warm-up: the
        // adapter connected and no command on its way.
        for (QDeadlineTimer wait(20000); !wait.hasExpired() && (!m_adapter->available() || m_commandClock.isValid() || m_phase != PhaseSettling);)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        m_commandTimer.stop();
        m_trafficTimer.stop();
        QCoreApplication::exit(report() ? 0 : 1);
    }

    bool report()
    {
        const Resources end = sampleResources();
        std::printf("soak: %d s\n", m_seconds);
        for (auto it = m_counts.cbegin(); it != m_counts.cend(); ++it)
            std::printf("  %-36s %lld\n", it.key().constData(), static_cast<long long>(it.value()));
        std::printf("  %-36s %lld ms\n", "slowest outcome", static_cast<long long>(m_slowestOutcome));
        std::printf("  %-36s %lld KiB after warm-up, %lld KiB at the end\n", "resident memory",
                    static_cast<long long>(m_warm.rss / 1024), static_cast<long long>(end.rss / 1024));
        std::printf("  %-36s %d after warm-up, %d at the end\n", "open file descriptors", m_warm.fds, end.fds);

        const std::pair<const char *, bool> checks[] = {
            {"every command ended in an outcome within its time-out",
             m_counts.value("commands without outcome") == 0 && m_counts.value("outcomes after the time-out") == 0
                 && m_counts.value("outcomes without a command") == 0 && m_adapter->available() && !m_commandClock.isValid()},
            {"every interrupted update was recovered by a new update",
             m_counts.value("updates interrupted") > 0 && m_counts.value("updates recovered") == m_counts.value("updates interrupted")},
            {"no bus frame lost while the link was up", m_counts.value("frames lost") == 0 && m_counts.value("frames received") > 0},
            {"resident memory grew by less than 1 MiB after warm-up", m_warm.rss > 0 && end.rss - m_warm.rss < 1024 * 1024},
            {"open file descriptors stayed constant", m_warm.fds > 0 && end.fds == m_warm.fds},
        };
        bool held = true;
        for (const auto &check : checks) {
            std::printf("%s: %s\n", check.second ? "ok" : "FAILED", check.first);
            held = held && check.second;
        }
        std::fflush(stdout);
        return held;
    }

    int m_seconds;
    QRandomGenerator m_random;
    QTemporaryDir m_directory;
    const QString m_image = m_directory.filePath(QStringLiteral("soak.cyacd"));
    NivoraTest::TestPlatform m_platform;
    VexbusEmulator m_emulator;
    Phase m_phase = PhaseRunning;
    bool m_updateDue = false;
    QElapsedTimer m_clock;
    QTimer m_commandTimer;
    QTimer m_trafficTimer;
    QTimer m_faultTimer;

    // Since when the command given is on its way (invalid while none is);
    // an outcome must follow within the reply's time-out.
    QElapsedTimer m_commandClock;
    qint64 m_slowestOutcome = 0;

    quint32 m_nextFrame = 0;
    std::deque<quint32> m_framesInFlight;

    QMap<QByteArray, qint64> m_counts;
    Resources m_warm;
    // Last, so that it goes first: it closes its port while the mocked
    // platform and everything its signals reach still exist.
    std::unique_ptr<NivoraVexbusUsbAdapter> m_adapter;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("An adapter against the emulated controller, with faults, for a while."));
    parser.addHelpOption();
    parser.addOptions({{QStringLiteral("seconds"), QStringLiteral("How long to run (default 600)."), QStringLiteral("N"), QStringLiteral("600")},
                       {QStringLiteral("seed"), QStringLiteral("Seed of the random faults (default: from the clock)."), QStringLiteral("N"),
                        QString::number(static_cast<quint32>(QDateTime::currentMSecsSinceEpoch()))}});
    parser.process(application);
    const int seconds = parser.value(QStringLiteral("seconds")).toInt();
    if (seconds < 30) {
        std::fprintf(stderr, "vexbus-soak: --seconds takes at least 30\n");
        return 2;
    }
    const quint32 seed = parser.value(QStringLiteral("seed")).toUInt();
    std::printf("soak: seed %u\n", seed);
    // The faults make the library warn all the time; the counts tell more.
    QLoggingCategory::setFilterRules(QStringLiteral("VexbusUsb*=false"));
    return VexbusSoak(seconds, seed).run();
}
