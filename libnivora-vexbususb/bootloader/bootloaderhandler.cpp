#include "bootloader/bootloaderhandler.h"
#include "logging/nivoravexbususblogging.h"

#include <QSerialPortInfo>

namespace NivoraVexbusUsb {

namespace {
constexpr char startByte = 0x01;
constexpr char endByte = 0x17;
// Start byte, status or command, length (2) before the payload; checksum (2)
// and end byte after it.
constexpr int packetOverhead = 7;

quint16 littleEndian16(const QByteArray &bytes, int offset)
{
    return static_cast<quint16>(static_cast<quint8>(bytes.at(offset)) | (static_cast<quint8>(bytes.at(offset + 1)) << 8));
}

void appendLittleEndian16(QByteArray *bytes, quint16 value)
{
    bytes->append(static_cast<char>(value & 0xFF));
    bytes->append(static_cast<char>(value >> 8));
}

QString byteText(quint8 byte)
{
    return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
}

// What a non-zero status in answer to the command of a state means.
const char *statusWarning(BootloaderHandler::State state)
{
    switch (state) {
    case BootloaderHandler::StateEnterBootloader:
        return "Could not enter bootloader:";
    case BootloaderHandler::StateGetFlahSize:
        return "Could not get flash size:";
    case BootloaderHandler::StateStreamRow:
        return "Could not stream row data:";
    case BootloaderHandler::StateProgramRow:
        return "Could not program row:";
    case BootloaderHandler::StateVerifyRow:
        return "Could not verify row:";
    case BootloaderHandler::StateVerifyApplication:
        return "Could not verify application checksum:";
    default:
        return "Unexpected response status:";
    }
}
}

BootloaderHandler::BootloaderHandler(QObject *parent) :
    QObject(parent),
    m_serialPort(new QSerialPort(this))
{
    connect(m_serialPort, &QSerialPort::readyRead, this, &BootloaderHandler::onReadyRead);
    connect(m_serialPort, &QSerialPort::errorOccurred, this, &BootloaderHandler::onError);

    m_responseTimer.setSingleShot(true);
    m_responseTimer.setInterval(responseTimeout);
    connect(&m_responseTimer, &QTimer::timeout, this, &BootloaderHandler::onResponseTimeout);

    m_exitTimer.setSingleShot(true);
    m_exitTimer.setInterval(exitBootloaderDelay);
    connect(&m_exitTimer, &QTimer::timeout, this, &BootloaderHandler::onExitBootloaderTimeout);
}

QString BootloaderHandler::portName() const
{
    return m_portName;
}

void BootloaderHandler::setPortName(const QString &portName)
{
    qCDebug(dcVexbusUsbBootloader()) << "Serial port" << portName;
    m_portName = portName;
}

int BootloaderHandler::baudrate() const
{
    return m_baudrate;
}

void BootloaderHandler::setBaudrate(int baudrate)
{
    qCDebug(dcVexbusUsbBootloader()) << "Serial port baudrate" << baudrate;
    m_baudrate = baudrate;
}

FirmwareData BootloaderHandler::firmwareData() const
{
    return m_firmwareData;
}

void BootloaderHandler::setFirmwareData(const FirmwareData &firmwareData)
{
    m_firmwareData = firmwareData;
}

BootloaderHandler::State BootloaderHandler::state() const
{
    return m_state;
}

bool BootloaderHandler::connected() const
{
    return m_connected;
}

double BootloaderHandler::percentage() const
{
    return m_percentage;
}

QByteArray BootloaderHandler::buildPacket(BootloaderUtils::BootloaderCommand command, const QByteArray &data)
{
    QByteArray packet;
    packet.reserve(data.size() + packetOverhead);
    packet.append(startByte);
    packet.append(static_cast<char>(command));
    appendLittleEndian16(&packet, static_cast<quint16>(data.size()));
    packet.append(data);
    appendLittleEndian16(&packet, BootloaderUtils::calculateChecksum(packet, BootloaderUtils::ChecksumTypeSum));
    packet.append(endByte);
    return packet;
}

void BootloaderHandler::start()
{
    if (!m_firmwareData.isValid()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware file is not valid" << m_firmwareData;
        return;
    }

    // An exit wait of an earlier run must not report success for this one.
    m_exitTimer.stop();
    m_responseTimer.stop();
    m_running = true;

    qCDebug(dcVexbusUsbBootloader()) << "Using" << m_firmwareData;
    setState(StateConnecting);
    if (!openPort()) {
        failRun();
        return;
    }

    setConnected(true);
    setState(StateEnterBootloader);
}

void BootloaderHandler::stop()
{
    m_serialPort->close();
    setConnected(false);
    m_responseTimer.stop();
    m_running = false;
    reset();
}

bool BootloaderHandler::openPort()
{
    qCDebug(dcVexbusUsbBootloader()) << "Searching serial port" << m_portName;
    QSerialPortInfo chosenPort;
    bool found = false;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        qCDebug(dcVexbusUsbBootloader()) << "Checking serial port" << info.systemLocation();
        if (info.systemLocation() == m_portName) {
            chosenPort = info;
            found = true;
            break;
        }
    }

