// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The floors of the library's figures on Qt: programs that do the library's
// work on the line with QSerialPort and nothing else, so that what is left
// between them and the library is the library's own. They frame and decode
// with the plain C host's code (plainline.c), which costs next to nothing.
//   count-request PORT COUNT, count-request-stock PORT COUNT
//                   COUNT bus-write requests, one at a time, each answered
//                   before the next; the frame goes to the descriptor at
//                   once, as the library writes, or with the stock
//                   QSerialPort::write() and its write notifier
//   read PORT FRAMES [COUNTER]
//                   reads and counts bus frames (FRAMES 0: until stopped),
//                   the count shown in COUNTER, a file another process maps
//   relay PORT FRAMES [COUNTER]
//                   the same, and sends each frame as the service's signal
//                   on the system bus (DBUS_SYSTEM_BUS_ADDRESS)
#include "benchfigure.h"
#include "plainline.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QEventLoop>
#include <QFile>
#include <QSerialPort>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

constexpr int kBaudRate = 115200;
constexpr int kTimeoutMs = 10000;
constexpr unsigned char kWriteDataToVexbus = 0x03;
// The write request's payload (length byte and bus frame), as the library's
// benchmark sends it.
constexpr unsigned char kWritePayload[] = {0x03, 0x0a, 0x1b, 0x2c};

// Writes as the library's port does: to the descriptor at once while
// nothing waits in the port's buffer, the rest through QSerialPort.
class DirectWritePort : public QSerialPort
{
protected:
    qint64 writeData(const char *data, qint64 maxSize) override
    {
        qint64 written = 0;
        if (maxSize > 0 && bytesToWrite() == 0) {
            const ssize_t count = ::write(int(handle()), data, size_t(maxSize));
            if (count > 0)
                written = count;
        }
        if (written == maxSize)
            return written;
        const qint64 buffered = QSerialPort::writeData(data + written, maxSize - written);
        return buffered < 0 ? (written > 0 ? written : buffered) : written + buffered;
    }
};

bool openPort(QSerialPort *port, const QString &name)
{
    port->setPortName(name);
    port->setBaudRate(kBaudRate);
    if (port->open(QIODevice::ReadWrite))
        return true;
    std::fprintf(stderr, "nivora-bench-bareqt: cannot open %s: %s\n", qPrintable(name), qPrintable(port->errorString()));
    return false;
}

// Reads what the port has into a buffer kept from one read to the next and
// decodes it.
class Reader : public QObject
{
public:
    explicit Reader(QSerialPort *port) : m_port(port)
    {
        m_buffer.resize(4096);
        connect(port, &QSerialPort::readyRead, this, &Reader::onReadyRead);
    }

    plain_decoder decoder = {};
    std::function<void()> onFrames;

private:
    void onReadyRead()
    {
        const unsigned long before = decoder.frames;
        qint64 count;
        while ((count = m_port->read(m_buffer.data(), m_buffer.size())) > 0)
            plain_decoder_feed(&decoder, reinterpret_cast<const unsigned char *>(m_buffer.constData()), size_t(count));
        if (decoder.frames != before && onFrames)
            onFrames();
    }

    QSerialPort *m_port;
    QByteArray m_buffer;
};

// One request at a time on its own event loop, as an application waits
// for a reply; connections and the watchdog are made once for the series.
class Requester
{
public:
    Requester(QSerialPort *port, int count) : m_port(port), m_reader(port)
    {
        m_reader.onFrames = [this]() {
            if (m_reader.decoder.answered)
                m_loop.quit();
        };
        m_watchdog.setSingleShot(true);
        QObject::connect(&m_watchdog, &QTimer::timeout, &m_loop, &QEventLoop::quit);
        m_watchdog.start(kTimeoutMs + count * 100);
    }

    // Out of line, so that callgrind can count it alone (--toggle-collect).
    Q_NEVER_INLINE bool run(unsigned char id)
    {
        unsigned char frame[PLAIN_MAX_FRAME];
        const size_t length = plain_encode(frame, kWriteDataToVexbus, id, kWritePayload, sizeof kWritePayload);
        plain_expect(&m_reader.decoder, kWriteDataToVexbus, id);
        if (m_port->write(reinterpret_cast<const char *>(frame), qint64(length)) != qint64(length))
            return false;
        m_loop.exec();
        return m_reader.decoder.answered;
    }

private:
    QSerialPort *m_port;
    Reader m_reader;
    QEventLoop m_loop;
    QTimer m_watchdog;
};

int countRequest(const QString &name, int count, bool stock)
{
    std::unique_ptr<QSerialPort> port(stock ? new QSerialPort : new DirectWritePort);
    if (!openPort(port.get(), name))
        return 1;
    Requester requester(port.get(), count);
    for (int i = 0; i < count; ++i) {
        if (!requester.run(static_cast<unsigned char>(i))) {
            std::fprintf(stderr, "nivora-bench-bareqt: request %d not answered\n", i);
            return 1;
        }
    }
    return 0;
}

// Reads frames; with relay, sends each as a signal as the service does:
// built with its path, the frame its one argument.
int read(const QString &name, qint64 frames, const QString &counterPath, bool relay)
{
    QFile counterFile;
    volatile unsigned long *counter = benchMappedCounter(&counterFile, counterPath);
    QDBusConnection bus = relay ? QDBusConnection::systemBus() : QDBusConnection(QString());
    if (relay && !bus.isConnected()) {
        std::fprintf(stderr, "nivora-bench-bareqt: no system bus\n");
        return 1;
    }
    const QString path = QStringLiteral("/org/nivora/Vexbus1/adapter/RELAY01");
    const QString interface = QStringLiteral("org.nivora.Vexbus1.Adapter");
    const QString member = QStringLiteral("BusFrameReceived");
    QSerialPort port;
    if (!openPort(&port, name))
        return 1;
    Reader reader(&port);
    unsigned long sent = 0;
    reader.onFrames = [&]() {
        const unsigned long received = reader.decoder.frames;
        while (relay && sent < received) {
            // A bus frame's 16 bytes from the decoder's last packet, as the
            // benchmark's lines carry them.
            QDBusMessage signal = QDBusMessage::createSignal(path, interface, member);
            signal.setArguments({QByteArray(reinterpret_cast<const char *>(reader.decoder.frame), 16)});
            bus.send(signal);
            ++sent;
        }
        if (counter)
            *counter = received;
        if (frames > 0 && qint64(received) >= frames)
            QCoreApplication::quit();
    };
    QCoreApplication::exec();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // MODE PORT NUMBER [COUNTER]
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const qint64 number = arguments.value(2).toLongLong();
    if (arguments.value(0).startsWith(QLatin1String("count-request")) && number > 0)
        return countRequest(arguments.value(1), int(number), arguments.value(0) == QLatin1String("count-request-stock"));
    if (arguments.value(0) == QLatin1String("read") || arguments.value(0) == QLatin1String("relay"))
        return read(arguments.value(1), number, arguments.value(3), arguments.value(0) == QLatin1String("relay"));
    std::fprintf(stderr, "usage: nivora-bench-bareqt count-request|count-request-stock PORT COUNT\n"
                         "       nivora-bench-bareqt read|relay PORT FRAMES [COUNTER]\n");
    return 2;
}
