// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "slipdecoder.h"
#include "slipcodec.h"

namespace NivoraVexbusUsbEmulator {

// Command, packet id and checksum: nothing shorter can be a request.
static constexpr int kMinimumFrameSize = 3;

QList<QByteArray> SlipDecoder::feed(const QByteArray &bytes)
{
    QList<QByteArray> frames;
    for (char byte : bytes) {
        const quint8 value = static_cast<quint8>(byte);
        if (value == SlipCodec::SpecialByteEnd) {
            finishFrame(&frames);
        } else if (m_broken) {
            continue; // the rest of a broken frame is skipped up to its delimiter
        } else if (m_escaped) {
            appendEscaped(value);
        } else if (value == SlipCodec::SpecialByteEsc) {
            m_escaped = true;
        } else {
            m_buffer.append(byte);
        }
    }
    return frames;
}

void SlipDecoder::reset()
{
    m_buffer.clear();
    m_escaped = false;
    m_broken = false;
}

void SlipDecoder::appendEscaped(quint8 value)
{
    m_escaped = false;
    if (value == SlipCodec::SpecialByteTransposedEnd) {
        m_buffer.append(static_cast<char>(SlipCodec::SpecialByteEnd));
    } else if (value == SlipCodec::SpecialByteTransposedEsc) {
        m_buffer.append(static_cast<char>(SlipCodec::SpecialByteEsc));
    } else {
        ++m_escapeErrors;
        m_broken = true;
    }
}

void SlipDecoder::finishFrame(QList<QByteArray> *frames)
{
    if (m_escaped && !m_broken) {
        // A delimiter right after an escape prefix cuts the frame short.
        ++m_escapeErrors;
        m_broken = true;
    }
    if (m_broken || m_buffer.isEmpty()) {
        // Empty frames are the normal gap between back-to-back delimiters.
        reset();
        return;
    }
    if (m_buffer.size() < kMinimumFrameSize) {
        ++m_shortFrames;
    } else {
        const QByteArray packet = m_buffer.left(m_buffer.size() - 1);
        if (SlipCodec::checksum(packet) == static_cast<quint8>(m_buffer.back()))
            frames->append(packet);
        else
            ++m_checksumErrors;
    }
    reset();
}

} // namespace NivoraVexbusUsbEmulator
