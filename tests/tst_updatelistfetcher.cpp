#include "download/linkresolution.h"
#include "httpserver.h"
#include "testkey.h"
#include "testutil.h"
#include "updatelist/updatelistfetcher.h"
#include "updatelist/updatelistfile.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>
#include <vector>

using Result = UpdateListFetcher::Result;

namespace {

const QString listPath = QStringLiteral("/aktualizacje.txt");
const QString sigPath = QStringLiteral("/aktualizacje.txt.sig");

QByteArray listLine(const QByteArray &name, const QByteArray &version)
{
    return "<" + name + "><ver>" + version + "</ver><link>http://127.0.0.1:1/" + name
        + ".dll</link></" + name + ">\n";
}

// What one address serves: the signed release, a release without its .sig, a .sig of the last
// release (once, or at every request), a login page for every path, no answer at all, or
// nothing (a port where nobody listens).
enum class Serves {
    Release,
    NoSignature,
    StaleSignatureOnce,
    StaleSignature,
    LoginPage,
    Silent,
    Nothing
};

QString closedAddress()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return QStringLiteral("http://127.0.0.1:0");
    return QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort());
}

} // namespace

Q_DECLARE_METATYPE(Serves)

class TestUpdateListFetcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void results_data();
    void results();
    void failedFetchLeavesNothing_data();
    void failedFetchLeavesNothing();
    void caps_data();
    void caps();
    void addresses_data();
    void addresses();
    void relativeLinksFollowARedirect();

private:
    // Runs one check against the server; Failed stands in for a fetcher that never ends.
    Result fetch(const QByteArray &publicKey = {}, const TransferPolicy &policy = {},
        const QString &serverBase = {});

    std::unique_ptr<TemporaryWorkingDirectory> workDir;
    std::unique_ptr<HttpServer> server;
    std::unique_ptr<UpdateListFetcher> fetcher;
    TestKey publisherKey;
};

void TestUpdateListFetcher::init()
{
    workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(workDir->isValid());
    server = std::make_unique<HttpServer>();
}

void TestUpdateListFetcher::cleanup()
{
    fetcher.reset();
    server.reset();
    workDir.reset();
}

Result TestUpdateListFetcher::fetch(
    const QByteArray &publicKey, const TransferPolicy &policy, const QString &serverBase)
{
    QNetworkAccessManager network;
    fetcher = std::make_unique<UpdateListFetcher>(
        serverBase.isEmpty() ? server->baseUrl() : serverBase, publicKey, policy);
    QSignalSpy finished(fetcher.get(), &UpdateListFetcher::finished);
    fetcher->start(&network);
    if (!QTest::qWaitFor([&] { return finished.size() > 0; }, 5000))
        return Result::Failed;
    // One signal, and no second one later.
    QTest::qWait(20);
    return finished.size() == 1 ? finished.at(0).at(0).value<Result>() : Result::Failed;
}

void TestUpdateListFetcher::results_data()
{
    QTest::addColumn<bool>("signedBuild");
    QTest::addColumn<QString>("onDisk"); // "list", "dangling link" or nothing
    QTest::addColumn<QByteArray>("signature"); // served; "good": the publisher's
    QTest::addColumn<Result>("result");
    QTest::addColumn<int>("requests");

    QTest::newRow("fetched") << false << QString() << QByteArray() << Result::Parsed << 1;
    QTest::newRow("already here") << false << "list" << QByteArray() << Result::Parsed << 0;
    QTest::newRow("signed") << true << QString() << QByteArray("good") << Result::Parsed << 2;
    // Fetched once more past caches before it is refused.
    QTest::newRow("badly signed") << true << QString() << QByteArray("AAAA") << Result::Failed << 4;
#ifndef Q_OS_WIN
    QTest::newRow("a link in the list's place")
        << false << "dangling link" << QByteArray() << Result::CannotStart << 0;
#endif
}

