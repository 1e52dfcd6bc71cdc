#include "firmware/firmwaredownloader.h"
#include "httpsserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace NivoraVexbusUsb;
using NivoraTest::HttpsServer;
using NivoraTest::TestCertificate;

namespace {

const QString serverPath = QStringLiteral("/firmware/nivora-vexbususb");
const QString releasePath = serverPath + QStringLiteral("/release.json");
const QString preReleasePath = serverPath + QStringLiteral("/pre-release/release.json");

const QString releaseFileName = QStringLiteral("vexbususb-2.7.13.cyacd");
// Two rows, silicon 0x12345678, revision 1, sum checksum type.
const QByteArray releaseImage = "123456780100\n"
                                ":000022000401020304D0\n"
                                ":00002300040506070" "8BF\n";
// One row, same silicon.
const QByteArray preReleaseImage = "123456780100\r\n"
                                   ":000024000409090909B4\r\n";
// A valid header without rows never makes a valid image.
const QByteArray invalidImage = "123456780100\n";

// As the release server's description gives it: 2023-11-14T22:13:20Z.
constexpr qint64 releaseTimestamp = 1700000000;

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QByteArray releaseJson(const QString &fileName, const QByteArray &checksum, int minorVersion = 7)
{
    return HttpsServer::releaseJson(fileName, checksum, 2, minorVersion, 13);
}

// Records the warnings of the downloader's category, so that a test can wait
// for a failure to be handled instead of sleeping, and then hands every
// message on to QtTest, which checks its ignoreMessage() expectations.
class WarningRecorder
{
public:
    static void install()
    {
        s_previousHandler = qInstallMessageHandler(&WarningRecorder::handle);
    }
    static QStringList &warnings()
    {
        static QStringList recorded;
        return recorded;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        // These downloaders trust no key, so every release they take is
        // unauthenticated; tst_releasesignature tests that warning.
        if (message.startsWith(QLatin1String("FirmwareDownloader: The release is not authenticated")))
            return;
        if (type == QtWarningMsg && qstrcmp(context.category, "VexbusUsbBootloader") == 0)
            warnings().append(message);
        s_previousHandler(type, context, message);
    }
    static QtMessageHandler s_previousHandler;
};

QtMessageHandler WarningRecorder::s_previousHandler = nullptr;

void expectWarning(const QString &pattern)
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern));
}

void expectWarningText(const QString &text)
{
    expectWarning(QStringLiteral("^") + QRegularExpression::escape(text) + QStringLiteral("$"));
}

} // namespace

class TestFirmwareDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void checkStoresReleaseAndDownloads_data();
    void checkStoresReleaseAndDownloads();
    void cachedFileIsVerified_data();
    void cachedFileIsVerified();
    void failuresAreSignalledAndChangeNothing_data();
    void failuresAreSignalledAndChangeNothing();
    void rejectsUnsafeFileName_data();
    void rejectsUnsafeFileName();
    void downloadWithoutPlainFileNameMakesNoRequest_data();
    void downloadWithoutPlainFileNameMakesNoRequest();

private:
    std::unique_ptr<FirmwareDownloader> createDownloader();
    std::unique_ptr<FirmwareDownloader> createDownloaderWithRelease();
    void publish(const QString &path, const QByteArray &content);
    void publishRelease(const QString &fileName, const QByteArray &image, const QString &area = QStringLiteral("/"));
    void putInCache(const QString &fileName, const QByteArray &content);
    QString cachedFilePath(const QString &fileName) const;
    QByteArray cachedFile(const QString &fileName) const;
    void checkAndWaitForFirmware(FirmwareDownloader *downloader);
    void waitForWarnings(int count);

    QTemporaryDir m_workDirectory;
    QString m_cacheHome;
    QString m_serverRoot;
    QString m_cacheDirectory;
    HttpsServer m_server;
    HttpsServer m_untrustedServer;
};

