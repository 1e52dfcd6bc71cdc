// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/bootloaderhandler.h"
#include "bootloader/bootloaderhandler_p.h"
#include "bootloader/bootloaderresponsedecoder.h"
#include "bootloader/bootloaderutils.h"
#include "devicewatcher/nivoravexbususbportlocation.h"
#include "devicewatcher/nivoravexbususbserialport.h"
#include "logging/bytetext.h"
#include "logging/nivoravexbususblogging.h"
#include "logging/nivoravexbususbtrafficrecorder.h"

#include <QDataStream>
#include <QMetaEnum>

namespace NivoraVexbusUsb {

namespace {

QString rowText(quint16 row)
{
    return QStringLiteral("0x%1").arg(row, 2, 16, QLatin1Char('0'));
}

// "InvalidRowNumber" for a named status, "unnamed" otherwise.
QString statusName(quint8 status)
{
    const char *key = QMetaEnum::fromType<BootloaderUtils::BootloaderError>().valueToKey(status);
    return key ? QString::fromLatin1(key).mid(int(qstrlen("BootloaderError"))) : QStringLiteral("unnamed");
}

QString idText(int siliconId)
{
    return QStringLiteral("0x%1").arg(static_cast<quint32>(siliconId), 8, 16, QLatin1Char('0'));
}

} // namespace

BootloaderHandler::BootloaderHandler(QObject *parent) :
    QObject(parent),
    d_ptr(new BootloaderHandlerPrivate)
{
    Q_D(BootloaderHandler);
    d->serialPort = new NivoraVexbusUsbSerialPort(this);
    connect(d->serialPort, &QSerialPort::readyRead, this, &BootloaderHandler::onReadyRead);
    connect(d->serialPort, &QSerialPort::errorOccurred, this, &BootloaderHandler::onError);
    connect(d->serialPort, &QSerialPort::aboutToClose, this, [d]() {
        if (d->trafficRecorder)
            d->trafficRecorder->recordClose(NivoraVexbusUsbTrafficRecorder::PortBootloader);
    });

    d->responseTimer.setSingleShot(true);
    d->responseTimer.setTimerType(Qt::PreciseTimer);
    d->responseTimer.setInterval(responseTimeout);
    connect(&d->responseTimer, &QTimer::timeout, this, &BootloaderHandler::onResponseTimeout);

    d->exitTimer.setSingleShot(true);
    d->exitTimer.setTimerType(Qt::PreciseTimer);
    d->exitTimer.setInterval(exitDelay);
    connect(&d->exitTimer, &QTimer::timeout, this, &BootloaderHandler::onExitBootloaderTimeout);
}

BootloaderHandler::~BootloaderHandler() = default;

BootloaderHandler::State BootloaderHandler::state() const
{
    Q_D(const BootloaderHandler);
    return d->state;
}

bool BootloaderHandler::connected() const
{
    Q_D(const BootloaderHandler);
    return d->connected;
}

QString BootloaderHandler::portName() const
{
    Q_D(const BootloaderHandler);
    return d->portName;
}

int BootloaderHandler::baudrate() const
{
    Q_D(const BootloaderHandler);
    return d->baudrate;
}

FirmwareData BootloaderHandler::firmwareData() const
{
    Q_D(const BootloaderHandler);
    return d->firmwareData;
}

double BootloaderHandler::percentage() const
{
    Q_D(const BootloaderHandler);
    return d->percentage;
}

bool BootloaderHandler::leftBootloader() const
{
    Q_D(const BootloaderHandler);
    return d->leftBootloader;
}

FirmwareUpdate::Error BootloaderHandler::error() const
{
    Q_D(const BootloaderHandler);
    return d->error;
}

QString BootloaderHandler::errorString() const
{
    Q_D(const BootloaderHandler);
    return d->errorString;
}


void BootloaderHandler::setPortName(const QString &portName)
{
    Q_D(BootloaderHandler);
    qCDebug(dcVexbusUsbBootloader()) << "Serial port" << portName;
    d->portName = portName;
}

void BootloaderHandler::setBaudrate(int baudrate)
{
    Q_D(BootloaderHandler);
    qCDebug(dcVexbusUsbBootloader()) << "Serial port baudrate" << baudrate;
    d->baudrate = baudrate;
}

void BootloaderHandler::setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder)
{
    Q_D(BootloaderHandler);
    d->trafficRecorder = recorder;
}

