// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "gatewayidentity.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>

namespace {

// vexbusd's application id: the same on every gateway, so that one machine
// id always gives one gateway id, and a different one from every other
// program's, so that the ids of two programs on one machine do not match.
const QByteArray applicationId = QByteArray::fromHex("4c8c0cbbf6e44a88b1c49a36f03665bb");

} // namespace

QString GatewayIdentity::fromMachineIdFile(const QString &machineIdFile, QString *error)
{
    QFile file(machineIdFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the machine id in %1: %2").arg(machineIdFile, file.errorString());
        return QString();
    }
    const QByteArray machineId = file.readLine(64).trimmed();
    // "uninitialized" during the first boot, empty in some images.
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{32}$"));
    if (!hex.match(QString::fromLatin1(machineId)).hasMatch()) {
        *error = QStringLiteral("%1 holds no machine id (32 hexadecimal digits); set [Gateway] Id").arg(machineIdFile);
        return QString();
    }
    return fromMachineId(machineId);
}

QString GatewayIdentity::fromMachineId(const QByteArray &machineId)
{
    QByteArray id = QMessageAuthenticationCode::hash(applicationId, QByteArray::fromHex(machineId), QCryptographicHash::Sha256).left(16);
    // A random UUID's version and variant, as systemd marks its app-specific ids.
    id[6] = char((uchar(id.at(6)) & 0x0f) | 0x40);
    id[8] = char((uchar(id.at(8)) & 0x3f) | 0x80);
    return QString::fromLatin1(id.toHex());
}
