// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "link/nivoravexbususbreply.h"
#include "link/nivoravexbususbreply_p.h"

#include <QSignalSpy>
#include <QtTest>

#include <functional>

using namespace NivoraVexbusUsb;
using ReplyPrivate = NivoraVexbusUsbReplyPrivate;
using Finish = std::function<void(NivoraVexbusUsbReply *)>;
Q_DECLARE_METATYPE(Finish)

// The reply on its own, finished the ways its owner in the library finishes it; the owner's
// side (packet ids, the table, refusals) is the adapter's test.
class TestNivoraVexbusUsbReply : public QObject
{
    Q_OBJECT

private slots:
    void endsOnceWithItsOutcome_data();
    void endsOnceWithItsOutcome();
};

void TestNivoraVexbusUsbReply::endsOnceWithItsOutcome_data()
{
    QTest::addColumn<Finish>("finish");
    QTest::addColumn<NivoraVexbusUsbReply::Error>("error");
    QTest::addColumn<NivoraVexbusUsbUtils::Error>("controllerError");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("errorString"); // a pattern; empty for none

    // Responses as the controller sends them: command, packet id, error, payload.
    const NivoraVexbusUsbPacket answered(QByteArray::fromHex("01070001040c"));
    const NivoraVexbusUsbPacket refused(QByteArray::fromHex("010705"));
    QTest::newRow("answered") << Finish([answered](NivoraVexbusUsbReply *r) { ReplyPrivate::get(r)->setFinished(answered); })
        << NivoraVexbusUsbReply::ErrorNoError << NivoraVexbusUsbUtils::ErrorNoError << QByteArray::fromHex("01040c") << QString();
    QTest::newRow("refused by the controller") << Finish([refused](NivoraVexbusUsbReply *r) { ReplyPrivate::get(r)->setFinished(refused); })
        << NivoraVexbusUsbReply::ErrorInterfaceError << NivoraVexbusUsbUtils::ErrorInvalidMessageFormat << QByteArray()
        << QStringLiteral("^The controller refused the request CommandGetFirmware with error code 5 \\(ErrorInvalidMessageFormat\\): the controller could not read");
    // Nothing tells that the controller carried the request out.
    QTest::newRow("no response") << Finish([](NivoraVexbusUsbReply *r) { ReplyPrivate::get(r)->setFinished(); })
        << NivoraVexbusUsbReply::ErrorAborted << NivoraVexbusUsbUtils::ErrorNoError << QByteArray()
        << QStringLiteral("^The request CommandGetFirmware ended without a valid response");
    QTest::newRow("aborted") << Finish([](NivoraVexbusUsbReply *r) { r->abort(); })
        << NivoraVexbusUsbReply::ErrorAborted << NivoraVexbusUsbUtils::ErrorNoError << QByteArray()
        << QStringLiteral("^The request CommandGetFirmware was given up before the controller answered");
    QTest::newRow("timed out") << Finish()
        << NivoraVexbusUsbReply::ErrorTimeout << NivoraVexbusUsbUtils::ErrorNoError << QByteArray()
        << QStringLiteral("^The controller did not answer the request CommandGetFirmware within 100 ms\\.");
    QTest::newRow("not sent") << Finish([](NivoraVexbusUsbReply *r) {
        ReplyPrivate::get(r)->setError(NivoraVexbusUsbReply::ErrorUpdateRunning, QStringLiteral("Busy."));
    })
        << NivoraVexbusUsbReply::ErrorUpdateRunning << NivoraVexbusUsbUtils::ErrorNoError << QByteArray() << QStringLiteral("^Busy\\.$");
}

void TestNivoraVexbusUsbReply::endsOnceWithItsOutcome()
{
    QFETCH(Finish, finish);
    QFETCH(NivoraVexbusUsbReply::Error, error);
    QFETCH(NivoraVexbusUsbUtils::Error, controllerError);
    QFETCH(QByteArray, payload);
    QFETCH(QString, errorString);

    NivoraVexbusUsbReply reply(NivoraVexbusUsbPacket(NivoraVexbusUsbUtils::CommandGetFirmware, 7, QByteArray()));
    QSignalSpy finishedSpy(&reply, &NivoraVexbusUsbReply::finished);
    bool finishedWhenSignalled = false;
    connect(&reply, &NivoraVexbusUsbReply::finished, this, [&]() { finishedWhenSignalled = reply.isFinished(); });
    ReplyPrivate::get(&reply)->startWait(100);
    QVERIFY(!reply.isFinished());
    QVERIFY(reply.errorString().isEmpty());

    if (finish) {
        finish(&reply);
        // From within the call, and only then.
        QCOMPARE(finishedSpy.count(), 1);
    } else {
        QVERIFY(!finishedSpy.wait(50));
        QVERIFY(finishedSpy.wait(1000));
    }
    QVERIFY(finishedWhenSignalled);
    QCOMPARE(reply.error(), error);
    QCOMPARE(reply.controllerError(), controllerError);
    QCOMPARE(reply.payload().toHex(), payload.toHex());
    QCOMPARE(reply.packetId(), quint8(7));
    if (errorString.isEmpty())
        QVERIFY(reply.errorString().isEmpty());
    else
        QVERIFY2(QRegularExpression(errorString).match(reply.errorString()).hasMatch(), qPrintable(reply.errorString()));

    // One outcome per request: what comes after it changes nothing.
    reply.abort();
    ReplyPrivate::get(&reply)->setFinished(NivoraVexbusUsbPacket(QByteArray::fromHex("01070009")));
    QTest::qWait(150);
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(reply.error(), error);
    QCOMPARE(reply.controllerError(), controllerError);
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbReply)
#include "tst_nivoravexbususbreply.moc"
