// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBEMULATOR_SLIPDECODER_H
#define NIVORAVEXBUSUSBEMULATOR_SLIPDECODER_H

#include <QByteArray>
#include <QList>

namespace NivoraVexbusUsbEmulator {

// Receiving side of the adapter frame, as a careful firmware would do it: a
// frame with a bad escape, a bad checksum or too few bytes is dropped whole
// and counted. Bytes may arrive in any pieces; the state carries over.
class SlipDecoder
{
public:
    // Feeds received bytes; returns the packet bytes (checksum removed) of
    // every good frame completed by them, in order.
    QList<QByteArray> feed(const QByteArray &bytes);
    // Forgets a partly received frame, e.g. after the line hung up.
    void reset();

    int checksumErrors() const { return m_checksumErrors; }
    int escapeErrors() const { return m_escapeErrors; }
    int shortFrames() const { return m_shortFrames; }
    int droppedFrames() const { return m_checksumErrors + m_escapeErrors + m_shortFrames; }

private:
    void finishFrame(QList<QByteArray> *frames);
    void appendEscaped(quint8 value);

    QByteArray m_buffer;
    bool m_escaped = false;
    bool m_broken = false;
    int m_checksumErrors = 0;
    int m_escapeErrors = 0;
    int m_shortFrames = 0;
};

} // namespace NivoraVexbusUsbEmulator

#endif // NIVORAVEXBUSUSBEMULATOR_SLIPDECODER_H
