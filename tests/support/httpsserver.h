// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef HTTPSSERVER_H
#define HTTPSSERVER_H

#include <QHash>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QTcpServer>

class QSslSocket;

namespace NivoraTest {

// The content of a file, empty when it cannot be read.
QByteArray readFile(const QString &fileName);

// The release.json of version 1.5.0 of image under fileName, with the
// image's MD5 sum; a null value in changes removes its key.
QByteArray releaseDescription(const QString &fileName, const QByteArray &image, const QJsonObject &changes = QJsonObject());

// A minimal HTTPS/1.1 server on 127.0.0.1 that answers GET requests with the
// files below its root directory (the URL path is the path below the root)
// and closes every connection after one response. Every request path is
// recorded.
class HttpsServer : public QTcpServer
{
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;

    // Makes a key and a self-signed certificate for 127.0.0.1 with the
    // openssl tool (server.key and server.crt in directory) and serves the
    // files below rootDirectory with them on a free port. Trusting, this
    // process trusts the certificate as the gateway's CA store would. On
    // failure errorString tells why.
    bool start(const QString &directory, const QString &rootDirectory, QString *errorString, bool trusting = true);
    // Without Content-Length the end of the connection ends a body, as
    // some servers send it; on by default.
    void setContentLengthSent(bool sent) { m_contentLengthSent = sent; }
    // A silent server accepts connections and never answers, not even the
    // TLS handshake; off by default.
    void setSilent(bool silent) { m_silent = silent; }
    // Answers path with statusLine ("302 Found") and the extra header lines
    // (each ending in CRLF) instead of the file's status; the body stays the
    // file's, if there is one. An empty statusLine restores the default.
    void setAnswer(const QString &path, const QByteArray &statusLine, const QByteArray &headers = QByteArray());
    // "https://127.0.0.1:<port>" followed by path.
    QString url(const QString &path = QString()) const;

    // Writes content as the file at path below the root, creating folders.
    bool publish(const QString &path, const QByteArray &content) const;
    // Publishes an image as fileName in directory, with the release.json
    // that describes it.
    bool publishRelease(const QString &directory, const QString &fileName, const QByteArray &image) const;

    // The paths of the requests received so far, in order of arrival.
    QStringList requestedPaths() const { return m_requestedPaths; }
    void clearRequestedPaths() { m_requestedPaths.clear(); }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void onReadyRead(QSslSocket *socket);

    QSslCertificate m_certificate;
    QSslKey m_key;
    QString m_rootDirectory;
    QStringList m_requestedPaths;
    bool m_contentLengthSent = true;
    bool m_silent = false;
    QHash<QString, QPair<QByteArray, QByteArray>> m_answers;
};

} // namespace NivoraTest

#endif // HTTPSSERVER_H
