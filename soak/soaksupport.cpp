// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "soaksupport.h"

#include "flashimage.h"

#include <QDir>
#include <QFile>
#include <QList>

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

} // namespace NivoraSoak
