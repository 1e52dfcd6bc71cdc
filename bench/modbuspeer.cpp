// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The peer of the library's request figure: what a Qt application that
// talks to a device on a serial line would otherwise use, QtSerialBus's
// Modbus RTU client, making one small request at a time (one holding
// register read) against nivora-bench-modbus-responder on a pseudo-terminal.
// Usage: nivora-bench-modbus count-request PORT COUNT
#include <QCoreApplication>
#include <QEventLoop>
#include <QModbusDataUnit>
#include <QModbusReply>
#include <QSerialPort>
#include <QVariant>
#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(6, 2, 0)
#include <QModbusRtuSerialClient>
using ModbusClient = QModbusRtuSerialClient;
#else
#include <QModbusRtuSerialMaster>
using ModbusClient = QModbusRtuSerialMaster;
#endif

#include <cstdio>

namespace {

constexpr int kServerAddress = 1;
constexpr int kTimeoutMs = 1000;

// One request at a time on its own event loop, as the library's benchmark
// waits for each reply; the reply is deleted later, as Qt asks.
class ModbusRunner
{
public:
    explicit ModbusRunner(ModbusClient *client) : m_client(client) {}

    // Out of line, so that callgrind can count it alone (--toggle-collect).
    Q_NEVER_INLINE bool run()
    {
        QModbusReply *reply = m_client->sendReadRequest(QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, 1), kServerAddress);
        if (!reply)
            return false;
        if (!reply->isFinished()) {
            QObject::connect(reply, &QModbusReply::finished, &m_loop, &QEventLoop::quit);
            m_loop.exec();
        }
        const bool ok = reply->error() == QModbusDevice::NoError && reply->result().value(0) == 0x1234;
        reply->deleteLater();
        return ok;
    }

private:
    ModbusClient *m_client;
    QEventLoop m_loop;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int count = arguments.value(3).toInt();
    if (arguments.value(1) != QLatin1String("count-request") || count < 1) {
        std::fprintf(stderr, "usage: nivora-bench-modbus count-request PORT COUNT\n");
        return 2;
    }
    ModbusClient client;
    client.setConnectionParameter(QModbusDevice::SerialPortNameParameter, arguments.value(2));
    client.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, QSerialPort::Baud115200);
    client.setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    client.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::NoParity);
    client.setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
    client.setTimeout(kTimeoutMs);
    client.setNumberOfRetries(0);
    if (!client.connectDevice() || client.state() != QModbusDevice::ConnectedState) {
        std::fprintf(stderr, "nivora-bench-modbus: cannot open %s: %s\n", qPrintable(arguments.value(2)),
                     qPrintable(client.errorString()));
        return 1;
    }
    ModbusRunner runner(&client);
    for (int i = 0; i < count; ++i) {
        if (!runner.run()) {
            std::fprintf(stderr, "nivora-bench-modbus: request %d failed: %s\n", i, qPrintable(client.errorString()));
            return 1;
        }
    }
    client.disconnectDevice();
    return 0;
}
