#include "buildconfig.h"
#include "httpserver.h"
#include "testutil.h"
#include "transfer/filetransfer.h"
#include "updatelist/updatelistformat.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

using Outcome = FileTransfer::Outcome;

const QString target = QStringLiteral("plugins/x.dll");
// What a run that crashed mid-transfer left beside the target.
const QString staleStaging = QStringLiteral("plugins/x.dll.aktualizator-0a1b2c.tmp");
const QByteArray formerBytes = "former plugin bytes\n";

HttpResponse withHeader(HttpResponse response, const QByteArray &name, const QByteArray &value)
{
    response.headers.append(qMakePair(name, value));
    return response;
}

} // namespace

class TestFileTransfer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void onlyWholeAnswersInstall_data();
    void onlyWholeAnswersInstall();
    void slowDrip_data();
    void slowDrip();
    void earlyStop_data();
    void earlyStop();
    void targetInUse_data();
    void targetInUse();
    void retries_data();
    void retries();

private:
    // Runs one transfer of /files/x.dll into plugins/x.dll, whose former bytes are in place.
    Outcome run(FileTransfer &transfer, int timeoutMs = 5000);

    std::unique_ptr<TemporaryWorkingDirectory> workDir;
    std::unique_ptr<HttpServer> server;
};

void TestFileTransfer::init()
{
    workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir().mkdir("plugins"));
    QVERIFY(writeFile(target, formerBytes));
    QVERIFY(writeFile(staleStaging, "partial"));
    server = std::make_unique<HttpServer>();
}

void TestFileTransfer::cleanup()
{
    server.reset();
    workDir.reset();
}

Outcome TestFileTransfer::run(FileTransfer &transfer, int timeoutMs)
{
    QNetworkAccessManager network;
    QSignalSpy finished(&transfer, &FileTransfer::finished);
    transfer.start(&network);
    if (!QTest::qWaitFor([&] { return finished.size() > 0; }, timeoutMs))
        return Outcome::Pending;
    // One signal, and no second one later.
    QTest::qWait(20);
    return finished.size() == 1 ? finished.at(0).at(0).value<Outcome>() : Outcome::Pending;
}

void TestFileTransfer::onlyWholeAnswersInstall_data()
{
    QTest::addColumn<HttpResponse>("response");
    QTest::addColumn<QString>("size"); // null: the line gives none
    QTest::addColumn<QString>("sha256");
    QTest::addColumn<bool>("installed");

    const QByteArray body = bodyOf(12000, 'w');
    const QString size = QString::number(body.size());
    const QString sha = QString::fromLatin1(sha256Hex(body));
    const QString none;

    QTest::newRow("200") << HttpResponse {200, body} << none << none << true;
    QTest::newRow("204 No Content") << HttpResponse {204, {}} << none << none << false;
    QTest::newRow("206 with Content-Range")
        << withHeader(HttpResponse {206, body.left(3000)}, "Content-Range", "bytes 0-2999/12000")
        << none << none << false;
    QTest::newRow("299") << HttpResponse {299, body} << none << none << false;
    // Qt 6.4 ends a chunked body at a garbled size line as if it were the last chunk, without
    // an error: only the list line can tell.
    for (const char *line : {"zz", "-1", "", "fffffffffffffffffffff"}) {
        QTest::newRow(qPrintable(QStringLiteral("chunk-size line \"%1\"").arg(line)))
            << HttpResponse::chunked(body, line) << none << none << false;
    }
    QTest::newRow("chunk-size line \"zz\", size given")
        << HttpResponse::chunked(body, "zz") << size << none << false;
    QTest::newRow("chunk-size line \"zz\", sha256 given")
        << HttpResponse::chunked(body, "zz") << none << sha << false;
    QTest::newRow("chunked, nothing to check it by")
        << HttpResponse::chunked(body) << none << none << false;
    QTest::newRow("chunked, size given") << HttpResponse::chunked(body) << size << none << true;
    // A body without a length may never end: only a size can bound it, and a checksum only
    // tells once it has ended.
    QTest::newRow("chunked, sha256 given") << HttpResponse::chunked(body) << none << sha << false;
    QTest::newRow("no length and no end, sha256 given")
        << HttpResponse::faulty(body, HttpResponse::Fault::Endless, 6000) << none << sha << false;
    // Two framings: which bytes are the body depends on who reads it.
    QTest::newRow("chunked and Content-Length")
        << withHeader(HttpResponse::chunked(body, "zz"), "Content-Length", "6000") << none << none
        << false;
    HttpResponse twoLengths = HttpResponse::faulty(body, HttpResponse::Fault::NoContentLength, 0);
    twoLengths.headers = {{"Content-Length", "6000"}, {"Content-Length", "12000"}};
    QTest::newRow("two Content-Length values") << twoLengths << none << none << false;
    QTest::newRow("ended by closing, nothing to check it by")
        << HttpResponse::faulty(body, HttpResponse::Fault::NoContentLength, 0) << none << none
        << false;
    QTest::newRow("ended by closing, size given")
        << HttpResponse::faulty(body, HttpResponse::Fault::NoContentLength, 0) << size << none
        << true;
    QTest::newRow("gzip cut in half")
        << HttpResponse::gzipped(body, 1, 6000) << none << none << false;
    QTest::newRow("gzip, whole") << HttpResponse::gzipped(body, 1) << none << none << false;
    QTest::newRow("gzip, sha256 given") << HttpResponse::gzipped(body, 1) << none << sha << false;
    QTest::newRow("Content-Encoding: gzip, gzip")
        << HttpResponse::gzipped(body, 2) << none << none << false;
}

