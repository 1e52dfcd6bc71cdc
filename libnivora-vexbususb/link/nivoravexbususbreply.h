#ifndef NIVORAVEXBUSUSBREPLY_H
#define NIVORAVEXBUSUSBREPLY_H

#include "nivoravexbususb_export.h"
#include "link/nivoravexbususbpacket.h"

#include <QObject>
#include <QTimer>

namespace NivoraVexbusUsb {

class NivoraVexbusUsbAdapter;

// One request that was sent to the adapter and waits for its response.
// finished() is emitted exactly once per finishing path; the owner deletes
// the reply with deleteLater() afterwards.
class NIVORAVEXBUSUSB_EXPORT NivoraVexbusUsbReply : public QObject
{
    Q_OBJECT

public:
    enum Error {
        ErrorNoError = 0,
        ErrorInterfaceError = 1,
        ErrorTimeout = 2,
        ErrorAborted = 3
    };
    Q_ENUM(Error)

    explicit NivoraVexbusUsbReply(const NivoraVexbusUsbPacket &requestPacket, QObject *parent = nullptr);

    NivoraVexbusUsbPacket requestPacket() const;
    NivoraVexbusUsbPacket responsePacket() const;
    unsigned char packetId() const;
    Error error() const;

    void startWait();
    void abort();
    void setFinished();

signals:
    void finished();

private slots:
    void onTimeout();

private:
    // The adapter stores the received response before calling setFinished().
    friend class NivoraVexbusUsbAdapter;

    NivoraVexbusUsbPacket m_requestPacket;
    NivoraVexbusUsbPacket m_responsePacket;
    Error m_error = ErrorNoError;
    QTimer m_timer;
    int m_timeout = 2000;
};

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBREPLY_H