void TestFirmwareDownloader::initTestCase()
{
    QVERIFY(m_workDirectory.isValid());
    QVERIFY2(QSslSocket::supportsSsl(), "Qt Network has no TLS backend");

    QDir work(m_workDirectory.path());
    QVERIFY(work.mkpath(QStringLiteral("certificate")));
    QVERIFY(work.mkpath(QStringLiteral("untrusted")));
    QString error;
    const TestCertificate certificate = TestCertificate::generate(work.filePath(QStringLiteral("certificate")), &error);
    QVERIFY2(!certificate.isNull(), qPrintable(error));
    const TestCertificate untrusted = TestCertificate::generate(work.filePath(QStringLiteral("untrusted")), &error);
    QVERIFY2(!untrusted.isNull(), qPrintable(error));

    // Only this process trusts the test certificate.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(certificate.certificate);
    QSslConfiguration::setDefaultConfiguration(configuration);

    m_serverRoot = work.filePath(QStringLiteral("server"));
    m_server.setCertificate(certificate);
    m_server.setRootDirectory(m_serverRoot);
    QVERIFY(m_server.listenOnLoopback());
    m_untrustedServer.setCertificate(untrusted);
    m_untrustedServer.setRootDirectory(m_serverRoot);
    QVERIFY(m_untrustedServer.listenOnLoopback());

    // The cache location contains the application name.
    QCoreApplication::setApplicationName(QStringLiteral("tst_firmwaredownloader"));
    m_cacheHome = work.filePath(QStringLiteral("cache-home"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cacheHome));
    m_cacheDirectory = m_cacheHome + QStringLiteral("/tst_firmwaredownloader/nivora-vexbususb");

    WarningRecorder::install();
}

void TestFirmwareDownloader::init()
{
    QVERIFY(QDir(m_serverRoot).removeRecursively());
    QVERIFY(QDir().mkpath(m_serverRoot + serverPath + QStringLiteral("/pre-release")));
    QVERIFY(QDir(m_cacheHome).removeRecursively());
    m_server.clearRequestedPaths();
    WarningRecorder::warnings().clear();
}

std::unique_ptr<FirmwareDownloader> TestFirmwareDownloader::createDownloader()
{
    std::unique_ptr<FirmwareDownloader> downloader(new FirmwareDownloader());
    downloader->setBaseUrl(m_server.url(serverPath));
    return downloader;
}

std::unique_ptr<FirmwareDownloader> TestFirmwareDownloader::createDownloaderWithRelease()
{
    publishRelease(releaseFileName, releaseImage);
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    checkAndWaitForFirmware(downloader.get());
    return downloader;
}

void TestFirmwareDownloader::publish(const QString &path, const QByteArray &content)
{
    QVERIFY(m_server.publish(path, content));
}

void TestFirmwareDownloader::publishRelease(const QString &fileName, const QByteArray &image, const QString &area)
{
    QVERIFY(m_server.publishRelease(serverPath + area.chopped(1), fileName, image));
}

void TestFirmwareDownloader::putInCache(const QString &fileName, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(m_cacheDirectory));
    QFile file(cachedFilePath(fileName));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

QString TestFirmwareDownloader::cachedFilePath(const QString &fileName) const
{
    return m_cacheDirectory + QLatin1Char('/') + fileName;
}

QByteArray TestFirmwareDownloader::cachedFile(const QString &fileName) const
{
    QFile file(cachedFilePath(fileName));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void TestFirmwareDownloader::checkAndWaitForFirmware(FirmwareDownloader *downloader)
{
    QSignalSpy firmwareSpy(downloader, &FirmwareDownloader::firmwareChanged);
    downloader->checkNewFirmware();
    QVERIFY(firmwareSpy.wait());
}

void TestFirmwareDownloader::waitForWarnings(int count)
{
    QTRY_COMPARE(WarningRecorder::warnings().size(), count);
}

void TestFirmwareDownloader::rejectsUnsafeFileName_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("loggedName");

    const QByteArray rest = ", \"majorVersion\": 9, \"hardware\": \"evil\", \"updateFileMd5sum\": \"" + md5(releaseImage) + "\"}";
    QTest::newRow("traversal") << QByteArray("{\"updateFileName\": \"../../etc/cron.d/x\"" + rest) << "\"../../etc/cron.d/x\"";
    QTest::newRow("backslash") << QByteArray("{\"updateFileName\": \"..\\\\x.cyacd\"" + rest) << "\"..\\\\x.cyacd\"";
    QTest::newRow("dot dot") << QByteArray("{\"updateFileName\": \"..\"" + rest) << "\"..\"";
    QTest::newRow("empty") << QByteArray("{\"updateFileName\": \"\"" + rest) << "\"\"";
    QTest::newRow("missing") << QByteArray("{\"patchVersion\": 1" + rest) << "\"\"";
    QTest::newRow("nul") << QByteArray("{\"updateFileName\": \"x\\u0000y\"" + rest) << "\"x\\u0000y\"";
}