void BootloaderHandler::setFirmwareData(const FirmwareData &firmwareData)
{
    Q_D(BootloaderHandler);
    d->firmwareData = firmwareData;
}

void BootloaderHandler::start()
{
    Q_D(BootloaderHandler);
    if (!d->firmwareData.isValid()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware file is not valid" << d->firmwareData;
        return;
    }

    d->failureReported = false;
    d->programStarted = false;
    d->leftBootloader = false;
    d->answered = false;
    d->entered = false;
    d->error = FirmwareUpdate::ErrorNone;
    d->errorString.clear();
    // The run writes this copy to its end; an image set meanwhile waits for
    // the next start().
    d->image = d->firmwareData;
    qCDebug(dcVexbusUsbBootloader()) << "Using" << d->image;
    setState(StateConnecting);
    if (!openPort())
        return;

    setConnected(true);
    setState(StateEnterBootloader);
}

NivoraVexbusUsbPortLocation BootloaderHandler::portLocation() const
{
    Q_D(const BootloaderHandler);
    qCDebug(dcVexbusUsbBootloader()) << "Searching serial port" << d->portName;
    // The bootloader may sit behind a pseudo-terminal that is not listed.
    return NivoraVexbusUsbPortLocation::find(d->portName);
}

bool BootloaderHandler::openPort()
{
    Q_D(BootloaderHandler);
    NivoraVexbusUsbPortLocation location = portLocation();
    if (location.isNull()) {
        qCWarning(dcVexbusUsbBootloader()) << "There is no serial port" << d->portName;
        fail(FirmwareUpdate::ErrorPortLost, QStringLiteral("There is no serial port %1 for the bootloader.").arg(d->portName));
        return false;
    }

    location.applyTo(d->serialPort, d->baudrate);
    if (!d->serialPort->open(QIODevice::ReadWrite)) {
        qCWarning(dcVexbusUsbBootloader()) << "Could not open serial port" << d->portName << d->baudrate;
        setConnected(false);
        fail(FirmwareUpdate::ErrorPortLost, QStringLiteral("The serial port %1 of the bootloader does not open: %2.")
                                                    .arg(d->portName, d->serialPort->errorString()));
        return false;
    }
    if (d->trafficRecorder)
        d->trafficRecorder->recordOpen(NivoraVexbusUsbTrafficRecorder::PortBootloader, location.systemLocation());
    // The bootloader speaks only when spoken to: what waits on the line is
    // its answer to a request of the link before the hand-over (a
    // controller found in its bootloader takes the link's requests for
    // broken packets), not the answer to the first command.
    d->serialPort->clear(QSerialPort::Input);
    return true;
}

void BootloaderHandler::stop()
{
    Q_D(BootloaderHandler);
    d->responseTimer.stop();
    d->exitTimer.stop();
    d->serialPort->close();
    setConnected(false);
    reset();
    setState(StateIdle);
}

void BootloaderHandler::reset()
{
    Q_D(BootloaderHandler);
    d->deviceSiliconId = 0;
    d->deviceSiliconRev = 0;
    d->bootloaderVersion = 0;
    d->startRow = 0;
    d->endRow = 0;
    d->firmwareData = FirmwareData();
    d->image = FirmwareData();
    d->programStarted = false;
    d->entered = false;
    d->flashRanges.clear();
    d->arrays.clear();
    d->arrayIndex = 0;
    d->totalBytes = 0;
    d->sentBytes = 0;
    d->currentRow = 0;
    d->rowOffset = 0;
    d->lastChunkSize = 0;
    d->percentage = 0.0;
    d->decoder->reset();
}

