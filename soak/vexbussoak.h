#ifndef VEXBUSSOAK_H
#define VEXBUSSOAK_H

#include "adapter/nivoravexbususbadapter.h"
#include "testplatform.h"
#include "vexbusemulator.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <deque>

// Runs an adapter (found by its serial number) against the emulated
// controller on the mocked platform for a given time: continuous bus
// traffic, one command of the application at a time, and every few seconds
// a fault from the emulator's set (dropped, corrupt and late responses,
// silence, command errors, vanish and replug, updates interrupted at a
// random row and then recovered by a new update). At the end it prints its
// counts and whether every check held.
class VexbusSoak : public QObject
{
    Q_OBJECT

public:
    VexbusSoak(int seconds, quint32 seed, QObject *parent = nullptr);
    ~VexbusSoak() override;

    // Runs the event loop until the time is up; the exit code says whether
    // every check held.
    int run();

private:
    enum Phase { PhaseRunning, PhaseUpdating, PhaseRecovering, PhaseSettling };

    void plugDevice();
    void writeImage();

    void onCommandTimer();
    void onTrafficTimer();
    void onFaultTimer();
    void onEndOfFaults();
    void onEnd();
    void onCommandFinished(NivoraVexbusUsb::NivoraVexbusUsbUtils::Command command,
                           NivoraVexbusUsb::NivoraVexbusUsbReply::Error error);
    void onFrameReceived(const QByteArray &frame);
    void onAvailableChanged(bool available);
    void onUpdateFinished(bool success);
    void onEmulatorVanished();

    void giveCommand();
    void injectFault();
    void startInterruptedUpdate();
    void sampleResources(qint64 *rss, int *fds) const;
    bool report();

    int m_seconds;
    QRandomGenerator m_random;
    QTemporaryDir m_directory;
    QString m_image;
    int m_imageRows = 0;
    NivoraTest::TestPlatform m_platform;
    NivoraVexbusUsbEmulator::VexbusEmulator m_emulator;
    NivoraVexbusUsb::NivoraVexbusUsbAdapter *m_adapter = nullptr;
    QString m_device;
    Phase m_phase = PhaseRunning;
    QElapsedTimer m_clock;
    QTimer m_commandTimer;
    QTimer m_trafficTimer;
    QTimer m_faultTimer;

    // The command given and since when; an outcome must follow within the
    // reply's time-out.
    bool m_commandPending = false;
    QElapsedTimer m_commandClock;
    qint64 m_slowestOutcome = 0;

    // Bus frames carry a running number; a frame sent while the adapter was
    // available is lost if a later one arrives first on the same connection.
    quint32 m_nextFrame = 0;
    int m_connection = 0;
    std::deque<std::pair<quint32, int>> m_framesInFlight;

    QMap<QString, qint64> m_counts;
    qint64 m_warmRss = 0;
    int m_warmFds = 0;
};

#endif // VEXBUSSOAK_H
