// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tracereplay.h"

#include <ttylink.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

using NivoraVexbusUsbEmulator::TtyLink;

static constexpr int kMismatchGatherMs = 100;

TraceReplay::TraceReplay(QObject *parent)
    : QObject(parent), m_link(new TtyLink(this))
{
    m_clock.start();
    m_delayTimer.setSingleShot(true);
    m_delayTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_delayTimer, &QTimer::timeout, this, &TraceReplay::advance);
    m_mismatchTimer.setSingleShot(true);
    m_mismatchTimer.setInterval(kMismatchGatherMs);
    connect(&m_mismatchTimer, &QTimer::timeout, this, &TraceReplay::reportMismatch);
    connect(m_link, &TtyLink::bytesReceived, this, &TraceReplay::onBytesReceived);
}

bool TraceReplay::fail(int line, const QString &message)
{
    m_errorString = QStringLiteral("%1, line %2: %3").arg(m_fileName).arg(line).arg(message);
    return false;
}

bool TraceReplay::load(const QString &fileName)
{
    m_fileName = fileName;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        m_errorString = QStringLiteral("cannot read %1: %2").arg(fileName, file.errorString());
        return false;
    }
    static const QRegularExpression hexBytes(QStringLiteral("^([0-9a-fA-F]{2})+$"));
    int lineNumber = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        ++lineNumber;
        if (line.isEmpty())
            continue;
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.isEmpty() || !object.value(QStringLiteral("time")).isDouble())
            return fail(lineNumber, QStringLiteral("not a JSON object with a time"));
        Record record{Record::Open, qint64(object.value(QStringLiteral("time")).toDouble() * 1000), QByteArray(), lineNumber};
        const QString event = object.value(QStringLiteral("event")).toString();
        const QString direction = object.value(QStringLiteral("direction")).toString();
        if (event == QLatin1String("start")) {
            if (object.value(QStringLiteral("format")).toString() != QLatin1String("nivora-vexbususb-trace")
                    || object.value(QStringLiteral("version")).toInt() != 1)
                return fail(lineNumber, QStringLiteral("not a trace of format nivora-vexbususb-trace, version 1"));
            continue;
        } else if (event == QLatin1String("open") || event == QLatin1String("close")) {
            record.kind = event == QLatin1String("open") ? Record::Open : Record::Close;
        } else if (direction == QLatin1String("out") || direction == QLatin1String("in")) {
            const QString bytes = object.value(QStringLiteral("bytes")).toString();
            if (!hexBytes.match(bytes).hasMatch())
                return fail(lineNumber, QStringLiteral("the bytes are not hex digits, two a byte"));
            record.kind = direction == QLatin1String("out") ? Record::Out : Record::In;
            record.bytes = QByteArray::fromHex(bytes.toLatin1());
        } else {
            return fail(lineNumber, QStringLiteral("neither an event (start, open, close) nor bytes in a direction (out, in)"));
        }
        m_records.append(record);
    }
    return true;
}

void TraceReplay::attach(int fd)
{
    m_link->attach(fd);
    advance();
}

void TraceReplay::detach()
{
    m_link->detach();
}

void TraceReplay::onBytesReceived(const QByteArray &bytes)
{
    if (m_stopped)
        return;
    m_input.append(bytes);
    if (!m_mismatchTimer.isActive())
        advance();
}

void TraceReplay::advance()
{
    while (!m_stopped && !m_mismatchTimer.isActive()) {
        if (m_next >= m_records.size()) {
            if (!m_input.isEmpty()) {
                m_mismatchTimer.start();
                return;
            }
            if (m_next == m_records.size()) {
                ++m_next;
                Q_EMIT finished();
            }
            return;
        }
        const Record &record = m_records.at(m_next);
        if (record.kind == Record::Out) {
            if (!matchRequest(record))
                return;
        } else {
            // What the adapter sent, and the host's opening and closing of
            // the port, keep their distance to the line before.
            const qint64 previousUs = m_next > 0 ? m_records.at(m_next - 1).timeUs : record.timeUs;
            const qint64 dueUs = m_previousPlayedUs + qMax<qint64>(0, record.timeUs - previousUs);
            const qint64 nowUs = m_clock.nsecsElapsed() / 1000;
            if (nowUs < dueUs) {
                m_delayTimer.start(int((dueUs - nowUs + 999) / 1000));
                return;
            }
            // Bytes for a closed line would be lost, and an open of the
            // trace waits for the host's; a close is the host's own.
            if (record.kind != Record::Close && !m_link->isAttached())
                return;
            if (record.kind == Record::In)
                m_link->write(record.bytes);
        }
        m_previousPlayedUs = m_clock.nsecsElapsed() / 1000;
        ++m_next;
    }
}

bool TraceReplay::matchRequest(const Record &record)
{
    const int count = qMin(m_input.size(), record.bytes.size() - m_matched);
    for (int i = 0; i < count; ++i) {
        if (m_input.at(i) != record.bytes.at(m_matched + i)) {
            m_mismatchTimer.start();
            return false;
        }
    }
    m_matched += count;
    m_input.remove(0, count);
    if (m_matched < record.bytes.size())
        return false;
    m_matched = 0;
    return true;
}

void TraceReplay::reportMismatch()
{
    m_stopped = true;
    m_delayTimer.stop();
    if (m_next >= m_records.size()) {
        Q_EMIT mismatch(QStringLiteral("replay of %1: the host sent %2 after the end of the trace")
                        .arg(m_fileName, QString::fromLatin1(m_input.toHex())));
        return;
    }
    const Record &record = m_records.at(m_next);
    const QByteArray received = record.bytes.left(m_matched) + m_input;
    int position = m_matched;
    while (position < received.size() && position < record.bytes.size() && received.at(position) == record.bytes.at(position))
        ++position;
    Q_EMIT mismatch(QStringLiteral("replay of %1: the request at line %2 differs at byte %3: expected %4, received %5")
                    .arg(m_fileName).arg(record.line).arg(position)
                    .arg(QString::fromLatin1(record.bytes.toHex()), QString::fromLatin1(received.toHex())));
}
