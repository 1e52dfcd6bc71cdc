#include "firmware/firmwaredownloader.h"
#include "httpsserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaProperty>
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

// 2023-11-14T22:13:20Z
constexpr qint64 releaseTimestamp = 1700000000;

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QByteArray releaseJson(const QString &fileName, const QByteArray &checksum, int minorVersion = 7)
{
    QJsonObject release;
    release.insert(QStringLiteral("hardware"), QStringLiteral("vexbus-usb-adapter"));
    release.insert(QStringLiteral("majorVersion"), 2);
    release.insert(QStringLiteral("minorVersion"), minorVersion);
    release.insert(QStringLiteral("patchVersion"), 13);
    release.insert(QStringLiteral("updateFileName"), fileName);
    release.insert(QStringLiteral("updateFileMd5sum"), QString::fromLatin1(checksum));
    release.insert(QStringLiteral("timestamp"), releaseTimestamp);
    release.insert(QStringLiteral("changelog"), QStringLiteral("ignored by the downloader"));
    return QJsonDocument(release).toJson();
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
    void cleanup();

    void defaultsAfterConstruction();
    void setBaseUrlEmitsOnChange();
    void onlyPreReleaseEnabledIsWritable();
    void createsMissingCacheDirectory();
    void cacheDirectoryThatCannotBeCreated();

    void checkStoresReleaseAndDownloads_data();
    void checkStoresReleaseAndDownloads();
    void signalsOfASuccessfulCheckInOrder();
    void changingPreReleaseDoesNotStartCheck();
    void missingOrMistypedKeys_data();
    void missingOrMistypedKeys();

    void validCachedFileSparesDownload();
    void cachedFileWithWrongChecksumIsReplaced();
    void invalidCachedFileIsDeletedAndDownloadedAgain();
    void cachedFileThatCannotBeOpened();
    void newReleaseLeavesPreviousCachedFile();

    void downloadChecksumMismatchLeavesCacheUntouched();
    void upperCaseChecksumNeverMatches();
    void firmwareRequestFails();

    void releaseRequestFails_data();
    void releaseRequestFails();
    void invalidReleaseJson();

    void rejectsUnsafeFileName_data();
    void rejectsUnsafeFileName();
    void downloadWithoutPlainFileNameMakesNoRequest_data();
    void downloadWithoutPlainFileNameMakesNoRequest();

    void settersEmitOnlyOnChange();
    void setFirmwareAndResetAlwaysEmitFirmwareChanged();
    void resetKeepsChecksumAndPreRelease();

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

void TestFirmwareDownloader::cleanup()
{
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cacheHome));
}

std::unique_ptr<FirmwareDownloader> TestFirmwareDownloader::createDownloader()
{
    std::unique_ptr<FirmwareDownloader> downloader(new FirmwareDownloader());
    downloader->setBaseUrl(m_server.url(serverPath));
    return downloader;
}

// A downloader that has taken the published release and its firmware.
std::unique_ptr<FirmwareDownloader> TestFirmwareDownloader::createDownloaderWithRelease()
{
    publishRelease(releaseFileName, releaseImage);
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    checkAndWaitForFirmware(downloader.get());
    return downloader;
}

