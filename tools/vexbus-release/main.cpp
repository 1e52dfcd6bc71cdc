// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbus-release: what a release server or a mirror needs to publish
// firmware that gateways can authenticate. It makes a publisher's key pair,
// writes release.json for an image and signs it with a detached Ed25519
// signature, release.json.sig.
#include "releasesigner.h"

#include "bootloader/firmwaredata.h"
#include "nivoravexbususbversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSaveFile>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

enum ExitCode { ExitSuccess = 0, ExitFailure = 1, ExitUsage = 2 };

int fail(ExitCode code, const QString &message)
{
    std::fprintf(stderr, "vexbus-release: %s\n", qPrintable(message));
    return code;
}

void report(const QString &message)
{
    std::printf("%s\n", qPrintable(message));
}

bool readFile(const QString &path, QByteArray *content, QString *errorString)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorString = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *content = file.readAll();
    return true;
}

// Replaced in one step, so that a server never hands out half a file.
bool writeFile(const QString &path, const QByteArray &content, QString *errorString)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit())
        return true;
    *errorString = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

// A new file only, readable by its owner alone: a private key is never
// written over or shown to others.
bool writeNewPrivateFile(const QString &path, const QByteArray &content, QString *errorString)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QFile file;
    if (descriptor < 0 || !file.open(descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)
            || file.write(content) != content.size() || !file.flush()) {
        *errorString = QStringLiteral("cannot write %1: %2").arg(path, descriptor < 0 ? QString::fromLocal8Bit(strerror(errno))
                                                                                       : file.errorString());
        return false;
    }
    return true;
}

int runKeygen(const QString &name)
{
    const QString privatePath = name + QStringLiteral(".key");
    const QString publicPath = name + QStringLiteral(".pub");
    if (QFileInfo::exists(privatePath) || QFileInfo::exists(publicPath))
        return fail(ExitFailure, QStringLiteral("%1 or %2 exists already; a key pair is never overwritten").arg(privatePath, publicPath));

    QByteArray privatePem;
    QByteArray publicPem;
    if (!ReleaseSigner::generateKeyPair(&privatePem, &publicPem))
        return fail(ExitFailure, QStringLiteral("libcrypto could not make an Ed25519 key pair"));
    QString error;
    if (!writeNewPrivateFile(privatePath, privatePem, &error) || !writeFile(publicPath, publicPem, &error))
        return fail(ExitFailure, error);
    report(QStringLiteral("private key %1 (keep it secret, off the server)").arg(privatePath));
    report(QStringLiteral("public key %1 (install it on the gateways)").arg(publicPath));
    return ExitSuccess;
}

// The signature of content with the key in keyPath; empty, with the
// reason in errorString, when the key cannot be read or is not one.
QByteArray signWithKeyFile(const QByteArray &content, const QString &keyPath, QString *errorString)
{
    QByteArray keyPem;
    if (!readFile(keyPath, &keyPem, errorString))
        return QByteArray();
    const QByteArray signature = ReleaseSigner::sign(keyPem, content, errorString);
    if (signature.isEmpty())
        *errorString = QStringLiteral("%1: %2").arg(keyPath, *errorString);
    return signature;
}

int signFile(const QString &path, const QByteArray &content, const QString &keyPath)
{
    QString error;
    const QByteArray signature = signWithKeyFile(content, keyPath, &error);
    if (signature.isEmpty())
        return fail(ExitFailure, error);
    if (!writeFile(path + QStringLiteral(".sig"), signature, &error))
        return fail(ExitFailure, error);
    report(QStringLiteral("signature %1.sig").arg(path));
    return ExitSuccess;
}

int runSign(const QString &releasePath, const QString &keyPath)
{
    QByteArray content;
    QString error;
    if (!readFile(releasePath, &content, &error))
        return fail(ExitFailure, error);
    // Only what a gateway takes is worth a signature.
    if (!QJsonDocument::fromJson(content).isObject())
        return fail(ExitFailure, QStringLiteral("%1 is not a JSON object").arg(releasePath));
    return signFile(releasePath, content, keyPath);
}

struct ReleaseValues
{
    int version[3] = {0, 0, 0};
    QString hardware;
    qint64 timestamp = 0;
};

