// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbframedecoder.h"
#include "logging/bytetext.h"
#include "logging/nivoravexbususblogging.h"

#include <cstring>

namespace NivoraVexbusUsb {

NivoraVexbusUsbFrameDecoder::NivoraVexbusUsbFrameDecoder() :
    m_traffic(&dcVexbusUsbInterfaceTraffic())
{
}

QByteArray NivoraVexbusUsbFrameDecoder::buffer() const
{
    return QByteArray(reinterpret_cast<const char *>(m_buffer), m_size);
}

unsigned char NivoraVexbusUsbFrameDecoder::calculateCrc(const QByteArray &data)
{
    unsigned char crc = 0;
    for (const char byte : data)
        crc ^= static_cast<unsigned char>(byte);
    return crc;
}

void NivoraVexbusUsbFrameDecoder::reset()
{
    m_size = 0;
    m_check = 0;
    m_escaped = false;
    m_overflow = false;
}

bool NivoraVexbusUsbFrameDecoder::processByte(unsigned char byte)
{
    if (m_traffic->isDebugEnabled())
        qCDebug(dcVexbusUsbInterfaceTraffic()) << "<--" << byteText(byte);

    // The delimiter comes first: it always ends a frame, also one that is
    // being skipped for its size and one that ends right after an escape.
    if (byte == End)
        return processFrameEnd();

    if (m_overflow)
        return false;

    if (byte == Esc) {
        m_escaped = true;
        return false;
    }

    if (!m_escaped) {
        store(byte);
    } else {
        m_escaped = false;
        if (byte == TransposedEnd) {
            store(End);
        } else if (byte == TransposedEsc) {
            store(Esc);
        } else {
            if (m_traffic->isWarningEnabled())
                qCWarning(dcVexbusUsbInterfaceTraffic()) << "SLIP protocol violation. Received unexpected stuffed byte. Discard data...";
            reset();
            return false;
        }
    }

    if (m_size > maximumFrameSize) {
        qCWarning(dcVexbusUsbInterfaceTraffic()) << "Received frame exceeds" << maximumFrameSize
                                                 << "bytes without a delimiter. Discard data until the next frame...";
        reset();
        m_overflow = true;
    }
    return false;
}

int NivoraVexbusUsbFrameDecoder::processBytes(const char *data, int size, bool *frameClosed)
{
    *frameClosed = false;
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(data);
    const bool logged = m_traffic->isDebugEnabled();
    int i = 0;
    while (i < size) {
        if (!logged && !m_escaped && !m_overflow) {
            // The run of plain bytes up to the next delimiter or escape, or
            // up to a full frame: a store and a check byte each.
            const int end = qMin(size, i + maximumFrameSize - m_size);
            unsigned char *buffer = m_buffer + m_size - i;
            unsigned char check = m_check;
            int j = i;
            for (; j < end; ++j) {
                const unsigned char byte = bytes[j];
                if (byte == End || byte == Esc)
                    break;
                buffer[j] = byte;
                check ^= byte;
            }
            m_size += j - i;
            m_check = check;
            i = j;
            if (i == size)
                break;
        }
        if (processByte(bytes[i++])) {
            *frameClosed = true;
            return i;
        }
    }
    return size;
}

bool NivoraVexbusUsbFrameDecoder::processFrameEnd()
{
    if (m_size <= 2) {
        reset();
        return false;
    }

    const int packetSize = m_size - 1;
    const unsigned char receivedCrc = m_buffer[packetSize];
    // The bytes and their checksum together come to zero.
    if (m_check == 0) {
        // The last frame's memory serves again once no one holds that frame.
        m_frame.resize(packetSize);
        std::memcpy(m_frame.data(), m_buffer, size_t(packetSize));
        if (m_traffic->isDebugEnabled()) {
            qCDebug(dcVexbusUsbInterfaceTraffic()) << "Buffer:" << buffer().toHex() << "Packet:" << m_frame.toHex()
                                                   << "CRC OK:" << byteText(receivedCrc);
        }
        reset();
        return true;
    }

    if (m_traffic->isWarningEnabled()) {
        const unsigned char crc = m_check ^ receivedCrc;
        qCWarning(dcVexbusUsbInterfaceTraffic()) << "Received packet with invalid CRC value: Buffer:" << buffer().toHex()
                                                 << "calculated CRC:" << byteText(crc) << "!=" << byteText(receivedCrc)
                                                 << ". Discard data...";
    }
    reset();
    return false;
}

} // namespace NivoraVexbusUsb