void BootloaderHandler::fail(FirmwareUpdate::Error error, const QString &errorString)
{
    Q_D(BootloaderHandler);
    d->responseTimer.stop();
    if (d->failureReported)
        return;

    d->failureReported = true;
    d->error = error;
    d->errorString = errorString;
    // Before the first program-row the application in the flash is still
    // whole: leaving the bootloader lets the controller run it again. Once
    // rows were written it waits in its bootloader for a new run.
    if (!d->programStarted && d->serialPort->isOpen()) {
        sendExitBootloader();
        return;
    }
    emit finished(false);
}

bool BootloaderHandler::leaveBootloader()
{
    Q_D(BootloaderHandler);
    d->responseTimer.stop();
    d->exitTimer.stop();
    // Once a row was programmed the application is no longer whole; the
    // controller must wait in its bootloader for a new run.
    if (d->programStarted)
        return false;
    if (!d->serialPort->isOpen()) {
        // The owner gives up before the run took the port: open it just to
        // send the exit.
        qCDebug(dcVexbusUsbBootloader()) << "Opening" << d->portName << "to leave the bootloader";
        NivoraVexbusUsbPortLocation location = portLocation();
        if (location.isNull())
            return false;
        location.applyTo(d->serialPort, d->baudrate);
        if (!d->serialPort->open(QIODevice::ReadWrite))
            return false;
        if (d->trafficRecorder)
            d->trafficRecorder->recordOpen(NivoraVexbusUsbTrafficRecorder::PortBootloader, location.systemLocation());
    }
    sendExitPackets();
    d->serialPort->flush();
    d->leftBootloader = true;
    return true;
}

void BootloaderHandler::sendExitPackets()
{
    Q_D(BootloaderHandler);
    // A bootloader that was not entered refuses every command but enter.
    if (!d->entered) {
        const QByteArray enter = buildPacket(BootloaderUtils::BootloaderCommandEnterBootloader);
        qCDebug(dcVexbusUsbBootloader()) << "Enter bootloader message" << enter.toHex();
        sendData(enter);
    }
    const QByteArray packet = buildPacket(BootloaderUtils::BootloaderCommandExitBootloader);
    qCDebug(dcVexbusUsbBootloader()) << "Exit bootloader message" << packet.toHex();
    sendData(packet);
}

void BootloaderHandler::failOnStatus(quint8 status)
{
    Q_D(BootloaderHandler);
    const QString statusText = QStringLiteral("status %1 (%2)").arg(statusName(status), byteText(status));
    switch (d->state) {
    case StateEnterBootloader:
        fail(FirmwareUpdate::ErrorBootloaderRefused, QStringLiteral("The bootloader refused enter-bootloader with %1.").arg(statusText));
        break;
    case StateGetFlahSize:
        fail(FirmwareUpdate::ErrorBootloaderRefused, QStringLiteral("The bootloader refused the flash size of array %1 with %2.")
                                                             .arg(d->arrays.value(d->arrayIndex)).arg(statusText));
        break;
    case StateVerifyApplication:
        fail(FirmwareUpdate::ErrorBootloaderRefused,
             QStringLiteral("The bootloader refused to verify the application checksum with %1.").arg(statusText));
        break;
    default: {
        const FirmwareDataRow row = getCurrentRow();
        const char *step = d->state == StateStreamRow ? "the data of" : d->state == StateProgramRow ? "programming" : "verifying";
        fail(FirmwareUpdate::ErrorRowRejected, QStringLiteral("The bootloader rejected %1 row %2 of array %3 with %4; the controller stays in its bootloader.")
                                                       .arg(QLatin1String(step), rowText(row.rowNumber())).arg(row.arrayId()).arg(statusText));
        break;
    }
    }
}

QString BootloaderHandler::runPosition() const
{
    Q_D(const BootloaderHandler);
    if (!currentRowExists() || (d->state != StateStreamRow && d->state != StateProgramRow && d->state != StateVerifyRow))
        return QString();
    const FirmwareDataRow row = getCurrentRow();
    return QStringLiteral(" at row %1 of array %2; the controller stays in its bootloader").arg(rowText(row.rowNumber())).arg(row.arrayId());
}