void TestFileTransfer::onlyWholeAnswersInstall()
{
    QFETCH(HttpResponse, response);
    QFETCH(QString, size);
    QFETCH(QString, sha256);
    QFETCH(bool, installed);

    server->setResponse("/files/x.dll", response);
    FileTransfer transfer(server->url("/files/x.dll"), target, TransferPolicy());
    transfer.setRequireKnownLength(true);
    transfer.setIntegrity(fileIntegrity(size.isNull() ? std::nullopt : std::optional<QString>(size),
        sha256.isNull() ? std::nullopt : std::optional<QString>(sha256)));

    QCOMPARE(run(transfer), installed ? Outcome::Installed : Outcome::Failed);
    QCOMPARE(readFile(target), installed ? bodyOf(12000, 'w') : formerBytes);
    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
    QVERIFY(server->lastRequestHead("/files/x.dll").contains("Accept-Encoding: identity"));
}

void TestFileTransfer::slowDrip_data()
{
    QTest::addColumn<int>("pieces");
    QTest::addColumn<int>("pieceDelayMs");
    QTest::addColumn<bool>("installed");
    // 1,000 bytes, one every 20 ms: never 300 ms without data, but 50 bytes a second.
    QTest::newRow("one byte every 20 ms") << 1000 << 20 << false;
    // The same file in ten pieces, 50 ms apart: 2,000 bytes a second.
    QTest::newRow("ten pieces 50 ms apart") << 10 << 50 << true;
}

void TestFileTransfer::slowDrip()
{
    QFETCH(int, pieces);
    QFETCH(int, pieceDelayMs);
    QFETCH(bool, installed);

    HttpResponse drip;
    drip.body = bodyOf(1000, 'd');
    drip.chunks = pieces;
    drip.chunkDelayMs = pieceDelayMs;
    server->setResponse("/files/x.dll", drip);
    TransferPolicy policy;
    policy.noDataTimeoutMs = 300;
    policy.rateWindowMs = 600;
    policy.retries = 0;
    FileTransfer transfer(server->url("/files/x.dll"), target, policy);

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(run(transfer), installed ? Outcome::Installed : Outcome::Failed);
    QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(readFile(target), installed ? drip.body : formerBytes);
    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
}

void TestFileTransfer::earlyStop_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<qint64>("byteLimit");
    QTest::newRow("<size> passed") << "6" << qint64(-1);
    QTest::newRow("byte limit passed") << QString() << qint64(4096);
}

void TestFileTransfer::earlyStop()
{
    QFETCH(QString, size);
    QFETCH(qint64, byteLimit);

    // 8 MiB announced, 1 MiB sent, then silence: only stopping early ends this before the
    // no-data timeout.
    const QByteArray body(8 * 1024 * 1024, 'e');
    server->setResponse(
        "/files/x.dll", HttpResponse::faulty(body, HttpResponse::Fault::StallAfter, 1024 * 1024));
    TransferPolicy policy;
    policy.noDataTimeoutMs = 60000;
    FileTransfer transfer(server->url("/files/x.dll"), target, policy);
    if (!size.isNull())
        transfer.setIntegrity(fileIntegrity(size, std::nullopt));
    transfer.setByteLimit(byteLimit);

    QCOMPARE(run(transfer, 3000), Outcome::Failed);
    QCOMPARE(readFile(target), formerBytes);
    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
}

