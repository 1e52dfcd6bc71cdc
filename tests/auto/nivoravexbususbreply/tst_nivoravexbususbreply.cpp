#include "link/nivoravexbususbreply.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

using namespace NivoraVexbusUsb;

namespace {

const int replyTimeout = 2000; // ms
// Qt's coarse timers may fire up to 5 % early.
const int earliestTimeout = replyTimeout * 95 / 100; // ms

NivoraVexbusUsbPacket requestPacket(unsigned char packetId = 7)
{
    return NivoraVexbusUsbPacket(NivoraVexbusUsbUtils::CommandGetFirmware, packetId, QByteArray());
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
    void initialState();
    void timesOutAfterTwoSeconds();
    void finishingStopsTimeout_data();
    void finishingStopsTimeout();
    void finishWithoutStart_data();
    void finishWithoutStart();
    void neverStartedReplyDoesNotTimeOut();
};

void TestNivoraVexbusUsbReply::initialState()
{
    QObject parent;
    const NivoraVexbusUsbPacket request(NivoraVexbusUsbUtils::CommandSetIxoModuleBuffer, 0xD0,
                                        QByteArray::fromHex("801800c8"));
    NivoraVexbusUsbReply *reply = new NivoraVexbusUsbReply(request, &parent);
    QCOMPARE(reply->parent(), &parent);
    QCOMPARE(int(reply->packetId()), 0xD0);
    QCOMPARE(reply->requestPacket().packetData().toHex(), QByteArray("10d0801800c8"));
    QCOMPARE(reply->error(), NivoraVexbusUsbReply::ErrorNoError);
    QVERIFY(!reply->responsePacket().isValid());
    QCOMPARE(int(reply->responsePacket().command()), 0xFF);
}

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
    QCOMPARE(int(reply.packetId()), 7);

    // The time-out fires once.
    QTest::qWait(replyTimeout + 200);
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

void TestNivoraVexbusUsbReply::finishWithoutStart_data()
{
    finishingStopsTimeout_data();
}

void TestNivoraVexbusUsbReply::finishWithoutStart()
{
    QFETCH(bool, abort);
    QFETCH(NivoraVexbusUsbReply::Error, error);

    NivoraVexbusUsbReply reply(requestPacket(0xFF));
    QSignalSpy finishedSpy(&reply, &NivoraVexbusUsbReply::finished);
    finish(reply, abort);
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(reply.error(), error);
    QCOMPARE(int(reply.packetId()), 0xFF);
}

void TestNivoraVexbusUsbReply::neverStartedReplyDoesNotTimeOut()
{
    NivoraVexbusUsbReply reply(requestPacket());
    QSignalSpy finishedSpy(&reply, &NivoraVexbusUsbReply::finished);
    QTest::qWait(replyTimeout + 500);
    QCOMPARE(finishedSpy.count(), 0);
    QCOMPARE(reply.error(), NivoraVexbusUsbReply::ErrorNoError);
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbReply)
#include "tst_nivoravexbususbreply.moc"
