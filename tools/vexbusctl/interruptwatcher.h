#ifndef VEXBUSCTL_INTERRUPTWATCHER_H
#define VEXBUSCTL_INTERRUPTWATCHER_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the event loop: the handler
// only writes a byte into a socket pair, the notifier does the rest.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

    bool isInterrupted() const { return m_interrupted; }

signals:
    void interrupted();

private:
    void onActivated();

    QSocketNotifier *m_notifier = nullptr;
    bool m_interrupted = false;
};

#endif // VEXBUSCTL_INTERRUPTWATCHER_H
