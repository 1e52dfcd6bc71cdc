// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// vexbus-release: what a release server or a mirror needs to publish
// firmware that gateways can authenticate. It makes a publisher's key pair,
// writes release.json for an image and signs it with a detached Ed25519
// signature, release.json.sig, and writes and signs the fleet policy,
// policy.json, in the same way.
#include "fleetpolicy.h"
#include "releasesigner.h"

#include "bootloader/firmwaredata.h"
#include "nivoravexbususbversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
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

// Writes content to path and its signature with the key in keyPath (none
// without a key) to path.sig. Signed before anything is written: a key that
// cannot be read leaves the files as they were, not a new document beside
// an old signature. Both files are written aside and only then put in place.
int writeSigned(const QString &path, const QByteArray &content, const QString &keyPath, const QString &written)
{
    QString error;
    QByteArray signature;
    if (!keyPath.isEmpty()) {
        signature = signWithKeyFile(content, keyPath, &error);
        if (signature.isEmpty())
            return fail(ExitFailure, error);
    }
    QSaveFile file(path);
    QSaveFile signatureFile(path + QStringLiteral(".sig"));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return fail(ExitFailure, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    if (!signature.isEmpty() && (!signatureFile.open(QIODevice::WriteOnly) || signatureFile.write(signature) != signature.size()))
        return fail(ExitFailure, QStringLiteral("cannot write %1: %2").arg(signatureFile.fileName(), signatureFile.errorString()));
    if (!file.commit())
        return fail(ExitFailure, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    report(written);
    if (signature.isEmpty())
        return ExitSuccess;
    if (!signatureFile.commit())
        return fail(ExitFailure, QStringLiteral("cannot write %1: %2").arg(signatureFile.fileName(), signatureFile.errorString()));
    report(QStringLiteral("signature %1.sig").arg(path));
    return ExitSuccess;
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
    return writeSigned(releasePath, content, keyPath,
                       QStringLiteral("release description %1 for %2, version %3.%4.%5")
                       .arg(releasePath, imageInfo.fileName()).arg(values.version[0]).arg(values.version[1]).arg(values.version[2]));
}

struct PolicyValues
{
    FleetPolicy policy;
    QStringList approve;
    QString window;
    QString minimumVersion;
};

int runPolicy(const QString &folder, PolicyValues values, const QString &keyPath)
{
    if (keyPath.isEmpty())
        return fail(ExitUsage, QStringLiteral("policy takes --key: gateways take signed policies only"));
    QStringList approved;
    for (const QString &entry : values.approve) {
        // A sum, or the image it is the sum of.
        if (FleetPolicy::isSha256(entry)) {
            approved.append(entry.toLower());
            continue;
        }
        QByteArray image;
        QString error;
        if (!readFile(entry, &image, &error))
            return fail(ExitFailure, QStringLiteral("--approve takes a SHA-256 sum or an image file; %1").arg(error));
        approved.append(QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
    }
    approved.removeDuplicates();
    values.policy.setApprovedSha256(approved);
    if (!values.window.isEmpty()) {
        QTime start;
        QTime end;
        if (!FleetPolicy::parseWindow(values.window, &start, &end))
            return fail(ExitUsage, QStringLiteral("--window takes HH:MM-HH:MM with two different times, not %1").arg(values.window));
        values.policy.setWindow(start, end);
    }
    if (!values.minimumVersion.isEmpty()) {
        values.policy.setMinimumVersion(FleetPolicy::parseVersion(values.minimumVersion));
        if (values.policy.minimumVersion().isNull())
            return fail(ExitUsage, QStringLiteral("--minimum-version takes X.Y.Z, not %1").arg(values.minimumVersion));
    }
    // What a gateway would refuse is not written: the document is read
    // back as a gateway reads it.
    const QByteArray content = values.policy.toJson();
    QString error;
    if (FleetPolicy::fromJson(content, &error).isNull())
        return fail(ExitUsage, QStringLiteral("a gateway would refuse this policy: %1").arg(error));
    const QString policyPath = QDir(folder).absoluteFilePath(QLatin1String(FleetPolicy::fileName));
    return writeSigned(policyPath, content, keyPath,
                       QStringLiteral("fleet policy %1, sequence %2, target %3, rollout %4 at %5 %%6")
                       .arg(policyPath).arg(values.policy.sequence()).arg(values.policy.target(), values.policy.rollout())
                       .arg(values.policy.percent()).arg(values.policy.halt() ? QStringLiteral(", halted") : QString()));
}

// The retained message of the fleet topic: the exact signed bytes of a
// policy and their signature, so that a gateway verifies what it got.
int runPayload(const QString &policyPath)
{
    QByteArray content;
    QByteArray signature;
    QString error;
    if (!readFile(policyPath, &content, &error) || !readFile(policyPath + QStringLiteral(".sig"), &signature, &error))
        return fail(ExitFailure, error);
    if (FleetPolicy::fromJson(content, &error).isNull())
        return fail(ExitFailure, QStringLiteral("%1 is no fleet policy: %2").arg(policyPath, error));
    const QJsonObject payload{
        {QStringLiteral("policy"), QString::fromLatin1(content.toBase64())},
        {QStringLiteral("signature"), QString::fromLatin1(signature.toBase64())},
    };
    std::printf("%s\n", QJsonDocument(payload).toJson(QJsonDocument::Compact).constData());
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
            "                              write RELEASE.JSON.sig\n"
            "  policy FOLDER --sequence N --target X.Y.Z|current --approve SHA256|IMAGE... --rollout NAME\n"
            "         --percent P [--window HH:MM-HH:MM] [--minimum-version X.Y.Z] [--halt] --key NAME.key\n"
            "                              write and sign FOLDER/policy.json, the fleet policy\n"
            "  payload POLICY.JSON         print the MQTT message of POLICY.JSON and its signature"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption keyOption(QStringLiteral("key"), QStringLiteral("The publisher's private key (PEM)."), QStringLiteral("FILE"));
    const QCommandLineOption versionOption(QStringLiteral("release-version"), QStringLiteral("write: the firmware's version."), QStringLiteral("X.Y.Z"));
    const QCommandLineOption hardwareOption(QStringLiteral("hardware"), QStringLiteral("write: the hardware name (default vexbus-usb-adapter)."),
                                            QStringLiteral("NAME"), QStringLiteral("vexbus-usb-adapter"));
    const QCommandLineOption timestampOption(QStringLiteral("timestamp"), QStringLiteral("write: release time in seconds since 1970 (default now)."),
                                             QStringLiteral("SECONDS"));
    const QCommandLineOption sequenceOption(QStringLiteral("sequence"), QStringLiteral("policy: its number, higher than the last one's."),
                                            QStringLiteral("N"));
    const QCommandLineOption targetOption(QStringLiteral("target"), QStringLiteral("policy: the firmware version the adapters get, "
                                          "or current for the release server's current release."), QStringLiteral("X.Y.Z|current"));
    const QCommandLineOption approveOption(QStringLiteral("approve"), QStringLiteral("policy: an image that may be installed, by its "
                                           "SHA-256 or its file; repeatable."), QStringLiteral("SHA256|IMAGE"));
    const QCommandLineOption rolloutOption(QStringLiteral("rollout"), QStringLiteral("policy: the rollout's name, which sorts the "
                                           "adapters into buckets."), QStringLiteral("NAME"));
    const QCommandLineOption percentOption(QStringLiteral("percent"), QStringLiteral("policy: how many adapters of 100 are in the rollout."),
                                           QStringLiteral("P"));
    const QCommandLineOption windowOption(QStringLiteral("window"), QStringLiteral("policy: when gateways update, in their local time "
                                          "(default any time)."), QStringLiteral("HH:MM-HH:MM"));
    const QCommandLineOption minimumOption(QStringLiteral("minimum-version"), QStringLiteral("policy: adapters running an older "
                                           "firmware are left alone."), QStringLiteral("X.Y.Z"));
    const QCommandLineOption haltOption(QStringLiteral("halt"), QStringLiteral("policy: no gateway starts an update."));
    parser.addOptions({keyOption, versionOption, hardwareOption, timestampOption, sequenceOption, targetOption, approveOption,
                       rolloutOption, percentOption, windowOption, minimumOption, haltOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("keygen, write, sign, policy or payload."));
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(ExitUsage, parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(ExitSuccess);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    const QStringList arguments = parser.positionalArguments();
    const QString command = arguments.value(0);
    bool ok = true;
    qint64 timestamp = QDateTime::currentSecsSinceEpoch();
    if (parser.isSet(timestampOption))
        timestamp = parser.value(timestampOption).toLongLong(&ok);
    if (!ok || timestamp < 0)
        return fail(ExitUsage, QStringLiteral("--timestamp takes seconds since 1970"));
    if (command == QLatin1String("keygen") && arguments.size() == 2)
        return runKeygen(arguments.at(1));
    if (command == QLatin1String("sign") && arguments.size() == 2 && parser.isSet(keyOption))
        return runSign(arguments.at(1), parser.value(keyOption));
    if (command == QLatin1String("write") && arguments.size() == 2) {
        ReleaseValues values;
        if (!parseVersion(parser.value(versionOption), values.version))
            return fail(ExitUsage, QStringLiteral("write takes --release-version X.Y.Z"));
        values.hardware = parser.value(hardwareOption);
        values.timestamp = timestamp;
        return runWrite(arguments.at(1), values, parser.value(keyOption));
    }
    if (command == QLatin1String("payload") && arguments.size() == 2)
        return runPayload(arguments.at(1));
    if (command == QLatin1String("policy") && arguments.size() == 2) {
        PolicyValues values;
        const qint64 sequence = parser.value(sequenceOption).toLongLong(&ok);
        if (!ok || sequence < 1)
            return fail(ExitUsage, QStringLiteral("policy takes --sequence N, a whole number from 1"));
        values.policy.setSequence(sequence);
        values.policy.setTarget(parser.value(targetOption));
        values.policy.setRollout(parser.value(rolloutOption));
        const int percent = parser.value(percentOption).toInt(&ok);
        if (!ok || percent < 0 || percent > 100)
            return fail(ExitUsage, QStringLiteral("policy takes --percent P, a whole number from 0 to 100"));
        values.policy.setPercent(percent);
        values.policy.setHalt(parser.isSet(haltOption));
        values.policy.setTimestamp(timestamp);
        values.approve = parser.values(approveOption);
        values.window = parser.value(windowOption);
        values.minimumVersion = parser.value(minimumOption);
        return runPolicy(arguments.at(1), values, parser.value(keyOption));
    }
    return fail(ExitUsage, QStringLiteral("usage: keygen NAME | write IMAGE --release-version X.Y.Z [--key FILE] | sign RELEASE.JSON --key FILE "
                                          "| policy FOLDER --sequence N --target X.Y.Z|current --approve SHA256|IMAGE --rollout NAME "
                                          "--percent P [--window HH:MM-HH:MM] [--minimum-version X.Y.Z] [--halt] --key FILE "
                                          "| payload POLICY.JSON"));
}
