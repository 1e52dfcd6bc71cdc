// Signed release descriptions against a local HTTPS server, with Ed25519
// keys and signatures made by the openssl command line tool at test time.
#include "firmware/firmwaredownloader.h"
#include "httpsserver.h"
#include "toolprocess.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using namespace NivoraVexbusUsb;

namespace {

const QString serverPath = QStringLiteral("/firmware/nivora-vexbususb");
const QString releasePath = serverPath + QStringLiteral("/release.json");
const QString signaturePath = releasePath + QStringLiteral(".sig");
const QString imageName = QStringLiteral("vexbus-adapter-1.5.0.cyacd");
const QString imagePath = serverPath + QLatin1Char('/') + imageName;

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

} // namespace

class TestReleaseSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void releaseIsTaken_data();
    void releaseIsTaken();
    void untrustedReleaseLeavesNothing_data();
    void untrustedReleaseLeavesNothing();
    void interruptedCacheWriteLeavesNoFile();

private:
    QString file(const QString &name) const { return m_work.filePath(name); }
    void openssl(const QStringList &arguments);
    // Publishes the description, signed by signer unless that is empty.
    void publish(const QJsonObject &description, const QString &signer);
    FirmwareDownloader *createDownloader(const QStringList &trustedKeys);
    QStringList cachedFiles() const { return QDir(m_cacheDirectory).entryList(QDir::Files | QDir::Hidden); }

    QTemporaryDir m_work;
    QString m_cacheDirectory;
    QByteArray m_image;
    QJsonObject m_release;
    NivoraTest::HttpsServer m_server;
};

