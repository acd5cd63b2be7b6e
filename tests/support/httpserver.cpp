#include "httpserver.h"

#include <QHostAddress>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// Large bodies are fed to the socket in slices so that memory stays bounded and the event loop
// (which also runs the client under test) keeps turning.
constexpr qint64 SliceSize = 256 * 1024;
constexpr qint64 MaxBuffered = 1024 * 1024;
constexpr qsizetype MaxHeadSize = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases
        = {{200, "OK"}, {301, "Moved Permanently"}, {204, "No Content"}, {206, "Partial Content"},
            {416, "Range Not Satisfiable"}, {503, "Service Unavailable"}, {302, "Found"},
            {303, "See Other"}, {307, "Temporary Redirect"}, {308, "Permanent Redirect"},
            {404, "Not Found"}, {500, "Internal Server Error"}};
    return phrases.value(status, "Status");
}

quint32 crc32Of(const QByteArray &data)
{
    quint32 crc = 0xffffffffu;
    for (const char c : data) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void appendLittleEndian(QByteArray &out, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += char((value >> (8 * i)) & 0xff);
}

// A valid gzip member that stores the data in uncompressed deflate blocks: no zlib needed.
QByteArray gzipStored(const QByteArray &data)
{
    QByteArray out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    qsizetype offset = 0;
    do {
        const quint32 length = quint32(qMin<qsizetype>(0xffff, data.size() - offset));
        const bool last = offset + qsizetype(length) == data.size();
        out += char(last ? 1 : 0);
        appendLittleEndian(out, length, 2);
        appendLittleEndian(out, ~length & 0xffff, 2);
        out += data.mid(offset, length);
        offset += length;
    } while (offset < data.size());
    appendLittleEndian(out, crc32Of(data), 4);
    appendLittleEndian(out, quint32(data.size()), 4);
    return out;
}

} // namespace

HttpResponse HttpResponse::chunked(const QByteArray &body, const QByteArray &sizeLine)
{
    const qsizetype half = body.size() / 2;
    const QByteArray second = body.mid(half);
    HttpResponse response;
    response.body = QByteArray::number(half, 16) + "\r\n" + body.left(half) + "\r\n"
        + (sizeLine.isNull() ? QByteArray::number(second.size(), 16) : sizeLine) + "\r\n" + second
        + "\r\n0\r\n\r\n";
    response.headers = {{"Transfer-Encoding", "chunked"}};
    // No Content-Length beside Transfer-Encoding; the connection closes after the body.
    response.fault = Fault::NoContentLength;
    return response;
}

HttpResponse HttpResponse::gzipped(const QByteArray &body, int layers, qint64 cutTo)
{
    HttpResponse response;
    response.body = body;
    QByteArray encoding;
    for (int i = 0; i < layers; ++i) {
        response.body = gzipStored(response.body);
        encoding += encoding.isEmpty() ? "gzip" : ", gzip";
    }
    if (cutTo >= 0)
        response.body.truncate(cutTo);
    response.headers = {{"Content-Encoding", encoding}};
    return response;
}

struct HttpServer::Connection
{
    QTcpSocket *socket = nullptr;
    QByteArray input;
    bool busy = false; // a response is in progress; further requests wait in input
    bool done = false; // the current response has been fully queued or has stalled
    bool closeAfter = false;
    bool disconnected = false;
    HttpResponse response;
    qint64 limit = 0; // body bytes this response will ever send
    qint64 released = 0; // body bytes whose piece delay has elapsed
    qint64 sent = 0;
    int piece = 0;
};

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::acceptConnections);
    m_server->listen(QHostAddress::LocalHost, 0);
}

HttpServer::HttpServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent)
    : QObject(parent)
    , m_scheme(QStringLiteral("https"))
{
    auto *server = new QSslServer(this);
    QSslConfiguration configuration;
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    server->setSslConfiguration(configuration);
    // Far above the default, for a loaded machine running tests side by side.
    server->setHandshakeTimeout(30000);
    connect(server, &QSslServer::startedEncryptionHandshake, this, [this] { ++m_handshakes; });
    // A TLS connection is only pending once its handshake is done, well after newConnection.
    connect(server, &QTcpServer::pendingConnectionAvailable, this, &HttpServer::acceptConnections);
    m_server = server;
    m_server->listen(QHostAddress::LocalHost, 0);
}

HttpServer::~HttpServer()
{
    // Left to ~QObject, the sockets would die after m_connections and signal into a
    // half-destroyed server. They are not deleted right here because the server may be destroyed
    // from requestSeen, i.e. inside a socket's readyRead.
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
        QTcpSocket *socket = it.key();
        socket->disconnect();
        socket->abort();
        socket->setParent(nullptr);
        socket->deleteLater();
        delete it.value();
    }
}