void BootloaderHandler::sendExitBootloader()
{
    Q_D(BootloaderHandler);
    sendExitPackets();
    d->serialPort->flush();
    d->leftBootloader = true;
    d->exitTimer.start();
}

void BootloaderHandler::setConnected(bool connected)
{
    Q_D(BootloaderHandler);
    if (d->connected == connected)
        return;

    qCDebug(dcVexbusUsbBootloader()) << "Bootloader UART" << (connected ? "connected" : "disconnected");
    d->connected = connected;
    emit connectedChanged(d->connected);
}

void BootloaderHandler::setState(State state)
{
    Q_D(BootloaderHandler);
    if (d->state == state)
        return;

    d->state = state;
    emit stateChanged(d->state);
    qCDebug(dcVexbusUsbBootloader()) << "State changed" << d->state;

    switch (d->state) {
    case StateIdle:
    case StateConnecting:
        break;
    case StateEnterBootloader:
        sendCommand("Enter bootloader message", BootloaderUtils::BootloaderCommandEnterBootloader);
        break;
    case StateGetFlahSize:
        d->arrays.clear();
        d->flashRanges.clear();
        d->arrayIndex = 0;
        for (const FirmwareDataRow &row : d->image.rows()) {
            if (!d->arrays.contains(row.arrayId()))
                d->arrays.append(row.arrayId());
        }
        sendFlashSizeRequest();
        break;
    case StatePrepareUpload: {
        d->currentRow = 0;
        d->rowOffset = 0;
        d->totalBytes = 0;
        d->sentBytes = 0;
        const QList<FirmwareDataRow> rows = d->image.rows();
        for (const FirmwareDataRow &row : rows)
            d->totalBytes += row.rowData().size();
        qCDebug(dcVexbusUsbBootloader()) << "Total upload bytes" << d->totalBytes << "Bytes";
        // A row outside its array's flash would be refused only when its
        // turn comes, with the rows before it written.
        for (const FirmwareDataRow &row : rows) {
            const QPair<quint16, quint16> range = d->flashRanges.value(row.arrayId());
            if (row.rowNumber() < range.first || row.rowNumber() > range.second) {
                qCWarning(dcVexbusUsbBootloader()).noquote()
                        << QStringLiteral("Row %1 of array %2 lies outside the chip's flash rows %3 to %4 of that array; nothing was written.")
                                   .arg(rowText(row.rowNumber())).arg(row.arrayId()).arg(rowText(range.first), rowText(range.second));
                fail(FirmwareUpdate::ErrorImageDoesNotFitFlash,
                     QStringLiteral("Row %1 of array %2 lies outside the chip's flash rows %3 to %4 of that array; nothing was written.")
                             .arg(rowText(row.rowNumber())).arg(row.arrayId()).arg(rowText(range.first), rowText(range.second)));
                return;
            }
        }
        if (rows.isEmpty() || d->flashRanges.value(rows.first().arrayId()).first != rows.first().rowNumber()) {
            qCWarning(dcVexbusUsbBootloader()) << "The firmware file does start from a different row number than the bootloader specified.";
            const quint8 arrayId = rows.isEmpty() ? 0 : rows.first().arrayId();
            fail(FirmwareUpdate::ErrorImageDoesNotFitFlash,
                 QStringLiteral("The image begins at row %1 of array %2, but the chip's application begins at row %3; nothing was written.")
                         .arg(rowText(rows.isEmpty() ? 0 : rows.first().rowNumber())).arg(arrayId)
                         .arg(rowText(d->flashRanges.value(arrayId).first)));
            return;
        }
        setState(StateStreamRow);
        break;
    }
    case StateStreamRow:
        sendNextRowData();
        break;
    case StateProgramRow:
        d->programStarted = true;
        sendCommand("Program row message", BootloaderUtils::BootloaderCommandProgrammRow, rowAddress());
        break;
    case StateVerifyRow:
        sendCommand("Verify row message", BootloaderUtils::BootloaderCommandVerifyRow, rowAddress());
        break;
    case StateVerifyApplication:
        sendCommand("Verify application checksum message", BootloaderUtils::BootloaderCommandVerifyChecksum);
        break;
    case StateExitBootloader:
        sendExitBootloader();
        break;
    }
}