void TestFirmwareDownloader::rejectsUnsafeFileName()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, loggedName);

    std::unique_ptr<FirmwareDownloader> downloader = createDownloaderWithRelease();

    publish(releasePath, json);
    m_server.clearRequestedPaths();
    const QStringList cacheBefore = QDir(m_cacheDirectory).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    QList<std::shared_ptr<QSignalSpy>> spies;
    const QMetaObject *metaObject = downloader->metaObject();
    const int errorSignal = metaObject->indexOfSignal("errorOccurred(QString)");
    QSignalSpy errorSpy(downloader.get(), &FirmwareDownloader::errorOccurred);
    for (int i = metaObject->methodOffset(); i < metaObject->methodCount(); ++i) {
        if (metaObject->method(i).methodType() != QMetaMethod::Signal || i == errorSignal)
            continue;
        // QSignalSpy takes the signature in the form SIGNAL() gives it.
        const QByteArray signature = QByteArray::number(QSIGNAL_CODE) + metaObject->method(i).methodSignature();
        spies.append(std::make_shared<QSignalSpy>(downloader.get(), signature.constData()));
    }

    expectWarningText(QStringLiteral("FirmwareDownloader: Rejecting release, the update file name is not a plain file name: ")
                      + loggedName);
    downloader->checkNewFirmware();
    waitForWarnings(1);

    // Nothing changes; only the failure is signalled.
    for (const std::shared_ptr<QSignalSpy> &spy : spies)
        QCOMPARE(spy->count(), 0);
    QCOMPARE(errorSpy.count(), 1);
    QVERIFY(errorSpy.at(0).at(0).toString().startsWith(QStringLiteral("The release names an update file that is not a plain file name")));
    QCOMPARE(downloader->updateFileName(), releaseFileName);
    QCOMPARE(downloader->hardwareName(), QStringLiteral("vexbus-usb-adapter"));
    QCOMPARE(downloader->majorVersion(), 2);
    QCOMPARE(downloader->firmware().data(), releaseImage);
    QCOMPARE(m_server.requestedPaths(), QStringList{releasePath});
    QCOMPARE(QDir(m_cacheDirectory).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), cacheBefore);
    QCOMPARE(cachedFile(releaseFileName), releaseImage);
}

void TestFirmwareDownloader::downloadWithoutPlainFileNameMakesNoRequest_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("loggedName");

    QTest::newRow("before any release") << QString() << "\"\"";
    QTest::newRow("set by the application") << "../release.json" << "\"../release.json\"";
}

void TestFirmwareDownloader::downloadWithoutPlainFileNameMakesNoRequest()
{
    QFETCH(QString, fileName);
    QFETCH(QString, loggedName);

    publish(releasePath, releaseJson(releaseFileName, md5(releaseImage)));
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    downloader->setUpdateFileName(fileName);
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);

    expectWarningText(QStringLiteral("FirmwareDownloader: Cannot download firmware, the update file name is not a plain file name: ")
                      + loggedName);
    downloader->downloadFirmware();
    QCOMPARE(WarningRecorder::warnings().size(), 1);

    // The sentinel check fails for want of the firmware file, and it is the
    // only firmware request the server sees.
    expectWarning(QStringLiteral("^FirmwareDownloader: Could not download update"));
    downloader->checkNewFirmware();
    waitForWarnings(2);
    QCOMPARE(m_server.requestedPaths(), (QStringList{releasePath, serverPath + QLatin1Char('/') + releaseFileName}));
    QCOMPARE(firmwareSpy.count(), 0);
}

