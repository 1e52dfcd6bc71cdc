// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The release check against a local HTTPS server: release descriptions,
// signed with Ed25519 keys that openssl makes at test time or unsigned, the
// firmware download and the cache.
#include "firmware/firmwaredownloader.h"
#include "httpsserver.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QVersionNumber>
#include <QtTest>

#include <csignal>
#include <utility>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace NivoraVexbusUsb;
using NivoraTest::HttpsServer;
using NivoraTest::readFile;

namespace {

const QString serverPath = QStringLiteral("/firmware/nivora-vexbususb");
const QString releasePath = serverPath + QStringLiteral("/release.json");
const QString signaturePath = releasePath + QStringLiteral(".sig");
const QString imageName = QStringLiteral("vexbus-adapter-1.5.0.cyacd");
const QString imagePath = serverPath + QLatin1Char('/') + imageName;
// One valid row of the same silicon as the sample image, and a header
// without rows, which never makes a valid image.
const QByteArray otherImage = "123456780100\r\n:000024000409090909B4\r\n";
const QByteArray invalidImage = "123456780100\n";

const QString notAuthenticated = QStringLiteral("FirmwareDownloader: The release is not authenticated, no trusted key is configured\\.");

QString hashHex(const QByteArray &data, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, algorithm).toHex());
}

// Release 1.5.0 of image as the server describes it.
QByteArray describe(const QByteArray &image, const QJsonObject &changes = QJsonObject())
{
    return NivoraTest::releaseDescription(imageName, image, changes);
}

// The warnings of the library's category, handed on to QtTest, which checks
// its ignoreMessage() expectations; they show that no other one came.
QStringList s_warnings;
QtMessageHandler s_testlibHandler = nullptr;

void recordWarning(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && qstrcmp(context.category, "VexbusUsbBootloader") == 0)
        s_warnings.append(message);
    s_testlibHandler(type, context, message);
}

} // namespace

// Records the names of the signals an object emits, in order.
class SignalRecorder : public QObject
{
    Q_OBJECT

public:
    explicit SignalRecorder(QObject *sender)
    {
        const QMetaMethod record = staticMetaObject.method(staticMetaObject.indexOfSlot("record()"));
        const QMetaObject *senderMetaObject = sender->metaObject();
        for (int i = senderMetaObject->methodOffset(); i < senderMetaObject->methodCount(); ++i) {
            if (senderMetaObject->method(i).methodType() == QMetaMethod::Signal)
                connect(sender, senderMetaObject->method(i), this, record);
        }
    }
    QStringList names;

Q_SIGNALS:
    void recorded();

public Q_SLOTS:
    void record()
    {
        names << QString::fromLatin1(sender()->metaObject()->method(senderSignalIndex()).name());
        Q_EMIT recorded();
    }
};

class TestFirmwareDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void checkNewFirmware_data();
    void checkNewFirmware();
    void serverUrlIsHttpsOnly_data();
    void serverUrlIsHttpsOnly();

private:
    QString path(const QString &name) const { return m_work.filePath(name); }
    void openssl(const QStringList &arguments) { QCOMPARE(QProcess::execute(QStringLiteral("openssl"), arguments), 0); }
    void publish(const QString &path, const QByteArray &content) { QVERIFY(m_server.publish(path, content)); }

    QTemporaryDir m_work;
    QString m_cacheDirectory;
    QByteArray m_image;
    QString m_fingerprint;
    HttpsServer m_server;
};

void TestFirmwareDownloader::initTestCase()
{
    // Only this process trusts the test certificate.
    QString error;
    QVERIFY2(m_server.start(m_work.path(), path(QStringLiteral("www")), &error), qPrintable(error));

    for (const QString &name : {QStringLiteral("publisher"), QStringLiteral("other")}) {
        openssl({"genpkey", "-algorithm", "ed25519", "-out", path(name + ".key")});
        openssl({"pkey", "-in", path(name + ".key"), "-pubout", "-out", path(name + ".pub")});
    }
    // A key's fingerprint: the first 16 hex digits of the SHA-256 of its raw
    // 32 bytes, which end its DER form.
    openssl({"pkey", "-in", path("publisher.key"), "-pubout", "-outform", "DER", "-out", path("publisher.der")});
    m_fingerprint = hashHex(readFile(path("publisher.der")).right(32), QCryptographicHash::Sha256).left(16);

    m_image = readFile(QStringLiteral(SAMPLE_FIRMWARE));
    QVERIFY(m_image.size() > 4096);
    QCoreApplication::setApplicationName(QStringLiteral("tst_firmwaredownloader"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path(QStringLiteral("cache"))));
    m_cacheDirectory = path(QStringLiteral("cache/tst_firmwaredownloader/nivora-vexbususb"));
    s_testlibHandler = qInstallMessageHandler(recordWarning);
}

