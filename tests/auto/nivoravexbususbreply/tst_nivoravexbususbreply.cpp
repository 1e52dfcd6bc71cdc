#include "link/nivoravexbususbreply.h"

#include <QSignalSpy>
#include <QtTest>

using namespace NivoraVexbusUsb;

// The time-out itself is driven through the adapter, where a command on a
// closed port waits its 2000 ms; here the owner ends a reply early.
class TestNivoraVexbusUsbReply : public QObject
{
    Q_OBJECT

private slots:
    void finishingStopsTimeout_data();
    void finishingStopsTimeout();
};

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

    NivoraVexbusUsbReply reply(NivoraVexbusUsbPacket(NivoraVexbusUsbUtils::CommandGetFirmware, 7, QByteArray()));
    QSignalSpy finishedSpy(&reply, &NivoraVexbusUsbReply::finished);
    reply.startWait();
    QTest::qWait(500);

    if (abort)
        reply.abort();
    else
        reply.setFinished();
    // finished() is emitted from within the call.
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(reply.error(), error);
    QVERIFY(!reply.responsePacket().isValid());

    QTest::qWait(2000);
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(reply.error(), error);
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbReply)
#include "tst_nivoravexbususbreply.moc"
