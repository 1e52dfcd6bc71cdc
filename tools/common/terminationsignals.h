// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORATOOLS_TERMINATIONSIGNALS_H
#define NIVORATOOLS_TERMINATIONSIGNALS_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the event loop. The
// handler only writes the signal number into a socket pair (write() is
// async-signal-safe); a notifier on the other end does the rest. One
// instance at a time; the default handlers return on destruction.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    bool install();
    // Whether a signal arrived since install().
    bool hasReceived() const { return m_received; }

Q_SIGNALS:
    void received(int signalNumber);

private:
    void onActivated();

    QSocketNotifier *m_notifier = nullptr;
    bool m_installed = false;
    bool m_received = false;
};

#endif // NIVORATOOLS_TERMINATIONSIGNALS_H
