// Publishing and trusting a signed release with the tools: vexbus-release
// makes the keys and the signed release.json, a local HTTPS server on
// 127.0.0.1 serves it, vexbusctl checks it and writes it into
// vexbus-emulator.
#include "httpsserver.h"
#include "toolprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using NivoraTest::ToolResult;

namespace {

const QString imageName = QStringLiteral("vexbus-adapter-1.5.0.cyacd");

ToolResult vexbusRelease(const QStringList &arguments)
{
    return NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE), arguments);
}

ToolResult vexbusctl(const QStringList &arguments)
{
    return NivoraTest::runTool(QStringLiteral(VEXBUSCTL), arguments, 60000);
}

} // namespace

class TestVexbusRelease : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void checkUpdateShowsTheSignature_data();
    void checkUpdateShowsTheSignature();
    void olderReleaseNeedsAllowOlder_data();
    void olderReleaseNeedsAllowOlder();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString releaseDirectory() const { return path(QStringLiteral("www/firmware/nivora-vexbususb")); }
    QStringList releaseArguments() const;

    QTemporaryDir m_dir;
    NivoraTest::HttpsServer m_server;
};

void TestVexbusRelease::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path(QStringLiteral("cache"))));
    QString error;
    const NivoraTest::TestCertificate certificate = NivoraTest::TestCertificate::generate(m_dir.path(), &error);
    QVERIFY2(!certificate.isNull(), qPrintable(error));
    m_server.setCertificate(certificate);
    m_server.setRootDirectory(path(QStringLiteral("www")));
    QVERIFY(m_server.listenOnLoopback());

    for (const QString &name : {QStringLiteral("publisher"), QStringLiteral("other")}) {
        const ToolResult keygen = vexbusRelease({"keygen", path(name)});
        QVERIFY2(keygen.exitCode == 0, qPrintable(keygen.describe()));
        QCOMPARE(QFileInfo(path(name + ".key")).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    }
    // A key pair is never overwritten.
    const ToolResult again = vexbusRelease({"keygen", path("publisher")});
    QCOMPARE(again.exitCode, 1);

    QVERIFY(QDir().mkpath(releaseDirectory()));
    QVERIFY(QFile::copy(QStringLiteral(SAMPLE_FIRMWARE), releaseDirectory() + QLatin1Char('/') + imageName));
    const ToolResult write = vexbusRelease({"write", releaseDirectory() + QLatin1Char('/') + imageName, "--release-version", "1.5.0",
                                            "--timestamp", "1700000000", "--key", path("publisher.key")});
    QVERIFY2(write.exitCode == 0, qPrintable(write.describe()));
    QVERIFY(QFileInfo::exists(releaseDirectory() + QStringLiteral("/release.json.sig")));
}

void TestVexbusRelease::init()
{
    // A verified copy from an earlier case would spare the download.
    QVERIFY(QDir(path(QStringLiteral("cache"))).removeRecursively());
}

QStringList TestVexbusRelease::releaseArguments() const
{
    return {"--server", m_server.url(QStringLiteral("/firmware/nivora-vexbususb")), "--ca-certificate", path("server.crt")};
}

void TestVexbusRelease::checkUpdateShowsTheSignature_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("shown");

    QTest::newRow("publisher's key") << QStringList{"publisher.pub"} << 0
                                     << QStringLiteral("verified, key %1 (%2)");
    QTest::newRow("another key and the publisher's") << QStringList{"other.pub", "publisher.pub"} << 0
                                                     << QStringLiteral("verified, key %1 (%2)");
    QTest::newRow("another key only") << QStringList{"other.pub"} << 1
                                      << "The release was refused: its signature is not made by a trusted key.";
    QTest::newRow("no key") << QStringList() << 0
                            << "not checked, no trusted key (--trusted-key FILE)";
    QTest::newRow("not a key") << QStringList{"server.crt"} << 2 << "not a readable Ed25519 public key in PEM";
}

