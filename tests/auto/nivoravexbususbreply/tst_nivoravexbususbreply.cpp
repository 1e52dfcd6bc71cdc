#include "link/nivoravexbususbreply.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

using namespace NivoraVexbusUsb;

namespace {

const int replyTimeout = 2000; // ms
// Qt's coarse timers may fire up to 5 % early.
const int earliestTimeout = replyTimeout; // ms

NivoraVexbusUsbPacket requestPacket()
{
    return NivoraVexbusUsbPacket(NivoraVexbusUsbUtils::CommandGetFirmware, 7, QByteArray());
}

// Ends the reply the way the owner does: giving up, or from its response.
void finish(NivoraVexbusUsbReply &reply, bool abort)
{
    if (abort)
        reply.abort();
    else
        reply.setFinished();
}

} // namespace

class TestNivoraVexbusUsbReply : public QObject
{
    Q_OBJECT

private slots:
    void timesOutAfterTwoSeconds();
    void finishingStopsTimeout_data();
    void finishingStopsTimeout();
};

void TestNivoraVexbusUsbReply::timesOutAfterTwoSeconds()
{
    NivoraVexbusUsbReply reply(requestPacket());
    QSignalSpy finishedSpy(&reply, &NivoraVexbusUsbReply::finished);
    QElapsedTimer elapsed;
    elapsed.start();
    reply.startWait();

    QTest::qWait(1500);
    QCOMPARE(finishedSpy.count(), 0);
    QCOMPARE(reply.error(), NivoraVexbusUsbReply::ErrorNoError);

    QVERIFY(finishedSpy.wait(replyTimeout));
    QVERIFY2(elapsed.elapsed() >= earliestTimeout, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(reply.error(), NivoraVexbusUsbReply::ErrorTimeout);
    QCOMPARE(finishedSpy.count(), 1);
}

void TestNivoraVexbusUsbReply::finishingStopsTimeout_data()
{
    QTest::addColumn<bool>("abort");
    QTest::addColumn<NivoraVexbusUsbReply::Error>("error");

    QTest::newRow("abort") << true << NivoraVexbusUsbReply::ErrorAborted;
    QTest::newRow("finished without response") << false << NivoraVexbusUsbReply::ErrorNoError;
}

void TestNivoraVexbusUsbReply::finishingStopsTimeout()
{
    QFETCH(bool, abort);
    QFETCH(NivoraVexbusUsbReply::Error, error);

    NivoraVexbusUsbReply reply(requestPacket());
    QSignalSpy finishedSpy(&reply, &NivoraVexbusUsbReply::finished);
    reply.startWait();
    QTest::qWait(500);

    finish(reply, abort);
    // finished() is emitted from within the call.
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(reply.error(), error);
    QVERIFY(!reply.responsePacket().isValid());

    QTest::qWait(replyTimeout);
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(reply.error(), error);
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbReply)
#include "tst_nivoravexbususbreply.moc"
