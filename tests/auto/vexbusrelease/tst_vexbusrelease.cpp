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
    void checkUpdateShowsTheRelease_data();
    void checkUpdateShowsTheRelease();
    void updateOnline_data();
    void updateOnline();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    // check-update or update on the release in directory of the server.
    QStringList release(const QString &command, const QString &directory = QStringLiteral("nivora-vexbususb")) const
    {
        return {command, "--server", m_server.url(QStringLiteral("/firmware/") + directory), "--ca-certificate", path("server.crt")};
    }

    QTemporaryDir m_dir;
    NivoraTest::HttpsServer m_server;
};

void TestVexbusRelease::initTestCase()
{
    // The tools' firmware cache goes to a place of the test's own.
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

    for (const QString &directory : {QStringLiteral("nivora-vexbususb"), QStringLiteral("changed")}) {
        const QString image = path(QStringLiteral("www/firmware/%1/vexbus-adapter-1.5.0.cyacd").arg(directory));
        QVERIFY(QDir().mkpath(QFileInfo(image).path()) && QFile::copy(QStringLiteral(SAMPLE_FIRMWARE), image));
        const ToolResult write = NivoraTest::runTool(QStringLiteral(VEXBUS_RELEASE),
                {"write", image, "--release-version", "1.5.0", "--key", path("publisher.key")});
        QVERIFY2(write.exitCode == 0, qPrintable(write.describe()));
    }
    // As older servers publish: an MD5 sum, no SHA-256.
    QFile sample(QStringLiteral(SAMPLE_FIRMWARE));
    QVERIFY(sample.open(QIODevice::ReadOnly));
    QVERIFY(m_server.publishRelease(QStringLiteral("/firmware/changed-md5"), QStringLiteral("vexbus-adapter-1.5.0.cyacd"), sample.readAll(), 1, 5, 0));
    // These images change after they were published.
    for (const QString &directory : {QStringLiteral("changed"), QStringLiteral("changed-md5")}) {
        QFile changed(path(QStringLiteral("www/firmware/%1/vexbus-adapter-1.5.0.cyacd").arg(directory)));
        QVERIFY(changed.open(QIODevice::Append) && changed.write(":00002400040102030400\n") > 0);
    }
}

void TestVexbusRelease::checkUpdateShowsTheRelease_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // the pattern of stdout
    QTest::addColumn<QString>("error"); // the pattern of stderr

    const QString url = QRegularExpression::escape(m_server.url(QStringLiteral("/firmware/nivora-vexbususb")));
    const QString key = QRegularExpression::escape(path(QStringLiteral("publisher.pub")));
    QTest::newRow("publisher's key") << release("check-update") + QStringList{"--trusted-key", path("publisher.pub")} << 0
                                     << "^Version: +1\\.5\\.0\nHardware: +vexbus-usb-adapter\nRelease date: +\\d{4}-\\d\\d-\\d\\dT[\\d:]+.*\n"
                                        "File: +vexbus-adapter-1\\.5\\.0\\.cyacd\nServer: +" + url + "\nSignature: +verified, key [0-9a-f]{16} \\("
                                        + key + "\\)\nImage: +verified, 128 rows\n$" << "^$";
    QTest::newRow("as JSON") << release("check-update") + QStringList{"--json", "--trusted-key", path("publisher.pub")} << 0
                             << "^\\{\"authenticated\":true,\"fileName\":\"vexbus-adapter-1\\.5\\.0\\.cyacd\",\"hardware\":\"vexbus-usb-adapter\","
                                "\"preRelease\":false,\"releaseDate\":\"[^\"]+Z\",\"rowCount\":128,\"server\":\"" + url + "\","
                                "\"signingKey\":\"[0-9a-f]{16}\",\"signingKeyFile\":\"" + key + "\",\"verified\":true,\"version\":\"1\\.5\\.0\"\\}\n$"
                             << "^$";
    QTest::newRow("another key") << release("check-update") + QStringList{"--trusted-key", path("other.pub")} << 1
                                 << "^$" << "The release was refused: its signature is not made by a trusted key.\n$";
    QTest::newRow("no key") << release("check-update") << 0 << "\nSignature: +not checked, no trusted key \\(--trusted-key FILE\\)\n"
                            << "The release is not authenticated";
    QTest::newRow("not a key") << release("check-update") + QStringList{"--trusted-key", path("server.crt")} << 2
                               << "^$" << "--trusted-key .*server.crt: not a readable Ed25519 public key in PEM";
    QTest::newRow("untrusted certificate") << QStringList(release("check-update").mid(0, 3)) << 1
                                           << "^$" << "Could not get the release description: SSL handshake failed";
    QTest::newRow("no release") << release("check-update", "none") << 1 << "^$" << "Could not get the release description: ";
    QTest::newRow("image changed") << release("check-update", "changed") << 1
                                   << "" << "The downloaded firmware file does not match the SHA-256 of the release.\n";
    QTest::newRow("image changed, MD5 sum only") << release("check-update", "changed-md5") << 1
                                                 << "" << "The downloaded firmware file does not match the MD5 sum of the release";
}