bool HttpServer::isListening() const
{
    return m_server->isListening();
}

quint16 HttpServer::port() const
{
    return m_server->serverPort();
}

QString HttpServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_scheme).arg(port());
}

QUrl HttpServer::url(const QString &path) const
{
    return QUrl(baseUrl() + path);
}

void HttpServer::setResponse(const QString &path, const HttpResponse &response)
{
    m_responses.insert(path, response);
}

void HttpServer::setBody(const QString &path, const QByteArray &body, int status)
{
    HttpResponse response;
    response.status = status;
    response.body = body;
    setResponse(path, response);
}

void HttpServer::setRedirect(
    const QString &path, const QString &location, int status, const QByteArray &body)
{
    HttpResponse response;
    response.status = status;
    response.body = body;
    // On a kept-alive connection QNetworkAccessManager (seen with Qt 6.4) now and then sends the
    // redirecting request a second time, which would make requestCount() flaky.
    response.headers = {{"Location", location.toUtf8()}, {"Connection", "close"}};
    setResponse(path, response);
}

void HttpServer::removeResponse(const QString &path)
{
    m_responses.remove(path);
}

int HttpServer::requestCount(const QString &path) const
{
    return m_counts.value(path);
}

int HttpServer::totalRequests() const
{
    return m_log.size();
}

QStringList HttpServer::requestLog() const
{
    return m_log;
}

QByteArray HttpServer::lastRequestHead(const QString &path) const
{
    return m_heads.value(path);
}

void HttpServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        auto *conn = new Connection;
        conn->socket = socket;
        m_connections.insert(socket, conn);
        // conn is deleted with the socket, or by ~HttpServer after cutting these connections.
        connect(socket, &QTcpSocket::readyRead, socket, [this, conn] { readRequests(conn); });
        connect(socket, &QTcpSocket::bytesWritten, socket, [this, conn] { pump(conn); });
        connect(socket, &QTcpSocket::disconnected, socket, [conn] {
            conn->disconnected = true;
            conn->socket->deleteLater();
        });
        connect(socket, &QObject::destroyed, this,
            [this, socket] { delete m_connections.take(socket); });
    }
}

void HttpServer::readRequests(Connection *conn)
{
    conn->input += conn->socket->readAll();
    while (!conn->busy && !conn->disconnected) {
        const qsizetype headEnd = conn->input.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (conn->input.size() > MaxHeadSize)
                conn->socket->abort();
            return;
        }
        const QByteArray head = conn->input.left(headEnd);
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        qint64 bodyLength = 0;
        QByteArray connectionHeader;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines.at(i).indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = lines.at(i).left(colon).trimmed().toLower();
            const QByteArray value = lines.at(i).mid(colon + 1).trimmed().toLower();
            if (name == "content-length")
                bodyLength = value.toLongLong();
            else if (name == "connection")
                connectionHeader = value;
        }
        // Request bodies are ignored, but must be skipped to find the next request.
        if (conn->input.size() < headEnd + 4 + bodyLength)
            return;
        conn->input.remove(0, headEnd + 4 + bodyLength);

        const QByteArray method = requestLine.value(0);
        const QByteArray target = requestLine.value(1);
        const bool http10 = requestLine.value(2) == "HTTP/1.0";
        conn->closeAfter = http10 ? !connectionHeader.contains("keep-alive")
                                  : connectionHeader.contains("close");
        conn->busy = true;

        const qsizetype query = target.indexOf('?');
        const QString path = QString::fromLatin1(query < 0 ? target : target.left(query));
        m_log.append(path);
        ++m_counts[path];
        m_heads.insert(path, head);
        // A slot may destroy the server (and with it conn) or run a nested event loop in which
        // the client goes away.
        const QPointer<HttpServer> self = this;
        const QPointer<QTcpSocket> socket = conn->socket;
        emit requestSeen(path);
        if (!self || !socket || conn->disconnected)
            return;
        startResponse(conn, method, path);
    }
}

