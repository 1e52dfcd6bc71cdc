// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "bootloader/bootloaderhandler.h"
#include "bootloader/bootloaderresponsedecoder.h"
#include "devicewatcher/nivoravexbususbportlocation.h"
#include "devicewatcher/nivoravexbususbserialport.h"
#include "logging/nivoravexbususblogging.h"
#include "logging/nivoravexbususbtrafficrecorder.h"

#include <QDataStream>

namespace NivoraVexbusUsb {

namespace {

QString byteText(quint8 byte)
{
    return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
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
}

BootloaderHandler::~BootloaderHandler() = default;

BootloaderHandler::State BootloaderHandler::state() const { return m_state; }
bool BootloaderHandler::connected() const { return m_connected; }
QString BootloaderHandler::portName() const { return m_portName; }
int BootloaderHandler::baudrate() const { return m_baudrate; }
FirmwareData BootloaderHandler::firmwareData() const { return m_firmwareData; }
double BootloaderHandler::percentage() const { return m_percentage; }

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
    qCDebug(dcVexbusUsbBootloader()) << "Using" << m_firmwareData;
    setState(StateConnecting);
    if (!openPort())
        return;

    setConnected(true);
    setState(StateEnterBootloader);
}

bool BootloaderHandler::openPort()
{
    qCDebug(dcVexbusUsbBootloader()) << "Searching serial port" << m_portName;
    // The bootloader may sit behind a pseudo-terminal that is not listed.
    const NivoraVexbusUsbPortLocation location = NivoraVexbusUsbPortLocation::find(m_portName);
    if (location.isNull()) {
        qCWarning(dcVexbusUsbBootloader()) << "There is no serial port" << m_portName;
        fail();
        return false;
    }

    location.applyTo(m_serialPort, m_baudrate);
    if (!m_serialPort->open(QIODevice::ReadWrite)) {
        qCWarning(dcVexbusUsbBootloader()) << "Could not open serial port" << m_portName << m_baudrate;
        setConnected(false);
        fail();
        return false;
    }
    if (m_trafficRecorder)
        m_trafficRecorder->recordOpen(NivoraVexbusUsbTrafficRecorder::PortBootloader, location.systemLocation());
    return true;
}

void BootloaderHandler::stop()
{
    m_responseTimer.stop();
    m_serialPort->close();
    setConnected(false);
    reset();
}

void BootloaderHandler::reset()
{
    m_deviceSiliconId = 0;
    m_deviceSiliconRev = 0;
    m_bootloaderVersion = 0;
    m_startRow = 0;
    m_endRow = 0;
    m_firmwareData = FirmwareData();
    m_totalBytes = 0;
    m_sentBytes = 0;
    m_currentRow = 0;
    m_rowOffset = 0;
    m_lastChunkSize = 0;
    m_percentage = 0.0;
    m_decoder->reset();
}

void BootloaderHandler::fail()
{
    m_responseTimer.stop();
    if (m_failureReported)
        return;

    m_failureReported = true;
    emit finished(false);
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
        sendCommand("Get flash size message", BootloaderUtils::BootloaderCommandGetFlashSize, QByteArray(1, '\0'));
        break;
    case StatePrepareUpload: {
        m_currentRow = 0;
        m_rowOffset = 0;
        m_totalBytes = 0;
        m_sentBytes = 0;
        const QList<FirmwareDataRow> rows = m_firmwareData.rows();
        for (const FirmwareDataRow &row : rows)
            m_totalBytes += row.rowData().size();
        qCDebug(dcVexbusUsbBootloader()) << "Total upload bytes" << m_totalBytes << "Bytes";
        if (rows.isEmpty() || m_startRow != rows.first().rowNumber()) {
            qCWarning(dcVexbusUsbBootloader()) << "The firmware file does start from a different row number than the bootloader specified.";
            fail();
            return;
        }
        setState(StateStreamRow);
        break;
    }
    case StateStreamRow:
        sendNextRowData();
        break;
    case StateProgramRow:
        sendCommand("Program row message", BootloaderUtils::BootloaderCommandProgrammRow, rowAddress());
        break;
    case StateVerifyRow:
        sendCommand("Verify row message", BootloaderUtils::BootloaderCommandVerifyRow, rowAddress());
        break;
    case StateVerifyApplication:
        sendCommand("Verify application checksum message", BootloaderUtils::BootloaderCommandVerifyChecksum);
        break;
    case StateExitBootloader: {
        const QByteArray packet = buildPacket(BootloaderUtils::BootloaderCommandExitBootloader);
        qCDebug(dcVexbusUsbBootloader()) << "Exit bootloader message" << packet.toHex();
        sendData(packet);
        m_serialPort->flush();
        QTimer::singleShot(exitDelay, this, &BootloaderHandler::onExitBootloaderTimeout);
        break;
    }
    }
}