void TestVexbusRelease::checkUpdateShowsTheRelease()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, error);

    // A verified copy from an earlier case would spare the download.
    QDir(path(QStringLiteral("cache"))).removeRecursively();
    const ToolResult result = NivoraTest::runTool(QStringLiteral(VEXBUSCTL), arguments);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    QVERIFY2(QRegularExpression(output).match(result.out).hasMatch(), qPrintable(result.describe()));
    QVERIFY2(QRegularExpression(error).match(result.err).hasMatch(), qPrintable(result.describe()));
}

void TestVexbusRelease::updateOnline_data()
{
    QTest::addColumn<QString>("firmware"); // what the controller runs
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // on stdout after success, else on stderr
    QTest::addColumn<bool>("written");

    const QStringList signedRelease = release("update") + QStringList{"--online", "--trusted-key", path("publisher.pub")};
    QTest::newRow("newer") << "1.4.12" << QStringList{"--json"} + signedRelease << 0
                           << "\n{\"event\":\"finished\",\"firmwareVersion\":\"1.5.0\",\"previousFirmwareVersion\":\"1.4.12\","
                              "\"success\":true,\"updated\":true}\n" << true;
    QTest::newRow("the same") << "1.5.0" << signedRelease << 0
                              << "\nok: the controller runs firmware 1.5.0 already; nothing to do (--force writes it again)\n" << false;
    QTest::newRow("older") << "1.6.0" << QStringList{"--json"} + signedRelease << 1
                           << "vexbusctl: the release 1.5.0 is older than the firmware 1.6.0 that the controller runs; "
                              "nothing written (--allow-older writes it anyway)\n" << false;
    QTest::newRow("older allowed") << "1.6.0" << QStringList{"--json"} + signedRelease + QStringList{"--allow-older"} << 0
                                   << "\n{\"event\":\"finished\",\"firmwareVersion\":\"1.5.0\",\"previousFirmwareVersion\":\"1.6.0\","
                                      "\"success\":true,\"updated\":true}\n" << true;
}

void TestVexbusRelease::updateOnline()
{
    QFETCH(QString, firmware);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(bool, written);

    NivoraTest::EmulatorProcess emulator(QStringLiteral(VEXBUS_EMULATOR));
    QVERIFY(emulator.start({"--firmware-version", firmware, "--version-after-update", "1.5.0"}));
    QDir(path(QStringLiteral("cache"))).removeRecursively();
    const ToolResult update = NivoraTest::runTool(QStringLiteral(VEXBUSCTL), QStringList{"--port", emulator.path()} + arguments, 60000);
    QVERIFY2(update.exitCode == exitCode, qPrintable(update.describe()));
    QVERIFY2((exitCode == 0 ? update.out : update.err).endsWith(output), qPrintable(update.describe()));
    // The release was checked with the publisher's key before anything else.
    const QString authenticated = QStringLiteral("{\"authenticated\":true,\"fileName\":\"vexbus-adapter-1.5.0.cyacd\",");
    QVERIFY2(!arguments.contains(QStringLiteral("--json")) || update.out.startsWith(authenticated), qPrintable(update.describe()));
    QTRY_COMPARE(emulator.log().contains(QStringLiteral("128 rows programmed, application valid")), written);
    QCOMPARE(emulator.log().contains(QStringLiteral("StartBootloader")), written);
}

QTEST_GUILESS_MAIN(TestVexbusRelease)

#include "tst_vexbusrelease.moc"
