// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/bootloaderhandler.h"
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
    m_decoder(new BootloaderResponseDecoder)
{
    m_serialPort = new NivoraVexbusUsbSerialPort(this);
    connect(m_serialPort, &QSerialPort::readyRead, this, &BootloaderHandler::onReadyRead);
    connect(m_serialPort, &QSerialPort::errorOccurred, this, &BootloaderHandler::onError);
    connect(m_serialPort, &QSerialPort::aboutToClose, this, [this]() {
        if (m_trafficRecorder)
            m_trafficRecorder->recordClose(NivoraVexbusUsbTrafficRecorder::PortBootloader);
    });

    m_responseTimer.setSingleShot(true);
    m_responseTimer.setTimerType(Qt::PreciseTimer);
    m_responseTimer.setInterval(responseTimeout);
    connect(&m_responseTimer, &QTimer::timeout, this, &BootloaderHandler::onResponseTimeout);

    m_exitTimer.setSingleShot(true);
    m_exitTimer.setTimerType(Qt::PreciseTimer);
    m_exitTimer.setInterval(exitDelay);
    connect(&m_exitTimer, &QTimer::timeout, this, &BootloaderHandler::onExitBootloaderTimeout);
}

BootloaderHandler::~BootloaderHandler() = default;

BootloaderHandler::State BootloaderHandler::state() const { return m_state; }
bool BootloaderHandler::connected() const { return m_connected; }
QString BootloaderHandler::portName() const { return m_portName; }
int BootloaderHandler::baudrate() const { return m_baudrate; }
FirmwareData BootloaderHandler::firmwareData() const { return m_firmwareData; }
double BootloaderHandler::percentage() const { return m_percentage; }
bool BootloaderHandler::leftBootloader() const { return m_leftBootloader; }
FirmwareUpdate::Error BootloaderHandler::error() const { return m_error; }
QString BootloaderHandler::errorString() const { return m_errorString; }

void BootloaderHandler::setPortName(const QString &portName)
{
    qCDebug(dcVexbusUsbBootloader()) << "Serial port" << portName;
    m_portName = portName;
}

void BootloaderHandler::setBaudrate(int baudrate)
{
    qCDebug(dcVexbusUsbBootloader()) << "Serial port baudrate" << baudrate;
    m_baudrate = baudrate;
}

void BootloaderHandler::setTrafficRecorder(NivoraVexbusUsbTrafficRecorder *recorder)
{
    m_trafficRecorder = recorder;
}

void BootloaderHandler::setFirmwareData(const FirmwareData &firmwareData)
{
    m_firmwareData = firmwareData;
}

void BootloaderHandler::start()
{
    if (!m_firmwareData.isValid()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware file is not valid" << m_firmwareData;
        return;
    }

    m_failureReported = false;
    m_programStarted = false;
    m_leftBootloader = false;
    m_answered = false;
    m_entered = false;
    m_error = FirmwareUpdate::ErrorNone;
    m_errorString.clear();
    // The run writes this copy to its end; an image set meanwhile waits for
    // the next start().
    m_image = m_firmwareData;
    qCDebug(dcVexbusUsbBootloader()) << "Using" << m_image;
    setState(StateConnecting);
    if (!openPort())
        return;

    setConnected(true);
    setState(StateEnterBootloader);
}

NivoraVexbusUsbPortLocation BootloaderHandler::portLocation() const
{
    qCDebug(dcVexbusUsbBootloader()) << "Searching serial port" << m_portName;
    // The bootloader may sit behind a pseudo-terminal that is not listed.
    return NivoraVexbusUsbPortLocation::find(m_portName);
}

bool BootloaderHandler::openPort()
{
    NivoraVexbusUsbPortLocation location = portLocation();
    if (location.isNull()) {
        qCWarning(dcVexbusUsbBootloader()) << "There is no serial port" << m_portName;
        fail(FirmwareUpdate::ErrorPortLost, QStringLiteral("There is no serial port %1 for the bootloader.").arg(m_portName));
        return false;
    }

    location.applyTo(m_serialPort, m_baudrate);
    if (!m_serialPort->open(QIODevice::ReadWrite)) {
        qCWarning(dcVexbusUsbBootloader()) << "Could not open serial port" << m_portName << m_baudrate;
        setConnected(false);
        fail(FirmwareUpdate::ErrorPortLost, QStringLiteral("The serial port %1 of the bootloader does not open: %2.")
                                                    .arg(m_portName, m_serialPort->errorString()));
        return false;
    }
    if (m_trafficRecorder)
        m_trafficRecorder->recordOpen(NivoraVexbusUsbTrafficRecorder::PortBootloader, location.systemLocation());
    return true;
}

