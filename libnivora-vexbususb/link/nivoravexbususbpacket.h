// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBPACKET_H
#define NIVORAVEXBUSUSBPACKET_H

#include "nivoravexbususb_export.h"
#include "link/nivoravexbususbutils.h"

#include <QByteArray>
#include <QDebug>
#include <QObject>

namespace NivoraVexbusUsb {

/**
 * @brief One packet of the adapter protocol, a copyable value.
 *
 * A request is built from its fields for sending; a response or a
 * notification is parsed from the bytes of a received frame (without the
 * frame's SLIP delimiters and its checksum byte).
 *
 * Unlike the library's other values the packet keeps its fields in the
 * object, read by inline getters: its layout is the protocol's (a type,
 * command, packet id and error byte, and the packet's bytes) and cannot
 * grow without a new protocol, and every frame on the wire makes one, so
 * it spares the allocation a shared private part would cost.
 */
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbPacket
{
    Q_GADGET

public:
    /// What a packet is, which decides its layout.
    enum Type {
        TypeRequest = 0,      ///< sent by the library: command, packet id, payload
        TypeResponse = 1,     ///< the controller's answer: command, packet id, error, payload
        TypeNotification = 2  ///< sent by the controller of its own accord: code (above 0xF0), packet id, payload
    };
    Q_ENUM(Type)

    /// An invalid request with command CommandInvalid and no bytes.
    NivoraVexbusUsbPacket() = default;
    /**
     * Builds a packet from its fields; packetData() holds the bytes command,
     * packet id and payload, as they go into a frame.
     */
    NivoraVexbusUsbPacket(unsigned char command, unsigned char packetId, const QByteArray &payload,
                          NivoraVexbusUsbPacket::Type type = TypeRequest);
    /**
     * Parses the bytes of a received frame: a first byte above 0xF0 makes a
     * notification, any other a response. Fewer than two bytes make an
     * invalid packet.
     */
    explicit NivoraVexbusUsbPacket(const QByteArray &data);

    /// Request, response or notification.
    Type type() const { return m_type; }
    /// The command code (a NivoraVexbusUsbUtils::Command), or for a
    /// notification its code (a NivoraVexbusUsbUtils::Notitifaction).
    unsigned char command() const { return m_command; }
    /// The id that pairs a response with its request, 0 to 255.
    unsigned char packetId() const { return m_packetId; }
    /// The controller's result code; meaningful for responses only.
    NivoraVexbusUsbUtils::Error error() const { return m_error; }
    /// The bytes after the header (command, packet id and, in a response, error).
    QByteArray payload() const;
    /// All bytes of the packet as they travel in a frame, without the checksum.
    QByteArray packetData() const { return m_packetData; }

    /// True when the command is not CommandInvalid (0xFF) and the packet has
    /// at least its two header bytes.
    bool isValid() const;

private:
    Type m_type = TypeRequest;
    unsigned char m_command = NivoraVexbusUsbUtils::CommandInvalid;
    unsigned char m_packetId = 0;
    NivoraVexbusUsbUtils::Error m_error = NivoraVexbusUsbUtils::ErrorUnknwonError;
    // Where the payload starts in the packet's bytes. It is cut out when it
    // is asked for, so that a received packet shares the frame's bytes and
    // costs no allocation of its own.
    int m_payloadOffset = 2;
    QByteArray m_packetData;
};

/// Writes the packet in the form the library logs it: type, command by name,
/// packet id, for a response the error, and the payload as hexadecimal text.
NIVORAVEXBUSUSB_EXPORT QDebug operator<<(QDebug debug, const NivoraVexbusUsbPacket &packet);

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBPACKET_H