void TestFileTransfer::targetInUse_data()
{
    QTest::addColumn<int>("busyForMs");
    // Meanwhile another program moves the new file away and puts its own under that name.
    QTest::addColumn<bool>("stagingSwapped");
    QTest::addColumn<Outcome>("outcome");
    QTest::newRow("free again after 300 ms") << 300 << false << Outcome::Installed;
    QTest::newRow("still in use after the wait") << 60000 << false << Outcome::Unwritable;
    QTest::newRow("staging file swapped by name") << 300 << true << Outcome::Failed;
}

void TestFileTransfer::targetInUse()
{
    QFETCH(int, busyForMs);
    QFETCH(bool, stagingSwapped);
    QFETCH(Outcome, outcome);

    const QByteArray body = bodyOf(5000, 'u');
    server->setBody("/files/x.dll", body);
    QElapsedTimer busy;
    QStringList asked;
    TransferPolicy policy;
    policy.inUseWaitMs = 1000;
    bool swapped = false;
    policy.inUseCheck = [&](const QString &path) {
        if (!busy.isValid())
            busy.start();
        const QStringList staging = QDir("plugins").entryList({"x.dll.*.tmp"}, QDir::Files);
        if (stagingSwapped && !swapped && staging.size() == 1) {
            swapped = QFile::rename("plugins/" + staging.first(), "moved")
                && writeFile("plugins/" + staging.first(), "unchecked bytes");
        }
        asked.append(path);
        return busy.elapsed() < busyForMs;
    };
    FileTransfer transfer(server->url("/files/x.dll"), target, policy);
    // The window keeps working meanwhile: timers still fire.
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(20);

    QCOMPARE(run(transfer), outcome);
    QVERIFY(asked.size() > 2);
    QCOMPARE(asked.constFirst(), target);
    QVERIFY(ticks > 10);
    QCOMPARE(swapped, stagingSwapped);
    QCOMPARE(readFile(target), outcome == Outcome::Installed ? body : formerBytes);
    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
}

