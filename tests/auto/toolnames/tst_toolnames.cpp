// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The wire names of the tools: every enumerator that crosses vexbusd's
// contract or vexbusctl's output has a name of its own, each name leads back
// to its enumerator, and the published names stay as they are. And the fleet
// policy's document, which vexbus-release writes and vexbusd reads: what is
// refused, the buckets operators compute by hand, the maintenance window.
#include "fleetpolicy.h"
#include "names.h"

#include <QMetaEnum>
#include <QSet>
#include <QtTest>

#include <functional>

using namespace NivoraVexbusUsb;

using Faults = std::function<QStringList()>;
Q_DECLARE_METATYPE(Faults)

namespace {

// What is wrong with the table of Enum; empty when nothing is.
template<typename Enum>
QStringList faultsOf()
{
    QStringList faults;
    const QMetaEnum metaEnum = QMetaEnum::fromType<Enum>();
    QSet<QString> names;
    for (const Names::Row<Enum> &row : Names::table<Enum>()) {
        const QString name = QLatin1String(row.name);
        if (!metaEnum.valueToKey(int(row.value)))
            faults << QStringLiteral("row %1 is no enumerator").arg(name);
        if (names.contains(name))
            faults << QStringLiteral("%1 names two enumerators").arg(name);
        names.insert(name);
    }
    for (int i = 0; i < metaEnum.keyCount(); ++i) {
        const Enum value = Enum(metaEnum.value(i));
        const QString name = Names::of(value);
        Enum back;
        if (name.isEmpty() || name == QString::number(int(value)))
            faults << QStringLiteral("%1 has no name").arg(QLatin1String(metaEnum.key(i)));
        else if (!Names::fromName(name, &back) || back != value)
            faults << QStringLiteral("%1 does not lead back to %2").arg(name, QLatin1String(metaEnum.key(i)));
    }
    return faults;
}

} // namespace

class TestToolNames : public QObject
{
    Q_OBJECT

private slots:
    void everyEnumeratorHasAName_data();
    void everyEnumeratorHasAName();
    void publishedNamesStay_data();
    void publishedNamesStay();
    void buttonsByModule();
    void fleetPolicyBucketsAreTheDocumentedOnes_data();
    void fleetPolicyBucketsAreTheDocumentedOnes();
    void fleetPolicyWindowInLocalTime_data();
    void fleetPolicyWindowInLocalTime();
    void fleetPolicyRefusesMalformedDocuments_data();
    void fleetPolicyRefusesMalformedDocuments();
    void fleetPolicyReadsWhatItWrites();
};

void TestToolNames::everyEnumeratorHasAName_data()
{
    QTest::addColumn<Faults>("faults");
    QTest::newRow("state") << Faults(faultsOf<NivoraVexbusUsbAdapter::State>);
    QTest::newRow("update phase") << Faults(faultsOf<FirmwareUpdate::Phase>);
    QTest::newRow("update error") << Faults(faultsOf<FirmwareUpdate::Error>);
    QTest::newRow("LED mode") << Faults(faultsOf<NivoraVexbusUsbUtils::LedMode>);
    QTest::newRow("bus type") << Faults(faultsOf<NivoraVexbusUsbUtils::VexbusType>);
    QTest::newRow("controller error") << Faults(faultsOf<NivoraVexbusUsbUtils::Error>);
    QTest::newRow("ixo buttons") << Faults(faultsOf<NivoraVexbusUsbAdapter::IxoModuleButton>);
    QTest::newRow("remote buttons") << Faults(faultsOf<NivoraVexbusUsbAdapter::RemoteServiceModuleButton>);
    QTest::newRow("app buttons") << Faults(faultsOf<NivoraVexbusUsbAdapter::AppConnectorModuleButton>);
}

void TestToolNames::everyEnumeratorHasAName()
{
    QFETCH(Faults, faults);
    const QStringList found = faults();
    QVERIFY2(found.isEmpty(), qPrintable(found.join(QStringLiteral("; "))));
}

void TestToolNames::publishedNamesStay_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("state") << Names::of(NivoraVexbusUsbAdapter::StateConnectingBootloader) << "connecting-bootloader";
    QTest::newRow("phase") << Names::of(FirmwareUpdate::PhaseVerifyingApplication) << "verifying-application";
    QTest::newRow("error") << Names::of(FirmwareUpdate::ErrorBootloaderNotAnswering) << "bootloader-not-answering";
    QTest::newRow("no error") << Names::of(FirmwareUpdate::ErrorNone) << "none";
    QTest::newRow("LED mode") << Names::of(NivoraVexbusUsbUtils::LedModeDoubleBlink) << "double-blink";
    QTest::newRow("bus type") << Names::of(NivoraVexbusUsbUtils::VexbusTypeKvt) << "kvt";
    // The protocol's misspellings, as vexbusctl has printed them.
    QTest::newRow("controller error") << Names::of(NivoraVexbusUsbUtils::ErrorDataInconsitant) << "data-inconsitant";
    QTest::newRow("button with a number") << Names::of(NivoraVexbusUsbAdapter::AppConnectorModuleButtonIntermediatePosition3)
                                          << "intermediate-position-3";
    QTest::newRow("byte of no enumerator") << Names::of(NivoraVexbusUsbUtils::LedMode(7)) << "7";
}