FirmwareDataRow BootloaderHandler::getCurrentRow() const
{
    return m_firmwareData.rows().at(m_currentRow);
}

bool BootloaderHandler::currentRowExists() const
{
    return m_currentRow >= 0 && m_currentRow < m_firmwareData.rows().count();
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
    QByteArray packet;
    packet.append(static_cast<char>(BootloaderResponseDecoder::startByte));
    packet.append(static_cast<char>(command));
    packet.append(static_cast<char>(data.size() & 0xFF));
    packet.append(static_cast<char>((data.size() >> 8) & 0xFF));
    packet.append(data);
    const quint16 checksum = BootloaderUtils::calculateChecksum(packet, BootloaderUtils::ChecksumTypeSum);
    packet.append(static_cast<char>(checksum & 0xFF));
    packet.append(static_cast<char>(checksum >> 8));
    packet.append(static_cast<char>(BootloaderResponseDecoder::endByte));
    return packet;
}

void BootloaderHandler::sendCommand(const char *message, BootloaderUtils::BootloaderCommand command, const QByteArray &data)
{
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
    if (status != BootloaderUtils::BootloaderErrorNoError) {
        qCWarning(dcVexbusUsbBootloader()) << errorText << BootloaderStatus{status};
        fail();
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
        const quint8 checksum = payload.isEmpty() ? 0 : static_cast<quint8>(payload.at(0));
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
    if (payload.size() != 8) {
        qCWarning(dcVexbusUsbBootloader()) << "Invalid data length in enter bootloader response.";
        fail();
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

    if (m_deviceSiliconId != m_firmwareData.siliconId()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware is not valid for this silicon type.";
        qCWarning(dcVexbusUsbBootloader()) << "Device silicon ID" << m_deviceSiliconId;
        qCWarning(dcVexbusUsbBootloader()) << "Firmware silicon ID" << m_firmwareData.siliconId();
        fail();
        return;
    }

    if (m_deviceSiliconRev != m_firmwareData.siliconRev()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware is not valid for this silicon revision.";
        qCWarning(dcVexbusUsbBootloader()) << "Device silicon revision" << static_cast<int>(m_deviceSiliconRev);
        qCWarning(dcVexbusUsbBootloader()) << "Firmware silicon revision" << static_cast<int>(m_firmwareData.siliconRev());
        fail();
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "The firmware is compatible for this device.";
    setState(StateGetFlahSize);
}

void BootloaderHandler::processFlashSizeResponse(const QByteArray &payload)
{
    if (payload.size() != 4) {
        qCWarning(dcVexbusUsbBootloader()) << "Invalid data length in get flash size response.";
        fail();
        return;
    }

    m_startRow = static_cast<quint8>(payload.at(0)) | (static_cast<quint8>(payload.at(1)) << 8);
    m_endRow = static_cast<quint8>(payload.at(2)) | (static_cast<quint8>(payload.at(3)) << 8);
    qCDebug(dcVexbusUsbBootloader()) << "Flash size | Start row:" << m_startRow << "End row:" << m_endRow;
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
        fail();
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "Verify row finished successfully.";
    qCDebug(dcVexbusUsbBootloader()) << "==========================================";
    if (m_currentRow == m_firmwareData.rows().count() - 1) {
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
    if (error == QSerialPort::NoError || !m_serialPort->isOpen())
        return;

    qCWarning(dcVexbusUsbInterface()) << "Serial port error occurred:" << error << m_serialPort->errorString();
    m_serialPort->close();
    setConnected(false);
}

void BootloaderHandler::onExitBootloaderTimeout()
{
    qCDebug(dcVexbusUsbBootloader()) << "Firmware update finished.";
    emit finished(true);
    setState(StateIdle);
}

void BootloaderHandler::onResponseTimeout()
{
    qCWarning(dcVexbusUsbBootloader()) << "Bootloader response timeout";
    fail();
}

} // namespace NivoraVexbusUsb
