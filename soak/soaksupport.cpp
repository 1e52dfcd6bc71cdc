// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "soaksupport.h"

#include "flashimage.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <unistd.h>

namespace NivoraSoak {

QByteArray imageText()
{
    NivoraVexbusUsbEmulator::FlashImage image;
    image.siliconId = 0x12345678;
    for (int row = 0; row < imageRows; ++row) {
        QByteArray data(64, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(row * 13 + i);
        image.rows.append({0, static_cast<quint16>(0x22 + row), data});
    }
    image.appendMetadataRow(0, 0xFF);
    return image.toText();
}

Resources sampleResources(qint64 pid)
{
    const QString process = pid > 0 ? QStringLiteral("/proc/%1").arg(pid) : QStringLiteral("/proc/self");
    QFile statm(process + QStringLiteral("/statm"));
    const QList<QByteArray> fields = statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ') : QList<QByteArray>();
    return {fields.size() > 1 ? fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : 0,
            int(QDir(process + QStringLiteral("/fd")).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).count())};
}

QList<pid_t> busDaemons()
{
    QList<pid_t> daemons;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(QStringLiteral("/proc/%1/status").arg(entry));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = status.readAll();
        if (text.startsWith("Name:\tdbus-daemon") && text.contains("\nPPid:\t" + QByteArray::number(::getpid()) + '\n'))
            daemons.append(pid_t(entry.toInt()));
    }
    return daemons;
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

bool awaitListening(quint16 port, int ms)
{
    for (QDeadlineTimer wait(ms); !wait.hasExpired(); QThread::msleep(20)) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200))
            return true;
    }
    return false;
}

} // namespace NivoraSoak