FirmwareDataRow BootloaderHandler::getCurrentRow() const
{
    Q_D(const BootloaderHandler);
    return d->image.rows().at(d->currentRow);
}

bool BootloaderHandler::currentRowExists() const
{
    Q_D(const BootloaderHandler);
    return d->currentRow >= 0 && d->currentRow < d->image.rows().count();
}

void BootloaderHandler::sendFlashSizeRequest()
{
    Q_D(BootloaderHandler);
    sendCommand("Get flash size message", BootloaderUtils::BootloaderCommandGetFlashSize,
                QByteArray(1, static_cast<char>(d->arrays.value(d->arrayIndex))));
}

QByteArray BootloaderHandler::rowAddress() const
{
    const FirmwareDataRow row = getCurrentRow();
    QByteArray address;
    address.append(static_cast<char>(row.arrayId()));
    address.append(static_cast<char>(row.rowNumber() & 0xFF));
    address.append(static_cast<char>(row.rowNumber() >> 8));
    return address;
}

void BootloaderHandler::sendNextRowData()
{
    Q_D(BootloaderHandler);
    if (!d->serialPort->isOpen() || !currentRowExists())
        return;
    const QByteArray rowData = getCurrentRow().rowData();
    const QByteArray chunk = rowData.mid(d->rowOffset, maximumChunkSize);
    d->lastChunkSize = chunk.size();
    const QByteArray packet = buildPacket(BootloaderUtils::BootloaderCommandSendData, chunk);
    qCDebug(dcVexbusUsbBootloader()) << "Send data from row" << d->currentRow << "Length:" << d->lastChunkSize
                                     << "Current offset:" << d->rowOffset << "/" << rowData.size();
    sendData(packet);
    d->responseTimer.start();
}

void BootloaderHandler::calculateUpdatePercentage()
{
    Q_D(BootloaderHandler);
    const double percentage = d->sentBytes * 100.0 / d->totalBytes;
    if (qFuzzyCompare(percentage, d->percentage))
        return;

    d->percentage = percentage;
    qCDebug(dcVexbusUsbBootloader()) << "Upload" << d->percentage << "%";
    emit percentageChanged(d->percentage);
}

// Packets

QByteArray BootloaderHandler::buildPacket(BootloaderUtils::BootloaderCommand command, const QByteArray &data)
{
    return BootloaderUtils::commandPacket(command, data);
}

void BootloaderHandler::sendCommand(const char *message, BootloaderUtils::BootloaderCommand command, const QByteArray &data)
{
    Q_D(BootloaderHandler);
    // A slot of stateChanged() may have stopped the run.
    if (!d->serialPort->isOpen())
        return;
    const QByteArray packet = buildPacket(command, data);
    qCDebug(dcVexbusUsbBootloader()) << message << packet.toHex();
    sendData(packet);
    d->responseTimer.start();
}

void BootloaderHandler::sendData(const QByteArray &packet)
{
    Q_D(BootloaderHandler);
    if (dcVexbusUsbBootloaderTraffic().isDebugEnabled()) {
        for (const char byte : packet)
            qCDebug(dcVexbusUsbBootloaderTraffic()) << "-->" << byteText(static_cast<quint8>(byte));
    }
    if (d->trafficRecorder)
        d->trafficRecorder->recordBytes(NivoraVexbusUsbTrafficRecorder::PortBootloader, NivoraVexbusUsbTrafficRecorder::DirectionOut, packet);
    d->serialPort->write(packet);
}