void TestUpdateListFetcher::results()
{
    QFETCH(bool, signedBuild);
    QFETCH(QString, onDisk);
    QFETCH(QByteArray, signature);
    QFETCH(Result, result);
    QFETCH(int, requests);

    const QByteArray list = listLine("Alfa", "2") + listLine("Beta", "3");
    server->setBody(listPath, list);
    server->setBody(
        sigPath, signature == "good" ? signatureFile(list, {&publisherKey}) : signature);
    if (onDisk == "list")
        QVERIFY(writeFile(updateListFileName, list));
    else if (onDisk == "dangling link")
        QVERIFY(QFile::link("nowhere", updateListFileName));

    QCOMPARE(fetch(signedBuild ? publisherKey.publicKeyBase64() : QByteArray()), result);
    QCOMPARE(server->totalRequests(), requests);
    QCOMPARE(fetcher->entries().keys(),
        result == Result::Parsed ? QStringList({"Alfa", "Beta"}) : QStringList());
    QCOMPARE(fetcher->failure().kind == ListFailure::Kind::None, result == Result::Parsed);
    QCOMPARE(
        treeOf("."), onDisk == "dangling link" ? QStringList {updateListFileName} : QStringList());
}

void TestUpdateListFetcher::failedFetchLeavesNothing_data()
{
    QTest::addColumn<HttpResponse>("response");
    QTest::addColumn<bool>("diskFull");
    QTest::addColumn<QString>("reason");

    // Every body here would parse as a list, so a fault that keeps it shows up as entries.
    QByteArray list;
    for (int i = 0; i < 2000; ++i)
        list += listLine("Komponent" + QByteArray::number(i), "7");

    using Fault = HttpResponse::Fault;
    const QByteArray errorPage = listLine("Blad", "1");
    const qint64 half = list.size() / 2;
    const QString silent = QStringLiteral("Serwer aktualizacji nie odpowiada.");
    const QString status = QStringLiteral("Serwer aktualizacji odpowiedział: HTTP %1.");
    QTest::newRow("404") << HttpResponse {404, errorPage} << false << status.arg(404);
    QTest::newRow("500 with body") << HttpResponse {500, errorPage} << false << status.arg(500);
    QTest::newRow("stall") << HttpResponse::faulty(list, Fault::StallAfter, half) << false
                           << silent;
    QTest::newRow("short body") << HttpResponse::faulty(list, Fault::CloseEarly, half) << false
                                << silent;
    QTest::newRow("302 without Location") << HttpResponse {302, list} << false << status.arg(302);
    QTest::newRow("disk full") << HttpResponse {200, list} << true
                               << QStringLiteral("Nie można zapisać pliku aktualizacje.txt.");
    HttpResponse drip {200, list.left(4000)};
    drip.chunks = 4000;
    drip.chunkDelayMs = 20;
    QTest::newRow("slow drip") << drip << false << silent;
    // 2,000 bytes a second, above the minimum rate, for 50 s: only the deadline ends it.
    HttpResponse steady {200, QByteArray(100000, ' ')};
    steady.chunks = 1000;
    steady.chunkDelayMs = 50;
    QTest::newRow("past the deadline") << steady << false << silent;
    HttpResponse twoLengths = HttpResponse::faulty(list, Fault::NoContentLength, 0);
    twoLengths.headers = {{"Content-Length", QByteArray::number(half)},
        {"Content-Length", QByteArray::number(list.size())}};
    const QString invalid = QStringLiteral("Serwer aktualizacji wysłał nieprawidłową odpowiedź.");
    QTest::newRow("two Content-Length values") << twoLengths << false << invalid;
    QTest::newRow("login page") << HttpResponse {200, "<html><body>Zaloguj</body></html>\n"}
                                << false << invalid;
}

void TestUpdateListFetcher::failedFetchLeavesNothing()
{
    QFETCH(HttpResponse, response);
    QFETCH(bool, diskFull);
    QFETCH(QString, reason);

    server->setResponse(listPath, response);
    TransferPolicy policy;
    policy.noDataTimeoutMs = 300;
    policy.rateWindowMs = 600;
    policy.retries = 0;
    policy.listDeadlineMs = 1500;
#ifdef Q_OS_WIN
    if (diskFull)
        QSKIP(noFileSizeLimitReason);
#endif
    std::unique_ptr<FileSizeLimit> limit;
    if (diskFull)
        limit = std::make_unique<FileSizeLimit>(16 * 1024);
    const Result result = fetch({}, policy);
    limit.reset();

    QCOMPARE(result, Result::Failed);
    QCOMPARE(listFailureText(fetcher->failure()), reason);
    QVERIFY(fetcher->entries().isEmpty());
    QCOMPARE(server->requestCount(listPath), 1);
    QCOMPARE(treeOf("."), QStringList());
}

