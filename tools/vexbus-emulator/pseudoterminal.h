// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSEMULATOR_PSEUDOTERMINAL_H
#define VEXBUSEMULATOR_PSEUDOTERMINAL_H

#include <QObject>
#include <QString>
#include <QTimer>

// A pseudo-terminal pair whose master side the emulator answers on and whose
// slave side (/dev/pts/N) a client opens as its serial port.
//
// The slave is switched to raw mode once, through a descriptor that is
// closed again at once, so that nothing written to the line is echoed or
// cooked before a client opens it; the settings stay with the pair until the
// master is closed. No slave descriptor is kept open: a held slave would hide
// every hang-up from the emulator (its receivers would not start afresh when
// a client reopens the line), and what the emulator sends while no client is
// there would pile up in the slave's input queue and reach the next client as
// stale bytes. Without one, the master reads EIO while nobody holds the slave
// open, as a real adapter's port drops what arrives while it is closed;
// TtyLink pauses through that. Whether a client holds the slave open is
// polled from the master's POLLHUP state.
class PseudoTerminal : public QObject
{
    Q_OBJECT
public:
    explicit PseudoTerminal(QObject *parent = nullptr);
    ~PseudoTerminal() override;

    // Opens a new pair; fails with errorString() set.
    bool open();
    void close();
    bool isOpen() const { return m_masterFd >= 0; }
    int masterFd() const { return m_masterFd; }
    QString slavePath() const { return m_slavePath; }
    QString errorString() const { return m_errorString; }


Q_SIGNALS:
    // A client opened the slave side, or the last one closed it.
    void slaveOpenChanged(bool open);

private:
    // Whether some process holds the slave side open; announces a change.
    void pollSlave();
    bool fail(const QString &what);

    int m_masterFd = -1;
    QString m_slavePath;
    QString m_errorString;
    bool m_slaveOpen = false;
    QTimer m_pollTimer;
};

#endif // VEXBUSEMULATOR_PSEUDOTERMINAL_H
