// Signed release descriptions against a local HTTPS server, with Ed25519
// keys and signatures made by the openssl command line tool at test time.
#include "firmware/firmwaredownloader.h"
#include "firmware/releasekey.h"
#include "httpsserver.h"
#include "toolprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

using namespace NivoraVexbusUsb;
using NivoraTest::HttpsServer;
using NivoraTest::TestCertificate;
using NivoraTest::ToolResult;

namespace {

const QString serverPath = QStringLiteral("/firmware/nivora-vexbususb");
const QString releasePath = serverPath + QStringLiteral("/release.json");
const QString signaturePath = releasePath + QStringLiteral(".sig");
const QString imageName = QStringLiteral("vexbus-adapter-1.5.0.cyacd");
const QString imagePath = serverPath + QLatin1Char('/') + imageName;
const QString notAuthenticated = QStringLiteral("FirmwareDownloader: The release is not authenticated, no trusted key is configured.");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QString hashHex(const QByteArray &data, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, algorithm).toHex());
}

ToolResult openssl(const QStringList &arguments)
{
    return NivoraTest::runTool(QStringLiteral("openssl"), arguments);
}

} // namespace

class TestReleaseSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void keysFromPem_data();
    void keysFromPem();
    void signedReleaseIsAccepted_data();
    void signedReleaseIsAccepted();
    void untrustedReleaseLeavesNothing_data();
    void untrustedReleaseLeavesNothing();
    void unsignedReleaseWithoutKeyIsTakenWithWarning_data();
    void unsignedReleaseWithoutKeyIsTakenWithWarning();
    void interruptedCacheWriteLeavesNoFile();

private:
    // Makes an Ed25519 key pair <name>.key and <name>.pub in the work directory.
    void makeKey(const QString &name);
    ReleaseKey key(const QString &name) const;
    QString keyFile(const QString &name) const { return m_work.filePath(name); }
    QJsonObject release() const;
    void publishDescription(const QByteArray &description);
    void sign(const QString &keyName, const QString &signedFile);
    std::unique_ptr<FirmwareDownloader> createDownloader(const QStringList &trustedKeys);
    QStringList cachedFiles() const;

    QTemporaryDir m_work;
    QString m_serverRoot;
    QString m_cacheDirectory;
    QByteArray m_image;
    HttpsServer m_server;
};

void TestReleaseSignature::initTestCase()
{
    QVERIFY(m_work.isValid());
    m_image = readFile(QStringLiteral(SAMPLE_FIRMWARE));
    QVERIFY(m_image.size() > 4096);

    QString error;
    const TestCertificate certificate = TestCertificate::generate(m_work.path(), &error);
    QVERIFY2(!certificate.isNull(), qPrintable(error));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(certificate.certificate);
    QSslConfiguration::setDefaultConfiguration(configuration);
    m_serverRoot = m_work.filePath(QStringLiteral("www"));
    m_server.setCertificate(certificate);
    m_server.setRootDirectory(m_serverRoot);
    QVERIFY(m_server.listenOnLoopback());

    makeKey(QStringLiteral("publisher"));
    makeKey(QStringLiteral("other"));

    QCoreApplication::setApplicationName(QStringLiteral("tst_releasesignature"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_work.filePath(QStringLiteral("cache"))));
    m_cacheDirectory = m_work.filePath(QStringLiteral("cache/tst_releasesignature/nivora-vexbususb"));
}

void TestReleaseSignature::init()
{
    QVERIFY(QDir(m_serverRoot).removeRecursively());
    QVERIFY(QDir().mkpath(m_serverRoot + serverPath));
    QVERIFY(writeFile(m_serverRoot + imagePath, m_image));
    QVERIFY(QDir(m_work.filePath(QStringLiteral("cache"))).removeRecursively());
    m_server.clearRequestedPaths();
}