void TestUpdateListFetcher::caps_data()
{
    QTest::addColumn<bool>("signedBuild");
    QTest::addColumn<qint64>("listBytes"); // served, or on disk when onDisk
    QTest::addColumn<qint64>("signatureBytes");
    QTest::addColumn<bool>("onDisk");

    const qint64 overList = maxListBytes + 64 * 1024;
    const qint64 overSignature = maxSignatureBytes + 4096;
    QTest::newRow("list over the cap") << false << overList << qint64(0) << false;
    QTest::newRow("signature over the cap") << true << qint64(100) << overSignature << false;
    QTest::newRow("list on disk over the cap") << false << maxListBytes + 1 << qint64(0) << true;
}

void TestUpdateListFetcher::caps()
{
    QFETCH(bool, signedBuild);
    QFETCH(qint64, listBytes);
    QFETCH(qint64, signatureBytes);
    QFETCH(bool, onDisk);

    // More is announced than the cap, and then nothing comes: only stopping at the cap ends
    // this before the no-data timeout.
    const auto overCap = [](qint64 bytes) {
        return HttpResponse::faulty(
            QByteArray(bytes + 4096, 'A'), HttpResponse::Fault::StallAfter, bytes);
    };
    if (onDisk) {
        QFile file(updateListFileName);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(listBytes));
    } else {
        server->setResponse(listPath, overCap(listBytes));
    }
    if (signedBuild) {
        server->setBody(listPath, QByteArray(listBytes, 'A'));
        server->setResponse(sigPath, overCap(signatureBytes));
    }
    QCOMPARE(fetch(signedBuild ? publisherKey.publicKeyBase64() : QByteArray()), Result::Failed);
    // A .sig over its cap is a signature that does not hold, whatever the list's size.
    QCOMPARE(listFailureText(fetcher->failure()),
        signatureBytes > 0 ? QStringLiteral("Podpis listy aktualizacji jest nieprawidłowy.")
                           : QStringLiteral("Lista aktualizacji jest zbyt duża."));

    QTest::qWait(50);
    QCOMPARE(server->totalRequests(), onDisk ? 0 : signedBuild ? 2 : 1);
    QCOMPARE(treeOf("."), QStringList());
}

void TestUpdateListFetcher::addresses_data()
{
    QTest::addColumn<QList<Serves>>("servers"); // one per address, in order
    QTest::addColumn<Result>("result");
    QTest::addColumn<QList<QStringList>>("requests"); // per address
    QTest::addColumn<int>("listUrls"); // the list's address and those after it

    const QStringList pair {listPath, sigPath};
    const QStringList twice = pair + pair;
    QTest::newRow("first refused, the second serves")
        << QList<Serves> {Serves::Nothing, Serves::Release} << Result::Parsed
        << QList<QStringList> {{}, pair} << 1;
    QTest::newRow("no .sig at the first: list and .sig from the second")
        << QList<Serves> {Serves::NoSignature, Serves::Release, Serves::Release} << Result::Parsed
        << QList<QStringList> {pair, pair, {}} << 2;
    QTest::newRow("stale .sig fetched again past caches")
        << QList<Serves> {Serves::StaleSignatureOnce} << Result::Parsed
        << QList<QStringList> {twice} << 1;
    QTest::newRow("stale twice: once again only, then the next address")
        << QList<Serves> {Serves::StaleSignature, Serves::StaleSignatureOnce} << Result::Parsed
        << QList<QStringList> {twice, twice} << 1;
    QTest::newRow("every address fails") << QList<Serves> {Serves::StaleSignature, Serves::Nothing}
                                         << Result::Failed << QList<QStringList> {twice, {}} << 0;
    QTest::newRow("login page, then the next address")
        << QList<Serves> {Serves::LoginPage, Serves::Release} << Result::Parsed
        << QList<QStringList> {{listPath}, {listPath}} << 1;
    QTest::newRow("silent: left after one try")
        << QList<Serves> {Serves::Silent, Serves::Release} << Result::Parsed
        << QList<QStringList> {{listPath}, pair} << 1;
    QTest::newRow("silent, and another answered: not asked again")
        << QList<Serves> {Serves::Silent, Serves::NoSignature} << Result::Failed
        << QList<QStringList> {{listPath}, pair} << 0;
    QTest::newRow("silent, and nothing else answered: each asked once more")
        << QList<Serves> {Serves::Silent, Serves::Silent, Serves::Nothing} << Result::Failed
        << QList<QStringList> {{listPath, listPath}, {listPath, listPath}, {}} << 0;
}