int runWrite(const QString &imagePath, const ReleaseValues &values, const QString &keyPath)
{
    QByteArray image;
    QString error;
    if (!readFile(imagePath, &image, &error))
        return fail(ExitFailure, error);
    // A gateway refuses an image it cannot parse; so does its publisher.
    if (!NivoraVexbusUsb::FirmwareData(image).isValid())
        return fail(ExitFailure, QStringLiteral("%1 is not a valid firmware image").arg(imagePath));

    const QFileInfo imageInfo(imagePath);
    QJsonObject release;
    release.insert(QStringLiteral("hardware"), values.hardware);
    release.insert(QStringLiteral("majorVersion"), values.version[0]);
    release.insert(QStringLiteral("minorVersion"), values.version[1]);
    release.insert(QStringLiteral("patchVersion"), values.version[2]);
    release.insert(QStringLiteral("updateFileName"), imageInfo.fileName());
    release.insert(QStringLiteral("updateFileMd5sum"),
                   QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Md5).toHex()));
    release.insert(QStringLiteral("updateFileSha256"),
                   QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
    release.insert(QStringLiteral("timestamp"), values.timestamp);

    const QString releasePath = imageInfo.absolutePath() + QStringLiteral("/release.json");
    const QByteArray content = QJsonDocument(release).toJson();
    // Signed before anything is written: a key that cannot be read leaves
    // the release as it was, not a new description beside an old signature.
    QByteArray signature;
    if (!keyPath.isEmpty()) {
        signature = signWithKeyFile(content, keyPath, &error);
        if (signature.isEmpty())
            return fail(ExitFailure, error);
    }

    // Both files are written aside and only then put in place.
    QSaveFile releaseFile(releasePath);
    QSaveFile signatureFile(releasePath + QStringLiteral(".sig"));
    if (!releaseFile.open(QIODevice::WriteOnly) || releaseFile.write(content) != content.size())
        return fail(ExitFailure, QStringLiteral("cannot write %1: %2").arg(releasePath, releaseFile.errorString()));
    if (!signature.isEmpty() && (!signatureFile.open(QIODevice::WriteOnly) || signatureFile.write(signature) != signature.size()))
        return fail(ExitFailure, QStringLiteral("cannot write %1: %2").arg(signatureFile.fileName(), signatureFile.errorString()));
    if (!releaseFile.commit())
        return fail(ExitFailure, QStringLiteral("cannot write %1: %2").arg(releasePath, releaseFile.errorString()));
    report(QStringLiteral("release description %1 for %2, version %3.%4.%5")
           .arg(releasePath, imageInfo.fileName()).arg(values.version[0]).arg(values.version[1]).arg(values.version[2]));
    if (signature.isEmpty())
        return ExitSuccess;
    if (!signatureFile.commit())
        return fail(ExitFailure, QStringLiteral("cannot write %1: %2").arg(signatureFile.fileName(), signatureFile.errorString()));
    report(QStringLiteral("signature %1.sig").arg(releasePath));
    return ExitSuccess;
}

bool parseVersion(const QString &text, int version[3])
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,9})\\.(\\d{1,9})\\.(\\d{1,9})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return false;
    for (int i = 0; i < 3; ++i)
        version[i] = match.captured(i + 1).toInt();
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexbus-release"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NIVORAVEXBUSUSB_VERSION_STRING));
    // The image parser's course of events is not the publisher's business.
    QLoggingCategory::setFilterRules(QStringLiteral("VexbusUsb*.debug=false"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Publishes controller firmware that gateways can authenticate.\n"
            "  keygen NAME                 make NAME.key (private) and NAME.pub (public)\n"
            "  write IMAGE --release-version X.Y.Z [--key NAME.key]\n"
            "                              write release.json beside IMAGE, and sign it\n"
            "  sign RELEASE.JSON --key NAME.key\n"
            "                              write RELEASE.JSON.sig"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption keyOption(QStringLiteral("key"), QStringLiteral("The publisher's private key (PEM)."), QStringLiteral("FILE"));
    const QCommandLineOption versionOption(QStringLiteral("release-version"), QStringLiteral("write: the firmware's version."), QStringLiteral("X.Y.Z"));
    const QCommandLineOption hardwareOption(QStringLiteral("hardware"), QStringLiteral("write: the hardware name (default vexbus-usb-adapter)."),
                                            QStringLiteral("NAME"), QStringLiteral("vexbus-usb-adapter"));
    const QCommandLineOption timestampOption(QStringLiteral("timestamp"), QStringLiteral("write: release time in seconds since 1970 (default now)."),
                                             QStringLiteral("SECONDS"));
    parser.addOptions({keyOption, versionOption, hardwareOption, timestampOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("keygen, write or sign."));
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(ExitUsage, parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(ExitSuccess);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    const QStringList arguments = parser.positionalArguments();
    const QString command = arguments.value(0);
    if (command == QLatin1String("keygen") && arguments.size() == 2)
        return runKeygen(arguments.at(1));
    if (command == QLatin1String("sign") && arguments.size() == 2 && parser.isSet(keyOption))
        return runSign(arguments.at(1), parser.value(keyOption));
    if (command == QLatin1String("write") && arguments.size() == 2) {
        ReleaseValues values;
        if (!parseVersion(parser.value(versionOption), values.version))
            return fail(ExitUsage, QStringLiteral("write takes --release-version X.Y.Z"));
        values.hardware = parser.value(hardwareOption);
        values.timestamp = QDateTime::currentSecsSinceEpoch();
        bool ok = true;
        if (parser.isSet(timestampOption))
            values.timestamp = parser.value(timestampOption).toLongLong(&ok);
        if (!ok || values.timestamp < 0)
            return fail(ExitUsage, QStringLiteral("--timestamp takes seconds since 1970"));
        return runWrite(arguments.at(1), values, parser.value(keyOption));
    }
    return fail(ExitUsage, QStringLiteral("usage: keygen NAME | write IMAGE --release-version X.Y.Z [--key FILE] | sign RELEASE.JSON --key FILE"));
}