void TestFirmwareDownloader::checkStoresReleaseAndDownloads_data()
{
    QTest::addColumn<bool>("preRelease");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QStringList>("expectedRequests");

    QTest::newRow("release") << false << releaseFileName << releaseImage
                             << QStringList{releasePath, serverPath + QStringLiteral("/vexbususb-2.7.13.cyacd")};
    QTest::newRow("pre-release") << true << QStringLiteral("vexbususb-2.8.13-rc1.cyacd") << preReleaseImage
                                 << QStringList{preReleasePath,
                                                serverPath + QStringLiteral("/pre-release/vexbususb-2.8.13-rc1.cyacd")};
}

void TestFirmwareDownloader::checkStoresReleaseAndDownloads()
{
    QFETCH(bool, preRelease);
    QFETCH(QString, fileName);
    QFETCH(QByteArray, image);
    QFETCH(QStringList, expectedRequests);

    const int minorVersion = preRelease ? 8 : 7;
    const QString area = preRelease ? QStringLiteral("/pre-release/") : QStringLiteral("/");
    publish(serverPath + area + QStringLiteral("release.json"), releaseJson(fileName, md5(image), minorVersion));
    publish(serverPath + area + fileName, image);

    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    downloader->setPreReleaseEnabled(preRelease);
    QStringList order;
    FirmwareDownloader *object = downloader.get();
    connect(object, &FirmwareDownloader::versionStringChanged, this, [&order]() { order << "versionString"; });
    connect(object, &FirmwareDownloader::hardwareNameChanged, this, [&order]() { order << "hardwareName"; });
    connect(object, &FirmwareDownloader::updateFileNameChanged, this, [&order]() { order << "updateFileName"; });
    connect(object, &FirmwareDownloader::releaseDateTimeChanged, this, [&order]() { order << "releaseDateTime"; });
    connect(object, &FirmwareDownloader::firmwareUpdateFinished, this, [&order]() { order << "firmwareUpdateFinished"; });
    connect(object, &FirmwareDownloader::firmwareChanged, this, [&order]() { order << "firmwareChanged"; });
    connect(object, &FirmwareDownloader::firmwareDownloadFinished, this, [&order]() { order << "firmwareDownloadFinished"; });
    checkAndWaitForFirmware(object);

    QCOMPARE(order, (QStringList{"hardwareName", "versionString", "updateFileName", "releaseDateTime",
                                 "firmwareUpdateFinished", "firmwareChanged", "firmwareDownloadFinished"}));
    QCOMPARE(downloader->hardwareName(), QStringLiteral("vexbus-usb-adapter"));
    QCOMPARE(downloader->versionString(), QStringLiteral("2.%1.13").arg(minorVersion));
    QCOMPARE(downloader->minorVersion(), minorVersion);
    QCOMPARE(downloader->updateFileName(), fileName);
    QCOMPARE(downloader->releaseDateTime(), QDateTime::fromSecsSinceEpoch(releaseTimestamp));

    const FirmwareData firmware = downloader->firmware();
    QVERIFY(firmware.isValid());
    QCOMPARE(firmware.data(), image);
    QCOMPARE(firmware.name(), fileName);
    QCOMPARE(firmware.applicationVersion(), QStringLiteral("2.%1.13").arg(minorVersion));
    QCOMPARE(cachedFile(fileName), image);
    QCOMPARE(m_server.requestedPaths(), expectedRequests);
    QVERIFY(WarningRecorder::warnings().isEmpty());
}

void TestFirmwareDownloader::cachedFileIsVerified_data()
{
    QTest::addColumn<QString>("cached");
    QTest::addColumn<bool>("upperCaseSum");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<QByteArray>("firmware");
    QTest::addColumn<int>("downloads");

    const QString mismatch = QStringLiteral("FirmwareDownloader: The cached checksum does not match the online checksum. "
                                            "Deleting cached firmware file \"%1\"");
    QTest::newRow("valid copy spares the download") << "valid" << false << QStringList() << releaseImage << 0;
    QTest::newRow("other bytes are replaced") << "other" << false << QStringList{mismatch} << releaseImage << 1;
    // A directory cannot be opened, even by root, nor replaced.
    QTest::newRow("cannot be opened") << "directory" << false
                                      << QStringList{QStringLiteral("Failed to open cached firmware file \"%1\"")}
                                      << releaseImage << 1;
    // The server's contract is lower-case hexadecimal.
    QTest::newRow("upper-case sum never matches")
            << "valid" << true
            << QStringList{mismatch, QStringLiteral("FirmwareDownloader: The download checksum does not match the online checksum.")}
            << QByteArray() << 1;
}