void TestFirmwareDownloader::init()
{
    QVERIFY(QDir(path(QStringLiteral("www"))).removeRecursively());
    QVERIFY(QDir(path(QStringLiteral("cache"))).removeRecursively());
    QFile::remove(path(QStringLiteral("link-target")));
    m_server.clearRequestedPaths();
    s_warnings.clear();
}

void TestFirmwareDownloader::checkNewFirmware_data()
{
    // How the server and the cache are set up.
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QByteArray>("description");
    QTest::addColumn<QString>("signer");
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QByteArray>("cached");
    QTest::addColumn<QStringList>("trusted");
    // What the check ends with: warnings and error texts as patterns.
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("emitted");
    QTest::addColumn<QByteArray>("firmware");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QByteArray>("cachedAfter");

    const QByteArray release = describe(m_image);
    const QByteArray signedRelease = describe(m_image, {{"updateFileSha256", hashHex(m_image, QCryptographicHash::Sha256)}});
    const QByteArray large = m_image + QByteArray(FirmwareDownloader::maximumDownloadSize, '\n');
    const QStringList publisher{QStringLiteral("publisher")};
    const QStringList taken{"hardwareNameChanged", "versionStringChanged", "updateFileNameChanged", "releaseDateTimeChanged",
                            "firmwareUpdateFinished"};
    const QStringList signedTaken{"hardwareNameChanged", "versionStringChanged", "updateFileNameChanged",
                                  "releaseDateTimeChanged", "releaseAuthenticatedChanged", "releaseKeyFingerprintChanged",
                                  "firmwareUpdateFinished"};
    const QStringList offered{"firmwareChanged", "firmwareDownloadFinished"};
    const QStringList failed{"errorOccurred"};
    const QString cachedFile = QRegularExpression::escape(QStringLiteral("\"%1/%2\"").arg(m_cacheDirectory, imageName));
    const QString downloadSha = QStringLiteral("FirmwareDownloader: The download SHA-256 does not match the release\\.");
    const QString shaError = QStringLiteral("The downloaded firmware file does not match the SHA-256 of the release\\.");
    const QString refused = QStringLiteral("FirmwareDownloader: Refusing release: \"%1\"");
    const QString notTrusted = QStringLiteral("its signature is not made by a trusted key");

    QTest::newRow("pre-release") << QStringList{"pre-release"} << release << "" << m_image << QByteArray() << QStringList()
        << QStringList() << "" << taken + offered << m_image
        << QStringList{serverPath + "/pre-release/release.json", serverPath + "/pre-release/" + imageName} << m_image;
    QTest::newRow("cached copy spares the download") << QStringList() << release << "" << m_image << m_image << QStringList()
        << QStringList() << "" << taken + offered << m_image << QStringList{releasePath} << m_image;
    QTest::newRow("cached copy of other bytes is replaced") << QStringList() << release << "" << m_image << otherImage
        << QStringList() << QStringList{"FirmwareDownloader: The cached checksum does not match the online checksum\\. "
                                        "Deleting cached firmware file " + cachedFile}
        << "" << taken + offered << m_image << QStringList{releasePath, imagePath} << m_image;
    // A directory cannot be opened, even by root, nor replaced.
    QTest::newRow("cached entry cannot be opened") << QStringList{"cache is a directory"} << release << "" << m_image
        << QByteArray() << QStringList() << QStringList{"Failed to open cached firmware file " + cachedFile}
        << "" << taken + offered << m_image << QStringList{releasePath, imagePath} << QByteArray();
    // A file size limit stops the write part-way, as a full disk does: the
    // verified image is offered, and the cache holds nothing of it.
    QTest::newRow("interrupted cache write") << QStringList{"file size limit"} << release << "" << m_image << QByteArray()
        << QStringList() << QStringList() << "" << taken + offered << m_image << QStringList{releasePath, imagePath}
        << QByteArray();
    QTest::newRow("signed, second of two keys") << QStringList() << signedRelease << "publisher" << m_image << QByteArray()
        << QStringList{"other", "publisher"} << QStringList() << "" << signedTaken + offered << m_image
        << QStringList{releasePath, signaturePath, imagePath} << m_image;
    QTest::newRow("signed, image from the cache") << QStringList() << signedRelease << "publisher" << m_image << m_image
        << publisher << QStringList() << "" << signedTaken + offered << m_image << QStringList{releasePath, signaturePath}
        << m_image;

    QTest::newRow("download of other bytes") << QStringList() << release << "" << otherImage << QByteArray() << QStringList()
        << QStringList{"FirmwareDownloader: The download checksum does not match the online checksum\\."}
        << QStringLiteral("The downloaded firmware file does not match the MD5 sum of the release \\(%1 instead of %2\\)\\.")
               .arg(hashHex(otherImage, QCryptographicHash::Md5), hashHex(m_image, QCryptographicHash::Md5))
        << taken + failed << QByteArray() << QStringList{releasePath, imagePath} << QByteArray();
    // A release that names no checksum vouches for no image.
    QTest::newRow("release without checksum") << QStringList() << describe(m_image, {{"updateFileMd5sum", ""}}) << "" << m_image
        << QByteArray() << QStringList() << QStringList{"FirmwareDownloader: The download checksum does not match the online checksum\\."}
        << QStringLiteral("The downloaded firmware file does not match the MD5 sum of the release \\(%1 instead of \\)\\.")
               .arg(hashHex(m_image, QCryptographicHash::Md5))
        << taken + failed << QByteArray() << QStringList{releasePath, imagePath} << QByteArray();
    QTest::newRow("firmware not found") << QStringList() << release << "" << QByteArray() << QByteArray() << QStringList()
        << QStringList{"FirmwareDownloader: Could not download update \"the server answered with HTTP status 404 Not Found instead of 200 OK\""}
        << "Could not download the firmware file: the server answered with HTTP status 404 Not Found instead of 200 OK" << taken + failed << QByteArray()
        << QStringList{releasePath, imagePath} << QByteArray();
    // An invalid download stays cached; the next fetch deletes it.
    QTest::newRow("invalid image") << QStringList{"download again"} << describe(invalidImage) << "" << invalidImage
        << QByteArray() << QStringList()
        << QStringList{"FirmwareDownloader: the downloaded firmware data is not valid\\.",
                       "FirmwareDownloader: the cached firmware data is not valid\\. Deleting cached firmware file " + cachedFile,
                       "FirmwareDownloader: the downloaded firmware data is not valid\\."}
        << "The downloaded firmware file is not a valid firmware image\\." << taken + failed + failed << QByteArray()
        << QStringList{releasePath, imagePath, imagePath} << invalidImage;
    QTest::newRow("description above the limit") << QStringList() << "{\"padding\": \"" + QByteArray(1024 * 1024, 'a') + "\"}"
        << "" << m_image << QByteArray() << QStringList()
        << QStringList{"FirmwareDownloader: Refusing the release description https://127\\.0\\.0\\.1:\\d+" + releasePath
                       + ": it has \\d+ bytes or more, more than the limit of 1048576 bytes\\."}
        << "The release description is larger than the limit of 1048576 bytes\\." << failed << QByteArray()
        << QStringList{releasePath} << QByteArray();
    for (const char *row : {"firmware above the limit", "firmware above the limit, without length"}) {
        QTest::newRow(row) << QStringList{row} << describe(large) << "" << large << QByteArray() << QStringList()
            << QStringList{"FirmwareDownloader: Refusing the firmware file https://127\\.0\\.0\\.1:\\d+" + imagePath
                           + ": it has \\d+ bytes or more, more than the limit of 16777216 bytes\\."}
            << "The firmware file is larger than the limit of 16777216 bytes\\." << taken + failed << QByteArray()
            << QStringList{releasePath, imagePath} << QByteArray();
    }

    // A refused signed release leaves every value as it was and fetches no image.
    QTest::newRow("tampered description") << QStringList{"tampered description"} << signedRelease << "publisher" << m_image
        << QByteArray() << publisher << QStringList{refused.arg(notTrusted)} << "The release was refused: " + notTrusted + "\\."
        << failed << QByteArray() << QStringList{releasePath, signaturePath} << QByteArray();
    QTest::newRow("signed by another key") << QStringList() << signedRelease << "other" << m_image << QByteArray() << publisher
        << QStringList{refused.arg(notTrusted)} << "The release was refused: " + notTrusted + "\\." << failed << QByteArray()
        << QStringList{releasePath, signaturePath} << QByteArray();
    const QString noSignature = QStringLiteral("it has no signature \\(https://127\\.0\\.0\\.1:\\d+%1 was not found\\)")
                                    .arg(QRegularExpression::escape(signaturePath));
    QTest::newRow("missing signature") << QStringList() << signedRelease << "" << m_image << QByteArray() << publisher
        << QStringList{refused.arg(noSignature)} << "The release was refused: " + noSignature + "\\." << failed
        << QByteArray() << QStringList{releasePath, signaturePath} << QByteArray();
    // The server's error page is no signature, whatever its size.
    QTest::newRow("missing signature, with an error page") << QStringList{"signature error page"} << signedRelease << "" << m_image
        << QByteArray() << publisher << QStringList{refused.arg(noSignature)} << "The release was refused: " + noSignature + "\\."
        << failed << QByteArray() << QStringList{releasePath, signaturePath} << QByteArray();
    QTest::newRow("malformed signature") << QStringList{"short signature"} << signedRelease << "publisher" << m_image
        << QByteArray() << publisher << QStringList{refused.arg("its signature is malformed \\(63 bytes instead of 64\\)")}
        << "The release was refused: its signature is malformed \\(63 bytes instead of 64\\)\\." << failed << QByteArray()
        << QStringList{releasePath, signaturePath} << QByteArray();
    QTest::newRow("signed without SHA-256") << QStringList() << release << "publisher" << m_image << QByteArray() << publisher
        << QStringList{refused.arg("it gives no SHA-256 of its image")}
        << "The release was refused: it gives no SHA-256 of its image\\." << failed << QByteArray()
        << QStringList{releasePath, signaturePath} << QByteArray();
    // The MD5 sum matches; only the SHA-256 tells that this is not the image signed.
    const QByteArray otherSha = describe(m_image, {{"updateFileSha256", hashHex("another image", QCryptographicHash::Sha256)}});
    QTest::newRow("signed SHA-256 of another image") << QStringList() << otherSha << "publisher" << m_image << QByteArray()
        << publisher << QStringList{downloadSha} << shaError << signedTaken + failed << QByteArray()
        << QStringList{releasePath, signaturePath, imagePath} << QByteArray();
    QTest::newRow("cached image fails the SHA-256") << QStringList() << otherSha << "publisher" << m_image << m_image << publisher
        << QStringList{"FirmwareDownloader: The cached SHA-256 does not match the release\\. Deleting cached firmware file "
                       + cachedFile, downloadSha}
        << shaError << signedTaken + failed << QByteArray() << QStringList{releasePath, signaturePath, imagePath} << QByteArray();

    // A release refused, or a key added, drops what was taken before: an
    // update cannot write it.
    const QStringList dropped{"versionStringChanged", "hardwareNameChanged", "updateFileNameChanged", "releaseDateTimeChanged",
                              "firmwareChanged", "releaseAuthenticatedChanged", "releaseKeyFingerprintChanged"};
    QTest::newRow("unsigned release, then a key") << QStringList{"after a release"} << release << "" << m_image << QByteArray()
        << publisher << QStringList{refused.arg(noSignature)} << "The release was refused: " + noSignature + "\\."
        << failed << QByteArray() << QStringList{releasePath, signaturePath} << m_image;
    QTest::newRow("refused after a signed release") << QStringList{"after a signed release", "tampered description"}
        << signedRelease << "publisher" << m_image << QByteArray() << publisher << QStringList{refused.arg(notTrusted)}
        << "The release was refused: " + notTrusted + "\\." << dropped + failed << QByteArray()
        << QStringList{releasePath, signaturePath} << m_image;
    // An older signed release (by version, then by timestamp) than one an
    // earlier run took from this cache replays an old signature.
    const QString older = QStringLiteral("it is older than release %1 of 2023-11-14T22:%2Z, the newest accepted before");
    QTest::newRow("signed release older than one taken before") << QStringList{"earlier run took 1.6.0"} << signedRelease
        << "publisher" << m_image << QByteArray() << publisher << QStringList{refused.arg(older.arg("1.6.0", "13:20"))}
        << "The release was refused: " + older.arg("1\\.6\\.0", "13:20") + "\\." << failed << QByteArray()
        << QStringList{releasePath, signaturePath} << m_image;
    QTest::newRow("same version signed earlier") << QStringList{"earlier run took a later 1.5.0"} << signedRelease
        << "publisher" << m_image << QByteArray() << publisher << QStringList{refused.arg(older.arg("1.5.0", "15:00"))}
        << "The release was refused: " + older.arg("1\\.5\\.0", "15:00") + "\\." << failed << QByteArray()
        << QStringList{releasePath, signaturePath} << m_image;
    QTest::newRow("older signed release allowed") << QStringList{"earlier run took 1.6.0", "older allowed"} << signedRelease
        << "publisher" << m_image << QByteArray() << publisher
        << QStringList{"FirmwareDownloader: Taking release 1\\.5\\.0 although " + older.arg("1\\.6\\.0", "13:20") + "\\."}
        << "" << signedTaken + offered << m_image << QStringList{releasePath, signaturePath} << m_image;
    // Anything longer than a signature is not read.
    QTest::newRow("signature above the limit") << QStringList{"huge signature"} << signedRelease << "publisher" << m_image
        << QByteArray() << publisher << QStringList{refused.arg("its signature is malformed \\(\\d+ bytes or more instead of 64\\)")}
        << "The release was refused: its signature is malformed \\(\\d+ bytes or more instead of 64\\)\\." << failed
        << QByteArray() << QStringList{releasePath, signaturePath} << QByteArray();
    // Neither followed nor parsed, although its body is a release.
    QTest::newRow("redirect") << QStringList{"redirect"} << release << "" << m_image << QByteArray() << QStringList()
        << QStringList{"FirmwareDownloader: Could not get update \"the server answered with HTTP status 302 Found instead of 200 OK\""}
        << "Could not get the release description: the server answered with HTTP status 302 Found instead of 200 OK" << failed
        << QByteArray() << QStringList{releasePath} << QByteArray();
    QTest::newRow("firmware answered with 203") << QStringList{"firmware 203"} << release << "" << m_image << QByteArray()
        << QStringList()
        << QStringList{"FirmwareDownloader: Could not download update \"the server answered with HTTP status 203 Mirrored instead of 200 OK\""}
        << "Could not download the firmware file: the server answered with HTTP status 203 Mirrored instead of 200 OK"
        << taken + failed << QByteArray() << QStringList{releasePath, imagePath} << QByteArray();
    QTest::newRow("server that never answers") << QStringList{"silent server"} << release << "" << m_image << QByteArray()
        << QStringList() << QStringList{"FirmwareDownloader: Could not get update \"no data from the server for 0.5 s\""}
        << "Could not get the release description: no data from the server for 0\\.5 s" << failed << QByteArray()
        << QStringList() << QByteArray();
    // The cache writes nowhere else, and is not used when others could write into it.
    QTest::newRow("cached entry is a link") << QStringList{"cache link"} << release << "" << m_image << QByteArray()
        << QStringList() << QStringList{"Failed to open cached firmware file " + cachedFile,
                                        "FirmwareDownloader: Not caching the firmware file through the symbolic link " + cachedFile}
        << "" << taken + offered << m_image << QStringList{releasePath, imagePath} << QByteArray();
    const QString looseCache = QStringLiteral("FirmwareDownloader: Not using the cache directory %1: it is writable by others "
                                              "or owned by another user \\(it must be the user's own, mode 0700\\)\\. Firmware "
                                              "is downloaded every time and no release mark is kept\\.")
                                   .arg(QRegularExpression::escape(m_cacheDirectory));
    for (const char *row : {"cache writable by others", "cache of another user"}) {
        QTest::newRow(row) << QStringList{row} << release << "" << m_image << m_image << QStringList() << QStringList{looseCache}
            << "" << taken + offered << m_image << QStringList{releasePath, imagePath} << m_image;
    }

    // Failed checks after a good release keep it.
    QTest::newRow("release not found") << QStringList{"after a release"} << QByteArray() << "" << m_image << QByteArray()
        << QStringList() << QStringList{"FirmwareDownloader: Could not get update \"the server answered with HTTP status 404 Not Found instead of 200 OK\""}
        << "Could not get the release description: the server answered with HTTP status 404 Not Found instead of 200 OK" << failed << m_image << QStringList{releasePath} << m_image;
    const QVector<QPair<QString, QString>> unsafeNames{
        {"../../etc/cron.d/x", "\"../../etc/cron.d/x\""}, {"..\\x.cyacd", "\"..\\\\x.cyacd\""}, {"..", "\"..\""},
        {"", "\"\""}, {QString(), "\"\""}, {QStringLiteral("x") + QChar(0) + "y", "\"x\\u0000y\""}};
    for (const auto &name : unsafeNames) {
        const QByteArray row = "unsafe file name " + name.second.toUtf8() + (name.first.isNull() ? " (missing)" : "");
        QTest::newRow(row.constData()) << QStringList{"after a release"}
            << describe(m_image, {{"updateFileName", name.first.isNull() ? QJsonValue() : QJsonValue(name.first)},
                                  {"hardware", "evil"}, {"majorVersion", 9}}) << ""
            << m_image << QByteArray() << QStringList()
            << QStringList{"FirmwareDownloader: Rejecting release, the update file name is not a plain file name: "
                           + QRegularExpression::escape(name.second)}
            << "The release names an update file that is not a plain file name: \"" + QRegularExpression::escape(name.first) + "\""
            << failed << m_image << QStringList{releasePath} << m_image;
    }
}

