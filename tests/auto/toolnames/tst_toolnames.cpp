// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The wire names of the tools: every enumerator that crosses vexbusd's
// contract or vexbusctl's output has a name of its own, each name leads back
// to its enumerator, and the published names stay as they are.
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

QTEST_GUILESS_MAIN(TestToolNames)
#include "tst_toolnames.moc"