void TestFirmwareDownloader::cachedFileIsVerified()
{
    QFETCH(QString, cached);
    QFETCH(bool, upperCaseSum);
    QFETCH(QStringList, warnings);
    QFETCH(QByteArray, firmware);
    QFETCH(int, downloads);

    publish(releasePath, releaseJson(releaseFileName, upperCaseSum ? md5(releaseImage).toUpper() : md5(releaseImage)));
    publish(serverPath + QLatin1Char('/') + releaseFileName, releaseImage);
    if (cached == QLatin1String("directory"))
        QVERIFY(QDir().mkpath(cachedFilePath(releaseFileName)));
    else
        putInCache(releaseFileName, cached == QLatin1String("valid") ? releaseImage : preReleaseImage);
    for (const QString &warning : warnings)
        expectWarningText(warning.arg(cachedFilePath(releaseFileName)));

    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    QSignalSpy finishedSpy(downloader.get(), &FirmwareDownloader::firmwareUpdateFinished);
    downloader->checkNewFirmware();
    QVERIFY(finishedSpy.wait());
    if (firmware.isEmpty())
        waitForWarnings(warnings.size());
    else
        QTRY_COMPARE(firmwareSpy.count(), 1);
    QStringList requests{releasePath};
    if (downloads == 0) {
        // A second check is the sentinel: a firmware request of the first
        // one would reach the server before it.
        downloader->checkNewFirmware();
        QVERIFY(finishedSpy.wait());
        requests << releasePath;
    }
    QCOMPARE(downloader->firmware().data(), firmware);
    for (int i = 0; i < downloads; ++i)
        requests << serverPath + QLatin1Char('/') + releaseFileName;
    QCOMPARE(m_server.requestedPaths(), requests);
    if (cached == QLatin1String("directory"))
        QVERIFY(QFileInfo(cachedFilePath(releaseFileName)).isDir());
    else
        QCOMPARE(cachedFile(releaseFileName), firmware);
}

void TestFirmwareDownloader::failuresAreSignalledAndChangeNothing_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<QString>("error");

    QTest::newRow("download with other bytes") << "other bytes"
            << QStringList{"^FirmwareDownloader: The download checksum does not match the online checksum\\.$"}
            << QStringLiteral("^The downloaded firmware file does not match the MD5 sum of the release \\(%1 instead of %2\\)\\.$")
                       .arg(QString::fromLatin1(md5(preReleaseImage)), QString::fromLatin1(md5(releaseImage)));
    QTest::newRow("firmware not found") << "no firmware"
            << QStringList{"^FirmwareDownloader: Could not download update \".*Not Found\"$"}
            << "^Could not download the firmware file: ";
    // An invalid download stays cached; the next fetch deletes it.
    QTest::newRow("invalid image") << "invalid"
            << QStringList{"^FirmwareDownloader: the cached firmware data is not valid\\. Deleting cached firmware file",
                           "^FirmwareDownloader: the downloaded firmware data is not valid\\.$"}
            << "^The downloaded firmware file is not a valid firmware image\\.$";
    QTest::newRow("invalid JSON") << "json"
            << QStringList{"^FirmwareDownloader: Firmware release JSON error: \".+\"$"}
            << "^The release description is not valid JSON: ";
    QTest::newRow("description above the limit") << "large description"
            << QStringList{"^FirmwareDownloader: Refusing the release description .*: it has \\d+ bytes or more, more than the limit of 1048576 bytes\\.$"}
            << "^The release description is larger than the limit of 1048576 bytes\\.$";
    QTest::newRow("timestamp beyond 64 bits") << "timestamp"
            << QStringList{"^FirmwareDownloader: Rejecting release, its timestamp 1\\.7e\\+19 is out of range\\.$"}
            << "^The release description gives a timestamp out of range: 1\\.7e\\+19$";
    for (const char *fault : {"large firmware", "large firmware without length"}) {
        QTest::newRow(fault) << fault
                << QStringList{"^FirmwareDownloader: Refusing the firmware file .*: it has \\d+ bytes or more, more than the limit of 16777216 bytes\\.$"}
                << "^The firmware file is larger than the limit of 16777216 bytes\\.$";
    }
    QTest::newRow("release not found") << "missing"
            << QStringList{"^FirmwareDownloader: Could not get update \".*Not Found\"$"}
            << "^Could not get the release description: .*Not Found$";
    QTest::newRow("untrusted certificate") << "untrusted"
            << QStringList{"^FirmwareDownloader: Could not get update \".*SSL handshake failed.*\"$"}
            << "^Could not get the release description: .*SSL handshake failed";
}