void BootloaderHandler::onReadyRead()
{
    Q_D(BootloaderHandler);
    const QByteArray data = d->serialPort->readAll();
    if (d->trafficRecorder)
        d->trafficRecorder->recordBytes(NivoraVexbusUsbTrafficRecorder::PortBootloader, NivoraVexbusUsbTrafficRecorder::DirectionIn, data);
    // A response may end the run (stop() resets the decoder) before the
    // rest of the read is looked at.
    for (const char byte : data) {
        d->decoder->processByte(static_cast<quint8>(byte));
        while (d->decoder->hasPacket())
            processData(d->decoder->takePacket());
    }
}

void BootloaderHandler::processData(const QByteArray &packet)
{
    qCDebug(dcVexbusUsbBootloader()) << "Process bootloader message" << packet.toHex();
    unsigned char status = 0;
    QByteArray payload;
    if (BootloaderResponseDecoder::parse(packet, &status, &payload))
        processMessage(status, payload);
}

// Responses

void BootloaderHandler::processMessage(quint8 status, const QByteArray &payload)
{
    Q_D(BootloaderHandler);
    if (payload.isEmpty()) {
        qCDebug(dcVexbusUsbBootloader()) << "Process message" << BootloaderStatus{status};
    } else {
        qCDebug(dcVexbusUsbBootloader()) << "Process message" << BootloaderStatus{status} << "Payload:" << payload.toHex();
    }

    // A run that reported its failure stays where it failed: a late or
    // repeated response must not carry it on into writing rows.
    if (d->failureReported) {
        qCDebug(dcVexbusUsbBootloader()) << "Ignoring the response in" << d->state << "because the update has failed.";
        return;
    }

    const bool rowState = d->state == StateStreamRow || d->state == StateProgramRow || d->state == StateVerifyRow;
    if (rowState && !currentRowExists()) {
        // stop() emptied the image, or a shorter one replaced it, while a
        // response was on its way: there is no row it could belong to.
        qCDebug(dcVexbusUsbBootloader()) << "Ignoring the response in" << d->state << "because row" << d->currentRow
                                         << "is not part of the firmware image.";
        return;
    }

    const char *errorText = nullptr;
    switch (d->state) {
    case StateEnterBootloader: errorText = "Could not enter bootloader:"; break;
    case StateGetFlahSize: errorText = "Could not get flash size:"; break;
    case StateStreamRow: errorText = "Could not stream row data:"; break;
    case StateProgramRow: errorText = "Could not program row:"; break;
    case StateVerifyRow: errorText = "Could not verify row:"; break;
    case StateVerifyApplication: errorText = "Could not verify application checksum:"; break;
    default:
        return;
    }

    d->responseTimer.stop();
    d->answered = true;
    if (status != BootloaderUtils::BootloaderErrorNoError) {
        qCWarning(dcVexbusUsbBootloader()) << errorText << BootloaderStatus{status};
        failOnStatus(status);
        return;
    }

    switch (d->state) {
    case StateEnterBootloader:
        processEnterBootloaderResponse(payload);
        break;
    case StateGetFlahSize:
        processFlashSizeResponse(payload);
        break;
    case StateStreamRow:
        processStreamRowResponse();
        break;
    case StateProgramRow:
        qCDebug(dcVexbusUsbBootloader()) << "Program row finished successfully.";
        setState(StateVerifyRow);
        break;
    case StateVerifyRow:
        processVerifyRowResponse(payload);
        break;
    case StateVerifyApplication: {
        // 1 is a valid application; 0, or no answer byte at all, leaves the
        // controller in its bootloader with nothing it can run.
        const quint8 checksum = payload.isEmpty() ? 0 : static_cast<quint8>(payload.at(0));
        if (checksum != 1) {
            const QString text = QStringLiteral("The application checksum does not verify: the bootloader holds the written application invalid (%1).")
                                         .arg(payload.isEmpty() ? QStringLiteral("empty answer") : QStringLiteral("answer ") + byteText(checksum));
            qCWarning(dcVexbusUsbBootloader()).noquote() << text;
            fail(FirmwareUpdate::ErrorApplicationChecksumInvalid, text);
            return;
        }
        qCDebug(dcVexbusUsbBootloader()) << "Checksum verification finished successfully" << byteText(checksum);
        setState(StateExitBootloader);
        break;
    }
    default:
        break;
    }
}