void TestUpdateListFetcher::addresses()
{
    QFETCH(QList<Serves>, servers);
    QFETCH(Result, result);
    QFETCH(QList<QStringList>, requests);
    QFETCH(int, listUrls);

    const QByteArray list = listLine("Alfa", "2");
    const QByteArray good = signatureFile(list, {&publisherKey});
    const QByteArray stale = signatureFile(listLine("Alfa", "1"), {&publisherKey});
    std::vector<std::unique_ptr<HttpServer>> mirrors;
    QStringList bases;
    for (const Serves serves : std::as_const(servers)) {
        if (serves == Serves::Nothing) {
            mirrors.push_back(nullptr);
            bases.append(closedAddress());
            continue;
        }
        auto mirror = std::make_unique<HttpServer>();
        mirror->setBody(listPath, serves == Serves::LoginPage ? "<html>Zaloguj</html>" : list);
        if (serves == Serves::Silent)
            mirror->setResponse(listPath, HttpResponse::faulty({}, HttpResponse::Fault::Silent, 0));
        if (serves != Serves::NoSignature)
            mirror->setBody(sigPath, serves == Serves::Release ? good : stale);
        if (serves == Serves::StaleSignatureOnce) {
            HttpServer *served = mirror.get();
            connect(served, &HttpServer::requestSeen, served, [served, good](const QString &path) {
                if (path == sigPath && served->requestCount(sigPath) == 2)
                    served->setBody(sigPath, good);
            });
        }
        bases.append(mirror->baseUrl());
        mirrors.push_back(std::move(mirror));
    }
    TransferPolicy policy;
    policy.noDataTimeoutMs = 300;
    policy.firstRetryDelayMs = 10;
    // A signed build refuses a login page for its signature; an unsigned one has to see that
    // it is no list.
    const bool signedBuild = !servers.contains(Serves::LoginPage);

    QCOMPARE(fetch(signedBuild ? publisherKey.publicKeyBase64() : QByteArray(), policy,
                 bases.join(" ; ")),
        result);
    QCOMPARE(fetcher->entries().size(), result == Result::Parsed ? 1 : 0);
    for (size_t i = 0; i < mirrors.size(); ++i) {
        if (!mirrors.at(i))
            continue;
        QCOMPARE(mirrors.at(i)->requestLog(), requests.at(qsizetype(i)));
        // Every look is meant to pass any cache on the way, the first one already.
        for (const QString &path : requests.at(qsizetype(i))) {
            const QByteArray head = mirrors.at(i)->lastRequestHead(path).toLower();
            QVERIFY2(head.contains("\r\ncache-control: no-cache\r\n"), head.constData());
            QVERIFY2(head.contains("\r\npragma: no-cache\r\n"), head.constData());
        }
    }
    if (result == Result::Parsed) {
        const QList<QUrl> urls = fetcher->listUrls();
        QCOMPARE(urls.size(), listUrls);
        QCOMPARE(urls.constFirst(),
            QUrl(bases.at(servers.size() - listUrls) + QStringLiteral("/aktualizacje.txt")));
    }
    QCOMPARE(treeOf("."), QStringList());
}

void TestUpdateListFetcher::relativeLinksFollowARedirect()
{
    // The list moved to another server, and its files with it; the next address stays next.
    HttpServer moved;
    moved.setBody("/plain/aktualizacje.txt", listLine("Alfa", "2"));
    server->setRedirect("/listmoved/aktualizacje.txt", moved.baseUrl() + "/plain/aktualizacje.txt");
    const QString next = closedAddress();

    QCOMPARE(fetch({}, {}, server->baseUrl() + "/listmoved;" + next), Result::Parsed);
    QCOMPARE(linkUrls("files/r.dll", fetcher->listUrls()),
        QList<QUrl>({moved.url("/plain/files/r.dll"), QUrl(next + "/files/r.dll")}));
}

QTEST_GUILESS_MAIN(TestUpdateListFetcher)
#include "tst_updatelistfetcher.moc"
