// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "logging/nivoravexbususbtrafficrecorder.h"
#include "logging/nivoravexbususbtrafficrecorder_p.h"
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
    QObject(parent),
    d_ptr(new NivoraVexbusUsbTrafficRecorderPrivate)
{
    Q_D(NivoraVexbusUsbTrafficRecorder);
    d->pendingTimer.setSingleShot(true);
    d->pendingTimer.setInterval(0);
    connect(&d->pendingTimer, &QTimer::timeout, this, &NivoraVexbusUsbTrafficRecorder::flushPending);
}

NivoraVexbusUsbTrafficRecorder::~NivoraVexbusUsbTrafficRecorder()
{
    close();
}

bool NivoraVexbusUsbTrafficRecorder::isRecording() const
{
    Q_D(const NivoraVexbusUsbTrafficRecorder);
    return d->file.isOpen();
}

QString NivoraVexbusUsbTrafficRecorder::fileName() const
{
    Q_D(const NivoraVexbusUsbTrafficRecorder);
    return d->file.isOpen() ? d->fileName : QString();
}

void NivoraVexbusUsbTrafficRecorder::setFileName(const QString &fileName)
{
    Q_D(NivoraVexbusUsbTrafficRecorder);
    if (fileName == this->fileName())
        return;

    qCDebug(dcVexbusUsb()) << "Traffic record file" << fileName;
    const bool wasRecording = isRecording();
    close();
    if (!fileName.isEmpty()) {
        d->fileName = fileName;
        const QString openError = openTrace();
        if (openError.isEmpty()) {
            d->clock.start();
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
    Q_D(NivoraVexbusUsbTrafficRecorder);
    const int descriptor = ::open(QFile::encodeName(d->fileName).constData(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (descriptor < 0)
        return errno == ELOOP ? QStringLiteral("it is a symbolic link") : QString::fromLocal8Bit(::strerror(errno));
    if (::fchmod(descriptor, S_IRUSR | S_IWUSR) != 0) {
        const QString error = QString::fromLocal8Bit(::strerror(errno));
        ::close(descriptor);
        return error;
    }
    if (!d->file.open(descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return d->file.errorString();
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
    Q_D(NivoraVexbusUsbTrafficRecorder);
    if (!isRecording())
        return;
    flushPending();
    QJsonObject object;
    object.insert(QStringLiteral("event"), event);
    object.insert(QStringLiteral("port"), portName(port));
    if (!device.isEmpty())
        object.insert(QStringLiteral("device"), device);
    writeLine(d->clock.nsecsElapsed(), QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void NivoraVexbusUsbTrafficRecorder::recordBytes(Port port, Direction direction, const QByteArray &bytes)
{
    Q_D(NivoraVexbusUsbTrafficRecorder);
    if (!isRecording() || bytes.isEmpty())
        return;
    if (!d->pending.isEmpty() && (port != d->pendingPort || direction != d->pendingDirection))
        flushPending();
    if (d->pending.isEmpty()) {
        d->pendingPort = port;
        d->pendingDirection = direction;
        d->pendingTimeNs = d->clock.nsecsElapsed();
        d->pendingTimer.start();
    }
    d->pending.append(bytes);
}

void NivoraVexbusUsbTrafficRecorder::flushPending()
{
    Q_D(NivoraVexbusUsbTrafficRecorder);
    d->pendingTimer.stop();
    if (d->pending.isEmpty() || !isRecording())
        return;
    QJsonObject object;
    object.insert(QStringLiteral("direction"), d->pendingDirection == DirectionOut ? QStringLiteral("out") : QStringLiteral("in"));
    object.insert(QStringLiteral("port"), portName(d->pendingPort));
    object.insert(QStringLiteral("bytes"), QString::fromLatin1(d->pending.toHex()));
    d->pending.clear();
    writeLine(d->pendingTimeNs, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void NivoraVexbusUsbTrafficRecorder::writeLine(qint64 timeNs, const QByteArray &object)
{
    Q_D(NivoraVexbusUsbTrafficRecorder);
    // The time goes first and in fixed notation, which a JSON number of
    // QJsonDocument would not keep.
    const QByteArray line = "{\"time\":" + QByteArray::number(double(timeNs) / 1e6, 'f', 3) + ','
            + object.mid(1) + '\n';
    if (d->file.write(line) != line.size() || !d->file.flush()) {
        qCWarning(dcVexbusUsb()) << "Could not write the traffic record file" << d->fileName << d->file.errorString();
        d->file.close();
        emit fileNameChanged(QString());
    }
}

void NivoraVexbusUsbTrafficRecorder::close()
{
    Q_D(NivoraVexbusUsbTrafficRecorder);
    flushPending();
    d->pending.clear();
    if (d->file.isOpen())
        d->file.close();
}

} // namespace NivoraVexbusUsb