void BootloaderHandler::processEnterBootloaderResponse(const QByteArray &payload)
{
    Q_D(BootloaderHandler);
    d->entered = true;
    if (payload.size() != 8) {
        qCWarning(dcVexbusUsbBootloader()) << "Invalid data length in enter bootloader response.";
        fail(FirmwareUpdate::ErrorBootloaderNotAnswering,
             QStringLiteral("The answer to enter-bootloader carries %1 bytes instead of 8: no bootloader of this kind answers.").arg(payload.size()));
        return;
    }

    QDataStream stream(payload);
    stream.setByteOrder(QDataStream::LittleEndian);
    qint32 siliconId = 0;
    quint8 siliconRev = 0;
    quint8 version[3] = {0, 0, 0};
    stream >> siliconId >> siliconRev >> version[0] >> version[1] >> version[2];
    d->deviceSiliconId = siliconId;
    d->deviceSiliconRev = siliconRev;
    d->bootloaderVersion = version[0] + 256u * version[1] + 65536u * version[2];
    qCDebug(dcVexbusUsbBootloader()) << "Silicon ID:" << static_cast<quint32>(d->deviceSiliconId) << "Silicon Rev:"
                                     << static_cast<int>(d->deviceSiliconRev) << "Bootloader version:" << d->bootloaderVersion;

    if (d->deviceSiliconId != d->image.siliconId()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware is not valid for this silicon type.";
        qCWarning(dcVexbusUsbBootloader()) << "Device silicon ID" << d->deviceSiliconId;
        qCWarning(dcVexbusUsbBootloader()) << "Firmware silicon ID" << d->image.siliconId();
        fail(FirmwareUpdate::ErrorWrongChip, QStringLiteral("The image is built for silicon ID %1, but the chip has silicon ID %2; nothing was written.")
                                                     .arg(idText(d->image.siliconId()), idText(d->deviceSiliconId)));
        return;
    }

    if (d->deviceSiliconRev != d->image.siliconRev()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware is not valid for this silicon revision.";
        qCWarning(dcVexbusUsbBootloader()) << "Device silicon revision" << static_cast<int>(d->deviceSiliconRev);
        qCWarning(dcVexbusUsbBootloader()) << "Firmware silicon revision" << static_cast<int>(d->image.siliconRev());
        fail(FirmwareUpdate::ErrorWrongChip, QStringLiteral("The image is built for silicon revision %1, but the chip has revision %2; nothing was written.")
                                                     .arg(d->image.siliconRev()).arg(d->deviceSiliconRev));
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "The firmware is compatible for this device.";
    setState(StateGetFlahSize);
}

void BootloaderHandler::processFlashSizeResponse(const QByteArray &payload)
{
    Q_D(BootloaderHandler);
    if (payload.size() != 4) {
        qCWarning(dcVexbusUsbBootloader()) << "Invalid data length in get flash size response.";
        fail(FirmwareUpdate::ErrorBootloaderNotAnswering,
             QStringLiteral("The answer to get-flash-size carries %1 bytes instead of 4: no bootloader of this kind answers.").arg(payload.size()));
        return;
    }

    const quint8 arrayId = d->arrays.value(d->arrayIndex);
    const quint16 startRow = static_cast<quint8>(payload.at(0)) | (static_cast<quint8>(payload.at(1)) << 8);
    const quint16 endRow = static_cast<quint8>(payload.at(2)) | (static_cast<quint8>(payload.at(3)) << 8);
    qCDebug(dcVexbusUsbBootloader()) << "Flash size | Start row:" << startRow << "End row:" << endRow << "Array:" << arrayId;
    d->flashRanges.insert(arrayId, qMakePair(startRow, endRow));
    if (arrayId == 0) {
        d->startRow = startRow;
        d->endRow = endRow;
    }
    if (++d->arrayIndex < d->arrays.count()) {
        sendFlashSizeRequest();
        return;
    }
    setState(StatePrepareUpload);
}

void BootloaderHandler::processStreamRowResponse()
{
    Q_D(BootloaderHandler);
    qCDebug(dcVexbusUsbBootloader()) << "Stream row data finished successfully.";
    d->rowOffset += d->lastChunkSize;
    d->sentBytes += d->lastChunkSize;
    calculateUpdatePercentage();
    if (d->rowOffset != getCurrentRow().rowData().size()) {
        sendNextRowData();
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "Row upload complete.";
    setState(StateProgramRow);
}

void BootloaderHandler::processVerifyRowResponse(const QByteArray &payload)
{
    Q_D(BootloaderHandler);
    const FirmwareDataRow row = getCurrentRow();
    const quint8 checksum = payload.isEmpty() ? 0 : static_cast<quint8>(payload.at(0));
    if (checksum != row.verifyChecksum()) {
        qCWarning(dcVexbusUsbBootloader()) << "Row verification failed for row" << row;
        qCWarning(dcVexbusUsbBootloader()) << "Returned row checksum does not match" << static_cast<int>(checksum) << "!=" << static_cast<int>(row.verifyChecksum());
        fail(FirmwareUpdate::ErrorRowVerificationFailed,
             QStringLiteral("Row %1 of array %2 does not verify: the bootloader reads checksum %3 where the image expects %4; "
                            "the controller stays in its bootloader.")
                     .arg(rowText(row.rowNumber())).arg(row.arrayId()).arg(byteText(checksum), byteText(row.verifyChecksum())));
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "Verify row finished successfully.";
    qCDebug(dcVexbusUsbBootloader()) << "==========================================";
    if (d->currentRow == d->image.rows().count() - 1) {
        qCDebug(dcVexbusUsbBootloader()) << "==========================================";
        qCDebug(dcVexbusUsbBootloader()) << "Upload finished. All rows written successfully.";
        qCDebug(dcVexbusUsbBootloader()) << "==========================================";
        setState(StateVerifyApplication);
        return;
    }

    d->currentRow += 1;
    d->rowOffset = 0;
    setState(StateStreamRow);
}

void BootloaderHandler::onError(QSerialPort::SerialPortError error)
{
    Q_D(BootloaderHandler);
    // A time-out is no fault of the port.
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError || !d->serialPort->isOpen())
        return;

    qCWarning(dcVexbusUsbInterface()) << "Serial port error occurred:" << error << d->serialPort->errorString();
    const QString reason = d->serialPort->errorString();
    d->serialPort->close();
    setConnected(false);
    // A run in progress has lost its bootloader; one that has ended stays as it ended.
    if (d->state != StateIdle && !d->exitTimer.isActive())
        fail(FirmwareUpdate::ErrorPortLost, QStringLiteral("The serial port %1 of the bootloader was lost (%2)%3.")
                                                    .arg(d->portName, reason, runPosition()));
}

void BootloaderHandler::onExitBootloaderTimeout()
{
    Q_D(BootloaderHandler);
    if (d->failureReported) {
        qCDebug(dcVexbusUsbBootloader()) << "Left the bootloader; the application written before runs again.";
        emit finished(false);
        return;
    }
    qCDebug(dcVexbusUsbBootloader()) << "Firmware update finished.";
    emit finished(true);
    setState(StateIdle);
}

void BootloaderHandler::onResponseTimeout()
{
    Q_D(BootloaderHandler);
    qCWarning(dcVexbusUsbBootloader()) << "Bootloader response timeout";
    if (!d->answered) {
        fail(FirmwareUpdate::ErrorBootloaderNotAnswering,
             QStringLiteral("The bootloader did not answer within %1 ms: the controller does not run its bootloader, or the line is broken.")
                     .arg(responseTimeout));
        return;
    }
    fail(FirmwareUpdate::ErrorTimedOut, QStringLiteral("The bootloader did not answer within %1 ms%2.").arg(responseTimeout).arg(runPosition()));
}

} // namespace NivoraVexbusUsb
