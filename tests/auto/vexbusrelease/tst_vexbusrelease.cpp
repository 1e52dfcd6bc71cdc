// Publishing and trusting a signed release with the tools: vexbus-release
// makes the keys and the signed release.json, a local HTTPS server on
// 127.0.0.1 serves it, vexbusctl checks it and writes it into
// vexbus-emulator.
#include "httpsserver.h"
#include "toolprocess.h"

#include <QTemporaryDir>
#include <QtTest>

using NivoraTest::ToolResult;

class TestVexbusRelease : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void checkUpdateShowsTheSignature_data();
    void checkUpdateShowsTheSignature();
    void olderReleaseNeedsAllowOlder_data();
    void olderReleaseNeedsAllowOlder();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    ToolResult vexbusctl(const QStringList &arguments) const;

    QTemporaryDir m_dir;
    NivoraTest::HttpsServer m_server;
};

void TestVexbusRelease::initTestCase()
{
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path(QStringLiteral("cache"))));
    QString error;
    const NivoraTest::TestCertificate certificate = NivoraTest::TestCertificate::generate(m_dir.path(), &error);
    QVERIFY2(!certificate.isNull(), qPrintable(error));
    m_server.setCertificate(certificate);
    m_server.setRootDirectory(path(QStringLiteral("www")));
    QVERIFY(m_server.listenOnLoopback());

    for (const QString &name : {QStringLiteral("publisher"), QStringLiteral("other")}) {
        const ToolResult keygen = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE), {"keygen", path(name)});
        QVERIFY2(keygen.exitCode == 0, qPrintable(keygen.describe()));
        QCOMPARE(QFileInfo(path(name + ".key")).permissions() & 0x0077, QFile::Permissions());
    }
    QCOMPARE(NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE), {"keygen", path("publisher")}).exitCode, 1);

    const QString image = path(QStringLiteral("www/firmware/nivora-vexbususb/vexbus-adapter-1.5.0.cyacd"));
    QVERIFY(QDir().mkpath(QFileInfo(image).path()));
    QVERIFY(QFile::copy(QStringLiteral(SAMPLE_FIRMWARE), image));
    const ToolResult write = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE),
            {"write", image, "--release-version", "1.5.0", "--key", path("publisher.key")});
    QVERIFY2(write.exitCode == 0, qPrintable(write.describe()));
}

ToolResult TestVexbusRelease::vexbusctl(const QStringList &arguments) const
{
    // A verified copy from an earlier case would spare the download.
    QDir(path(QStringLiteral("cache"))).removeRecursively();
    return NivoraTest::runTool(QStringLiteral(VEXBUSCTL), arguments + QStringList{
            "--server", m_server.url(QStringLiteral("/firmware/nivora-vexbususb")), "--ca-certificate", path("server.crt")}, 60000);
}

void TestVexbusRelease::checkUpdateShowsTheSignature_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("shown");

    QTest::newRow("publisher's key") << "publisher.pub" << 0 << "^Signature: +verified, key [0-9a-f]{16} \\(.*/publisher.pub\\)$";
    QTest::newRow("another key") << "other.pub" << 1
                                 << "The release was refused: its signature is not made by a trusted key.$";
    QTest::newRow("no key") << "" << 0 << "^Signature: +not checked, no trusted key \\(--trusted-key FILE\\)$";
    QTest::newRow("not a key") << "server.crt" << 2 << "--trusted-key .*server.crt: not a readable Ed25519 public key in PEM";
}

void TestVexbusRelease::checkUpdateShowsTheSignature()
{
    QFETCH(QString, key);
    QFETCH(int, exitCode);
    QFETCH(QString, shown);

    const ToolResult result = vexbusctl(key.isEmpty() ? QStringList{"check-update"}
                                                      : QStringList{"check-update", "--trusted-key", path(key)});
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    const QRegularExpression pattern(shown, QRegularExpression::MultilineOption);
    QVERIFY2(pattern.match(exitCode == 0 ? result.out : result.err).hasMatch(), qPrintable(result.describe()));
    QCOMPARE(result.err.contains("The release is not authenticated"), key.isEmpty());
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
    QStringList arguments{"--port", emulator.path(), "--json", "update", "--online", "--trusted-key", path("publisher.pub")};
    if (allowOlder)
        arguments << "--allow-older";
    const ToolResult update = vexbusctl(arguments);

    const QList<QJsonObject> events = NivoraTest::jsonLines(update.out);
    QVERIFY2(!events.isEmpty(), qPrintable(update.describe()));
    QCOMPARE(events.first().value("authenticated").toBool(), true);
    QCOMPARE(events.first().value("signingKeyFile").toString(), path("publisher.pub"));
    QVERIFY2(update.exitCode == (allowOlder ? 0 : 1), qPrintable(update.describe()));
    QCOMPARE(update.err.contains("the release 1.5.0 is older than the firmware 1.6.0 that the controller runs; "
                                 "nothing written (--allow-older writes it anyway)"), !allowOlder);
    QCOMPARE(emulator.log().contains("StartBootloader"), allowOlder);
    QCOMPARE(events.last().value("firmwareVersion").toString(), allowOlder ? QStringLiteral("1.5.0") : QString());
}

QTEST_GUILESS_MAIN(TestVexbusRelease)

#include "tst_vexbusrelease.moc"