void TestToolNames::publishedNamesStay()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(name, expected);
}

void TestToolNames::buttonsByModule()
{
    QCOMPARE(Names::buttonNames(Names::Module::Ixo), (QStringList{"intermediate", "program", "plus", "minus"}));
    QCOMPARE(Names::buttonNames(Names::Module::RemoteService), (QStringList{"plus", "minus", "plus-minus", "program", "execute", "exit"}));
    QCOMPARE(Names::buttonFromName(Names::Module::AppConnector, QStringLiteral("open")), int(NivoraVexbusUsbAdapter::AppConnectorModuleButtonOpen));
    QCOMPARE(Names::buttonFromName(Names::Module::Ixo, QStringLiteral("none")), -1);
    QCOMPARE(Names::buttonName(Names::Module::RemoteService, NivoraVexbusUsbAdapter::RemoteServiceModuleButtonExit), QStringLiteral("exit"));
    Names::Module module;
    QVERIFY(Names::moduleFromName(QStringLiteral("remote"), &module) && module == Names::Module::RemoteService);
    QVERIFY(!Names::moduleFromName(QStringLiteral("wall"), &module));
}

void TestToolNames::fleetPolicyBucketsAreTheDocumentedOnes_data()
{
    QTest::addColumn<QString>("rollout");
    QTest::addColumn<QString>("adapter");
    QTest::addColumn<int>("bucket");
    // From the guide's shell line:
    // printf '%s/%s' ROLLOUT NAME | sha256sum | cut -c1-8 | { read h; echo $((16#$h % 100)); }
    QTest::newRow("serial") << "spring-1.5.0" << "A5XK1234" << 76;
    QTest::newRow("other serial") << "spring-1.5.0" << "C3PO0042" << 69;
    QTest::newRow("gateway qualified") << "spring-1.5.0" << "1df8_dev_ttyUSB0" << 52;
    QTest::newRow("UTF-8") << "spring-1.5.0" << QStringLiteral("Z\u00fcrich-7") << 64;
    QTest::newRow("other rollout") << "fleet-a" << "A5XK1234" << 37;
    QTest::newRow("other rollout, other serial") << "fleet-a" << "C3PO0042" << 84;
    QTest::newRow("low bucket") << "fleet-a" << "1df8_dev_ttyUSB0" << 3;
    QTest::newRow("third rollout") << "r1" << "C3PO0042" << 18;
}

void TestToolNames::fleetPolicyBucketsAreTheDocumentedOnes()
{
    QFETCH(QString, rollout);
    QFETCH(QString, adapter);
    QFETCH(int, bucket);
    QCOMPARE(FleetPolicy::bucketOf(adapter, rollout), bucket);
    // A growing percentage keeps whoever was in.
    FleetPolicy policy;
    policy.setRollout(rollout);
    for (int percent = 0; percent <= 100; ++percent) {
        policy.setPercent(percent);
        QCOMPARE(policy.includes(adapter), bucket < percent);
    }
}

void TestToolNames::fleetPolicyWindowInLocalTime_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QTime>("time");
    QTest::addColumn<bool>("inside");
    QTest::addColumn<int>("minutesUntilOpen");
    QTest::newRow("day, before") << "08:00-17:00" << QTime(7, 59) << false << 1;
    QTest::newRow("day, at its start") << "08:00-17:00" << QTime(8, 0) << true << 0;
    QTest::newRow("day, last minute") << "08:00-17:00" << QTime(16, 59, 59) << true << 0;
    QTest::newRow("day, at its end") << "08:00-17:00" << QTime(17, 0) << false << 15 * 60;
    QTest::newRow("night, evening") << "22:00-04:00" << QTime(23, 30) << true << 0;
    QTest::newRow("night, at its start") << "22:00-04:00" << QTime(22, 0) << true << 0;
    QTest::newRow("night, after midnight") << "22:00-04:00" << QTime(0, 10) << true << 0;
    QTest::newRow("night, last minute") << "22:00-04:00" << QTime(3, 59) << true << 0;
    QTest::newRow("night, at its end") << "22:00-04:00" << QTime(4, 0) << false << 18 * 60;
    QTest::newRow("night, noon") << "22:00-04:00" << QTime(12, 0) << false << 10 * 60;
    QTest::newRow("to midnight") << "23:00-00:00" << QTime(23, 59) << true << 0;
    QTest::newRow("to midnight, after") << "23:00-00:00" << QTime(0, 0) << false << 23 * 60;
    QTest::newRow("none") << "" << QTime(3, 0) << true << 0;
}

void TestToolNames::fleetPolicyWindowInLocalTime()
{
    QFETCH(QString, window);
    QFETCH(QTime, time);
    QFETCH(bool, inside);
    QFETCH(int, minutesUntilOpen);
    FleetPolicy policy;
    QTime start;
    QTime end;
    if (!window.isEmpty()) {
        QVERIFY(FleetPolicy::parseWindow(window, &start, &end));
        policy.setWindow(start, end);
    }
    QCOMPARE(policy.windowText(), window);
    QCOMPARE(policy.isInsideWindow(time), inside);
    QCOMPARE(policy.msecsUntilWindow(time), qint64(minutesUntilOpen) * 60000);
}

