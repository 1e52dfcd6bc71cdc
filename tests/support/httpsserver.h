#ifndef HTTPSSERVER_H
#define HTTPSSERVER_H

#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QTcpServer>

class QSslSocket;

namespace NivoraTest {

// The content of a file, empty when it cannot be read.
QByteArray readFile(const QString &fileName);

// A key and a self-signed certificate for 127.0.0.1, made with the openssl
// command line tool at test time.
struct TestCertificate
{
    QSslCertificate certificate;
    QSslKey key;

    bool isNull() const { return certificate.isNull() || key.isNull(); }

    // Writes server.key and server.crt into directory; returns a null pair
    // and the reason in errorString when openssl fails.
    static TestCertificate generate(const QString &directory, QString *errorString);
};

// A minimal HTTPS/1.1 server on 127.0.0.1 that answers GET requests with the
// files below its root directory (the URL path is the path below the root)
// and closes every connection after one response. Every request path is
// recorded.
class HttpsServer : public QTcpServer
{
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;

    void setCertificate(const TestCertificate &certificate) { m_certificate = certificate; }
    void setRootDirectory(const QString &rootDirectory) { m_rootDirectory = rootDirectory; }
    // Without Content-Length the end of the connection ends a body, as
    // some servers send it; on by default.
    void setContentLengthSent(bool sent) { m_contentLengthSent = sent; }
    // Listens on 127.0.0.1 on a free port.
    bool listenOnLoopback() { return listen(QHostAddress::LocalHost, 0); }
    // "https://127.0.0.1:<port>" followed by path.
    QString url(const QString &path = QString()) const;

    // Writes content as the file at path below the root, creating folders.
    bool publish(const QString &path, const QByteArray &content) const;
    // Publishes an image as fileName in directory, with the release.json
    // that describes it (version 2.7.13 unless given, its MD5 sum).
    bool publishRelease(const QString &directory, const QString &fileName, const QByteArray &image,
                        int majorVersion = 2, int minorVersion = 7, int patchVersion = 13) const;

    // The paths of the requests received so far, in order of arrival.
    QStringList requestedPaths() const { return m_requestedPaths; }
    void clearRequestedPaths() { m_requestedPaths.clear(); }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void onReadyRead(QSslSocket *socket);

    TestCertificate m_certificate;
    QString m_rootDirectory;
    QStringList m_requestedPaths;
    bool m_contentLengthSent = true;
};

} // namespace NivoraTest

#endif // HTTPSSERVER_H