void TestFirmwareDownloader::failuresAreSignalledAndChangeNothing()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, warnings);
    QFETCH(QString, error);

    // The release check faults fail after a good release: they keep it.
    const bool releaseFault = fault == "missing" || fault == "untrusted";
    std::unique_ptr<FirmwareDownloader> downloader = releaseFault ? createDownloaderWithRelease() : createDownloader();
    const QString firmwarePath = serverPath + QLatin1Char('/') + releaseFileName;
    if (fault == "other bytes") {
        publish(releasePath, releaseJson(releaseFileName, md5(releaseImage)));
        publish(firmwarePath, preReleaseImage);
    } else if (fault == "no firmware") {
        publish(releasePath, releaseJson(releaseFileName, md5(releaseImage)));
    } else if (fault == "invalid") {
        publish(releasePath, releaseJson(releaseFileName, md5(invalidImage)));
        publish(firmwarePath, invalidImage);
        putInCache(releaseFileName, invalidImage);
    } else if (fault == "json") {
        publish(releasePath, "{\"hardware\": \"vexbus-usb-adapter\", \"majorVersion\": 3,");
    } else if (fault == "large description") {
        publish(releasePath, "{\"padding\": \"" + QByteArray(1024 * 1024, 'a') + "\"}");
    } else if (fault == "timestamp") {
        publish(releasePath, releaseJson(releaseFileName, md5(releaseImage)).replace("1700000000", "1.7e19"));
    } else if (fault.startsWith("large firmware")) {
        const QByteArray large = releaseImage + QByteArray(FirmwareDownloader::maximumDownloadSize, '\n');
        publish(releasePath, releaseJson(releaseFileName, md5(large)));
        publish(firmwarePath, large);
        m_server.setContentLengthSent(fault == "large firmware");
    } else if (fault == "missing") {
        QVERIFY(QFile::remove(m_serverRoot + releasePath));
    } else {
        downloader->setBaseUrl(m_untrustedServer.url(serverPath));
    }
    const QStringList cacheBefore = QDir(m_cacheDirectory).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);

    for (const QString &warning : warnings)
        expectWarning(warning);
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    QSignalSpy errorSpy(downloader.get(), &FirmwareDownloader::errorOccurred);
    QSignalSpy nameSpy(downloader.get(), &FirmwareDownloader::updateFileNameChanged);
    downloader->checkNewFirmware();
    waitForWarnings(warnings.size());
    m_server.setContentLengthSent(true);

    QCOMPARE(errorSpy.count(), 1);
    QVERIFY2(QRegularExpression(error).match(errorSpy.at(0).at(0).toString()).hasMatch(),
             qPrintable(errorSpy.at(0).at(0).toString()));
    QCOMPARE(firmwareSpy.count(), 0);
    QCOMPARE(QDir(m_cacheDirectory).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), cacheBefore);
    if (releaseFault) {
        QCOMPARE(nameSpy.count(), 0);
        QCOMPARE(downloader->versionString(), QStringLiteral("2.7.13"));
        QCOMPARE(downloader->firmware().data(), releaseImage);
    } else {
        QVERIFY(downloader->firmware().data().isEmpty());
    }
    if (fault == "json" || fault == "timestamp" || fault == "large description")
        QCOMPARE(m_server.requestedPaths(), QStringList{releasePath});
    if (fault == "invalid") {
        QCOMPARE(cachedFile(releaseFileName), invalidImage);
        for (const QString &warning : warnings)
            expectWarning(warning);
        downloader->downloadFirmware();
        waitForWarnings(2 * warnings.size());
        QCOMPARE(m_server.requestedPaths(), (QStringList{releasePath, firmwarePath, firmwarePath}));
    }
}

QTEST_MAIN(TestFirmwareDownloader)
#include "tst_firmwaredownloader.moc"