void BootloaderHandler::stop()
{
    m_responseTimer.stop();
    m_exitTimer.stop();
    m_serialPort->close();
    setConnected(false);
    reset();
    setState(StateIdle);
}

void BootloaderHandler::reset()
{
    m_deviceSiliconId = 0;
    m_deviceSiliconRev = 0;
    m_bootloaderVersion = 0;
    m_startRow = 0;
    m_endRow = 0;
    m_firmwareData = FirmwareData();
    m_image = FirmwareData();
    m_programStarted = false;
    m_entered = false;
    m_flashRanges.clear();
    m_arrays.clear();
    m_arrayIndex = 0;
    m_totalBytes = 0;
    m_sentBytes = 0;
    m_currentRow = 0;
    m_rowOffset = 0;
    m_lastChunkSize = 0;
    m_percentage = 0.0;
    m_decoder->reset();
}

void BootloaderHandler::fail(FirmwareUpdate::Error error, const QString &errorString)
{
    m_responseTimer.stop();
    if (m_failureReported)
        return;

    m_failureReported = true;
    m_error = error;
    m_errorString = errorString;
    // Before the first program-row the application in the flash is still
    // whole: leaving the bootloader lets the controller run it again. Once
    // rows were written it waits in its bootloader for a new run.
    if (!m_programStarted && m_serialPort->isOpen()) {
        sendExitBootloader();
        return;
    }
    emit finished(false);
}

bool BootloaderHandler::leaveBootloader()
{
    m_responseTimer.stop();
    m_exitTimer.stop();
    // Once a row was programmed the application is no longer whole; the
    // controller must wait in its bootloader for a new run.
    if (m_programStarted)
        return false;
    if (!m_serialPort->isOpen()) {
        // The owner gives up before the run took the port: open it just to
        // send the exit.
        qCDebug(dcVexbusUsbBootloader()) << "Opening" << m_portName << "to leave the bootloader";
        NivoraVexbusUsbPortLocation location = portLocation();
        if (location.isNull())
            return false;
        location.applyTo(m_serialPort, m_baudrate);
        if (!m_serialPort->open(QIODevice::ReadWrite))
            return false;
        if (m_trafficRecorder)
            m_trafficRecorder->recordOpen(NivoraVexbusUsbTrafficRecorder::PortBootloader, location.systemLocation());
    }
    sendExitPackets();
    m_serialPort->flush();
    m_leftBootloader = true;
    return true;
}

