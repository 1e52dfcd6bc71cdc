// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORA_TOOLS_FRAMEDATAGRAM_H
#define NIVORA_TOOLS_FRAMEDATAGRAM_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// One datagram of the sockets that vexbusd hands out with AcquireFrames()
// and AcquireWrite(): a header of headerSize bytes, little-endian, and the
// payload. The layout is a contract with clients in any language; it is
// written out in the interface's XML and in doc/frame-sockets.md:
//
//   offset  size  field
//   0       1     kind: 1 frame, 2 write, 3 outcome
//   1       1     flags; frame: 0x01 frames were dropped before this one
//   2       2     header size: 16; a reader skips what it does not know
//   4       4     frame: frames dropped right before this one;
//                 write and outcome: the tag the client chose
//   8       8     frame: receive time, microseconds since 1970 (UTC);
//                 write and outcome: 0
//   16            frame and write: the bus frame; outcome: empty on
//                 success, else the error's name, a zero byte and the
//                 sentence (UTF-8)
class FrameDatagram
{
public:
    enum Kind : quint8 {
        KindInvalid = 0,
        KindFrame = 1,
        KindWrite = 2,
        KindOutcome = 3
    };
    enum Flag : quint8 {
        FlagFramesDropped = 0x01
    };
    static constexpr int headerSize = 16;

    FrameDatagram() = default;
    FrameDatagram(Kind kind, quint8 flags, quint32 count, qint64 time, const QByteArray &payload);

    // Success with an empty errorName.
    static FrameDatagram outcome(quint32 tag, const QString &errorName, const QString &message);
    // Invalid when shorter than its header or of an unknown kind.
    static FrameDatagram fromBytes(const QByteArray &bytes);
    // The header alone into out (headerSize bytes), for sending it with a
    // payload kept elsewhere.
    static void writeHeader(char *out, Kind kind, quint8 flags, quint32 count, qint64 time);

    bool isValid() const { return m_kind != KindInvalid; }
    Kind kind() const { return m_kind; }
    quint8 flags() const { return m_flags; }
    bool framesDropped() const { return m_flags & FlagFramesDropped; }
    // A frame's dropped count, or the tag of a write and its outcome.
    quint32 count() const { return m_count; }
    quint32 tag() const { return m_count; }
    qint64 time() const { return m_time; }
    QByteArray payload() const { return m_payload; }

    QByteArray toBytes() const;

private:
    Kind m_kind = KindInvalid;
    quint8 m_flags = 0;
    quint32 m_count = 0;
    qint64 m_time = 0;
    QByteArray m_payload;
};

#endif // NIVORA_TOOLS_FRAMEDATAGRAM_H
