#include "link/nivoravexbususbframedecoder.h"
#include "link/nivoravexbususbinterface.h"
#include "logging/nivoravexbususblogging.h"

namespace NivoraVexbusUsb {

namespace {

QString byteText(unsigned char byte)
{
    return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
}

} // namespace

unsigned char NivoraVexbusUsbFrameDecoder::calculateCrc(const QByteArray &data)
{
    unsigned char crc = 0;
    for (const char byte : data)
        crc ^= static_cast<unsigned char>(byte);
    return crc;
}

void NivoraVexbusUsbFrameDecoder::reset()
{
    m_buffer.clear();
    m_escaped = false;
    m_overflow = false;
}

bool NivoraVexbusUsbFrameDecoder::processByte(unsigned char byte)
{
    if (dcVexbusUsbInterfaceTraffic().isDebugEnabled())
        qCDebug(dcVexbusUsbInterfaceTraffic()) << "<--" << byteText(byte);

    // The delimiter comes first: it always ends a frame, also one that is
    // being skipped for its size and one that ends right after an escape.
    if (byte == NivoraVexbusUsbInterface::ProtocolByteEnd)
        return processFrameEnd();

    if (m_overflow)
        return false;

    if (byte == NivoraVexbusUsbInterface::ProtocolByteEsc) {
        m_escaped = true;
        return false;
    }

    if (!m_escaped) {
        m_buffer.append(static_cast<char>(byte));
    } else {
        m_escaped = false;
        if (byte == NivoraVexbusUsbInterface::ProtocolByteTransposedEnd) {
            m_buffer.append(static_cast<char>(NivoraVexbusUsbInterface::ProtocolByteEnd));
        } else if (byte == NivoraVexbusUsbInterface::ProtocolByteTransposedEsc) {
            m_buffer.append(static_cast<char>(NivoraVexbusUsbInterface::ProtocolByteEsc));
        } else {
            if (dcVexbusUsbInterfaceTraffic().isWarningEnabled())
                qCWarning(dcVexbusUsbInterfaceTraffic()) << "SLIP protocol violation. Received unexpected stuffed byte. Discard data...";
            reset();
            return false;
        }
    }

    if (m_buffer.size() > NivoraVexbusUsbInterface::maximumFrameSize) {
        qCWarning(dcVexbusUsbInterfaceTraffic()) << "Received frame exceeds" << NivoraVexbusUsbInterface::maximumFrameSize
                                                 << "bytes without a delimiter. Discard data until the next frame...";
        reset();
        m_overflow = true;
    }
    return false;
}

bool NivoraVexbusUsbFrameDecoder::processFrameEnd()
{
    if (m_buffer.size() <= 2) {
        reset();
        return false;
    }

    const QByteArray packetData = m_buffer.left(m_buffer.size() - 1);
    const unsigned char receivedCrc = static_cast<unsigned char>(m_buffer.at(m_buffer.size() - 1));
    const unsigned char crc = calculateCrc(packetData);
    if (crc == receivedCrc) {
        if (dcVexbusUsbInterfaceTraffic().isDebugEnabled()) {
            qCDebug(dcVexbusUsbInterfaceTraffic()) << "Buffer:" << m_buffer.toHex() << "Packet:" << packetData.toHex()
                                                   << "CRC OK:" << byteText(crc);
        }
        m_frame = packetData;
        reset();
        return true;
    }

    if (dcVexbusUsbInterfaceTraffic().isWarningEnabled()) {
        qCWarning(dcVexbusUsbInterfaceTraffic()) << "Received packet with invalid CRC value: Buffer:" << m_buffer.toHex()
                                                 << "calculated CRC:" << byteText(crc) << "!=" << byteText(receivedCrc)
                                                 << ". Discard data...";
    }
    reset();
    return false;
}

} // namespace NivoraVexbusUsb
