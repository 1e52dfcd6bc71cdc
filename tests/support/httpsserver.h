#ifndef HTTPSSERVER_H
#define HTTPSSERVER_H

#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

namespace NivoraTest {

// A key and a self-signed certificate for 127.0.0.1, made with the openssl
// command line tool at test time.
struct TestCertificate
{
    QSslCertificate certificate;
    QSslKey key;

    bool isNull() const { return certificate.isNull() || key.isNull(); }

    // Writes key and certificate into directory; returns a null pair and
    // the reason in errorString when openssl fails.
    static TestCertificate generate(const QString &directory, QString *errorString);
};

// A minimal HTTP/1.1 server on 127.0.0.1 that answers GET requests with the
// files below its root directory (the URL path is the path below the root)
// and closes every connection after one response. With a certificate it
// speaks HTTPS, without one plain HTTP. Every request path is recorded.
class HttpsServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit HttpsServer(QObject *parent = nullptr);

    // A null certificate makes the server speak plain HTTP.
    void setCertificate(const TestCertificate &certificate);
    void setRootDirectory(const QString &rootDirectory);

    // Without Content-Length the end of the connection ends a body, as
    // some servers send it; on by default.
    void setContentLengthSent(bool sent) { m_contentLengthSent = sent; }
    // Listens on 127.0.0.1 on a free port.
    bool listenOnLoopback();
    // "https://127.0.0.1:<port>" (or "http://...") followed by path.
    QString url(const QString &path = QString()) const;

    // Writes content as the file at path below the root, creating folders.
    bool publish(const QString &path, const QByteArray &content) const;
    // Publishes an image as fileName in directory, with the release.json
    // that describes it (version 2.7.13 unless given, its MD5 sum).
    bool publishRelease(const QString &directory, const QString &fileName, const QByteArray &image,
                        int majorVersion = 2, int minorVersion = 7, int patchVersion = 13) const;
    // The release description the release server publishes.
    static QByteArray releaseJson(const QString &fileName, const QByteArray &md5Sum, int majorVersion = 2,
                                  int minorVersion = 7, int patchVersion = 13);

    // The paths of the requests received so far, in order of arrival.
    QStringList requestedPaths() const;
    void clearRequestedPaths();

Q_SIGNALS:
    void requestReceived(const QString &path);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QByteArray &requestHead);
    QByteArray fileContent(const QString &path, bool *found) const;

    TestCertificate m_certificate;
    QString m_rootDirectory;
    QStringList m_requestedPaths;
    bool m_contentLengthSent = true;
};

} // namespace NivoraTest

#endif // HTTPSSERVER_H
