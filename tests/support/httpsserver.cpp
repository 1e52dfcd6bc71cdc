// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "httpsserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QUrl>

namespace NivoraTest {

namespace {

// Generous for openssl on a loaded 2-core machine.
constexpr int opensslTimeout = 30000; // ms

} // namespace

QByteArray readFile(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray releaseDescription(const QString &fileName, const QByteArray &image, const QJsonObject &changes)
{
    QJsonObject release{{"hardware", "vexbus-usb-adapter"}, {"majorVersion", 1}, {"minorVersion", 5}, {"patchVersion", 0},
                        {"updateFileName", fileName}, {"timestamp", 1700000000},
                        {"updateFileMd5sum", QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Md5).toHex())}};
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        if (it.value().isNull())
            release.remove(it.key());
        else
            release.insert(it.key(), it.value());
    }
    return QJsonDocument(release).toJson();
}

bool HttpsServer::start(const QString &directory, const QString &rootDirectory, QString *errorString, bool trusting)
{
    const QString keyFile = directory + QStringLiteral("/server.key");
    const QString certificateFile = directory + QStringLiteral("/server.crt");
    // An EC key is made in milliseconds; the address is named both in the
    // subject and as IP alternative name so that host checks accept it.
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), {"req", "-x509", "-nodes", "-newkey", "ec", "-pkeyopt",
                                              "ec_paramgen_curve:prime256v1", "-keyout", keyFile, "-out",
                                              certificateFile, "-days", "2", "-subj", "/CN=127.0.0.1",
                                              "-addext", "subjectAltName=IP:127.0.0.1"});
    if (!openssl.waitForFinished(opensslTimeout) || openssl.exitStatus() != QProcess::NormalExit
            || openssl.exitCode() != 0) {
        *errorString = QStringLiteral("openssl failed: %1 %2").arg(openssl.errorString(),
                                                                  QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    m_certificate = QSslCertificate(readFile(certificateFile), QSsl::Pem);
    m_key = QSslKey(readFile(keyFile), QSsl::Ec, QSsl::Pem);
    if (m_certificate.isNull() || m_key.isNull()) {
        *errorString = QStringLiteral("openssl wrote no usable key or certificate");
        return false;
    }
    if (trusting) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificate(m_certificate);
        QSslConfiguration::setDefaultConfiguration(configuration);
    }
    m_rootDirectory = rootDirectory;
    if (!listen(QHostAddress::LocalHost, 0)) {
        *errorString = this->errorString();
        return false;
    }
    return true;
}

QString HttpsServer::url(const QString &path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(serverPort()).arg(path);
}

bool HttpsServer::publish(const QString &path, const QByteArray &content) const
{
    QFile file(m_rootDirectory + path);
    return QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(content) == content.size();
}

bool HttpsServer::publishRelease(const QString &directory, const QString &fileName, const QByteArray &image) const
{
    return publish(directory + QStringLiteral("/release.json"), releaseDescription(fileName, image))
            && publish(directory + QLatin1Char('/') + fileName, image);
}

void HttpsServer::setAnswer(const QString &path, const QByteArray &statusLine, const QByteArray &headers)
{
    if (statusLine.isEmpty())
        m_answers.remove(path);
    else
        m_answers.insert(path, qMakePair(statusLine, headers));
}

void HttpsServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    // The connection stays open, and nothing is read or sent on it.
    if (m_silent)
        return;
    connect(socket, &QSslSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
    socket->setLocalCertificate(m_certificate);
    socket->setPrivateKey(m_key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->startServerEncryption();
}

void HttpsServer::onReadyRead(QSslSocket *socket)
{
    // One request may arrive in several reads; its head is collected in a
    // property of the socket, and only the first request is answered.
    const QByteArray head = socket->property("requestHead").toByteArray() + socket->readAll();
    socket->setProperty("requestHead", head);
    if (!head.contains("\r\n\r\n") || socket->property("answered").toBool())
        return;
    socket->setProperty("answered", true);

    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QString path = QUrl(QString::fromLatin1(requestLine.value(1))).path();
    m_requestedPaths.append(path);

    // Nothing outside the root is served.
    const QString root = QDir::cleanPath(m_rootDirectory) + QLatin1Char('/');
    const QString fileName = QDir::cleanPath(root + path);
    const bool found = requestLine.value(0) == "GET" && fileName.startsWith(root) && QFileInfo(fileName).isFile();
    const QByteArray body = found ? readFile(fileName) : QByteArray();
    QByteArray response = found ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n";
    if (m_answers.contains(path))
        response = "HTTP/1.1 " + m_answers.value(path).first + "\r\n" + m_answers.value(path).second;
    response += "Content-Type: application/octet-stream\r\n";
    if (m_contentLengthSent)
        response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    socket->write(response + "Connection: close\r\n\r\n" + body);
    // Closes once the response and the TLS close notification are out.
    socket->disconnectFromHost();
}

} // namespace NivoraTest
