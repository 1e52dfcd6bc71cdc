// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

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
    void finishingStopsTimeout();
};

void TestNivoraVexbusUsbReply::finishingStopsTimeout()
{
    NivoraVexbusUsbReply aborted(NivoraVexbusUsbPacket(NivoraVexbusUsbUtils::CommandGetFirmware, 7, QByteArray()));
    NivoraVexbusUsbReply finished(aborted.requestPacket());
    QSignalSpy abortedSpy(&aborted, &NivoraVexbusUsbReply::finished);
    QSignalSpy finishedSpy(&finished, &NivoraVexbusUsbReply::finished);
    aborted.startWait();
    finished.startWait();
    QTest::qWait(500);

    // finished() is emitted from within the call, and only then.
    aborted.abort();
    finished.setFinished();
    QCOMPARE(abortedSpy.count(), 1);
    QCOMPARE(finishedSpy.count(), 1);
    QTest::qWait(2000);
    QCOMPARE(abortedSpy.count(), 1);
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(aborted.error(), NivoraVexbusUsbReply::ErrorAborted);
    QCOMPARE(finished.error(), NivoraVexbusUsbReply::ErrorNoError);
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbReply)
#include "tst_nivoravexbususbreply.moc"