void TestReleaseSignature::makeKey(const QString &name)
{
    ToolResult result = openssl({"genpkey", "-algorithm", "ed25519", "-out", keyFile(name + ".key")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    result = openssl({"pkey", "-in", keyFile(name + ".key"), "-pubout", "-out", keyFile(name + ".pub")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
}

ReleaseKey TestReleaseSignature::key(const QString &name) const
{
    return ReleaseKey::fromPem(readFile(keyFile(name + QStringLiteral(".pub"))));
}

QJsonObject TestReleaseSignature::release() const
{
    QJsonObject release;
    release.insert(QStringLiteral("hardware"), QStringLiteral("vexbus-usb-adapter"));
    release.insert(QStringLiteral("majorVersion"), 1);
    release.insert(QStringLiteral("minorVersion"), 5);
    release.insert(QStringLiteral("patchVersion"), 0);
    release.insert(QStringLiteral("updateFileName"), imageName);
    release.insert(QStringLiteral("updateFileMd5sum"), hashHex(m_image, QCryptographicHash::Md5));
    release.insert(QStringLiteral("updateFileSha256"), hashHex(m_image, QCryptographicHash::Sha256));
    release.insert(QStringLiteral("timestamp"), 1700000000);
    return release;
}

void TestReleaseSignature::publishDescription(const QByteArray &description)
{
    QVERIFY(writeFile(m_serverRoot + releasePath, description));
}

void TestReleaseSignature::sign(const QString &keyName, const QString &signedFile)
{
    const ToolResult result = openssl({"pkeyutl", "-sign", "-rawin", "-inkey", keyFile(keyName + ".key"),
                                       "-in", signedFile, "-out", m_serverRoot + signaturePath});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
}

std::unique_ptr<FirmwareDownloader> TestReleaseSignature::createDownloader(const QStringList &trustedKeys)
{
    std::unique_ptr<FirmwareDownloader> downloader(new FirmwareDownloader);
    downloader->setBaseUrl(m_server.url(serverPath));
    for (const QString &name : trustedKeys)
        downloader->addTrustedKey(key(name));
    return downloader;
}

QStringList TestReleaseSignature::cachedFiles() const
{
    return QDir(m_cacheDirectory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

void TestReleaseSignature::keysFromPem_data()
{
    QTest::addColumn<QStringList>("opensslArguments");
    QTest::addColumn<bool>("valid");

    QTest::newRow("Ed25519 public key") << QStringList() << true;
    QTest::newRow("Ed25519 private key") << QStringList{"pkey", "-in", "publisher.key"} << false;
    QTest::newRow("EC public key") << QStringList{"pkey", "-in", "server.key", "-pubout"} << false;
    QTest::newRow("not PEM") << QStringList{"rand", "-base64", "60"} << false;
}

void TestReleaseSignature::keysFromPem()
{
    QFETCH(QStringList, opensslArguments);
    QFETCH(bool, valid);

    QByteArray pem = readFile(keyFile(QStringLiteral("publisher.pub")));
    if (!opensslArguments.isEmpty()) {
        for (QString &argument : opensslArguments)
            argument = argument.endsWith(QLatin1String(".key")) ? keyFile(argument) : argument;
        const ToolResult result = openssl(opensslArguments);
        QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
        pem = result.out.toLatin1();
    }

    const ReleaseKey releaseKey = ReleaseKey::fromPem(pem);
    QCOMPARE(!releaseKey.isNull(), valid);
    FirmwareDownloader downloader;
    QCOMPARE(downloader.addTrustedKey(releaseKey), valid);
    QVERIFY(!downloader.addTrustedKey(releaseKey));
    QCOMPARE(downloader.trustedKeys().count(), valid ? 1 : 0);
}

void TestReleaseSignature::signedReleaseIsAccepted_data()
{
    QTest::addColumn<QStringList>("trustedKeys");
    QTest::addColumn<bool>("cached");

    QTest::newRow("one trusted key") << QStringList{"publisher"} << false;
    QTest::newRow("second of two keys") << QStringList{"other", "publisher"} << false;
    QTest::newRow("image from the cache") << QStringList{"publisher"} << true;
}

void TestReleaseSignature::signedReleaseIsAccepted()
{
    QFETCH(QStringList, trustedKeys);
    QFETCH(bool, cached);

    publishDescription(QJsonDocument(release()).toJson());
    sign(QStringLiteral("publisher"), m_serverRoot + releasePath);
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader(trustedKeys);
    if (cached)
        QVERIFY(writeFile(m_cacheDirectory + QLatin1Char('/') + imageName, m_image));

    QSignalSpy downloadedSpy(downloader.get(), &FirmwareDownloader::firmwareDownloadFinished);
    QSignalSpy errorSpy(downloader.get(), &FirmwareDownloader::errorOccurred);
    downloader->checkNewFirmware();
    QVERIFY(downloadedSpy.wait());

    QVERIFY(errorSpy.isEmpty());
    QVERIFY(downloader->releaseAuthenticated());
    // The fingerprint is taken from the key's DER form: its last 32 bytes
    // are the raw key.
    const ToolResult der = openssl({"pkey", "-pubin", "-in", keyFile("publisher.pub"), "-outform", "DER",
                                    "-out", keyFile("publisher.der")});
    QVERIFY2(der.exitCode == 0, qPrintable(der.describe()));
    QCOMPARE(downloader->releaseKeyFingerprint(),
             hashHex(readFile(keyFile("publisher.der")).right(32), QCryptographicHash::Sha256).left(16));
    QCOMPARE(downloader->versionString(), QStringLiteral("1.5.0"));
    QCOMPARE(downloader->firmware().data(), m_image);
    QCOMPARE(readFile(m_cacheDirectory + QLatin1Char('/') + imageName), m_image);
    QCOMPARE(m_server.requestedPaths(), cached ? (QStringList{releasePath, signaturePath})
                                               : (QStringList{releasePath, signaturePath, imagePath}));
    if (!cached)
        QCOMPARE(QFileInfo(m_cacheDirectory).permissions(),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
}

void TestReleaseSignature::untrustedReleaseLeavesNothing_data()
{
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<bool>("descriptionTaken");

    const QString refused = QStringLiteral("FirmwareDownloader: Refusing release: \"%1\"");
    const QString notTrusted = refused.arg(QStringLiteral("its signature is not made by a trusted key"));
    const QString shaMismatch = QStringLiteral("FirmwareDownloader: The download SHA-256 does not match the release.");
    QTest::newRow("tampered description") << "tampered description" << QStringList{notTrusted} << false;
    QTest::newRow("signed by another key") << "other key" << QStringList{notTrusted} << false;
    QTest::newRow("missing signature") << "no signature" << QStringList{refused.arg("it has no signature")} << false;
    QTest::newRow("malformed signature") << "short signature"
                                         << QStringList{refused.arg("its signature is malformed (63 bytes instead of 64)")} << false;
    QTest::newRow("no SHA-256") << "no sha" << QStringList{refused.arg("it gives no SHA-256 of its image")} << false;
    QTest::newRow("tampered image") << "tampered image" << QStringList{shaMismatch} << true;
    // The MD5 sum matches; only the SHA-256 tells the image is not the one signed.
    QTest::newRow("signed SHA-256 of another image") << "other sha" << QStringList{shaMismatch} << true;
    QTest::newRow("cached image fails the SHA-256") << "cached other sha"
        << QStringList{QStringLiteral("FirmwareDownloader: The cached SHA-256 does not match the release. Deleting cached firmware file \"%1/%2\"")
                               .arg(m_cacheDirectory, imageName), shaMismatch} << true;
}

void TestReleaseSignature::untrustedReleaseLeavesNothing()
{
    QFETCH(QString, problem);
    QFETCH(QStringList, warnings);
    QFETCH(bool, descriptionTaken);

    QJsonObject description = release();
    if (problem == QLatin1String("no sha"))
        description.remove(QStringLiteral("updateFileSha256"));
    if (problem.endsWith(QLatin1String("other sha")))
        description.insert(QStringLiteral("updateFileSha256"), hashHex("another image", QCryptographicHash::Sha256));
    publishDescription(QJsonDocument(description).toJson());
    if (problem != QLatin1String("no signature"))
        sign(problem == QLatin1String("other key") ? QStringLiteral("other") : QStringLiteral("publisher"), m_serverRoot + releasePath);
    if (problem == QLatin1String("tampered description")) {
        description.insert(QStringLiteral("minorVersion"), 6);
        publishDescription(QJsonDocument(description).toJson());
    }
    if (problem == QLatin1String("short signature"))
        QVERIFY(writeFile(m_serverRoot + signaturePath, readFile(m_serverRoot + signaturePath).left(63)));
    if (problem == QLatin1String("tampered image"))
        QVERIFY(writeFile(m_serverRoot + imagePath, m_image + ":00000000010000FF\n"));

    std::unique_ptr<FirmwareDownloader> downloader = createDownloader({QStringLiteral("publisher")});
    if (problem.startsWith(QLatin1String("cached")))
        QVERIFY(writeFile(m_cacheDirectory + QLatin1Char('/') + imageName, m_image));
    for (const QString &warning : qAsConst(warnings))
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QSignalSpy errorSpy(downloader.get(), &FirmwareDownloader::errorOccurred);
    QSignalSpy releaseSpy(downloader.get(), &FirmwareDownloader::firmwareUpdateFinished);
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    downloader->checkNewFirmware();
    QVERIFY(errorSpy.wait());

    QCOMPARE(errorSpy.count(), 1);
    QCOMPARE(firmwareSpy.count(), 0);
    QVERIFY(downloader->firmware().data().isEmpty());
    QCOMPARE(cachedFiles(), QStringList());
    QCOMPARE(releaseSpy.count(), descriptionTaken ? 1 : 0);
    QCOMPARE(downloader->versionString(), descriptionTaken ? QStringLiteral("1.5.0") : QString());
    QCOMPARE(downloader->releaseAuthenticated(), descriptionTaken);
    QCOMPARE(m_server.requestedPaths().contains(imagePath), descriptionTaken);
}

void TestReleaseSignature::unsignedReleaseWithoutKeyIsTakenWithWarning_data()
{
    QTest::addColumn<bool>("withSignature");

    QTest::newRow("unsigned") << false;
    QTest::newRow("signed, but no key to check it") << true;
}

void TestReleaseSignature::unsignedReleaseWithoutKeyIsTakenWithWarning()
{
    QFETCH(bool, withSignature);

    publishDescription(QJsonDocument(release()).toJson());
    if (withSignature)
        sign(QStringLiteral("publisher"), m_serverRoot + releasePath);
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader(QStringList());
    QSignalSpy downloadedSpy(downloader.get(), &FirmwareDownloader::firmwareDownloadFinished);

    // One warning for each check, the second one served from the cache.
    for (int check = 1; check <= 2; ++check) {
        QTest::ignoreMessage(QtWarningMsg, qPrintable(notAuthenticated));
        downloader->checkNewFirmware();
        QTRY_COMPARE(downloadedSpy.count(), check);
    }
    QVERIFY(!downloader->releaseAuthenticated());
    QVERIFY(downloader->releaseKeyFingerprint().isEmpty());
    QCOMPARE(downloader->firmware().data(), m_image);
    QCOMPARE(m_server.requestedPaths(), (QStringList{releasePath, imagePath, releasePath}));
}

void TestReleaseSignature::interruptedCacheWriteLeavesNoFile()
{
    publishDescription(QJsonDocument(release()).toJson());
    sign(QStringLiteral("publisher"), m_serverRoot + releasePath);
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader({QStringLiteral("publisher")});
    QSignalSpy downloadedSpy(downloader.get(), &FirmwareDownloader::firmwareDownloadFinished);

    // A file size limit stops the write part-way, as a full disk does.
    struct rlimit previous;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    struct rlimit limited = previous;
    limited.rlim_cur = 4096;
    std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    downloader->checkNewFirmware();
    const bool downloaded = downloadedSpy.wait();
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &previous), 0);
    QVERIFY(downloaded);

    // The verified image is offered; the cache holds nothing of it.
    QCOMPARE(downloader->firmware().data(), m_image);
    QCOMPARE(cachedFiles(), QStringList());
}

QTEST_GUILESS_MAIN(TestReleaseSignature)

#include "tst_releasesignature.moc"