    if (!found) {
        qCWarning(dcVexbusUsbBootloader()) << "There is no serial port" << m_portName;
        return false;
    }

    m_serialPort->setBaudRate(m_baudrate);
    m_serialPort->setPort(chosenPort);
    m_serialPort->setDataBits(QSerialPort::Data8);
    m_serialPort->setParity(QSerialPort::NoParity);
    m_serialPort->setFlowControl(QSerialPort::NoFlowControl);
    m_serialPort->setStopBits(QSerialPort::OneStop);
    if (!m_serialPort->open(QIODevice::ReadWrite)) {
        qCWarning(dcVexbusUsbBootloader()) << "Could not open serial port" << m_portName << m_baudrate;
        setConnected(false);
        return false;
    }
    return true;
}

void BootloaderHandler::failRun()
{
    m_responseTimer.stop();
    if (!m_running)
        return;

    m_running = false;
    emit finished(false);
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
        sendCommand(BootloaderUtils::BootloaderCommandEnterBootloader, QByteArray(), "Enter bootloader message");
        break;
    case StateGetFlahSize:
        // Array 0 holds the application.
        sendCommand(BootloaderUtils::BootloaderCommandGetFlashSize, QByteArray(1, 0x00), "Get flash size message");
        break;
    case StatePrepareUpload:
        prepareUpload();
        break;
    case StateStreamRow:
        sendNextRowData();
        break;
    case StateProgramRow:
        sendCommand(BootloaderUtils::BootloaderCommandProgrammRow, currentRowAddress(), "Program row message");
        break;
    case StateVerifyRow:
        sendCommand(BootloaderUtils::BootloaderCommandVerifyRow, currentRowAddress(), "Verify row message");
        break;
    case StateVerifyApplication:
        sendCommand(BootloaderUtils::BootloaderCommandVerifyChecksum, QByteArray(), "Verify application checksum message");
        break;
    case StateExitBootloader:
        sendCommand(BootloaderUtils::BootloaderCommandExitBootloader, QByteArray(), "Exit bootloader message");
        // The bootloader does not answer the exit command; it resets.
        m_serialPort->flush();
        m_exitTimer.start();
        break;
    }
}

void BootloaderHandler::setConnected(bool connected)
{
    if (m_connected == connected)
        return;

    qCDebug(dcVexbusUsbBootloader()) << "Bootloader UART" << (connected ? "connected" : "disconnected");
    m_connected = connected;
    emit connectedChanged(m_connected);
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
    m_buffer.clear();
    m_packetSize = -1;
}

void BootloaderHandler::prepareUpload()
{
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
        failRun();
        return;
    }

    setState(StateStreamRow);
}

bool BootloaderHandler::hasCurrentRow(int pendingBytes) const
{
    const QList<FirmwareDataRow> rows = m_firmwareData.rows();
    return m_currentRow >= 0 && m_currentRow < rows.count()
           && m_rowOffset + pendingBytes <= rows.at(m_currentRow).rowData().size();
}

FirmwareDataRow BootloaderHandler::getCurrentRow() const
{
    return m_firmwareData.rows().at(m_currentRow);
}

QByteArray BootloaderHandler::currentRowAddress() const
{
    const FirmwareDataRow row = getCurrentRow();
    QByteArray address;
    address.append(static_cast<char>(row.arrayId()));
    appendLittleEndian16(&address, row.rowNumber());
    return address;
}

