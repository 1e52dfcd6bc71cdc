// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_OUTPUT_H
#define VEXBUSCTL_OUTPUT_H

#include "link/nivoravexbususbreply.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

class Printer;
struct AdapterStatus;

// How the commands show what they found, the same whichever way they
// reach the adapter.

// "yyyy-MM-ddThh:mm:ss.zzz", local time, as monitors and watches stamp lines.
constexpr int timeStampLength = 23;
void writeTimeStamp(char *text);
QString timeStamp();
// A bus frame's line as the monitor prints it, in ASCII.
QByteArray frameLine(const QByteArray &frame, bool json);

QString orDash(const QString &value);
// A USB vendor or product ID in four hexadecimal digits; empty for 0.
QString usbId(unsigned short identifier);
// Text from elsewhere with its control characters escaped.
QString printable(const QString &text);

// The name by which scripts know a reply's error ("ErrorTimeout").
QString replyErrorName(NivoraVexbusUsb::NivoraVexbusUsbReply::Error error);

// Prints "interrupted" and returns the exit code of an interrupted command.
int interrupted(const Printer *printer);

QJsonObject statusObject(const AdapterStatus &adapter);
QString statusText(const AdapterStatus &adapter);
// The bus status in one line, as the monitor shows it.
QString busStatusText(const AdapterStatus &adapter);

// A release as check-update shows it, from the tool's own downloader or
// from vexbusd.
struct ReleaseView
{
    bool authenticated = false;
    QString signingKey;
    // Where the key that verified the release came from; empty for the
    // service's keys.
    QString signingKeyFile;
    QString version;
    QString hardware;
    QDateTime releaseDate;
    QString fileName;
    bool preRelease = false;
    QString server;
};

QString signatureText(const ReleaseView &release);
QJsonObject releaseObject(const ReleaseView &release);
QString releaseText(const ReleaseView &release);

#endif // VEXBUSCTL_OUTPUT_H
