// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "logging/nivoravexbususbtrafficrecorder.h"
#include "logging/nivoravexbususblogging.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace NivoraVexbusUsb {

namespace {

QString portName(NivoraVexbusUsbTrafficRecorder::Port port)
{
    return port == NivoraVexbusUsbTrafficRecorder::PortLink ? QStringLiteral("link") : QStringLiteral("bootloader");
}

} // namespace

NivoraVexbusUsbTrafficRecorder::NivoraVexbusUsbTrafficRecorder(QObject *parent) :
    QObject(parent)
{
    m_pendingTimer.setSingleShot(true);
    m_pendingTimer.setInterval(0);
    connect(&m_pendingTimer, &QTimer::timeout, this, &NivoraVexbusUsbTrafficRecorder::flushPending);
}

NivoraVexbusUsbTrafficRecorder::~NivoraVexbusUsbTrafficRecorder()
{
    close();
}

QString NivoraVexbusUsbTrafficRecorder::fileName() const
{
    return m_file.isOpen() ? m_fileName : QString();
}

void NivoraVexbusUsbTrafficRecorder::setFileName(const QString &fileName)
{
    if (fileName == this->fileName())
        return;

    qCDebug(dcVexbusUsb()) << "Traffic record file" << fileName;
    const bool wasRecording = isRecording();
    close();
    if (!fileName.isEmpty()) {
        m_fileName = fileName;
        const QString openError = openTrace();
        if (openError.isEmpty()) {
            m_clock.start();
            QJsonObject start;
            start.insert(QStringLiteral("event"), QStringLiteral("start"));
            start.insert(QStringLiteral("format"), QStringLiteral("nivora-vexbususb-trace"));
            start.insert(QStringLiteral("version"), 1);
            start.insert(QStringLiteral("startedAt"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
            writeLine(0, QJsonDocument(start).toJson(QJsonDocument::Compact));
        } else {
            qCWarning(dcVexbusUsb()) << "Could not open the traffic record file" << fileName << openError;
        }
    }
    // A file that could not be opened began no trace: nothing changed when none ran before either.
    if (!this->fileName().isEmpty() || wasRecording)
        emit fileNameChanged(this->fileName());
}

// A trace holds images and bus frames: it is the user's alone, also when
// it replaces an older file, and a symbolic link at its name is not
// followed (it could point at any file the user may write).
QString NivoraVexbusUsbTrafficRecorder::openTrace()
{
    const int descriptor = ::open(QFile::encodeName(m_fileName).constData(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (descriptor < 0)
        return errno == ELOOP ? QStringLiteral("it is a symbolic link") : QString::fromLocal8Bit(::strerror(errno));
    if (::fchmod(descriptor, S_IRUSR | S_IWUSR) != 0) {
        const QString error = QString::fromLocal8Bit(::strerror(errno));
        ::close(descriptor);
        return error;
    }
    if (!m_file.open(descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return m_file.errorString();
    }
    return QString();
}

void NivoraVexbusUsbTrafficRecorder::recordOpen(Port port, const QString &device)
{
    recordEvent(port, QStringLiteral("open"), device);
}

void NivoraVexbusUsbTrafficRecorder::recordClose(Port port)
{
    recordEvent(port, QStringLiteral("close"), QString());
}

void NivoraVexbusUsbTrafficRecorder::recordEvent(Port port, const QString &event, const QString &device)
{
    if (!isRecording())
        return;
    flushPending();
    QJsonObject object;
    object.insert(QStringLiteral("event"), event);
    object.insert(QStringLiteral("port"), portName(port));
    if (!device.isEmpty())
        object.insert(QStringLiteral("device"), device);
    writeLine(m_clock.nsecsElapsed(), QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void NivoraVexbusUsbTrafficRecorder::recordBytes(Port port, Direction direction, const QByteArray &bytes)
{
    if (!isRecording() || bytes.isEmpty())
        return;
    if (!m_pending.isEmpty() && (port != m_pendingPort || direction != m_pendingDirection))
        flushPending();
    if (m_pending.isEmpty()) {
        m_pendingPort = port;
        m_pendingDirection = direction;
        m_pendingTimeNs = m_clock.nsecsElapsed();
        m_pendingTimer.start();
    }
    m_pending.append(bytes);
}

void NivoraVexbusUsbTrafficRecorder::flushPending()
{
    m_pendingTimer.stop();
    if (m_pending.isEmpty() || !isRecording())
        return;
    QJsonObject object;
    object.insert(QStringLiteral("direction"), m_pendingDirection == DirectionOut ? QStringLiteral("out") : QStringLiteral("in"));
    object.insert(QStringLiteral("port"), portName(m_pendingPort));
    object.insert(QStringLiteral("bytes"), QString::fromLatin1(m_pending.toHex()));
    m_pending.clear();
    writeLine(m_pendingTimeNs, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void NivoraVexbusUsbTrafficRecorder::writeLine(qint64 timeNs, const QByteArray &object)
{
    // The time goes first and in fixed notation, which a JSON number of
    // QJsonDocument would not keep.
    const QByteArray line = "{\"time\":" + QByteArray::number(double(timeNs) / 1e6, 'f', 3) + ','
            + object.mid(1) + '\n';
    if (m_file.write(line) != line.size() || !m_file.flush()) {
        qCWarning(dcVexbusUsb()) << "Could not write the traffic record file" << m_fileName << m_file.errorString();
        m_file.close();
        emit fileNameChanged(QString());
    }
}

void NivoraVexbusUsbTrafficRecorder::close()
{
    flushPending();
    m_pending.clear();
    if (m_file.isOpen())
        m_file.close();
}

} // namespace NivoraVexbusUsb