void BootloaderHandler::sendNextRowData()
{
    const FirmwareDataRow row = getCurrentRow();
    const QByteArray chunk = row.rowData().mid(m_rowOffset, maximumChunkSize);
    m_lastChunkSize = chunk.size();
    qCDebug(dcVexbusUsbBootloader()) << "Send data from row" << m_currentRow << "Length:" << m_lastChunkSize
                                     << "Current offset:" << m_rowOffset << "/" << row.rowData().size();
    sendCommand(BootloaderUtils::BootloaderCommandSendData, chunk, nullptr);
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

void BootloaderHandler::sendCommand(BootloaderUtils::BootloaderCommand command, const QByteArray &data, const char *description)
{
    const QByteArray packet = buildPacket(command, data);
    if (description)
        qCDebug(dcVexbusUsbBootloader()) << description << packet.toHex();
    sendData(packet);
    if (command != BootloaderUtils::BootloaderCommandExitBootloader)
        m_responseTimer.start();
}

void BootloaderHandler::sendData(const QByteArray &packet)
{
    if (dcVexbusUsbBootloaderTraffic().isDebugEnabled()) {
        for (const char byte : packet)
            qCDebug(dcVexbusUsbBootloaderTraffic()) << "-->" << byteText(static_cast<quint8>(byte));
    }
    m_serialPort->write(packet);
}

void BootloaderHandler::onReadyRead()
{
    QByteArray bytes = m_serialPort->readAll();
    // Bytes handed back by a resynchronisation were logged when they came in.
    int replayed = 0;
    for (int i = 0; i < bytes.size() && m_serialPort->isOpen(); ++i) {
        if (i >= replayed && dcVexbusUsbBootloaderTraffic().isDebugEnabled())
            qCDebug(dcVexbusUsbBootloaderTraffic()) << "<--" << byteText(static_cast<quint8>(bytes.at(i)));

        QByteArray replay;
        receiveByte(bytes.at(i), &replay);
        if (!replay.isEmpty()) {
            bytes = replay + bytes.mid(i + 1);
            replayed = replay.size();
            i = -1;
        }
    }
}

// One step of the reassembly. A response that does not end where its length
// says is given up once the buffer outgrows it; the bytes from the next start
// byte on go to *replay, to be read again as the beginning of a response.
void BootloaderHandler::receiveByte(char byte, QByteArray *replay)
{
    if (m_buffer.isEmpty()) {
        if (byte != startByte) {
            qCWarning(dcVexbusUsbBootloaderTraffic()) << "The buffer is empty and received byte which is not 0x01 (start packet byte). Reject byte"
                                                      << byteText(static_cast<quint8>(byte));
            return;
        }
        qCDebug(dcVexbusUsbBootloaderTraffic()) << "Packet start byte received...";
        m_packetSize = -1;
    }

    m_buffer.append(byte);
    if (m_buffer.size() >= 4 && m_packetSize < 0) {
        m_packetSize = littleEndian16(m_buffer, 2);
        qCDebug(dcVexbusUsbBootloaderTraffic()) << "Packet size available" << m_packetSize;
    }

    if (m_packetSize < 0)
        return;

    if (byte == endByte && m_buffer.size() == m_packetSize + packetOverhead) {
        const QByteArray packet = m_buffer;
        m_buffer.clear();
        m_packetSize = -1;
        processData(packet);
        return;
    }

    if (m_buffer.size() > m_packetSize + packetOverhead) {
        const int nextStart = m_buffer.indexOf(startByte, 1);
        *replay = nextStart < 0 ? QByteArray() : m_buffer.mid(nextStart);
        qCWarning(dcVexbusUsbBootloaderTraffic()) << "The response does not end where its length says. Discarding"
                                                  << m_buffer.size() - replay->size() << "bytes"
                                                  << m_buffer.left(m_buffer.size() - replay->size()).toHex();
        m_buffer.clear();
        m_packetSize = -1;
    }
}

void BootloaderHandler::processData(const QByteArray &packet)
{
    qCDebug(dcVexbusUsbBootloader()) << "Process bootloader message" << packet.toHex();

    const int size = packet.size();
    if (size < packetOverhead || packet.at(0) != startByte || packet.at(size - 1) != endByte
        || littleEndian16(packet, 2) != size - packetOverhead) {
        qCWarning(dcVexbusUsbBootloader()) << "Received data with invalid packet format.";
        return;
    }

    const quint16 receivedChecksum = littleEndian16(packet, size - 3);
    const quint16 checksum = BootloaderUtils::calculateChecksum(packet.left(size - 3), BootloaderUtils::ChecksumTypeSum);
    if (receivedChecksum != checksum) {
        qCWarning(dcVexbusUsbBootloader()) << "Invalid message CRC value" << receivedChecksum << "!=" << checksum;
        return;
    }

    const auto status = static_cast<BootloaderUtils::BootloaderError>(static_cast<quint8>(packet.at(1)));
    processMessage(status, packet.mid(4, size - packetOverhead));
}

// Whether a response now belongs to a command of the current run. A run that
// ended (failed or stopped) takes no more answers, and a row state whose row
// is gone from the image (replaced or emptied meanwhile) has nothing to act on.
bool BootloaderHandler::isResponseExpected() const
{
    if (!m_running)
        return false;

    switch (m_state) {
    case StateEnterBootloader:
    case StateGetFlahSize:
    case StateVerifyApplication:
        return true;
    case StateStreamRow:
        return hasCurrentRow(m_lastChunkSize);
    case StateProgramRow:
    case StateVerifyRow:
        return hasCurrentRow(0);
    case StateIdle:
    case StateConnecting:
    case StatePrepareUpload:
    case StateExitBootloader:
        return false;
    }
    return false;
}

void BootloaderHandler::processMessage(BootloaderUtils::BootloaderError status, const QByteArray &payload)
{
    if (payload.isEmpty()) {
        qCDebug(dcVexbusUsbBootloader()) << "Process message" << status;
    } else {
        qCDebug(dcVexbusUsbBootloader()) << "Process message" << status << "Payload:" << payload.toHex();
    }

    if (!isResponseExpected()) {
        qCDebug(dcVexbusUsbBootloader()) << "Ignoring response in" << m_state << (m_running ? "for row" : "after the run ended, row")
                                         << m_currentRow << "of" << m_firmwareData.rows().count();
        return;
    }

    m_responseTimer.stop();
    if (status != BootloaderUtils::BootloaderErrorNoError) {
        qCWarning(dcVexbusUsbBootloader()) << statusWarning(m_state) << status;
        failRun();
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
    case StateVerifyApplication:
        processVerifyApplicationResponse(payload);
        break;
    default:
        break;
    }
}

void BootloaderHandler::processEnterBootloaderResponse(const QByteArray &payload)
{
    if (payload.size() != 8) {
        qCWarning(dcVexbusUsbBootloader()) << "Invalid data length in enter bootloader response.";
        failRun();
        return;
    }

    m_deviceSiliconId = static_cast<int>(littleEndian16(payload, 0) | (quint32(littleEndian16(payload, 2)) << 16));
    m_deviceSiliconRev = static_cast<quint8>(payload.at(4));
    m_bootloaderVersion = littleEndian16(payload, 5) | (quint32(static_cast<quint8>(payload.at(7))) << 16);
    qCDebug(dcVexbusUsbBootloader()) << "Silicon ID:" << static_cast<quint32>(m_deviceSiliconId) << "Silicon Rev:" << m_deviceSiliconRev
                                     << "Bootloader version:" << m_bootloaderVersion;

    if (m_deviceSiliconId != m_firmwareData.siliconId()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware is not valid for this silicon type.";
        qCWarning(dcVexbusUsbBootloader()) << "Device silicon ID" << m_deviceSiliconId;
        qCWarning(dcVexbusUsbBootloader()) << "Firmware silicon ID" << m_firmwareData.siliconId();
        failRun();
        return;
    }

    if (m_deviceSiliconRev != m_firmwareData.siliconRev()) {
        qCWarning(dcVexbusUsbBootloader()) << "The firmware is not valid for this silicon revision.";
        qCWarning(dcVexbusUsbBootloader()) << "Device silicon revision" << m_deviceSiliconRev;
        qCWarning(dcVexbusUsbBootloader()) << "Firmware silicon revision" << m_firmwareData.siliconRev();
        failRun();
        return;
    }

    qCDebug(dcVexbusUsbBootloader()) << "The firmware is compatible for this device.";
    setState(StateGetFlahSize);
}

void BootloaderHandler::processFlashSizeResponse(const QByteArray &payload)
{
    if (payload.size() != 4) {
        qCWarning(dcVexbusUsbBootloader()) << "Invalid data length in get flash size response.";
        failRun();
        return;
    }

    m_startRow = littleEndian16(payload, 0);
    m_endRow = littleEndian16(payload, 2);
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
        qCWarning(dcVexbusUsbBootloader()) << "Returned row checksum does not match" << checksum << "!=" << row.verifyChecksum();
        failRun();
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

void BootloaderHandler::processVerifyApplicationResponse(const QByteArray &payload)
{
    // The result byte is logged only: the bootloader itself refuses to start
    // an application that does not verify.
    const quint8 result = payload.isEmpty() ? 0 : static_cast<quint8>(payload.at(0));
    qCDebug(dcVexbusUsbBootloader()) << "Checksum verification finished successfully" << byteText(result);
    setState(StateExitBootloader);
}

void BootloaderHandler::onError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || !m_serialPort->isOpen())
        return;

    qCWarning(dcVexbusUsbInterface()) << "Serial port error occurred:" << error << m_serialPort->errorString();
    m_serialPort->close();
    setConnected(false);
    // After the exit command the line may drop as the controller resets;
    // the exit wait still reports the run.
    if (m_state != StateExitBootloader)
        failRun();
}

void BootloaderHandler::onExitBootloaderTimeout()
{
    qCDebug(dcVexbusUsbBootloader()) << "Firmware update finished.";
    m_running = false;
    emit finished(true);
    setState(StateIdle);
}

void BootloaderHandler::onResponseTimeout()
{
    qCWarning(dcVexbusUsbBootloader()) << "Bootloader response timeout" << m_state;
    failRun();
}

} // namespace NivoraVexbusUsb