void BootloaderHandler::sendExitPackets()
{
    // A bootloader that was not entered refuses every command but enter.
    if (!m_entered) {
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
    const QString statusText = QStringLiteral("status %1 (%2)").arg(statusName(status), byteText(status));
    switch (m_state) {
    case StateEnterBootloader:
        fail(FirmwareUpdate::ErrorBootloaderRefused, QStringLiteral("The bootloader refused enter-bootloader with %1.").arg(statusText));
        break;
    case StateGetFlahSize:
        fail(FirmwareUpdate::ErrorBootloaderRefused, QStringLiteral("The bootloader refused the flash size of array %1 with %2.")
                                                             .arg(m_arrays.value(m_arrayIndex)).arg(statusText));
        break;
    case StateVerifyApplication:
        fail(FirmwareUpdate::ErrorBootloaderRefused,
             QStringLiteral("The bootloader refused to verify the application checksum with %1.").arg(statusText));
        break;
    default: {
        const FirmwareDataRow row = getCurrentRow();
        const char *step = m_state == StateStreamRow ? "the data of" : m_state == StateProgramRow ? "programming" : "verifying";
        fail(FirmwareUpdate::ErrorRowRejected, QStringLiteral("The bootloader rejected %1 row %2 of array %3 with %4; the controller stays in its bootloader.")
                                                       .arg(QLatin1String(step), rowText(row.rowNumber())).arg(row.arrayId()).arg(statusText));
        break;
    }
    }
}

QString BootloaderHandler::runPosition() const
{
    if (!currentRowExists() || (m_state != StateStreamRow && m_state != StateProgramRow && m_state != StateVerifyRow))
        return QString();
    const FirmwareDataRow row = getCurrentRow();
    return QStringLiteral(" at row %1 of array %2; the controller stays in its bootloader").arg(rowText(row.rowNumber())).arg(row.arrayId());
}

void BootloaderHandler::sendExitBootloader()
{
    sendExitPackets();
    m_serialPort->flush();
    m_leftBootloader = true;
    m_exitTimer.start();
}

void BootloaderHandler::setConnected(bool connected)
{
    if (m_connected == connected)
        return;

    qCDebug(dcVexbusUsbBootloader()) << "Bootloader UART" << (connected ? "connected" : "disconnected");
    m_connected = connected;
    emit connectedChanged(m_connected);
}

void BootloaderHandler::setState(State state)
{
    if (m_state == state)
        return;

    m_state = state;
    emit stateChanged(m_state);
    qCDebug(dcVexbusUsbBootloader()) << "State changed" << m_state;

    switch (m_state) {
    case StateIdle:
    case StateConnecting:
        break;
    case StateEnterBootloader:
        sendCommand("Enter bootloader message", BootloaderUtils::BootloaderCommandEnterBootloader);
        break;
    case StateGetFlahSize:
        m_arrays.clear();
        m_flashRanges.clear();
        m_arrayIndex = 0;
        for (const FirmwareDataRow &row : m_image.rows()) {
            if (!m_arrays.contains(row.arrayId()))
                m_arrays.append(row.arrayId());
        }
        sendFlashSizeRequest();
        break;
    case StatePrepareUpload: {
        m_currentRow = 0;
        m_rowOffset = 0;
        m_totalBytes = 0;
        m_sentBytes = 0;
        const QList<FirmwareDataRow> rows = m_image.rows();
        for (const FirmwareDataRow &row : rows)
            m_totalBytes += row.rowData().size();
        qCDebug(dcVexbusUsbBootloader()) << "Total upload bytes" << m_totalBytes << "Bytes";
        // A row outside its array's flash would be refused only when its
        // turn comes, with the rows before it written.
        for (const FirmwareDataRow &row : rows) {
            const QPair<quint16, quint16> range = m_flashRanges.value(row.arrayId());
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
        if (rows.isEmpty() || m_flashRanges.value(rows.first().arrayId()).first != rows.first().rowNumber()) {
            qCWarning(dcVexbusUsbBootloader()) << "The firmware file does start from a different row number than the bootloader specified.";
            const quint8 arrayId = rows.isEmpty() ? 0 : rows.first().arrayId();
            fail(FirmwareUpdate::ErrorImageDoesNotFitFlash,
                 QStringLiteral("The image begins at row %1 of array %2, but the chip's application begins at row %3; nothing was written.")
                         .arg(rowText(rows.isEmpty() ? 0 : rows.first().rowNumber())).arg(arrayId)
                         .arg(rowText(m_flashRanges.value(arrayId).first)));
            return;
        }
        setState(StateStreamRow);
        break;
    }
    case StateStreamRow:
        sendNextRowData();
        break;
    case StateProgramRow:
        m_programStarted = true;
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
    return m_image.rows().at(m_currentRow);
}

bool BootloaderHandler::currentRowExists() const
{
    return m_currentRow >= 0 && m_currentRow < m_image.rows().count();
}

void BootloaderHandler::sendFlashSizeRequest()
{
    sendCommand("Get flash size message", BootloaderUtils::BootloaderCommandGetFlashSize,
                QByteArray(1, static_cast<char>(m_arrays.value(m_arrayIndex))));
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
    if (!m_serialPort->isOpen() || !currentRowExists())
        return;
    const QByteArray rowData = getCurrentRow().rowData();
    const QByteArray chunk = rowData.mid(m_rowOffset, maximumChunkSize);
    m_lastChunkSize = chunk.size();
    const QByteArray packet = buildPacket(BootloaderUtils::BootloaderCommandSendData, chunk);
    qCDebug(dcVexbusUsbBootloader()) << "Send data from row" << m_currentRow << "Length:" << m_lastChunkSize
                                     << "Current offset:" << m_rowOffset << "/" << rowData.size();
    sendData(packet);
    m_responseTimer.start();
}

void BootloaderHandler::calculateUpdatePercentage()
{
    const double percentage = m_sentBytes * 100.0 / m_totalBytes;
    if (qFuzzyCompare(percentage, m_percentage))
        return;

    m_percentage = percentage;
    qCDebug(dcVexbusUsbBootloader()) << "Upload" << m_percentage << "%";
    emit percentageChanged(m_percentage);
}

// Packets

QByteArray BootloaderHandler::buildPacket(BootloaderUtils::BootloaderCommand command, const QByteArray &data)
{
    return BootloaderUtils::commandPacket(command, data);
}

void BootloaderHandler::sendCommand(const char *message, BootloaderUtils::BootloaderCommand command, const QByteArray &data)
{
    // A slot of stateChanged() may have stopped the run.
    if (!m_serialPort->isOpen())
        return;
    const QByteArray packet = buildPacket(command, data);
    qCDebug(dcVexbusUsbBootloader()) << message << packet.toHex();
    sendData(packet);
    m_responseTimer.start();
}

void BootloaderHandler::sendData(const QByteArray &packet)
{
    if (dcVexbusUsbBootloaderTraffic().isDebugEnabled()) {
        for (const char byte : packet)
            qCDebug(dcVexbusUsbBootloaderTraffic()) << "-->" << byteText(static_cast<quint8>(byte));
    }
    if (m_trafficRecorder)
        m_trafficRecorder->recordBytes(NivoraVexbusUsbTrafficRecorder::PortBootloader, NivoraVexbusUsbTrafficRecorder::DirectionOut, packet);
    m_serialPort->write(packet);
}

void BootloaderHandler::onReadyRead()
{
    const QByteArray data = m_serialPort->readAll();
    if (m_trafficRecorder)
        m_trafficRecorder->recordBytes(NivoraVexbusUsbTrafficRecorder::PortBootloader, NivoraVexbusUsbTrafficRecorder::DirectionIn, data);
    // A response may end the run (stop() resets the decoder) before the
    // rest of the read is looked at.
    for (const char byte : data) {
        m_decoder->processByte(static_cast<quint8>(byte));
        while (m_decoder->hasPacket())
            processData(m_decoder->takePacket());
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
    if (payload.isEmpty()) {
        qCDebug(dcVexbusUsbBootloader()) << "Process message" << BootloaderStatus{status};
    } else {
        qCDebug(dcVexbusUsbBootloader()) << "Process message" << BootloaderStatus{status} << "Payload:" << payload.toHex();
    }

    // A run that reported its failure stays where it failed: a late or
    // repeated response must not carry it on into writing rows.
    if (m_failureReported) {
        qCDebug(dcVexbusUsbBootloader()) << "Ignoring the response in" << m_state << "because the update has failed.";
        return;
    }

    const bool rowState = m_state == StateStreamRow || m_state == StateProgramRow || m_state == StateVerifyRow;
    if (rowState && !currentRowExists()) {
        // stop() emptied the image, or a shorter one replaced it, while a
        // response was on its way: there is no row it could belong to.
        qCDebug(dcVexbusUsbBootloader()) << "Ignoring the response in" << m_state << "because row" << m_currentRow
                                         << "is not part of the firmware image.";
        return;
    }

    const char *errorText = nullptr;
    switch (m_state) {
    case StateEnterBootloader: errorText = "Could not enter bootloader:"; break;
    case StateGetFlahSize: errorText = "Could not get flash size:"; break;
    case StateStreamRow: errorText = "Could not stream row data:"; break;
    case StateProgramRow: errorText = "Could not program row:"; break;
    case StateVerifyRow: errorText = "Could not verify row:"; break;
    case StateVerifyApplication: errorText = "Could not verify application checksum:"; break;
    default:
        return;
    }

    m_responseTimer.stop();
    m_answered = true;
    if (status != BootloaderUtils::BootloaderErrorNoError) {
        qCWarning(dcVexbusUsbBootloader()) << errorText << BootloaderStatus{status};
        failOnStatus(status);
        return;
    }

    switch (m_state) {
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
    m_entered = true;
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
    m_deviceSiliconId = siliconId;
    m_deviceSiliconRev = siliconRev;
    m_bootloaderVersion = version[0] + 256u * version[1] + 65536u * version[2];
    qCDebug(dcVexbusUsbBootloader()) << "Silicon ID:" << static_cast<quint32>(m_deviceSiliconId) << "Silicon Rev:"
                                     << static_cast<int>(m_deviceSiliconRev) << "Bootloader version:" << m_bootloaderVersion;

    if (m_deviceSiliconId != m_image.siliconId()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware is not valid for this silicon type.";
        qCWarning(dcVexbusUsbBootloader()) << "Device silicon ID" << m_deviceSiliconId;
        qCWarning(dcVexbusUsbBootloader()) << "Firmware silicon ID" << m_image.siliconId();
        fail(FirmwareUpdate::ErrorWrongChip, QStringLiteral("The image is built for silicon ID %1, but the chip has silicon ID %2; nothing was written.")
                                                     .arg(idText(m_image.siliconId()), idText(m_deviceSiliconId)));
        return;
    }

    if (m_deviceSiliconRev != m_image.siliconRev()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware is not valid for this silicon revision.";
        qCWarning(dcVexbusUsbBootloader()) << "Device silicon revision" << static_cast<int>(m_deviceSiliconRev);
        qCWarning(dcVexbusUsbBootloader()) << "Firmware silicon revision" << static_cast<int>(m_image.siliconRev());
        fail(FirmwareUpdate::ErrorWrongChip, QStringLiteral("The image is built for silicon revision %1, but the chip has revision %2; nothing was written.")
                                                     .arg(m_image.siliconRev()).arg(m_deviceSiliconRev));
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "The firmware is compatible for this device.";
    setState(StateGetFlahSize);
}

void BootloaderHandler::processFlashSizeResponse(const QByteArray &payload)
{
    if (payload.size() != 4) {
        qCWarning(dcVexbusUsbBootloader()) << "Invalid data length in get flash size response.";
        fail(FirmwareUpdate::ErrorBootloaderNotAnswering,
             QStringLiteral("The answer to get-flash-size carries %1 bytes instead of 4: no bootloader of this kind answers.").arg(payload.size()));
        return;
    }

    const quint8 arrayId = m_arrays.value(m_arrayIndex);
    const quint16 startRow = static_cast<quint8>(payload.at(0)) | (static_cast<quint8>(payload.at(1)) << 8);
    const quint16 endRow = static_cast<quint8>(payload.at(2)) | (static_cast<quint8>(payload.at(3)) << 8);
    qCDebug(dcVexbusUsbBootloader()) << "Flash size | Start row:" << startRow << "End row:" << endRow << "Array:" << arrayId;
    m_flashRanges.insert(arrayId, qMakePair(startRow, endRow));
    if (arrayId == 0) {
        m_startRow = startRow;
        m_endRow = endRow;
    }
    if (++m_arrayIndex < m_arrays.count()) {
        sendFlashSizeRequest();
        return;
    }
    setState(StatePrepareUpload);
}

void BootloaderHandler::processStreamRowResponse()
{
    qCDebug(dcVexbusUsbBootloader()) << "Stream row data finished successfully.";
    m_rowOffset += m_lastChunkSize;
    m_sentBytes += m_lastChunkSize;
    calculateUpdatePercentage();
    if (m_rowOffset != getCurrentRow().rowData().size()) {
        sendNextRowData();
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "Row upload complete.";
    setState(StateProgramRow);
}

void BootloaderHandler::processVerifyRowResponse(const QByteArray &payload)
{
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
    if (m_currentRow == m_image.rows().count() - 1) {
        qCDebug(dcVexbusUsbBootloader()) << "==========================================";
        qCDebug(dcVexbusUsbBootloader()) << "Upload finished. All rows written successfully.";
        qCDebug(dcVexbusUsbBootloader()) << "==========================================";
        setState(StateVerifyApplication);
        return;
    }

    m_currentRow += 1;
    m_rowOffset = 0;
    setState(StateStreamRow);
}

void BootloaderHandler::onError(QSerialPort::SerialPortError error)
{
    // A time-out is no fault of the port.
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError || !m_serialPort->isOpen())
        return;

    qCWarning(dcVexbusUsbInterface()) << "Serial port error occurred:" << error << m_serialPort->errorString();
    const QString reason = m_serialPort->errorString();
    m_serialPort->close();
    setConnected(false);
    // A run in progress has lost its bootloader; one that has ended stays as it ended.
    if (m_state != StateIdle && !m_exitTimer.isActive())
        fail(FirmwareUpdate::ErrorPortLost, QStringLiteral("The serial port %1 of the bootloader was lost (%2)%3.")
                                                    .arg(m_portName, reason, runPosition()));
}

void BootloaderHandler::onExitBootloaderTimeout()
{
    if (m_failureReported) {
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
    qCWarning(dcVexbusUsbBootloader()) << "Bootloader response timeout";
    if (!m_answered) {
        fail(FirmwareUpdate::ErrorBootloaderNotAnswering,
             QStringLiteral("The bootloader did not answer within %1 ms: the controller does not run its bootloader, or the line is broken.")
                     .arg(responseTimeout));
        return;
    }
    fail(FirmwareUpdate::ErrorTimedOut, QStringLiteral("The bootloader did not answer within %1 ms%2.").arg(responseTimeout).arg(runPosition()));
}

} // namespace NivoraVexbusUsb