void TestFirmwareDownloader::checkNewFirmware()
{
    QFETCH(QStringList, setup);
    QFETCH(QByteArray, description);
    QFETCH(QString, signer);
    QFETCH(QByteArray, served);
    QFETCH(QByteArray, cached);
    QFETCH(QStringList, trusted);
    QFETCH(QStringList, warnings);
    QFETCH(QString, error);
    QFETCH(QStringList, emitted);
    QFETCH(QByteArray, firmware);
    QFETCH(QStringList, requests);
    QFETCH(QByteArray, cachedAfter);

    const auto trust = [&](FirmwareDownloader *downloader) {
        for (const QString &name : std::as_const(trusted))
            QVERIFY(downloader->addTrustedKey(ReleaseKey::fromPem(readFile(path(name + ".pub")))));
    };
    // A release taken before the row's check, from the row's downloader or
    // from another one on the same cache.
    const auto takeRelease = [&](FirmwareDownloader *downloader, const QJsonObject &changes, bool signing) {
        const QString sha = hashHex(m_image, QCryptographicHash::Sha256);
        publish(releasePath, describe(m_image, signing ? QJsonObject{{"updateFileSha256", sha}} : QJsonObject()));
        for (auto it = changes.begin(); it != changes.end(); ++it) {
            QJsonObject description = QJsonDocument::fromJson(readFile(path("www") + releasePath)).object();
            description.insert(it.key(), it.value());
            publish(releasePath, QJsonDocument(description).toJson());
        }
        if (signing) {
            openssl({"pkeyutl", "-sign", "-rawin", "-inkey", path("publisher.key"), "-in", path("www") + releasePath,
                     "-out", path("www") + signaturePath});
        } else {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(notAuthenticated));
        }
        publish(imagePath, m_image);
        QSignalSpy offeredSpy(downloader, &FirmwareDownloader::firmwareDownloadFinished);
        downloader->checkNewFirmware();
        QVERIFY(offeredSpy.wait());
        QVERIFY(QFile::remove(path(QStringLiteral("www")) + releasePath));
        QFile::remove(path(QStringLiteral("www")) + signaturePath);
        m_server.clearRequestedPaths();
        s_warnings.clear();
    };

    QString looseCache;
    if (setup.contains(QStringLiteral("cache writable by others")))
        looseCache = QStringLiteral("0777");
    if (setup.contains(QStringLiteral("cache of another user"))) {
        if (::geteuid() != 0)
            QSKIP("needs root to give the cache to another user");
        looseCache = QStringLiteral("nobody");
    }
    if (!looseCache.isEmpty()) {
        QVERIFY(QDir().mkpath(m_cacheDirectory));
        const QByteArray directory = QFile::encodeName(m_cacheDirectory);
        QVERIFY(looseCache == QLatin1String("nobody") ? ::chown(directory.constData(), 65534, 65534) == 0
                                                      : ::chmod(directory.constData(), 0777) == 0);
    }
    if (setup.contains(QStringLiteral("earlier run took 1.6.0")) || setup.contains(QStringLiteral("earlier run took a later 1.5.0"))) {
        FirmwareDownloader earlier;
        earlier.setBaseUrl(m_server.url(serverPath));
        QVERIFY(earlier.addTrustedKey(ReleaseKey::fromPem(readFile(path("publisher.pub")))));
        takeRelease(&earlier, setup.contains(QStringLiteral("earlier run took 1.6.0")) ? QJsonObject{{"minorVersion", 6}}
                                                                                           : QJsonObject{{"timestamp", 1700000100}}, true);
    }

    // The warning about a loose cache comes with the construction.
    if (!looseCache.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^%1$").arg(warnings.takeFirst())));
    FirmwareDownloader downloader;
    s_warnings.clear();
    downloader.setBaseUrl(m_server.url(serverPath));
    if (setup.contains(QStringLiteral("silent server")))
        downloader.setTransferTimeout(500);
    downloader.setOlderReleasesAllowed(setup.contains(QStringLiteral("older allowed")));
    const bool afterRelease = setup.contains(QStringLiteral("after a release")) || setup.contains(QStringLiteral("after a signed release"));
    if (setup.contains(QStringLiteral("after a signed release")))
        trust(&downloader);
    if (afterRelease)
        takeRelease(&downloader, QJsonObject(), setup.contains(QStringLiteral("after a signed release")));
    if (!setup.contains(QStringLiteral("after a signed release")))
        trust(&downloader);
    // An unauthenticated release does not outlast a trusted key.
    if (setup.contains(QStringLiteral("after a release")) && !trusted.isEmpty()) {
        QVERIFY(downloader.firmware().data().isEmpty());
        QVERIFY(downloader.versionString().isEmpty());
    }

    const bool preRelease = setup.contains(QStringLiteral("pre-release"));
    const QString area = serverPath + (preRelease ? QStringLiteral("/pre-release") : QString());
    const QString areaDirectory = path(QStringLiteral("www")) + area;
    if (!description.isNull())
        publish(area + QStringLiteral("/release.json"), description);
    if (!signer.isEmpty()) {
        openssl({"pkeyutl", "-sign", "-rawin", "-inkey", path(signer + ".key"), "-in", areaDirectory + "/release.json",
                 "-out", areaDirectory + "/release.json.sig"});
    }
    if (setup.contains(QStringLiteral("tampered description")))
        publish(releasePath, QByteArray(description).replace("\"minorVersion\": 5", "\"minorVersion\": 6"));
    if (setup.contains(QStringLiteral("short signature")))
        publish(signaturePath, readFile(areaDirectory + "/release.json.sig").left(63));
    if (setup.contains(QStringLiteral("signature error page"))) {
        publish(signaturePath, "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>The requested URL "
                               "was not found on this server.</p><hr><address>Apache Server at 127.0.0.1 Port 443</address>"
                               "</body></html>\n" + QByteArray(200, ' '));
        m_server.setAnswer(signaturePath, "404 Not Found");
    }
    if (setup.contains(QStringLiteral("huge signature")))
        publish(signaturePath, QByteArray(4 * 1024 * 1024, 's'));
    if (setup.contains(QStringLiteral("redirect")))
        m_server.setAnswer(releasePath, "302 Found", "Location: " + m_server.url(imagePath).toLatin1() + "\r\n");
    if (setup.contains(QStringLiteral("firmware 203")))
        m_server.setAnswer(imagePath, "203 Mirrored");
    const QString linkTarget = path(QStringLiteral("link-target"));
    if (setup.contains(QStringLiteral("cache link")))
        QVERIFY(QFile::link(linkTarget, m_cacheDirectory + QLatin1Char('/') + imageName));
    if (!served.isNull())
        publish(area + QLatin1Char('/') + imageName, served);
    const QString cachedPath = m_cacheDirectory + QLatin1Char('/') + imageName;
    const bool cacheIsDirectory = setup.contains(QStringLiteral("cache is a directory"));
    if (cacheIsDirectory)
        QVERIFY(QDir().mkpath(cachedPath));
    if (!cached.isNull()) {
        QFile copy(cachedPath);
        QVERIFY(copy.open(QIODevice::WriteOnly) && copy.write(cached) == cached.size());
    }
    m_server.setContentLengthSent(!setup.contains(QStringLiteral("firmware above the limit, without length")));
    downloader.setPreReleaseEnabled(preRelease);

    if (trusted.isEmpty() && emitted.contains(QStringLiteral("firmwareUpdateFinished")))
        warnings.prepend(notAuthenticated);
    for (const QString &warning : std::as_const(warnings))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^%1$").arg(warning)));
    SignalRecorder recorder(&downloader);
    QSignalSpy errorSpy(&downloader, &FirmwareDownloader::errorOccurred);
    struct rlimit unlimited;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    if (setup.contains(QStringLiteral("file size limit"))) {
        struct rlimit limited = unlimited;
        limited.rlim_cur = 4096;
        std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    m_server.setSilent(setup.contains(QStringLiteral("silent server")));
    downloader.checkNewFirmware();
    if (setup.contains(QStringLiteral("download again"))) {
        QVERIFY(errorSpy.wait());
        downloader.downloadFirmware();
    }
    // The comparison below tells what did not come.
    QSignalSpy recordedSpy(&recorder, &SignalRecorder::recorded);
    // Generous: a 16 MiB body over TLS takes seconds under the sanitizers.
    while (recorder.names.size() < emitted.size() && recordedSpy.wait(20000)) {}
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    m_server.setSilent(false);
    m_server.setAnswer(releasePath, QByteArray());
    m_server.setAnswer(imagePath, QByteArray());
    m_server.setAnswer(signaturePath, QByteArray());
    // A request that the check still makes reaches the server before this one.
    QNetworkAccessManager network;
    QVERIFY(QSignalSpy(network.get(QNetworkRequest(QUrl(m_server.url(QStringLiteral("/sentinel"))))),
                       &QNetworkReply::finished).wait());

    QCOMPARE(recorder.names, emitted);
    QCOMPARE(s_warnings.size(), warnings.size());
    for (const QList<QVariant> &arguments : std::as_const(errorSpy)) {
        QVERIFY2(QRegularExpression(QStringLiteral("^%1$").arg(error)).match(arguments.at(0).toString()).hasMatch(),
                 qPrintable(arguments.at(0).toString()));
    }
    QCOMPARE(m_server.requestedPaths(), requests << QStringLiteral("/sentinel"));
    QCOMPARE(downloader.firmware().data(), firmware);
    if (!firmware.isEmpty()) {
        QVERIFY(downloader.firmware().isValid());
        QCOMPARE(downloader.firmware().name(), imageName);
        QCOMPARE(downloader.firmware().applicationVersion(), QStringLiteral("1.5.0"));
    }
    const bool stored = (afterRelease && !firmware.isEmpty()) || emitted.contains(QStringLiteral("firmwareUpdateFinished"));
    QCOMPARE(downloader.hardwareName(), stored ? QStringLiteral("vexbus-usb-adapter") : QString());
    QCOMPARE(downloader.versionString(), stored ? QStringLiteral("1.5.0") : QString());
    QCOMPARE(QVersionNumber(downloader.majorVersion(), downloader.minorVersion(), downloader.patchVersion()),
             stored ? QVersionNumber(1, 5, 0) : QVersionNumber(0, 0, 0));
    QCOMPARE(downloader.updateFileName(), stored ? imageName : QString());
    QCOMPARE(downloader.releaseDateTime(), stored ? QDateTime::fromSecsSinceEpoch(1700000000) : QDateTime());
    QCOMPARE(downloader.releaseAuthenticated(), stored && !trusted.isEmpty());
    QCOMPARE(downloader.releaseKeyFingerprint(), stored && !trusted.isEmpty() ? m_fingerprint : QString());
    // Where the controller tells no version, the newest release this cache
    // saw stands in for it.
    QCOMPARE(downloader.releaseIsOlderThan(QString()), setup.contains(QStringLiteral("older allowed")));
    QVERIFY(!QFileInfo::exists(linkTarget));

    // The cache is the user's alone and holds the verified image or nothing,
    // and the newest signed release taken.
    if (looseCache.isEmpty())
        QCOMPARE(QFileInfo(m_cacheDirectory).permissions() & 0x0077, QFile::Permissions());
    QStringList cacheEntries = cachedAfter.isNull() && !cacheIsDirectory && !setup.contains(QStringLiteral("cache link"))
            ? QStringList() : QStringList{imageName};
    if (!trusted.isEmpty() && (stored || setup.join(QLatin1Char(' ')).contains(QRegularExpression(QStringLiteral("earlier run|after a signed")))))
        cacheEntries.prepend(QStringLiteral(".newest-release.json"));
    QCOMPARE(QDir(m_cacheDirectory).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System, QDir::Name),
             cacheEntries);
    QCOMPARE(readFile(cachedPath), cachedAfter);
}

