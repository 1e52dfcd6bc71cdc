// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "logging/nivoravexbususbtrafficrecorder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using namespace NivoraVexbusUsb;
using Recorder = NivoraVexbusUsbTrafficRecorder;
// One call on the recorder; a null step lets the event loop turn.
using Step = std::function<void(Recorder *)>;
Q_DECLARE_METATYPE(QList<Step>)

class TestNivoraVexbusUsbTrafficRecorder : public QObject
{
    Q_OBJECT

private slots:
    void writesTheTraceAsTheCallsCame_data();
    void writesTheTraceAsTheCallsCame();
    void unwritableFileRecordsNothing();

private:
    QTemporaryDir m_dir;
};

void TestNivoraVexbusUsbTrafficRecorder::writesTheTraceAsTheCallsCame_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<QStringList>("lines"); // after the start line, without "time"

    const auto bytes = [](Recorder::Port port, Recorder::Direction direction, const char *hex) {
        return Step([=](Recorder *r) { r->recordBytes(port, direction, QByteArray::fromHex(hex)); });
    };
    const Step turn;
    const Step open = [](Recorder *r) { r->recordOpen(Recorder::PortLink, QStringLiteral("/dev/ttyUSB0")); };
    const Step close = [](Recorder *r) { r->recordClose(Recorder::PortLink); };
    const auto out = Recorder::DirectionOut;
    const auto in = Recorder::DirectionIn;
    const auto link = Recorder::PortLink;

    QTest::newRow("a frame written in pieces is one line") << QList<Step>{open, bytes(link, out, "c001"), bytes(link, out, "0001c0"), turn,
                                                                         bytes(link, in, "c00401c0"), turn, close}
        << QStringList{R"({"device":"/dev/ttyUSB0","event":"open","port":"link"})", R"({"bytes":"c0010001c0","direction":"out","port":"link"})",
                       R"({"bytes":"c00401c0","direction":"in","port":"link"})", R"({"event":"close","port":"link"})"};
    QTest::newRow("turns, directions and ports part lines") << QList<Step>{bytes(link, out, "aa"), turn, bytes(link, out, "bb"), bytes(link, in, "cc"),
                                                                           bytes(Recorder::PortBootloader, in, "dd")}
        << QStringList{R"({"bytes":"aa","direction":"out","port":"link"})", R"({"bytes":"bb","direction":"out","port":"link"})",
                       R"({"bytes":"cc","direction":"in","port":"link"})", R"({"bytes":"dd","direction":"in","port":"bootloader"})"};
    // Bytes gathered before an event are written before it.
    QTest::newRow("close after bytes") << QList<Step>{bytes(link, in, "01"), close}
        << QStringList{R"({"bytes":"01","direction":"in","port":"link"})", R"({"event":"close","port":"link"})"};
    QTest::newRow("ended trace") << QList<Step>{bytes(link, in, "01"), [](Recorder *r) { r->setFileName(QString()); }, bytes(link, in, "02"), turn, close}
        << QStringList{R"({"bytes":"01","direction":"in","port":"link"})"};
}

void TestNivoraVexbusUsbTrafficRecorder::writesTheTraceAsTheCallsCame()
{
    QFETCH(QList<Step>, steps);
    QFETCH(QStringList, lines);

    const QString fileName = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')));
    {
        QFile stale(fileName);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("an older trace, replaced\n");
    }
    Recorder recorder;
    QSignalSpy fileNameSpy(&recorder, &Recorder::fileNameChanged);
    recorder.setFileName(fileName);
    QCOMPARE(recorder.fileName(), fileName);
    QVERIFY(recorder.isRecording());
    for (const Step &step : steps) {
        if (step)
            step(&recorder);
        else
            QTest::qWait(5);
    }
    recorder.setFileName(QString());
    QVERIFY(!recorder.isRecording());
    QCOMPARE(fileNameSpy.count(), 2);
    QCOMPARE(fileNameSpy.at(0).at(0).toString(), fileName);
    QCOMPARE(fileNameSpy.at(1).at(0).toString(), QString());

    QFile file(fileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> written = file.readAll().split('\n');
    QCOMPARE(written.last(), QByteArray());
    QCOMPARE(written.count() - 2, lines.count());
    const QRegularExpression time(QStringLiteral("^\\{\"time\":(\\d+\\.\\d{3}),"));
    double last = 0;
    QStringList found;
    for (int i = 0; i < written.count() - 1; ++i) {
        const QRegularExpressionMatch match = time.match(QString::fromLatin1(written.at(i)));
        QVERIFY2(match.hasMatch(), written.at(i).constData());
        QVERIFY(match.captured(1).toDouble() >= last);
        last = match.captured(1).toDouble();
        QJsonObject object = QJsonDocument::fromJson(written.at(i)).object();
        object.remove(QStringLiteral("time"));
        if (i == 0) {
            QCOMPARE(last, 0.0);
            QCOMPARE(object.value(QStringLiteral("event")).toString(), QStringLiteral("start"));
            QCOMPARE(object.value(QStringLiteral("format")).toString(), QStringLiteral("nivora-vexbususb-trace"));
            QCOMPARE(object.value(QStringLiteral("version")).toInt(), 1);
            continue;
        }
        found.append(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    }
    QCOMPARE(found, lines);
}

void TestNivoraVexbusUsbTrafficRecorder::unwritableFileRecordsNothing()
{
    Recorder recorder;
    QSignalSpy fileNameSpy(&recorder, &Recorder::fileNameChanged);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Could not open the traffic record file \".*/missing/trace\" ")));
    recorder.setFileName(m_dir.filePath(QStringLiteral("missing/trace")));
    QVERIFY(!recorder.isRecording());
    QCOMPARE(recorder.fileName(), QString());
    // Nothing began, so nothing changed.
    QCOMPARE(fileNameSpy.count(), 0);
    recorder.recordBytes(Recorder::PortLink, Recorder::DirectionOut, QByteArray("x"));
    QTest::qWait(5);
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("missing/trace"))));
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbTrafficRecorder)
#include "tst_nivoravexbususbtrafficrecorder.moc"
