// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSEMULATOR_TRACEREPLAY_H
#define VEXBUSEMULATOR_TRACEREPLAY_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

namespace NivoraVexbusUsbEmulator {
class TtyLink;
}

// Plays back a trace that the library recorded of a session with an
// adapter: the bytes the host sent are expected again, in order, and the
// bytes the adapter sent follow each with the delay it had after the
// previous line of the trace. Where the host sends something else, the
// replay reports both byte strings and the position and stops.
class TraceReplay : public QObject
{
    Q_OBJECT
public:
    explicit TraceReplay(QObject *parent = nullptr);

    // Reads the trace; fails with errorString() naming the line.
    bool load(const QString &fileName);
    QString errorString() const { return m_errorString; }
    int recordCount() const { return m_records.size(); }

    // The line, attached while a client holds the tty open.
    void attach(int fd);
    void detach();

Q_SIGNALS:
    // The host sent what the trace does not hold; the replay is over.
    void mismatch(const QString &message);
    // Every line of the trace was played.
    void finished();

private:
    struct Record {
        enum Kind { Open, Close, Out, In } kind;
        qint64 timeUs;
        QByteArray bytes;
        int line;
    };

    void onBytesReceived(const QByteArray &bytes);
    void advance();
    bool matchRequest(const Record &record);
    void reportMismatch();
    bool fail(int line, const QString &message);

    NivoraVexbusUsbEmulator::TtyLink *m_link;
    QString m_fileName;
    QString m_errorString;
    QList<Record> m_records;
    int m_next = 0;
    // Bytes of the current request already matched, and received bytes not yet compared.
    int m_matched = 0;
    QByteArray m_input;
    // When the previous line of the trace was played.
    QElapsedTimer m_clock;
    qint64 m_previousPlayedUs = 0;
    QTimer m_delayTimer;
    // After a difference, the rest of the host's request is awaited this
    // long so that the report shows it whole.
    QTimer m_mismatchTimer;
    bool m_stopped = false;
};

#endif // VEXBUSEMULATOR_TRACEREPLAY_H
