#include "httpsserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSslSocket>
#include <QUrl>

namespace NivoraTest {

namespace {

// A request head larger than this is not a client of ours.
constexpr int maximumRequestHeadSize = 16 * 1024;
// Generous for openssl on a loaded 2-core machine.
constexpr int opensslTimeout = 30000; // ms

QByteArray readFile(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace

TestCertificate TestCertificate::generate(const QString &directory, QString *errorString)
{
    const QString keyFile = directory + QStringLiteral("/server.key");
    const QString certificateFile = directory + QStringLiteral("/server.crt");
    // An EC key is made in milliseconds; the address is named both in the
    // subject and as IP alternative name so that host checks accept it.
    const QStringList arguments = {
        QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-nodes"),
        QStringLiteral("-newkey"), QStringLiteral("ec"),
        QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
        QStringLiteral("-keyout"), keyFile, QStringLiteral("-out"), certificateFile,
        QStringLiteral("-days"), QStringLiteral("2"),
        QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
        QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1")
    };

    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    const bool finished = openssl.waitForFinished(opensslTimeout);
    if (!finished || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        if (errorString)
            *errorString = QStringLiteral("openssl failed: %1 %2").arg(openssl.errorString(),
                                                                      QString::fromLocal8Bit(openssl.readAll()));
        return TestCertificate();
    }

    TestCertificate result;
    result.certificate = QSslCertificate(readFile(certificateFile), QSsl::Pem);
    result.key = QSslKey(readFile(keyFile), QSsl::Ec, QSsl::Pem);
    if (result.isNull() && errorString)
        *errorString = QStringLiteral("openssl wrote no usable key or certificate");
    return result;
}

HttpsServer::HttpsServer(QObject *parent) :
    QTcpServer(parent)
{
}

void HttpsServer::setCertificate(const TestCertificate &certificate)
{
    m_certificate = certificate;
}

void HttpsServer::setRootDirectory(const QString &rootDirectory)
{
    m_rootDirectory = rootDirectory;
}

bool HttpsServer::listenOnLoopback()
{
    return listen(QHostAddress::LocalHost, 0);
}

QString HttpsServer::url(const QString &path) const
{
    const QString scheme = m_certificate.isNull() ? QStringLiteral("http") : QStringLiteral("https");
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(serverPort()).arg(path);
}

bool HttpsServer::publish(const QString &path, const QByteArray &content) const
{
    const QString fileName = m_rootDirectory + path;
    QFile file(fileName);
    return QDir().mkpath(QFileInfo(fileName).path()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(content) == content.size();
}

bool HttpsServer::publishRelease(const QString &directory, const QString &fileName, const QByteArray &image,
                                 int majorVersion, int minorVersion, int patchVersion) const
{
    const QByteArray md5Sum = QCryptographicHash::hash(image, QCryptographicHash::Md5).toHex();
    return publish(directory + QStringLiteral("/release.json"),
                   releaseJson(fileName, md5Sum, majorVersion, minorVersion, patchVersion))
            && publish(directory + QLatin1Char('/') + fileName, image);
}

QByteArray HttpsServer::releaseJson(const QString &fileName, const QByteArray &md5Sum, int majorVersion,
                                    int minorVersion, int patchVersion)
{
    QJsonObject release;
    release.insert(QStringLiteral("hardware"), QStringLiteral("vexbus-usb-adapter"));
    release.insert(QStringLiteral("majorVersion"), majorVersion);
    release.insert(QStringLiteral("minorVersion"), minorVersion);
    release.insert(QStringLiteral("patchVersion"), patchVersion);
    release.insert(QStringLiteral("updateFileName"), fileName);
    release.insert(QStringLiteral("updateFileMd5sum"), QString::fromLatin1(md5Sum));
    // 2023-11-14T22:13:20Z
    release.insert(QStringLiteral("timestamp"), 1700000000);
    release.insert(QStringLiteral("changelog"), QStringLiteral("ignored by the downloader"));
    return QJsonDocument(release).toJson();
}

QStringList HttpsServer::requestedPaths() const
{
    return m_requestedPaths;
}

void HttpsServer::clearRequestedPaths()
{
    m_requestedPaths.clear();
}

void HttpsServer::incomingConnection(qintptr socketDescriptor)
{
    QSslSocket *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }

    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QSslSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
    if (m_certificate.isNull())
        return;

    socket->setLocalCertificate(m_certificate.certificate);
    socket->setPrivateKey(m_certificate.key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->startServerEncryption();
}

void HttpsServer::onReadyRead(QTcpSocket *socket)
{
    // The head is collected in a property of the socket, since one request
    // may arrive in several reads.
    QByteArray head = socket->property("requestHead").toByteArray() + socket->readAll();
    socket->setProperty("requestHead", head);
    if (head.size() > maximumRequestHeadSize) {
        socket->abort();
        return;
    }

    if (head.contains("\r\n\r\n") && !socket->property("answered").toBool()) {
        socket->setProperty("answered", true);
        respond(socket, head);
    }
}

void HttpsServer::respond(QTcpSocket *socket, const QByteArray &requestHead)
{
    const QList<QByteArray> requestLine = requestHead.left(requestHead.indexOf("\r\n")).split(' ');
    const QString path = requestLine.size() >= 2 ? QUrl(QString::fromLatin1(requestLine.at(1))).path()
                                                 : QString();
    m_requestedPaths.append(path);

    bool found = false;
    const QByteArray body = requestLine.value(0) == "GET" ? fileContent(path, &found) : QByteArray();
    QByteArray response = found ? QByteArray("HTTP/1.1 200 OK\r\n") : QByteArray("HTTP/1.1 404 Not Found\r\n");
    response += "Content-Type: application/octet-stream\r\n";
    if (m_contentLengthSent)
        response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    response += "Connection: close\r\n\r\n";
    response += body;
    socket->write(response);
    // Closes once the response (and for TLS the close notification) is out.
    socket->disconnectFromHost();
    Q_EMIT requestReceived(path);
}

QByteArray HttpsServer::fileContent(const QString &path, bool *found) const
{
    const QString root = QDir::cleanPath(m_rootDirectory);
    const QString fileName = QDir::cleanPath(root + QLatin1Char('/') + path);
    const QFileInfo info(fileName);
    *found = fileName.startsWith(root + QLatin1Char('/')) && info.isFile() && info.isReadable();
    return *found ? readFile(fileName) : QByteArray();
}

} // namespace NivoraTest