void TestVexbusRelease::checkUpdateShowsTheSignature()
{
    QFETCH(QStringList, keys);
    QFETCH(int, exitCode);
    QFETCH(QString, shown);

    QStringList arguments = QStringList{"check-update"} + releaseArguments();
    for (const QString &key : qAsConst(keys))
        arguments << "--trusted-key" << path(key);
    const ToolResult text = vexbusctl(arguments);
    QVERIFY2(text.exitCode == exitCode, qPrintable(text.describe()));

    // The key is named as the JSON output names it.
    const ToolResult json = vexbusctl(QStringList{"--json"} + arguments);
    QCOMPARE(json.exitCode, exitCode);
    const QList<QJsonObject> objects = NivoraTest::jsonLines(json.out);
    if (exitCode == 0) {
        QCOMPARE(objects.size(), 1);
        const QJsonObject release = objects.first();
        QCOMPARE(release.value("authenticated").toBool(), !keys.isEmpty());
        if (!keys.isEmpty()) {
            QVERIFY(QRegularExpression("^[0-9a-f]{16}$").match(release.value("signingKey").toString()).hasMatch());
            QCOMPARE(release.value("signingKeyFile").toString(), path("publisher.pub"));
            shown = shown.arg(release.value("signingKey").toString(), path("publisher.pub"));
        }
    } else {
        QCOMPARE(objects.size(), 0);
    }
    const QRegularExpression signatureLine(QStringLiteral("^Signature: +") + QRegularExpression::escape(shown) + QLatin1Char('$'),
                                           QRegularExpression::MultilineOption);
    QVERIFY2(exitCode == 0 ? signatureLine.match(text.out).hasMatch() : text.err.contains(shown), qPrintable(text.describe()));
    QCOMPARE(text.err.contains("The release is not authenticated"), keys.isEmpty());
}

void TestVexbusRelease::olderReleaseNeedsAllowOlder_data()
{
    QTest::addColumn<bool>("allowOlder");

    QTest::newRow("refused") << false;
    QTest::newRow("allowed") << true;
}

void TestVexbusRelease::olderReleaseNeedsAllowOlder()
{
    QFETCH(bool, allowOlder);

    NivoraTest::EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start({"--firmware-version", "1.6.0", "--version-after-update", "1.5.0"}));
    QStringList arguments = QStringList{"--port", emulator.path(), "--json", "update", "--online", "--trusted-key", path("publisher.pub")}
            + releaseArguments();
    if (allowOlder)
        arguments << "--allow-older";
    const ToolResult update = vexbusctl(arguments);

    const QList<QJsonObject> events = NivoraTest::jsonLines(update.out);
    QVERIFY2(!events.isEmpty(), qPrintable(update.describe()));
    QCOMPARE(events.first().value("version").toString(), QStringLiteral("1.5.0"));
    QCOMPARE(events.first().value("authenticated").toBool(), true);
    if (!allowOlder) {
        QVERIFY2(update.exitCode == 1, qPrintable(update.describe()));
        QVERIFY2(update.err.contains("the release 1.5.0 is older than the firmware 1.6.0 that the controller runs; "
                                     "nothing written (--allow-older writes it anyway)"), qPrintable(update.describe()));
        QVERIFY2(!emulator.log().contains("StartBootloader"), qPrintable(emulator.log()));
        return;
    }
    QVERIFY2(update.exitCode == 0, qPrintable(update.describe()));
    QCOMPARE(events.last().value("event").toString(), QStringLiteral("finished"));
    QCOMPARE(events.last().value("previousFirmwareVersion").toString(), QStringLiteral("1.6.0"));
    QCOMPARE(events.last().value("firmwareVersion").toString(), QStringLiteral("1.5.0"));
}

QTEST_GUILESS_MAIN(TestVexbusRelease)

#include "tst_vexbusrelease.moc"