void TestReleaseSignature::initTestCase()
{
    QString error;
    const NivoraTest::TestCertificate certificate = NivoraTest::TestCertificate::generate(m_work.path(), &error);
    QVERIFY2(!certificate.isNull(), qPrintable(error));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(certificate.certificate);
    QSslConfiguration::setDefaultConfiguration(configuration);
    m_server.setCertificate(certificate);
    m_server.setRootDirectory(file(QStringLiteral("www")));
    QVERIFY(m_server.listenOnLoopback());

    for (const QString &name : {QStringLiteral("publisher"), QStringLiteral("other")}) {
        openssl({"genpkey", "-algorithm", "ed25519", "-out", file(name + ".key")});
        openssl({"pkey", "-in", file(name + ".key"), "-pubout", "-out", file(name + ".pub")});
    }

    m_image = readFile(QStringLiteral(SAMPLE_FIRMWARE));
    QVERIFY(m_image.size() > 4096);
    m_release = QJsonObject{{"hardware", "vexbus-usb-adapter"}, {"majorVersion", 1}, {"minorVersion", 5}, {"patchVersion", 0},
                            {"updateFileName", imageName}, {"timestamp", 1700000000},
                            {"updateFileMd5sum", hashHex(m_image, QCryptographicHash::Md5)},
                            {"updateFileSha256", hashHex(m_image, QCryptographicHash::Sha256)}};

    QCoreApplication::setApplicationName(QStringLiteral("tst_releasesignature"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(file(QStringLiteral("cache"))));
    m_cacheDirectory = file(QStringLiteral("cache/tst_releasesignature/nivora-vexbususb"));
}

void TestReleaseSignature::init()
{
    QVERIFY(QDir(file(QStringLiteral("www"))).removeRecursively());
    QVERIFY(QDir().mkpath(file(QStringLiteral("www")) + serverPath));
    QVERIFY(writeFile(file(QStringLiteral("www")) + imagePath, m_image));
    QVERIFY(QDir(file(QStringLiteral("cache"))).removeRecursively());
    m_server.clearRequestedPaths();
}

void TestReleaseSignature::openssl(const QStringList &arguments)
{
    const NivoraTest::ToolResult result = NivoraTest::runTool(QStringLiteral("openssl"), arguments);
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
}

void TestReleaseSignature::publish(const QJsonObject &description, const QString &signer)
{
    const QString path = file(QStringLiteral("www")) + releasePath;
    QVERIFY(writeFile(path, QJsonDocument(description).toJson()));
    if (!signer.isEmpty())
        openssl({"pkeyutl", "-sign", "-rawin", "-inkey", file(signer + ".key"), "-in", path, "-out", path + ".sig"});
}

FirmwareDownloader *TestReleaseSignature::createDownloader(const QStringList &trustedKeys)
{
    FirmwareDownloader *downloader = new FirmwareDownloader(this);
    downloader->setBaseUrl(m_server.url(serverPath));
    for (const QString &name : trustedKeys)
        downloader->addTrustedKey(ReleaseKey::fromPem(readFile(file(name + ".pub"))));
    return downloader;
}

void TestReleaseSignature::releaseIsTaken_data()
{
    QTest::addColumn<QString>("signer");
    QTest::addColumn<QStringList>("trustedKeys");
    QTest::addColumn<bool>("cached");

    QTest::newRow("signed, key trusted") << "publisher" << QStringList{"publisher"} << false;
    QTest::newRow("signed, second of two keys") << "publisher" << QStringList{"other", "publisher"} << false;
    QTest::newRow("signed, image from the cache") << "publisher" << QStringList{"publisher"} << true;
    QTest::newRow("unsigned, no key") << "" << QStringList() << false;
    QTest::newRow("signed, no key") << "publisher" << QStringList() << true;
}

void TestReleaseSignature::releaseIsTaken()
{
    QFETCH(QString, signer);
    QFETCH(QStringList, trustedKeys);
    QFETCH(bool, cached);

    publish(m_release, signer);
    FirmwareDownloader *downloader = createDownloader(trustedKeys);
    if (cached)
        QVERIFY(writeFile(m_cacheDirectory + QLatin1Char('/') + imageName, m_image));
    if (trustedKeys.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, "FirmwareDownloader: The release is not authenticated, no trusted key is configured.");
    QSignalSpy downloadedSpy(downloader, &FirmwareDownloader::firmwareDownloadFinished);
    downloader->checkNewFirmware();
    QVERIFY(downloadedSpy.wait());

    QCOMPARE(downloader->firmware().data(), m_image);
    QCOMPARE(readFile(m_cacheDirectory + QLatin1Char('/') + imageName), m_image);
    QCOMPARE(QFileInfo(m_cacheDirectory).permissions() & 0x0077, QFile::Permissions());
    QCOMPARE(downloader->releaseAuthenticated(), !trustedKeys.isEmpty());
    QCOMPARE(downloader->releaseKeyFingerprint(),
             trustedKeys.isEmpty() ? QString() : ReleaseKey::fromPem(readFile(file("publisher.pub"))).fingerprint());
    QStringList requests{releasePath};
    if (!trustedKeys.isEmpty())
        requests << signaturePath;
    if (!cached)
        requests << imagePath;
    QCOMPARE(m_server.requestedPaths(), requests);
}

void TestReleaseSignature::untrustedReleaseLeavesNothing_data()
{
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QStringList>("warnings");

    const QString refused = QStringLiteral("FirmwareDownloader: Refusing release: \"%1\"");
    const QString notTrusted = refused.arg(QStringLiteral("its signature is not made by a trusted key"));
    const QString shaMismatch = QStringLiteral("FirmwareDownloader: The download SHA-256 does not match the release.");
    QTest::newRow("tampered description") << "tampered description" << QStringList{notTrusted};
    QTest::newRow("signed by another key") << "other key" << QStringList{notTrusted};
    QTest::newRow("missing signature") << "no signature" << QStringList{refused.arg("it has no signature")};
    QTest::newRow("malformed signature") << "short signature"
                                         << QStringList{refused.arg("its signature is malformed (63 bytes instead of 64)")};
    QTest::newRow("no SHA-256") << "no sha" << QStringList{refused.arg("it gives no SHA-256 of its image")};
    QTest::newRow("tampered image") << "tampered image" << QStringList{shaMismatch};
    // The MD5 sum matches; only the SHA-256 tells that this is not the image signed.
    QTest::newRow("signed SHA-256 of another image") << "other sha" << QStringList{shaMismatch};
    QTest::newRow("cached image fails the SHA-256") << "cached, other sha"
        << QStringList{QStringLiteral("FirmwareDownloader: The cached SHA-256 does not match the release. "
                                      "Deleting cached firmware file \"%1/%2\"").arg(m_cacheDirectory, imageName), shaMismatch};
}

void TestReleaseSignature::untrustedReleaseLeavesNothing()
{
    QFETCH(QString, problem);
    QFETCH(QStringList, warnings);

    QJsonObject description = m_release;
    if (problem == QLatin1String("no sha"))
        description.remove(QStringLiteral("updateFileSha256"));
    if (problem.endsWith(QLatin1String("other sha")))
        description.insert(QStringLiteral("updateFileSha256"), hashHex("another image", QCryptographicHash::Sha256));
    publish(description, problem == QLatin1String("no signature") ? QString()
                         : problem == QLatin1String("other key") ? QStringLiteral("other") : QStringLiteral("publisher"));
    const QString served = file(QStringLiteral("www")) + serverPath;
    if (problem == QLatin1String("tampered description"))
        QVERIFY(writeFile(served + "/release.json", readFile(served + "/release.json").replace("\"minorVersion\": 5", "\"minorVersion\": 6")));
    if (problem == QLatin1String("short signature"))
        QVERIFY(writeFile(served + "/release.json.sig", readFile(served + "/release.json.sig").left(63)));
    if (problem == QLatin1String("tampered image"))
        QVERIFY(writeFile(served + QLatin1Char('/') + imageName, m_image + ":00000000010000FF\n"));

    FirmwareDownloader *downloader = createDownloader({QStringLiteral("publisher")});
    if (problem.startsWith(QLatin1String("cached")))
        QVERIFY(writeFile(m_cacheDirectory + QLatin1Char('/') + imageName, m_image));
    for (const QString &warning : qAsConst(warnings))
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QSignalSpy errorSpy(downloader, &FirmwareDownloader::errorOccurred);
    QSignalSpy firmwareSpy(downloader, &FirmwareDownloader::firmwareChanged);
    downloader->checkNewFirmware();
    QVERIFY(errorSpy.wait());

    QCOMPARE(errorSpy.count(), 1);
    QCOMPARE(firmwareSpy.count(), 0);
    QCOMPARE(cachedFiles(), QStringList());
    // A refused description leaves every value as it was and fetches no image.
    const bool descriptionTaken = warnings.last().contains(QLatin1String("SHA-256 does not match"));
    QCOMPARE(downloader->versionString(), descriptionTaken ? QStringLiteral("1.5.0") : QString());
    QCOMPARE(m_server.requestedPaths().contains(imagePath), descriptionTaken);
}

void TestReleaseSignature::interruptedCacheWriteLeavesNoFile()
{
    publish(m_release, QStringLiteral("publisher"));
    FirmwareDownloader *downloader = createDownloader({QStringLiteral("publisher")});
    QSignalSpy downloadedSpy(downloader, &FirmwareDownloader::firmwareDownloadFinished);

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