void TestFirmwareDownloader::publish(const QString &path, const QByteArray &content)
{
    QFile file(m_serverRoot + path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

// A release description of the image and the image itself, in one area.
void TestFirmwareDownloader::publishRelease(const QString &fileName, const QByteArray &image, const QString &area)
{
    publish(serverPath + area + QStringLiteral("release.json"), releaseJson(fileName, md5(image)));
    publish(serverPath + area + fileName, image);
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

void TestFirmwareDownloader::defaultsAfterConstruction()
{
    FirmwareDownloader downloader;
    QCOMPARE(downloader.baseUrl(), QStringLiteral("https://firmware.nivora-vexbus.example/firmware/nivora-vexbususb"));
    QCOMPARE(FirmwareDownloader::defaultBaseUrl(), downloader.baseUrl());
    QCOMPARE(downloader.cacheDirectory(), m_cacheDirectory);
    QVERIFY(downloader.updateFileName().isEmpty());
    QVERIFY(downloader.versionString().isEmpty());
    QVERIFY(downloader.hardwareName().isEmpty());
    QVERIFY(downloader.releaseDateTime().isNull());
    QCOMPARE(downloader.majorVersion(), 0);
    QCOMPARE(downloader.minorVersion(), 0);
    QCOMPARE(downloader.patchVersion(), 0);
    QVERIFY(downloader.firmware().data().isEmpty());
    QVERIFY(!downloader.firmware().isValid());
    QVERIFY(!downloader.preReleaseEnabled());
    QVERIFY(!downloader.updateInformationAvailable());
    QVERIFY(!downloader.updateDataAvailable());
    QVERIFY(QMetaType::type("FirmwareData") != QMetaType::UnknownType);
    QVERIFY(WarningRecorder::warnings().isEmpty());
}

void TestFirmwareDownloader::setBaseUrlEmitsOnChange()
{
    FirmwareDownloader downloader;
    QSignalSpy spy(&downloader, &FirmwareDownloader::baseUrlChanged);
    downloader.setBaseUrl(QStringLiteral("https://mirror.gateway.example/firmware/nivora-vexbususb"));
    downloader.setBaseUrl(QStringLiteral("https://mirror.gateway.example/firmware/nivora-vexbususb"));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("https://mirror.gateway.example/firmware/nivora-vexbususb"));
    QCOMPARE(downloader.baseUrl(), QStringLiteral("https://mirror.gateway.example/firmware/nivora-vexbususb"));
}

void TestFirmwareDownloader::onlyPreReleaseEnabledIsWritable()
{
    FirmwareDownloader downloader;
    const QMetaObject *metaObject = downloader.metaObject();
    QStringList writable;
    for (int i = metaObject->propertyOffset(); i < metaObject->propertyCount(); ++i) {
        const QMetaProperty property = metaObject->property(i);
        QVERIFY2(property.hasNotifySignal(), property.name());
        if (property.isWritable())
            writable.append(QString::fromLatin1(property.name()));
    }
    QCOMPARE(writable, QStringList{QStringLiteral("preReleaseEnabled")});

    QSignalSpy spy(&downloader, &FirmwareDownloader::preReleaseEnabledChanged);
    QVERIFY(downloader.setProperty("preReleaseEnabled", true));
    QVERIFY(downloader.preReleaseEnabled());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    QVERIFY(!downloader.setProperty("updateFileName", QStringLiteral("x.cyacd")));
    QVERIFY(downloader.updateFileName().isEmpty());
}

void TestFirmwareDownloader::createsMissingCacheDirectory()
{
    QVERIFY(!QFileInfo::exists(m_cacheDirectory));
    FirmwareDownloader first;
    QVERIFY(QFileInfo(m_cacheDirectory).isDir());
    // A second downloader uses the existing directory as it is.
    putInCache(QStringLiteral("kept.cyacd"), releaseImage);
    FirmwareDownloader second;
    QCOMPARE(cachedFile(QStringLiteral("kept.cyacd")), releaseImage);
    QVERIFY(WarningRecorder::warnings().isEmpty());
}

void TestFirmwareDownloader::cacheDirectoryThatCannotBeCreated()
{
    // A regular file where a parent directory should be: fails even as root.
    const QString blocked = m_workDirectory.filePath(QStringLiteral("blocked-cache-home"));
    QFile blocker(blocked);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_CACHE_HOME", QFile::encodeName(blocked + QStringLiteral("/sub")));
    const QString directory = blocked + QStringLiteral("/sub/tst_firmwaredownloader/nivora-vexbususb");

    expectWarningText(QStringLiteral("Failed to create cache directory \"%1\"").arg(directory));
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    QCOMPARE(downloader->cacheDirectory(), directory);

    // The downloader works on; only the cached copy is lost, silently.
    publishRelease(releaseFileName, releaseImage);
    checkAndWaitForFirmware(downloader.get());
    QVERIFY(downloader->firmware().isValid());
    QCOMPARE(downloader->firmware().data(), releaseImage);
    QCOMPARE(WarningRecorder::warnings().size(), 1);
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
    QSignalSpy finishedSpy(downloader.get(), &FirmwareDownloader::firmwareUpdateFinished);
    checkAndWaitForFirmware(downloader.get());

    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(downloader->hardwareName(), QStringLiteral("vexbus-usb-adapter"));
    QCOMPARE(downloader->majorVersion(), 2);
    QCOMPARE(downloader->minorVersion(), minorVersion);
    QCOMPARE(downloader->patchVersion(), 13);
    QCOMPARE(downloader->versionString(), QStringLiteral("2.%1.13").arg(minorVersion));
    QCOMPARE(downloader->updateFileName(), fileName);
    QCOMPARE(downloader->releaseDateTime(), QDateTime::fromSecsSinceEpoch(releaseTimestamp));
    QCOMPARE(downloader->releaseDateTime().timeSpec(), Qt::LocalTime);

    const FirmwareData firmware = downloader->firmware();
    QVERIFY(firmware.isValid());
    QCOMPARE(firmware.data(), image);
    QCOMPARE(firmware.name(), fileName);
    QCOMPARE(firmware.applicationVersion(), QStringLiteral("2.%1.13").arg(minorVersion));
    QCOMPARE(firmware.siliconId(), 0x12345678);
    QCOMPARE(cachedFile(fileName), image);
    QCOMPARE(m_server.requestedPaths(), expectedRequests);
    QVERIFY(WarningRecorder::warnings().isEmpty());
}

void TestFirmwareDownloader::signalsOfASuccessfulCheckInOrder()
{
    publishRelease(releaseFileName, releaseImage);
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();

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
}

void TestFirmwareDownloader::changingPreReleaseDoesNotStartCheck()
{
    publishRelease(releaseFileName, releaseImage, QStringLiteral("/pre-release/"));
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    QSignalSpy spy(downloader.get(), &FirmwareDownloader::preReleaseEnabledChanged);
    downloader->setPreReleaseEnabled(true);
    downloader->setPreReleaseEnabled(true);
    QCOMPARE(spy.count(), 1);

    // The check that follows is the only one the server sees.
    checkAndWaitForFirmware(downloader.get());
    QCOMPARE(m_server.requestedPaths(),
             (QStringList{preReleasePath, serverPath + QStringLiteral("/pre-release/") + releaseFileName}));
}

void TestFirmwareDownloader::missingOrMistypedKeys_data()
{
    QTest::addColumn<QByteArray>("json");

    const QByteArray checksum = md5(releaseImage);
    QTest::newRow("missing") << QByteArray("{\"updateFileName\": \"vexbususb-2.7.13.cyacd\", \"updateFileMd5sum\": \"" + checksum + "\"}");
    QTest::newRow("mistyped") << QByteArray("{\"hardware\": 7, \"majorVersion\": \"2\", \"minorVersion\": true,"
                                            " \"patchVersion\": [13], \"timestamp\": \"1700000000\","
                                            " \"updateFileName\": \"vexbususb-2.7.13.cyacd\", \"updateFileMd5sum\": \"" + checksum + "\"}");
}

void TestFirmwareDownloader::missingOrMistypedKeys()
{
    QFETCH(QByteArray, json);
    publish(releasePath, json);
    publish(serverPath + QLatin1Char('/') + releaseFileName, releaseImage);
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    checkAndWaitForFirmware(downloader.get());

    QCOMPARE(downloader->hardwareName(), QString());
    QCOMPARE(downloader->majorVersion(), 0);
    QCOMPARE(downloader->minorVersion(), 0);
    QCOMPARE(downloader->patchVersion(), 0);
    QCOMPARE(downloader->versionString(), QStringLiteral("0.0.0"));
    QCOMPARE(downloader->releaseDateTime(), QDateTime::fromSecsSinceEpoch(0));
    QCOMPARE(downloader->firmware().applicationVersion(), QStringLiteral("0.0.0"));
    QVERIFY(downloader->firmware().isValid());
}

void TestFirmwareDownloader::validCachedFileSparesDownload()
{
    // The server has no firmware file: any download attempt would fail
    // with a warning.
    publish(releasePath, releaseJson(releaseFileName, md5(releaseImage)));
    putInCache(releaseFileName, releaseImage);
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    QSignalSpy finishedSpy(downloader.get(), &FirmwareDownloader::firmwareUpdateFinished);

    downloader->checkNewFirmware();
    QVERIFY(finishedSpy.wait());
    // Taken inside the release check's handler, before it returned.
    QCOMPARE(firmwareSpy.count(), 1);
    const FirmwareData firmware = firmwareSpy.at(0).at(0).value<FirmwareData>();
    QVERIFY(firmware.isValid());
    QCOMPARE(firmware.data(), releaseImage);
    QCOMPARE(firmware.name(), releaseFileName);
    QCOMPARE(firmware.applicationVersion(), QStringLiteral("2.7.13"));

    downloader->downloadFirmware();
    QCOMPARE(firmwareSpy.count(), 2);

    // A second check is the sentinel: had a firmware request gone out, the
    // server would have seen it before this one finished.
    downloader->checkNewFirmware();
    QVERIFY(finishedSpy.wait());
    QCOMPARE(m_server.requestedPaths(), (QStringList{releasePath, releasePath}));
    QCOMPARE(firmwareSpy.count(), 3);
    QVERIFY(WarningRecorder::warnings().isEmpty());
}

void TestFirmwareDownloader::cachedFileWithWrongChecksumIsReplaced()
{
    publishRelease(releaseFileName, releaseImage);
    putInCache(releaseFileName, preReleaseImage);

    expectWarningText(QStringLiteral("FirmwareDownloader: The cached checksum does not match the online checksum. "
                                     "Deleting cached firmware file \"%1\"").arg(cachedFilePath(releaseFileName)));
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    checkAndWaitForFirmware(downloader.get());

    QCOMPARE(downloader->firmware().data(), releaseImage);
    QCOMPARE(cachedFile(releaseFileName), releaseImage);
    QCOMPARE(m_server.requestedPaths(), (QStringList{releasePath, serverPath + QLatin1Char('/') + releaseFileName}));
    QCOMPARE(WarningRecorder::warnings().size(), 1);
}

void TestFirmwareDownloader::invalidCachedFileIsDeletedAndDownloadedAgain()
{
    // The release itself is broken: its checksum matches an invalid image.
    publish(releasePath, releaseJson(releaseFileName, md5(invalidImage)));
    publish(serverPath + QLatin1Char('/') + releaseFileName, invalidImage);
    putInCache(releaseFileName, invalidImage);
    const QString cachedWarning = QStringLiteral("FirmwareDownloader: the cached firmware data is not valid. "
                                                 "Deleting cached firmware file \"%1\"").arg(cachedFilePath(releaseFileName));
    const QString downloadedWarning = QStringLiteral("FirmwareDownloader: the downloaded firmware data is not valid.");

    expectWarningText(cachedWarning);
    expectWarningText(downloadedWarning);
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    downloader->checkNewFirmware();
    waitForWarnings(2);
    QCOMPARE(WarningRecorder::warnings(), (QStringList{cachedWarning, downloadedWarning}));
    QCOMPARE(firmwareSpy.count(), 0);
    QVERIFY(downloader->firmware().data().isEmpty());
    // The invalid download stays cached ...
    QCOMPARE(cachedFile(releaseFileName), invalidImage);

    // ... so the next fetch deletes it and downloads it again.
    expectWarningText(cachedWarning);
    expectWarningText(downloadedWarning);
    downloader->downloadFirmware();
    waitForWarnings(4);
    QCOMPARE(m_server.requestedPaths(), (QStringList{releasePath, serverPath + QLatin1Char('/') + releaseFileName,
                                                     serverPath + QLatin1Char('/') + releaseFileName}));
    QCOMPARE(firmwareSpy.count(), 0);
}

void TestFirmwareDownloader::cachedFileThatCannotBeOpened()
{
    // A directory in the file's place cannot be opened, even by root; it
    // can neither be replaced, so caching the download fails silently.
    QVERIFY(QDir().mkpath(cachedFilePath(releaseFileName)));
    publishRelease(releaseFileName, releaseImage);

    expectWarningText(QStringLiteral("Failed to open cached firmware file \"%1\"").arg(cachedFilePath(releaseFileName)));
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    checkAndWaitForFirmware(downloader.get());

    QCOMPARE(downloader->firmware().data(), releaseImage);
    QVERIFY(QFileInfo(cachedFilePath(releaseFileName)).isDir());
    QCOMPARE(WarningRecorder::warnings().size(), 1);
}

void TestFirmwareDownloader::newReleaseLeavesPreviousCachedFile()
{
    const QString newFileName = QStringLiteral("vexbususb-2.8.13.cyacd");
    std::unique_ptr<FirmwareDownloader> downloader = createDownloaderWithRelease();

    publish(releasePath, releaseJson(newFileName, md5(preReleaseImage), 8));
    publish(serverPath + QLatin1Char('/') + newFileName, preReleaseImage);
    checkAndWaitForFirmware(downloader.get());

    QCOMPARE(downloader->firmware().data(), preReleaseImage);
    QCOMPARE(downloader->firmware().name(), newFileName);
    QCOMPARE(cachedFile(newFileName), preReleaseImage);
    QCOMPARE(cachedFile(releaseFileName), releaseImage);
}

void TestFirmwareDownloader::downloadChecksumMismatchLeavesCacheUntouched()
{
    // The server delivers other bytes than the release describes.
    publish(releasePath, releaseJson(releaseFileName, md5(releaseImage)));
    publish(serverPath + QLatin1Char('/') + releaseFileName, preReleaseImage);

    expectWarningText(QStringLiteral("FirmwareDownloader: The download checksum does not match the online checksum."));
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    QSignalSpy errorSpy(downloader.get(), &FirmwareDownloader::errorOccurred);
    downloader->checkNewFirmware();
    waitForWarnings(1);

    QCOMPARE(firmwareSpy.count(), 0);
    QCOMPARE(errorSpy.count(), 1);
    QCOMPARE(errorSpy.at(0).at(0).toString(),
             QStringLiteral("The downloaded firmware file does not match the MD5 sum of the release (%1 instead of %2).")
                     .arg(QString::fromLatin1(md5(preReleaseImage)), QString::fromLatin1(md5(releaseImage))));
    QVERIFY(downloader->firmware().data().isEmpty());
    QVERIFY(!QFileInfo::exists(cachedFilePath(releaseFileName)));
    QCOMPARE(QDir(m_cacheDirectory).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

void TestFirmwareDownloader::upperCaseChecksumNeverMatches()
{
    publish(releasePath, releaseJson(releaseFileName, md5(releaseImage).toUpper()));
    publish(serverPath + QLatin1Char('/') + releaseFileName, releaseImage);
    putInCache(releaseFileName, releaseImage);

    expectWarningText(QStringLiteral("FirmwareDownloader: The cached checksum does not match the online checksum. "
                                     "Deleting cached firmware file \"%1\"").arg(cachedFilePath(releaseFileName)));
    expectWarningText(QStringLiteral("FirmwareDownloader: The download checksum does not match the online checksum."));
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    downloader->checkNewFirmware();
    waitForWarnings(2);

    QCOMPARE(firmwareSpy.count(), 0);
    QVERIFY(!QFileInfo::exists(cachedFilePath(releaseFileName)));
}

void TestFirmwareDownloader::firmwareRequestFails()
{
    publish(releasePath, releaseJson(releaseFileName, md5(releaseImage)));

    expectWarning(QStringLiteral("^FirmwareDownloader: Could not download update \".*Not Found\"$"));
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    QSignalSpy errorSpy(downloader.get(), &FirmwareDownloader::errorOccurred);
    downloader->checkNewFirmware();
    waitForWarnings(1);

    // The release itself was taken; there is no retry.
    QCOMPARE(downloader->updateFileName(), releaseFileName);
    QCOMPARE(firmwareSpy.count(), 0);
    QCOMPARE(errorSpy.count(), 1);
    QVERIFY(errorSpy.at(0).at(0).toString().startsWith(QStringLiteral("Could not download the firmware file: ")));
    QCOMPARE(m_server.requestedPaths(), (QStringList{releasePath, serverPath + QLatin1Char('/') + releaseFileName}));
}

void TestFirmwareDownloader::releaseRequestFails_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("error");

    QTest::newRow("not found") << "missing" << "Not Found";
    QTest::newRow("server down") << "down" << "Connection refused";
    QTest::newRow("untrusted certificate") << "untrusted" << "SSL handshake failed.*";
}

void TestFirmwareDownloader::releaseRequestFails()
{
    QFETCH(QString, server);
    QFETCH(QString, error);

    // A first, good release shows that a failed check changes nothing.
    std::unique_ptr<FirmwareDownloader> downloader = createDownloaderWithRelease();

    if (server == QLatin1String("missing")) {
        QVERIFY(QFile::remove(m_serverRoot + releasePath));
    } else if (server == QLatin1String("down")) {
        // A port that was free a moment ago and has nobody listening now.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();
        downloader->setBaseUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(port).arg(serverPath));
    } else {
        downloader->setBaseUrl(m_untrustedServer.url(serverPath));
    }

    expectWarning(QStringLiteral("^FirmwareDownloader: Could not get update \".*%1\"$").arg(error));
    QSignalSpy finishedSpy(downloader.get(), &FirmwareDownloader::firmwareUpdateFinished);
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    QSignalSpy nameSpy(downloader.get(), &FirmwareDownloader::updateFileNameChanged);
    QSignalSpy errorSpy(downloader.get(), &FirmwareDownloader::errorOccurred);
    downloader->checkNewFirmware();
    waitForWarnings(1);

    QCOMPARE(errorSpy.count(), 1);
    QVERIFY(QRegularExpression(QStringLiteral("^Could not get the release description: .*%1$").arg(error))
                    .match(errorSpy.at(0).at(0).toString()).hasMatch());
    QCOMPARE(finishedSpy.count(), 0);
    QCOMPARE(firmwareSpy.count(), 0);
    QCOMPARE(nameSpy.count(), 0);
    QCOMPARE(downloader->versionString(), QStringLiteral("2.7.13"));
    QCOMPARE(downloader->firmware().data(), releaseImage);
}

void TestFirmwareDownloader::invalidReleaseJson()
{
    publish(releasePath, "{\"hardware\": \"vexbus-usb-adapter\", \"majorVersion\": 3,");

    expectWarning(QStringLiteral("^FirmwareDownloader: Firmware release JSON error: \".+\"$"));
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    QSignalSpy hardwareSpy(downloader.get(), &FirmwareDownloader::hardwareNameChanged);
    QSignalSpy finishedSpy(downloader.get(), &FirmwareDownloader::firmwareUpdateFinished);
    QSignalSpy errorSpy(downloader.get(), &FirmwareDownloader::errorOccurred);
    downloader->checkNewFirmware();
    waitForWarnings(1);

    QCOMPARE(errorSpy.count(), 1);
    QVERIFY(errorSpy.at(0).at(0).toString().startsWith(QStringLiteral("The release description is not valid JSON: ")));
    QCOMPARE(hardwareSpy.count(), 0);
    QCOMPARE(finishedSpy.count(), 0);
    QCOMPARE(downloader->majorVersion(), 0);
    QCOMPARE(m_server.requestedPaths(), QStringList{releasePath});
}

void TestFirmwareDownloader::rejectsUnsafeFileName_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("loggedName");

    const QByteArray rest = ", \"majorVersion\": 9, \"hardware\": \"evil\", \"updateFileMd5sum\": \"" + md5(releaseImage) + "\"}";
    QTest::newRow("traversal") << QByteArray("{\"updateFileName\": \"../../etc/cron.d/x\"" + rest) << "\"../../etc/cron.d/x\"";
    QTest::newRow("absolute") << QByteArray("{\"updateFileName\": \"/etc/cron.d/x\"" + rest) << "\"/etc/cron.d/x\"";
    QTest::newRow("slash") << QByteArray("{\"updateFileName\": \"firmware/x.cyacd\"" + rest) << "\"firmware/x.cyacd\"";
    QTest::newRow("backslash") << QByteArray("{\"updateFileName\": \"..\\\\x.cyacd\"" + rest) << "\"..\\\\x.cyacd\"";
    QTest::newRow("dot") << QByteArray("{\"updateFileName\": \".\"" + rest) << "\".\"";
    QTest::newRow("dot dot") << QByteArray("{\"updateFileName\": \"..\"" + rest) << "\"..\"";
    QTest::newRow("empty") << QByteArray("{\"updateFileName\": \"\"" + rest) << "\"\"";
    QTest::newRow("missing") << QByteArray("{\"patchVersion\": 1" + rest) << "\"\"";
    QTest::newRow("not a string") << QByteArray("{\"updateFileName\": 42" + rest) << "\"\"";
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

void TestFirmwareDownloader::settersEmitOnlyOnChange()
{
    FirmwareDownloader downloader;
    QSignalSpy versionSpy(&downloader, &FirmwareDownloader::versionStringChanged);
    QSignalSpy hardwareSpy(&downloader, &FirmwareDownloader::hardwareNameChanged);
    QSignalSpy fileNameSpy(&downloader, &FirmwareDownloader::updateFileNameChanged);
    QSignalSpy dateTimeSpy(&downloader, &FirmwareDownloader::releaseDateTimeChanged);
    const QDateTime dateTime = QDateTime::fromSecsSinceEpoch(releaseTimestamp);

    for (int i = 0; i < 2; ++i) {
        downloader.setVersionString(QStringLiteral("1.2.3"));
        downloader.setHardwareName(QStringLiteral("vexbus-usb-adapter"));
        downloader.setUpdateFileName(releaseFileName);
        downloader.setReleaseDateTime(dateTime);
    }

    QCOMPARE(versionSpy.count(), 1);
    QCOMPARE(versionSpy.at(0).at(0).toString(), QStringLiteral("1.2.3"));
    QCOMPARE(hardwareSpy.count(), 1);
    QCOMPARE(hardwareSpy.at(0).at(0).toString(), QStringLiteral("vexbus-usb-adapter"));
    QCOMPARE(fileNameSpy.count(), 1);
    QCOMPARE(fileNameSpy.at(0).at(0).toString(), releaseFileName);
    QCOMPARE(dateTimeSpy.count(), 1);
    QCOMPARE(dateTimeSpy.at(0).at(0).toDateTime(), dateTime);
}

void TestFirmwareDownloader::setFirmwareAndResetAlwaysEmitFirmwareChanged()
{
    std::unique_ptr<FirmwareDownloader> downloader = createDownloaderWithRelease();

    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    QSignalSpy versionSpy(downloader.get(), &FirmwareDownloader::versionStringChanged);
    QSignalSpy hardwareSpy(downloader.get(), &FirmwareDownloader::hardwareNameChanged);
    QSignalSpy fileNameSpy(downloader.get(), &FirmwareDownloader::updateFileNameChanged);
    QSignalSpy dateTimeSpy(downloader.get(), &FirmwareDownloader::releaseDateTimeChanged);

    const FirmwareData image = downloader->firmware();
    downloader->setFirmware(image);
    downloader->setFirmware(image);
    QCOMPARE(firmwareSpy.count(), 2);

    downloader->reset();
    QCOMPARE(firmwareSpy.count(), 3);
    QVERIFY(firmwareSpy.at(2).at(0).value<FirmwareData>().data().isEmpty());
    QCOMPARE(versionSpy.count(), 1);
    QCOMPARE(hardwareSpy.count(), 1);
    QCOMPARE(fileNameSpy.count(), 1);
    QCOMPARE(dateTimeSpy.count(), 1);
    QVERIFY(downloader->versionString().isEmpty());
    QVERIFY(downloader->hardwareName().isEmpty());
    QVERIFY(downloader->updateFileName().isEmpty());
    QVERIFY(downloader->releaseDateTime().isNull());
    QCOMPARE(downloader->majorVersion(), 0);
    QCOMPARE(downloader->minorVersion(), 0);
    QCOMPARE(downloader->patchVersion(), 0);
    QVERIFY(!downloader->firmware().isValid());

    downloader->reset();
    QCOMPARE(firmwareSpy.count(), 4);
    QCOMPARE(versionSpy.count(), 1);
    QCOMPARE(hardwareSpy.count(), 1);
    QCOMPARE(fileNameSpy.count(), 1);
    QCOMPARE(dateTimeSpy.count(), 1);
}

void TestFirmwareDownloader::resetKeepsChecksumAndPreRelease()
{
    publishRelease(releaseFileName, releaseImage, QStringLiteral("/pre-release/"));
    std::unique_ptr<FirmwareDownloader> downloader = createDownloader();
    downloader->setPreReleaseEnabled(true);
    checkAndWaitForFirmware(downloader.get());
    downloader->reset();
    QVERIFY(downloader->preReleaseEnabled());
    QCOMPARE(cachedFile(releaseFileName), releaseImage);

    // The kept checksum still verifies the cached file.
    QSignalSpy firmwareSpy(downloader.get(), &FirmwareDownloader::firmwareChanged);
    downloader->setUpdateFileName(releaseFileName);
    downloader->downloadFirmware();
    QCOMPARE(firmwareSpy.count(), 1);
    QCOMPARE(firmwareSpy.at(0).at(0).value<FirmwareData>().data(), releaseImage);
    QVERIFY(WarningRecorder::warnings().isEmpty());
}

QTEST_MAIN(TestFirmwareDownloader)
#include "tst_firmwaredownloader.moc"