void TestFirmwareDownloader::serverUrlIsHttpsOnly_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("taken");
    QTest::newRow("https") << "https://127.0.0.1:4443/firmware" << true;
    QTest::newRow("scheme in capitals") << "HTTPS://127.0.0.1/firmware" << true;
    QTest::newRow("http") << "http://127.0.0.1/firmware" << false;
    QTest::newRow("file") << "file:///srv/www/firmware" << false;
    QTest::newRow("no host") << "https:///firmware" << false;
    QTest::newRow("relative") << "firmware/nivora-vexbususb" << false;
}

void TestFirmwareDownloader::serverUrlIsHttpsOnly()
{
    QFETCH(QString, url);
    QFETCH(bool, taken);

    FirmwareDownloader downloader;
    QSignalSpy changedSpy(&downloader, &FirmwareDownloader::baseUrlChanged);
    if (!taken) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^FirmwareDownloader: Refusing the release server, "
                                                                             "only https:// URLs are taken: \"%1\"$")
                                                                  .arg(QRegularExpression::escape(url))));
    }
    downloader.setBaseUrl(url);
    QCOMPARE(downloader.baseUrl(), taken ? url : FirmwareDownloader::defaultBaseUrl());
    QCOMPARE(changedSpy.count(), taken ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestFirmwareDownloader)
#include "tst_firmwaredownloader.moc"