void TestFileTransfer::retries_data()
{
    QTest::addColumn<HttpResponse>("first"); // to the first `firstCount` requests
    QTest::addColumn<int>("firstCount");
    QTest::addColumn<HttpResponse>("later");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QByteArray>("lastRange"); // the last request's Range header, if any
    QTest::addColumn<bool>("installed");
    QTest::addColumn<int>("minimumWaitMs");

    using Fault = HttpResponse::Fault;
    const QByteArray body = bodyOf(200000, 'r');
    HttpResponse whole {200, body};
    whole.ranges = true;
    whole.etag = "\"v1\"";
    HttpResponse cut = whole;
    cut.fault = Fault::CloseEarly;
    cut.faultAfterBytes = 80000;
    HttpResponse plainCut = HttpResponse::faulty(body, Fault::CloseEarly, 80000);
    HttpResponse changed {200, bodyOf(150000, 'n')};
    changed.ranges = true;
    changed.etag = "\"v2\"";
    const auto busy = [](const QByteArray &retryAfter) {
        return withHeader(HttpResponse {503, "busy"}, "Retry-After", retryAfter);
    };
    // Servers that ignore If-Range and send the rest of another version of the same size.
    HttpResponse otherVersion {200, bodyOf(200000, 'v')};
    otherVersion.ranges = true;
    otherVersion.ignoreIfRange = true;
    otherVersion.etag = "\"v2\"";
    HttpResponse noValidator = otherVersion;
    noValidator.etag.clear();
    HttpResponse datedCut = withHeader(cut, "Last-Modified", "Mon, 01 Jan 2024 00:00:00 GMT");
    datedCut.etag.clear();
    HttpResponse otherDate
        = withHeader(noValidator, "Last-Modified", "Tue, 02 Jan 2024 00:00:00 GMT");
    // Content-Range names 80000-199999, but the body starts 1000 bytes early.
    HttpResponse skewed = whole;
    skewed.rangeSkew = 1000;

    QTest::newRow("cut once, then resumed")
        << cut << 1 << whole << 2 << QByteArray("bytes=80000-") << true << 0;
    QTest::newRow("server without ranges restarts")
        << plainCut << 1 << HttpResponse {200, body} << 2 << QByteArray() << true << 0;
    QTest::newRow("changed ETag restarts")
        << cut << 1 << changed << 2 << QByteArray("bytes=80000-") << true << 0;
    QTest::newRow("206 with another ETag restarts")
        << cut << 1 << otherVersion << 3 << QByteArray() << true << 0;
    QTest::newRow("206 without ETag restarts")
        << cut << 1 << noValidator << 3 << QByteArray() << true << 0;
    QTest::newRow("206 with another Last-Modified restarts")
        << datedCut << 1 << otherDate << 3 << QByteArray() << true << 0;
    QTest::newRow("206 longer than its Content-Range restarts")
        << cut << 1 << skewed << 3 << QByteArray() << true << 0;
    QTest::newRow("always cut") << cut << 99 << whole << 4 << QByteArray("bytes=80000-") << false
                                << 0;
    QTest::newRow("503 with Retry-After: 1")
        << busy("1") << 1 << whole << 2 << QByteArray() << true << 1000;
    // 2147484 s overflowed an int of milliseconds into a negative timer: no retry, ever.
    QTest::newRow("503 with Retry-After: 2147484, capped")
        << busy("2147484") << 1 << whole << 2 << QByteArray() << true << 1500;
    QTest::newRow("503 with Retry-After: 99999999999999999999, capped")
        << busy("99999999999999999999") << 1 << whole << 2 << QByteArray() << true << 1500;
    QTest::newRow("503 with Retry-After as a date, capped")
        << busy("Fri, 31 Dec 9999 23:59:59 GMT") << 1 << whole << 2 << QByteArray() << true << 1500;
    QTest::newRow("stall, then a good answer")
        << HttpResponse::faulty(body, Fault::StallAfter, 80000) << 1 << HttpResponse {200, body}
        << 2 << QByteArray() << true << 0;
    // Encoded bytes are no part of the file: refused as they arrive, never resumed.
    const HttpResponse gzipCut = withHeader(cut, "Content-Encoding", "gzip");
    QTest::newRow("gzip 200 cut, plain 206 offered")
        << gzipCut << 1 << whole << 1 << QByteArray() << false << 0;
    QTest::newRow("cut, then a gzip 206")
        << cut << 1 << withHeader(whole, "Content-Encoding", "gzip") << 2
        << QByteArray("bytes=80000-") << false << 0;
    QTest::newRow("404 is not retried")
        << HttpResponse {404, "not here"} << 99 << whole << 1 << QByteArray() << false << 0;
}

void TestFileTransfer::retries()
{
    QFETCH(HttpResponse, first);
    QFETCH(int, firstCount);
    QFETCH(HttpResponse, later);
    QFETCH(int, requests);
    QFETCH(QByteArray, lastRange);
    QFETCH(bool, installed);
    QFETCH(int, minimumWaitMs);

    const QString file = QStringLiteral("/files/x.dll");
    server->setResponse(file, first);
    connect(server.get(), &HttpServer::requestSeen, this, [&](const QString &path) {
        if (path == file && server->requestCount(file) > firstCount)
            server->setResponse(file, later);
    });
    TransferPolicy policy;
    policy.noDataTimeoutMs = 300;
    policy.firstRetryDelayMs = 50;
    policy.retryAfterCapMs = 1500;
    FileTransfer transfer(server->url(file), target, policy);
    QElapsedTimer clock;
    clock.start();

    QCOMPARE(run(transfer, 8000), installed ? Outcome::Installed : Outcome::Failed);
    QCOMPARE(server->requestCount(file), requests);
    const QByteArray head = server->lastRequestHead(file);
    if (lastRange.isEmpty()) {
        QVERIFY2(!head.contains("Range:"), head.constData());
    } else {
        QVERIFY2(head.contains("Range: " + lastRange), head.constData());
        QVERIFY2(head.contains("If-Range: \"v1\""), head.constData());
    }
    // A retry, like the first request, says that it comes from the updater and which release.
#ifdef Q_OS_WIN
    const QByteArray platform = "Windows";
#else
    const QByteArray platform = "Linux";
#endif
    const QByteArray agentLine = "\r\nUser-Agent: Aktualizator/" + QByteArray(applicationVersion)
        + " (WELOR; " + platform + ")\r\n";
    QVERIFY2((head + "\r\n").contains(agentLine), head.constData());
    QVERIFY2(clock.elapsed() >= minimumWaitMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(readFile(target), installed ? later.body : formerBytes);
    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
}

QTEST_MAIN(TestFileTransfer)
#include "tst_filetransfer.moc"
