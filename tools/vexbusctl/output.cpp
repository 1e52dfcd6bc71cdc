// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "output.h"
#include "adaptersession.h"
#include "adaptertransport.h"
#include "printer.h"

#include <QMetaEnum>
#include <QStringList>

#include <cstring>

// Local time as QDateTime::currentDateTime().toString(Qt::ISODateWithMs)
// writes it ("yyyy-MM-ddThh:mm:ss.zzz", timeStampLength characters), without
// asking for the zone on every call: that examines the zone's file each
// time, which a monitor would do for every frame. The offset from UTC is
// looked up once a quarter of an hour, since every zone's offset is a whole
// number of quarter hours and its changes come at the start of one.
void writeTimeStamp(char *text)
{
    constexpr qint64 quarterHourMs = 15 * 60 * 1000;
    constexpr qint64 dayMs = 24 * 60 * 60 * 1000;
    static qint64 offsetQuarter = -1;
    static qint64 offsetMs = 0;
    const qint64 utcMs = QDateTime::currentMSecsSinceEpoch();
    if (utcMs / quarterHourMs != offsetQuarter) {
        offsetQuarter = utcMs / quarterHourMs;
        offsetMs = qint64(QDateTime::fromMSecsSinceEpoch(utcMs).offsetFromUtc()) * 1000;
    }
    const qint64 localMs = utcMs + offsetMs;
    const qint64 days = localMs / dayMs;
    const qint64 msOfDay = localMs % dayMs;
    // The civil date of a day count since 1970-01-01 (after 1970).
    const qint64 z = days + 719468;
    const qint64 era = z / 146097;
    const qint64 dayOfEra = z - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 shiftedMonth = (5 * dayOfYear + 2) / 153;
    const int day = int(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    const int month = int(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    const int year = int(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    // Digit by digit: snprintf() would cost more than all the rest.
    auto put = [text](int position, int width, qint64 value) {
        for (int i = position + width - 1; i >= position; --i, value /= 10)
            text[i] = char('0' + value % 10);
    };
    put(0, 4, year);
    text[4] = '-';
    put(5, 2, month);
    text[7] = '-';
    put(8, 2, day);
    text[10] = 'T';
    put(11, 2, msOfDay / 3600000);
    text[13] = ':';
    put(14, 2, msOfDay / 60000 % 60);
    text[16] = ':';
    put(17, 2, msOfDay / 1000 % 60);
    text[19] = '.';
    put(20, 3, msOfDay % 1000);
}

QString timeStamp()
{
    char text[timeStampLength];
    writeTimeStamp(text);
    return QString::fromLatin1(text, timeStampLength);
}

// A bus frame's line as the monitor prints it, in ASCII: text mode
// "<time> frame  0a 1b 2c", JSON mode {"data":"0a1b2c","event":"frame",
// "time":"<time>"} (QJsonObject's key order). Built as bytes, since a
// monitor at line rate prints hundreds a second.
QByteArray frameLine(const QByteArray &frame, bool json)
{
    static const char digits[] = "0123456789abcdef";
    static const char textMiddle[] = " frame  ";
    static const char jsonStart[] = "{\"data\":\"";
    static const char jsonMiddle[] = "\",\"event\":\"frame\",\"time\":\"";
    static const char jsonEnd[] = "\"}";
    const int hexLength = json ? 2 * frame.size() : qMax(0, 3 * frame.size() - 1);
    const int length = timeStampLength + hexLength
            + (json ? int(sizeof(jsonStart) + sizeof(jsonMiddle) + sizeof(jsonEnd)) - 3 : int(sizeof(textMiddle)) - 1);
    QByteArray line(length, Qt::Uninitialized);
    char *out = line.data();
    auto append = [&out](const char *text, int size) {
        std::memcpy(out, text, size_t(size));
        out += size;
    };
    char time[timeStampLength];
    writeTimeStamp(time);
    if (json) {
        append(jsonStart, int(sizeof(jsonStart)) - 1);
    } else {
        append(time, timeStampLength);
        append(textMiddle, int(sizeof(textMiddle)) - 1);
    }
    for (int i = 0; i < frame.size(); ++i) {
        if (!json && i > 0)
            *out++ = ' ';
        const auto byte = static_cast<unsigned char>(frame.at(i));
        *out++ = digits[byte >> 4];
        *out++ = digits[byte & 0xF];
    }
    if (json) {
        append(jsonMiddle, int(sizeof(jsonMiddle)) - 1);
        append(time, timeStampLength);
        append(jsonEnd, int(sizeof(jsonEnd)) - 1);
    }
    return line;
}

QString orDash(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("-") : value;
}

QString usbId(unsigned short identifier)
{
    return identifier ? QStringLiteral("%1").arg(identifier, 4, 16, QLatin1Char('0')) : QString();
}

// Text from the release server goes to a terminal: its control characters
// (and the format characters that reorder a line) are shown escaped, so
// that it makes no line, colour or cursor movement of its own. A backslash
// is doubled, so that an escape cannot be faked either.
QString printable(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar character : text) {
        const QChar::Category category = character.category();
        if (character == QLatin1Char('\\'))
            result += QStringLiteral("\\\\");
        else if (category == QChar::Other_Control || category == QChar::Other_Format)
            result += character.unicode() < 0x100 ? QStringLiteral("\\x%1").arg(character.unicode(), 2, 16, QLatin1Char('0'))
                                                  : QStringLiteral("\\u%1").arg(character.unicode(), 4, 16, QLatin1Char('0'));
        else
            result += character;
    }
    return result;
}

QString replyErrorName(NivoraVexbusUsb::NivoraVexbusUsbReply::Error error)
{
    return QString::fromLatin1(QMetaEnum::fromType<NivoraVexbusUsb::NivoraVexbusUsbReply::Error>().valueToKey(error));
}

int interrupted(const Printer *printer)
{
    printer->error(QStringLiteral("interrupted"));
    return ExitInterrupted;
}

QJsonObject statusObject(const AdapterStatus &adapter)
{
    QJsonObject serialPort;
    serialPort.insert(QStringLiteral("name"), adapter.serialPortName);
    serialPort.insert(QStringLiteral("systemLocation"), adapter.serialPortSystemLocation);
    serialPort.insert(QStringLiteral("description"), adapter.serialPortDescription);
    serialPort.insert(QStringLiteral("manufacturer"), adapter.serialPortManufacturer);
    serialPort.insert(QStringLiteral("serialNumber"), adapter.serialPortSerialNumber);
    serialPort.insert(QStringLiteral("vendorIdentifier"), usbId(adapter.vendorIdentifier));
    serialPort.insert(QStringLiteral("productIdentifier"), usbId(adapter.productIdentifier));
    serialPort.insert(QStringLiteral("baudrate"), adapter.baudrate);

    QJsonObject object;
    object.insert(QStringLiteral("port"), adapter.port);
    object.insert(QStringLiteral("available"), adapter.available);
    object.insert(QStringLiteral("controllerInBootloader"), adapter.controllerInBootloader);
    object.insert(QStringLiteral("firmwareVersion"), adapter.firmwareVersion);
    object.insert(QStringLiteral("ledMode"), adapter.ledMode);
    object.insert(QStringLiteral("vexbusType"), adapter.busType);
    object.insert(QStringLiteral("vexbusSynchronized"), adapter.busSynchronized);
    object.insert(QStringLiteral("vexbusInitialized"), adapter.busInitialized);
    object.insert(QStringLiteral("vexbusAvailable"), adapter.busAvailable);
    object.insert(QStringLiteral("serialPort"), serialPort);
    if (adapter.showsRecovery()) {
        object.insert(QStringLiteral("update"), QJsonObject{
            {QStringLiteral("updating"), adapter.updating},
            {QStringLiteral("phase"), adapter.updatePhase},
            {QStringLiteral("percentage"), adapter.updatePercentage},
            {QStringLiteral("error"), adapter.updateError},
            {QStringLiteral("errorString"), adapter.updateErrorString},
        });
        object.insert(QStringLiteral("recovery"), adapter.recovery);
        object.insert(QStringLiteral("recoveryMessage"), adapter.recoveryMessage);
    }
    if (adapter.showsPolicy()) {
        object.insert(QStringLiteral("policy"), QJsonObject{
            {QStringLiteral("sequence"), double(adapter.policySequence)},
            {QStringLiteral("state"), adapter.policyState},
            {QStringLiteral("message"), adapter.policyMessage},
            {QStringLiteral("refusal"), adapter.policyRefusal},
        });
    }
    return object;
}

QString statusText(const AdapterStatus &adapter)
{
    const QString usb = adapter.vendorIdentifier
            ? usbId(adapter.vendorIdentifier) + QLatin1Char(':') + usbId(adapter.productIdentifier)
            : QString();
    QStringList lines{
        Printer::field(QStringLiteral("Port"), adapter.port),
        Printer::field(QStringLiteral("Firmware version"), adapter.firmwareVersion),
        Printer::field(QStringLiteral("LED mode"), adapter.ledMode),
        Printer::field(QStringLiteral("Bus type"), adapter.busType),
        Printer::field(QStringLiteral("Bus synchronized"), Printer::yesNo(adapter.busSynchronized)),
        Printer::field(QStringLiteral("Bus initialized"), Printer::yesNo(adapter.busInitialized)),
        Printer::field(QStringLiteral("Bus available"), Printer::yesNo(adapter.busAvailable)),
        Printer::field(QStringLiteral("Serial port"), QStringLiteral("%1, %2 baud").arg(orDash(adapter.serialPortName)).arg(adapter.baudrate)),
        Printer::field(QStringLiteral("  description"), orDash(adapter.serialPortDescription)),
        Printer::field(QStringLiteral("  manufacturer"), orDash(adapter.serialPortManufacturer)),
        Printer::field(QStringLiteral("  serial number"), orDash(adapter.serialPortSerialNumber)),
        Printer::field(QStringLiteral("  USB ID"), orDash(usb)),
        Printer::field(QStringLiteral("In bootloader"), Printer::yesNo(adapter.controllerInBootloader)),
    };
    if (adapter.showsRecovery()) {
        const QString update = adapter.updating
                ? QStringLiteral("%1, %2 %").arg(adapter.updatePhase, QString::number(adapter.updatePercentage, 'f', 0))
                : adapter.updateError == QLatin1String("none") ? adapter.updatePhase
                                                               : QStringLiteral("%1 (%2)").arg(adapter.updatePhase, adapter.updateError);
        lines.append(Printer::field(QStringLiteral("Update"), update));
        lines.append(Printer::field(QStringLiteral("Recovery"), adapter.recovery));
        if (!adapter.recoveryMessage.isEmpty())
            lines.append(Printer::field(QStringLiteral("  message"), printable(adapter.recoveryMessage)));
    }
    if (adapter.showsPolicy()) {
        lines.append(Printer::field(QStringLiteral("Fleet policy"), adapter.policySequence
                                    ? QStringLiteral("%1, %2").arg(adapter.policySequence).arg(adapter.policyState)
                                    : adapter.policyState));
        if (!adapter.policyMessage.isEmpty())
            lines.append(Printer::field(QStringLiteral("  message"), printable(adapter.policyMessage)));
        if (!adapter.policyRefusal.isEmpty())
            lines.append(Printer::field(QStringLiteral("  refused"), printable(adapter.policyRefusal)));
    }
    return lines.join(QLatin1Char('\n'));
}

QString busStatusText(const AdapterStatus &adapter)
{
    return QStringLiteral("led %1, bus %2 synchronized, %3 initialized, %4 available, type %5")
            .arg(adapter.ledMode,
                 adapter.busSynchronized ? QString() : QStringLiteral("not"),
                 adapter.busInitialized ? QString() : QStringLiteral("not"),
                 adapter.busAvailable ? QString() : QStringLiteral("not"),
                 adapter.busType)
            .replace(QStringLiteral("  "), QStringLiteral(" "));
}

QString signatureText(const ReleaseView &release)
{
    if (!release.authenticated)
        return QStringLiteral("not checked, no trusted key (--trusted-key FILE)");
    return QStringLiteral("verified, key %1 (%2)").arg(release.signingKey, release.signingKeyFile.isEmpty()
                                                                            ? QStringLiteral("trusted by vexbusd")
                                                                            : printable(release.signingKeyFile));
}

QJsonObject releaseObject(const ReleaseView &release)
{
    QJsonObject object;
    object.insert(QStringLiteral("authenticated"), release.authenticated);
    if (release.authenticated) {
        object.insert(QStringLiteral("signingKey"), release.signingKey);
        if (!release.signingKeyFile.isEmpty())
            object.insert(QStringLiteral("signingKeyFile"), release.signingKeyFile);
    }
    object.insert(QStringLiteral("version"), release.version);
    object.insert(QStringLiteral("hardware"), release.hardware);
    object.insert(QStringLiteral("releaseDate"), release.releaseDate.toUTC().toString(Qt::ISODate));
    object.insert(QStringLiteral("fileName"), release.fileName);
    object.insert(QStringLiteral("preRelease"), release.preRelease);
    object.insert(QStringLiteral("server"), release.server);
    return object;
}

QString releaseText(const ReleaseView &release)
{
    const QDateTime date = release.releaseDate;
    return QStringList{
        Printer::field(QStringLiteral("Version"), printable(release.version)),
        Printer::field(QStringLiteral("Hardware"), orDash(printable(release.hardware))),
        Printer::field(QStringLiteral("Release date"), date.toOffsetFromUtc(date.offsetFromUtc()).toString(Qt::ISODate)),
        Printer::field(QStringLiteral("File"), printable(release.fileName)),
        Printer::field(QStringLiteral("Server"), printable(release.server) + (release.preRelease ? QStringLiteral(" (pre-release)") : QString())),
        Printer::field(QStringLiteral("Signature"), signatureText(release)),
    }.join(QLatin1Char('\n'));
}

