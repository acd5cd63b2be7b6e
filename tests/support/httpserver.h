#ifndef HTTPSERVER_H
#define HTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QUrl>

class QSslCertificate;
class QSslKey;
class QTcpServer;
class QTcpSocket;

struct HttpResponse
{
    int status = 200;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers {};
    // The body goes out in this many roughly equal pieces, each one after chunkDelayMs.
    int chunks = 1;
    int chunkDelayMs = 0;
    // StallAfter: announce the full Content-Length, send faultAfterBytes of the body, then
    // keep the socket open without sending anything more.
    // CloseEarly: same, but close the connection instead of stalling.
    // NoContentLength: no Content-Length, the end of the body is marked by closing.
    // Endless: no Content-Length, faultAfterBytes of the body, then silence: a body without end.
    // Silent: the request is read and never answered, not even with a status line.
    enum class Fault { None, StallAfter, CloseEarly, NoContentLength, Endless, Silent };
    Fault fault = Fault::None;
    qint64 faultAfterBytes = 0;
    // Ranges: offer "Accept-Ranges: bytes" and answer "Range: bytes=N-" with a 206, unless an
    // If-Range names another ETag (then the whole body, 200). faultAfterBytes still counts
    // from the start of the whole body.
    bool ranges = false;
    QByteArray etag {};
    // A server that ignores If-Range and answers with the rest of what it holds now.
    bool ignoreIfRange = false;
    // A 206 whose body starts this many bytes before the first byte its Content-Range names.
    qint64 rangeSkew = 0;

    static HttpResponse faulty(const QByteArray &body, Fault fault, qint64 afterBytes)
    {
        HttpResponse response;
        response.body = body;
        response.fault = fault;
        response.faultAfterBytes = afterBytes;
        return response;
    }
    // body in two chunks with Transfer-Encoding: chunked. A non-null sizeLine replaces the
    // second chunk's size line, the way a broken or hostile server garbles it.
    static HttpResponse chunked(const QByteArray &body, const QByteArray &sizeLine = {});
    // body gzip-compressed `layers` times (Content-Encoding says so), and then cut to its first
    // cutTo bytes when cutTo >= 0, with a Content-Length that matches the cut stream.
    static HttpResponse gzipped(const QByteArray &body, int layers, qint64 cutTo = -1);
};

// A single-threaded HTTP/1.1 server on 127.0.0.1 with an ephemeral port. Everything runs from
// the event loop, so it can share the thread with the QNetworkAccessManager under test.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    explicit HttpServer(QObject *parent = nullptr);
    // The same behind TLS with this certificate; its URLs are https ones.
    HttpServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent = nullptr);
    ~HttpServer() override;

    bool isListening() const;
    quint16 port() const;
    QString baseUrl() const;
    QUrl url(const QString &path) const;

    void setResponse(const QString &path, const HttpResponse &response);
    void setBody(const QString &path, const QByteArray &body, int status = 200);
    void setRedirect(const QString &path, const QString &location, int status = 302,
        const QByteArray &body = "redirect body");
    void removeResponse(const QString &path);

    int requestCount(const QString &path) const;
    int totalRequests() const;
    QStringList requestLog() const;
    QByteArray lastRequestHead(const QString &path) const;
    // TLS handshakes begun by clients, including those a client broke off.
    int handshakeCount() const { return m_handshakes; }

signals:
    // Emitted before the answer is chosen, so a connected slot may still change it.
    void requestSeen(const QString &path);

private:
    struct Connection;

    void acceptConnections();
    void readRequests(Connection *conn);
    void startResponse(Connection *conn, const QByteArray &method, const QString &path);
    void releasePieces(Connection *conn);
    void pump(Connection *conn);
    void finishResponse(Connection *conn);

    QTcpServer *m_server;
    QString m_scheme = QStringLiteral("http");
    int m_handshakes = 0;
    QHash<QTcpSocket *, Connection *> m_connections;
    QHash<QString, HttpResponse> m_responses;
    QHash<QString, int> m_counts;
    QHash<QString, QByteArray> m_heads;
    QStringList m_log;
};

#endif // HTTPSERVER_H