void HttpServer::startResponse(Connection *conn, const QByteArray &method, const QString &path)
{
    HttpResponse notFound;
    notFound.status = 404;
    notFound.body = "not found";
    HttpResponse response = m_responses.value(path, notFound);
    using Fault = HttpResponse::Fault;
    if (!response.etag.isEmpty())
        response.headers.append(qMakePair(QByteArray("ETag"), response.etag));
    if (response.ranges) {
        response.headers.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
        QByteArray range;
        QByteArray ifRange;
        for (const QByteArray &line : m_heads.value(path).split('\n')) {
            const QByteArray lower = line.trimmed().toLower();
            if (lower.startsWith("range: bytes="))
                range = line.trimmed().mid(13);
            else if (lower.startsWith("if-range:"))
                ifRange = line.trimmed().mid(9).trimmed();
        }
        const qint64 from = range.endsWith('-') ? range.chopped(1).toLongLong() : -1;
        const qint64 size = response.body.size();
        if (from >= 0
            && (ifRange.isEmpty() || ifRange == response.etag || response.ignoreIfRange)) {
            if (from < size) {
                response.status = 206;
                response.headers.append(qMakePair(QByteArray("Content-Range"),
                    "bytes " + QByteArray::number(from) + '-' + QByteArray::number(size - 1) + '/'
                        + QByteArray::number(size)));
                response.body = response.body.mid(qMax<qint64>(0, from - response.rangeSkew));
                response.faultAfterBytes = qMax<qint64>(0, response.faultAfterBytes - from);
            } else {
                response.status = 416;
                response.body.clear();
            }
        }
    }
    if (response.fault == Fault::Silent)
        return;
    const bool noLength
        = response.fault == Fault::NoContentLength || response.fault == Fault::Endless;
    if (response.fault == Fault::NoContentLength)
        conn->closeAfter = true;

    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + reasonPhrase(response.status) + "\r\n";
    if (!noLength)
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    bool hasType = false;
    bool announcesClose = false;
    for (const auto &header : response.headers) {
        hasType = hasType || header.first.compare("Content-Type", Qt::CaseInsensitive) == 0;
        if (header.first.compare("Connection", Qt::CaseInsensitive) == 0)
            announcesClose = header.second.toLower().contains("close");
        out += header.first + ": " + header.second + "\r\n";
    }
    if (!hasType)
        out += "Content-Type: application/octet-stream\r\n";
    if (conn->closeAfter && !announcesClose)
        out += "Connection: close\r\n";
    conn->closeAfter = conn->closeAfter || announcesClose;
    out += "\r\n";
    conn->socket->write(out);

    conn->response = response;
    conn->limit = response.body.size();
    if (response.fault == Fault::StallAfter || response.fault == Fault::CloseEarly
        || response.fault == Fault::Endless)
        conn->limit = qBound<qint64>(0, response.faultAfterBytes, conn->limit);
    if (method == "HEAD")
        conn->limit = 0;
    conn->released = 0;
    conn->sent = 0;
    conn->piece = 0;
    conn->done = false;
    releasePieces(conn);
}

void HttpServer::releasePieces(Connection *conn)
{
    const int pieces = qMax(1, conn->response.chunks);
    const qint64 size = conn->response.body.size();
    if (conn->response.chunkDelayMs <= 0) {
        conn->piece = pieces;
        conn->released = size;
        pump(conn);
        return;
    }
    // conn is gone once either the server (the context) or the socket is.
    const QPointer<QTcpSocket> socket = conn->socket;
    QTimer::singleShot(conn->response.chunkDelayMs, this, [this, conn, socket, pieces, size] {
        if (!socket)
            return;
        ++conn->piece;
        conn->released = size * conn->piece / pieces;
        if (conn->piece < pieces)
            releasePieces(conn);
        pump(conn);
    });
}

void HttpServer::pump(Connection *conn)
{
    if (!conn->busy || conn->done || conn->disconnected || conn->piece == 0)
        return;
    const qint64 end = qMin(conn->released, conn->limit);
    while (conn->sent < end && conn->socket->bytesToWrite() < MaxBuffered) {
        const qint64 n = qMin(end - conn->sent, SliceSize);
        if (conn->socket->write(conn->response.body.constData() + conn->sent, n) != n)
            return;
        conn->sent += n;
    }
    if (conn->sent == conn->limit)
        finishResponse(conn);
}

void HttpServer::finishResponse(Connection *conn)
{
    conn->done = true;
    switch (conn->response.fault) {
    case HttpResponse::Fault::StallAfter:
    case HttpResponse::Fault::Endless:
    case HttpResponse::Fault::Silent:
        // Stay busy forever: the client has to give up on its own.
        return;
    case HttpResponse::Fault::CloseEarly:
    case HttpResponse::Fault::NoContentLength:
        conn->socket->disconnectFromHost();
        return;
    case HttpResponse::Fault::None:
        break;
    }
    if (conn->closeAfter) {
        conn->socket->disconnectFromHost();
        return;
    }
    conn->busy = false;
    // Queued, so that pipelined requests do not recurse through pump() and finishResponse().
    const QPointer<QTcpSocket> socket = conn->socket;
    QMetaObject::invokeMethod(
        this,
        [this, conn, socket] {
            if (socket)
                readRequests(conn);
        },
        Qt::QueuedConnection);
}
