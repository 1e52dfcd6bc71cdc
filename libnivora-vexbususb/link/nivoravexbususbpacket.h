#ifndef NIVORAVEXBUSUSBPACKET_H
#define NIVORAVEXBUSUSBPACKET_H

#include "nivoravexbususb_export.h"
#include "adapter/nivoravexbususbutils.h"

#include <QByteArray>
#include <QDebug>
#include <QObject>

namespace NivoraVexbusUsb {

// One packet of the adapter protocol: a request built from fields, or a
// response or notification parsed from the bytes of a received frame
// (without the frame's checksum byte).
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbPacket
{
    Q_GADGET

public:
    enum Type {
        TypeRequest = 0,
        TypeResponse = 1,
        TypeNotification = 2
    };
    Q_ENUM(Type)

    NivoraVexbusUsbPacket() = default;
    NivoraVexbusUsbPacket(unsigned char command, unsigned char packetId, const QByteArray &payload,
                          NivoraVexbusUsbPacket::Type type = TypeRequest);
    explicit NivoraVexbusUsbPacket(const QByteArray &data);

    Type type() const { return m_type; }
    unsigned char command() const { return m_command; }
    unsigned char packetId() const { return m_packetId; }
    NivoraVexbusUsbUtils::Error error() const { return m_error; }
    QByteArray payload() const { return m_payload; }
    QByteArray packetData() const { return m_packetData; }

    bool isValid() const;

private:
    friend class NivoraVexbusUsbAdapter;

    Type m_type = TypeRequest;
    unsigned char m_command = NivoraVexbusUsbUtils::CommandInvalid;
    unsigned char m_packetId = 0;
    NivoraVexbusUsbUtils::Error m_error = NivoraVexbusUsbUtils::ErrorUnknwonError;
    QByteArray m_payload;
    QByteArray m_packetData;
};

NIVORAVEXBUSUSB_EXPORT QDebug operator<<(QDebug debug, const NivoraVexbusUsbPacket &packet);

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBPACKET_H
