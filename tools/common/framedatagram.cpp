// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "framedatagram.h"

#include <QtEndian>

FrameDatagram::FrameDatagram(Kind kind, quint8 flags, quint32 count, qint64 time, const QByteArray &payload)
    : m_kind(kind),
      m_flags(flags),
      m_count(count),
      m_time(time),
      m_payload(payload)
{
}

FrameDatagram FrameDatagram::outcome(quint32 tag, const QString &errorName, const QString &message)
{
    if (errorName.isEmpty())
        return FrameDatagram(KindOutcome, 0, tag, 0, QByteArray());
    return FrameDatagram(KindOutcome, 0, tag, 0, errorName.toUtf8() + '\0' + message.toUtf8());
}

FrameDatagram FrameDatagram::fromBytes(const QByteArray &bytes)
{
    if (bytes.size() < headerSize)
        return FrameDatagram();
    const uchar *data = reinterpret_cast<const uchar *>(bytes.constData());
    const int size = qFromLittleEndian<quint16>(data + 2);
    if (data[0] < KindFrame || data[0] > KindOutcome || size < headerSize || size > bytes.size())
        return FrameDatagram();
    return FrameDatagram(Kind(data[0]), data[1], qFromLittleEndian<quint32>(data + 4), qFromLittleEndian<qint64>(data + 8),
                         bytes.mid(size));
}

void FrameDatagram::writeHeader(char *out, Kind kind, quint8 flags, quint32 count, qint64 time)
{
    uchar *data = reinterpret_cast<uchar *>(out);
    data[0] = kind;
    data[1] = flags;
    qToLittleEndian<quint16>(headerSize, data + 2);
    qToLittleEndian<quint32>(count, data + 4);
    qToLittleEndian<qint64>(time, data + 8);
}

QByteArray FrameDatagram::toBytes() const
{
    QByteArray bytes(headerSize, Qt::Uninitialized);
    writeHeader(bytes.data(), m_kind, m_flags, m_count, m_time);
    return bytes + m_payload;
}