void TestToolNames::fleetPolicyRefusesMalformedDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("error");
    const QByteArray sum = QByteArray(64, 'a');
    // A field given again replaces the one before; the approved list is
    // left out instead, since Qt 5.15 leaks an array that a repeated key
    // replaces.
    const auto policy = [&sum](const QByteArray &fields) {
        const QByteArray approved = fields.contains("\"approvedSha256\"") ? QByteArray()
                                                                           : "\"approvedSha256\": [\"" + sum + "\"], ";
        return "{\"sequence\": 2, \"target\": \"1.5.0\", " + approved + "\"rollout\": \"r\", "
               "\"percent\": 10" + fields + "}";
    };
    QTest::newRow("not JSON") << QByteArray("sequence=2") << "not JSON";
    QTest::newRow("an array") << QByteArray("[1]") << "not a JSON object";
    QTest::newRow("no sequence") << QByteArray("{\"target\": \"current\"}") << "\"sequence\"";
    QTest::newRow("sequence 0") << QByteArray(policy(", \"sequence\": 0")) << "\"sequence\"";
    QTest::newRow("sequence 1.5") << QByteArray(policy(", \"sequence\": 1.5")) << "\"sequence\"";
    QTest::newRow("sequence as text") << QByteArray(policy(", \"sequence\": \"3\"")) << "\"sequence\"";
    QTest::newRow("target of two numbers") << QByteArray(policy(", \"target\": \"1.5\"")) << "\"target\"";
    QTest::newRow("no approved list") << QByteArray(policy(", \"approvedSha256\": \"" + sum + "\"")) << "\"approvedSha256\"";
    QTest::newRow("short sum") << QByteArray(policy(", \"approvedSha256\": [\"abc\"]")) << "\"approvedSha256\" holds [\"abc\"]";
    QTest::newRow("nothing approved") << QByteArray(policy(", \"approvedSha256\": []")) << "\"approvedSha256\" is empty";
    QTest::newRow("no rollout") << QByteArray(policy(", \"rollout\": \"\"")) << "\"rollout\"";
    QTest::newRow("101 %") << QByteArray(policy(", \"percent\": 101")) << "\"percent\"";
    QTest::newRow("negative percent") << QByteArray(policy(", \"percent\": -1")) << "\"percent\"";
    QTest::newRow("hour 24") << QByteArray(policy(", \"window\": \"24:00-01:00\"")) << "\"window\"";
    QTest::newRow("empty window") << QByteArray(policy(", \"window\": \"10:00-10:00\"")) << "\"window\"";
    QTest::newRow("window without end") << QByteArray(policy(", \"window\": \"10:00\"")) << "\"window\"";
    QTest::newRow("minimum version") << QByteArray(policy(", \"minimumVersion\": \"one\"")) << "\"minimumVersion\"";
    QTest::newRow("halt as text") << QByteArray(policy(", \"halt\": \"yes\"")) << "\"halt\"";
    QTest::newRow("too large") << QByteArray(policy(", \"note\": \"" + QByteArray(FleetPolicy::maximumSize, 'x') + "\"")) << "larger than";
}

void TestToolNames::fleetPolicyRefusesMalformedDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, error);
    QString reason;
    QVERIFY(FleetPolicy::fromJson(document, &reason).isNull());
    QVERIFY2(reason.contains(error), qPrintable(reason));
}

void TestToolNames::fleetPolicyReadsWhatItWrites()
{
    FleetPolicy written;
    written.setSequence(7);
    written.setTarget(QStringLiteral("current"));
    written.setApprovedSha256({QString(64, QLatin1Char('b')), QString(64, QLatin1Char('0'))});
    written.setRollout(QStringLiteral("spring"));
    written.setPercent(50);
    written.setWindow(QTime(22, 30), QTime(4, 0));
    written.setMinimumVersion(QVersionNumber(1, 2, 0));
    written.setTimestamp(1796874044);
    QString error;
    const FleetPolicy read = FleetPolicy::fromJson(written.toJson(), &error);
    QVERIFY2(!read.isNull(), qPrintable(error));
    QCOMPARE(read.toJson(), written.toJson());
    QVERIFY(read.targetsCurrent() && !read.halt());
    QCOMPARE(read.windowText(), QStringLiteral("22:30-04:00"));
    QVERIFY(read.approves(QString(64, QLatin1Char('B'))));
    QVERIFY(!read.approves(QString(64, QLatin1Char('c'))));
    // A halt needs no image; unknown fields are a later version's.
    const QByteArray halt = R"({"sequence": 8, "target": "1.5.0", "approvedSha256": [], "rollout": "spring", "percent": 50,
                                "halt": true, "comment": "stop"})";
    QVERIFY2(FleetPolicy::fromJson(halt, &error).halt(), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestToolNames)
#include "tst_toolnames.moc"
