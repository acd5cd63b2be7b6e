#include "dialog/updatedialog.h"
#include "dialogflow.h"
#include "httpserver.h"
#include "testutil.h"
#include "updatelist/updatelistfile.h"
#include "updatelist/updatelistformat.h"

#include <QSemaphore>
#include <QStringEncoder>
#include <QtTest>

#include <openssl/evp.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QString listPath = QStringLiteral("/aktualizacje.txt");
const QString sigPath = QStringLiteral("/aktualizacje.txt.sig");

QByteArray listLine(const QByteArray &name, const QByteArray &version, const QString &link)
{
    return "<" + name + "><ver>" + version + "</ver><link>" + link.toUtf8() + "</link></" + name
        + ">\n";
}

// An Ed25519 key pair of the test's own, standing in for the publisher's.
class TestKey
{
public:
    TestKey()
    {
        EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        if (context && EVP_PKEY_keygen_init(context) == 1)
            EVP_PKEY_keygen(context, &key);
        EVP_PKEY_CTX_free(context);
    }
    ~TestKey() { EVP_PKEY_free(key); }
    TestKey(const TestKey &) = delete;
    TestKey &operator=(const TestKey &) = delete;

    QByteArray publicKeyBase64() const
    {
        unsigned char raw[32];
        size_t length = sizeof raw;
        if (!key || EVP_PKEY_get_raw_public_key(key, raw, &length) != 1)
            return {};
        return QByteArray(reinterpret_cast<const char *>(raw), qsizetype(length)).toBase64();
    }

    QByteArray signatureBase64(const QByteArray &message) const
    {
        unsigned char signature[64];
        size_t length = sizeof signature;
        EVP_MD_CTX *context = EVP_MD_CTX_new();
        const bool ok = key && context
            && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1
            && EVP_DigestSign(context, signature, &length,
                   reinterpret_cast<const unsigned char *>(message.constData()),
                   size_t(message.size()))
                == 1;
        EVP_MD_CTX_free(context);
        if (!ok)
            return {};
        return QByteArray(reinterpret_cast<const char *>(signature), qsizetype(length)).toBase64();
    }

private:
    EVP_PKEY *key = nullptr;
};

#ifndef Q_OS_WIN
// Opening a FIFO for reading waits for a writer. Should the dialog wait so, this becomes the
// writer after a while, which lets the open return: the test fails instead of hanging.
class FifoRescue
{
public:
    explicit FifoRescue(const QString &path)
        : thread([this, native = QFile::encodeName(path)] {
            if (released.tryAcquire(1, 3000))
                return;
            // Without a reader waiting this fails at once instead of waiting itself.
            const int fd = ::open(native.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                rescued = true;
                ::close(fd);
            }
        })
    { }
    ~FifoRescue()
    {
        released.release();
        thread.join();
    }
    FifoRescue(const FifoRescue &) = delete;
    FifoRescue &operator=(const FifoRescue &) = delete;

    bool wasNeeded() const { return rescued; }

private:
    QSemaphore released;
    std::atomic<bool> rescued {false};
    std::thread thread;
};
#endif

} // namespace

class TestRetrieval : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void fetchParsesAndRemovesList();
    void existingListNeedsNoRequest();
    void emptyList();
    void chunkedListIsParsedWhole();
    void windows1250WithCrLf();
    void failedFetchLeavesNothing_data();
    void failedFetchLeavesNothing();
    void redirectedListIsTheRealList_data();
    void redirectedListIsTheRealList();
    void unwritableDirectory();
    void detachedStartsFetchAtOnce();
    void signedList_data();
    void signedList();
    void signedExistingList_data();
    void signedExistingList();
    void caps_data();
    void caps();
    void tooManyEntries_data();
    void tooManyEntries();
    void listOrSignatureNotRegular_data();
    void listOrSignatureNotRegular();
    void closingDuringSignatureFetchLeavesNoList();

private:
    // Starts a run with the given arguments after the program's name, the way a user does.
    void check(
        UpdateDialog &dialog, const QStringList &arguments = {}, const QByteArray &publicKey = {});
    QStringList workDirEntries() const { return treeOf(workDir->path()); }
    void waitForListPage(UpdateDialog &dialog);
    void waitForErrorPath(UpdateDialog &dialog);

    std::unique_ptr<TemporaryWorkingDirectory> workDir;
    TestKey publisherKey;
    TestKey otherKey;
};

void TestRetrieval::init()
{
    workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(workDir->isValid());
}

void TestRetrieval::cleanup()
{
    workDir.reset();
}

void TestRetrieval::check(
    UpdateDialog &dialog, const QStringList &arguments, const QByteArray &publicKey)
{
    dialog.setUpdatePublicKey(publicKey);
    dialog.parseArguments(QStringList {"aktualizator"} + arguments);
    DialogProbe::checkButton(&dialog)->click();
}

void TestRetrieval::waitForListPage(UpdateDialog &dialog)
{
    QTRY_COMPARE(DialogProbe::caption(&dialog)->text(), listCaption);
    QVERIFY(DialogProbe::nextButton(&dialog)->isEnabled());
    QVERIFY(!DialogProbe::checkButton(&dialog)->isEnabled());
}

void TestRetrieval::waitForErrorPath(UpdateDialog &dialog)
{
    QTRY_COMPARE(DialogProbe::listTexts(&dialog), QStringList {errorText});
    QVERIFY(!DialogProbe::checkButton(&dialog)->isEnabled());
    QVERIFY(!DialogProbe::nextButton(&dialog)->isEnabled());
    QVERIFY(DialogProbe::closeButton(&dialog)->isEnabled());
}

void TestRetrieval::fetchParsesAndRemovesList()
{
    HttpServer server;
    server.setBody(listPath,
        listLine("Alfa", "200", server.url("/files/alfa.dll").toString())
            + listLine("Beta", "300", server.url("/files/beta.dll").toString()));
    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog, {"Alfa::100"});
    QVERIFY(!DialogProbe::checkButton(&dialog)->isEnabled());
    waitForListPage(dialog);

    const QStringList texts = DialogProbe::listTexts(&dialog);
    QCOMPARE(texts.size(), 2);
    QVERIFY(texts.at(0).contains("Alfa"));
    QVERIFY(texts.at(1).contains("<b>Beta</b>"));
    QCOMPARE(server.requestLog(), QStringList {listPath});
    QCOMPARE(workDirEntries(), QStringList());
}

void TestRetrieval::existingListNeedsNoRequest()
{
    HttpServer server;
    QVERIFY(writeFile(listFileName, listLine("Lokalny", "5", "http://127.0.0.1:1/lokalny.dll")));

    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog);
    waitForListPage(dialog);

    QCOMPARE(DialogProbe::listTexts(&dialog).size(), 1);
    QVERIFY(DialogProbe::listTexts(&dialog).constFirst().contains("Lokalny"));
    QTest::qWait(50);
    QCOMPARE(server.totalRequests(), 0);
    QCOMPARE(workDirEntries(), QStringList());
}

void TestRetrieval::emptyList()
{
    HttpServer server;
    server.setBody(listPath, QByteArray());
    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog);
    waitForListPage(dialog);

    QCOMPARE(DialogProbe::listTexts(&dialog), QStringList());
    QCOMPARE(workDirEntries(), QStringList());
}

void TestRetrieval::chunkedListIsParsedWhole()
{
    HttpServer server;
    QByteArray body;
    for (int i = 0; i < 20; ++i) {
        const QByteArray name = "Komponent" + QByteArray::number(i).rightJustified(2, '0');
        body += listLine(name, "7", server.url("/files/" + name + ".dll").toString());
    }
    HttpResponse response;
    response.body = body;
    response.chunks = 7; // pieces end in the middle of lines
    response.chunkDelayMs = 20;
    server.setResponse(listPath, response);

    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog);
    waitForListPage(dialog);

    const QStringList texts = DialogProbe::listTexts(&dialog);
    QCOMPARE(texts.size(), 20);
    QVERIFY(texts.constFirst().contains("Komponent00"));
    QVERIFY(texts.constLast().contains("Komponent19"));
}

void TestRetrieval::windows1250WithCrLf()
{
    HttpServer server;
    const QString polishName = QStringLiteral("Zażółć gęślą jaźń");
    const QByteArray encodedName = polishWindows1250(polishName);
    // "ś" is 0x9C in Windows-1250 but not in ISO 8859-2: a wrong codec shows it garbled.
    QVERIFY(encodedName.contains('\x9c'));

    QByteArray body = listLine("Alfa", "200", server.url("/files/alfa.dll").toString());
    body += listLine(encodedName, "3", server.url("/files/zazolc.dll").toString());
    body.replace("\n", "\r\n");
    server.setBody(listPath, body);

    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog, {"Alfa::100"});
    waitForListPage(dialog);

    const QStringList texts = DialogProbe::listTexts(&dialog);
    QCOMPARE(texts.size(), 2);
    // A CR left on the version would make it unreadable (0), shown as up to date in green.
    QVERIFY2(texts.at(0).contains("#ff0000"), qPrintable(texts.at(0)));
    QVERIFY2(texts.at(1).contains("<b>" + polishName + "</b>"), qPrintable(texts.at(1)));
}

void TestRetrieval::failedFetchLeavesNothing_data()
{
    QTest::addColumn<HttpResponse>("response");
    QTest::addColumn<bool>("diskFull");

    // Every body here would parse as a list, so a fault that keeps it shows up as entries.
    QByteArray list;
    for (int i = 0; i < 2000; ++i)
        list += listLine("Komponent" + QByteArray::number(i), "7", "http://127.0.0.1:1/k.dll");

    using Fault = HttpResponse::Fault;
    const QByteArray errorPage = listLine("Blad", "1", "http://127.0.0.1:1/b.dll");
    const qint64 half = list.size() / 2;
    QTest::newRow("404") << HttpResponse {404, errorPage} << false;
    QTest::newRow("500 with body") << HttpResponse {500, errorPage} << false;
    QTest::newRow("stall") << HttpResponse::faulty(list, Fault::StallAfter, half) << false;
    QTest::newRow("short body") << HttpResponse::faulty(list, Fault::CloseEarly, half) << false;
    QTest::newRow("302 without Location") << HttpResponse {302, list} << false;
    QTest::newRow("disk full") << HttpResponse {200, list} << true;
    HttpResponse drip {200, list.left(4000)};
    drip.chunks = 4000;
    drip.chunkDelayMs = 20;
    QTest::newRow("slow drip") << drip << false;
    // 2,000 bytes a second, above the minimum rate, for 50 s: only the deadline ends it.
    HttpResponse steady {200, QByteArray(100000, ' ')};
    steady.chunks = 1000;
    steady.chunkDelayMs = 50;
    QTest::newRow("past the deadline") << steady << false;
    HttpResponse twoLengths = HttpResponse::faulty(list, Fault::NoContentLength, 0);
    twoLengths.headers = {{"Content-Length", QByteArray::number(half)},
        {"Content-Length", QByteArray::number(list.size())}};
    QTest::newRow("two Content-Length values") << twoLengths << false;
}

void TestRetrieval::failedFetchLeavesNothing()
{
    QFETCH(HttpResponse, response);
    QFETCH(bool, diskFull);

    HttpServer server;
    server.setResponse(listPath, response);
    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.setUpdatePublicKey({});
    TransferPolicy policy;
    policy.noDataTimeoutMs = 300;
    policy.rateWindowMs = 600;
    policy.retries = 0;
    policy.listDeadlineMs = 1500;
    dialog.setTransferPolicy(policy);
    dialog.parseArguments({"aktualizator", "Alfa::100"});

#ifdef Q_OS_WIN
    if (diskFull)
        QSKIP(noFileSizeLimitReason);
#endif
    std::unique_ptr<FileSizeLimit> limit;
    if (diskFull)
        limit = std::make_unique<FileSizeLimit>(16 * 1024);
    DialogProbe::checkButton(&dialog)->click();
    waitForErrorPath(dialog);
    limit.reset();

    QCOMPARE(DialogProbe::caption(&dialog)->text(), installedCaption);
    QCOMPARE(server.requestCount(listPath), 1);
    QCOMPARE(workDirEntries(), QStringList());
}

void TestRetrieval::redirectedListIsTheRealList_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("302") << 302;
    QTest::newRow("301") << 301;
}

void TestRetrieval::redirectedListIsTheRealList()
{
    QFETCH(int, status);

    HttpServer server;
    server.setRedirect(listPath, server.url("/nowe/aktualizacje.txt").toString(), status,
        listLine("Przekierowanie", "1", server.url("/files/r.dll").toString()));
    server.setBody("/nowe/aktualizacje.txt",
        listLine("Prawdziwy", "2", server.url("/files/p.dll").toString()));
    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog);
    waitForListPage(dialog);

    const QStringList texts = DialogProbe::listTexts(&dialog);
    QCOMPARE(texts.size(), 1);
    QVERIFY(texts.constFirst().contains("Prawdziwy"));
    QCOMPARE(server.requestCount("/nowe/aktualizacje.txt"), 1);
    QCOMPARE(workDirEntries(), QStringList());
}

void TestRetrieval::unwritableDirectory()
{
    HttpServer server;
    server.setBody(listPath, listLine("Alfa", "2", server.url("/files/a.dll").toString()));

    // A relative name must not be resolved against "/" either.
    const bool rootHadList = QFile::exists("/aktualizacje.txt");
#ifdef Q_OS_WIN
    QSKIP(noRemovedWorkingDirectoryReason);
#endif
    QVERIFY(workDir->enterRemovedDirectory("usuniety"));

    UpdateDialog dialog(nullptr, server.baseUrl());
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    check(dialog, {"Alfa::1"});
    waitForErrorPath(dialog);

    QCOMPARE(answerer.titles, QStringList {"Aktualizator"});
    QCOMPARE(answerer.texts, QStringList {cannotFetchText});
    QTest::qWait(50);
    QCOMPARE(server.totalRequests(), 0);
    QCOMPARE(workDirEntries(), QStringList());
    QCOMPARE(QFile::exists("/aktualizacje.txt"), rootHadList);
}

void TestRetrieval::detachedStartsFetchAtOnce()
{
    HttpServer server;
    server.setBody(listPath, listLine("Alfa", "2", server.url("/files/a.dll").toString()));
    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.setUpdatePublicKey({});
    dialog.parseArguments({"aktualizator", "Alfa::1", "detached"});

    // The fetch is under way before the window is shown or any button pressed.
    QVERIFY(!DialogProbe::checkButton(&dialog)->isEnabled());
    QTRY_COMPARE(server.requestCount(listPath), 1);
    dialog.show();
    waitForListPage(dialog);
    QCOMPARE(server.totalRequests(), 1);
}

void TestRetrieval::signedList_data()
{
    QTest::addColumn<QByteArray>("servedList");
    QTest::addColumn<QByteArray>("servedSignature"); // null: the server has none
    QTest::addColumn<bool>("accepted");

    const QByteArray list = listLine("Podpisany", "2", "http://127.0.0.1:1/p.dll")
        + listLine("Drugi", "3", "http://127.0.0.1:1/d.dll");
    const QByteArray signature = publisherKey.signatureBase64(list);
    QVERIFY(!signature.isEmpty());

    QByteArray changed = list;
    changed[changed.indexOf("<ver>2") + 5] = '9';

    QTest::newRow("good") << list << signature << true;
    QTest::newRow("good, line end after the signature") << list << signature + "\r\n" << true;
    QTest::newRow("one byte changed") << changed << signature << false;
    QTest::newRow("signed by another key") << list << otherKey.signatureBase64(list) << false;
    QTest::newRow("no signature on the server") << list << QByteArray() << false;
    QTest::newRow("garbled signature") << list << QByteArray("to nie jest podpis!") << false;
    QTest::newRow("signature cut short") << list << signature.left(40) << false;
}

void TestRetrieval::signedList()
{
    QFETCH(QByteArray, servedList);
    QFETCH(QByteArray, servedSignature);
    QFETCH(bool, accepted);

    HttpServer server;
    server.setBody(listPath, servedList);
    if (!servedSignature.isNull())
        server.setBody(sigPath, servedSignature);
    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog, {}, publisherKey.publicKeyBase64());

    if (accepted) {
        waitForListPage(dialog);
        QCOMPARE(DialogProbe::listTexts(&dialog).size(), 2);
    } else {
        waitForErrorPath(dialog);
    }
    QCOMPARE(server.requestLog(), QStringList({listPath, sigPath}));
    QCOMPARE(workDirEntries(), QStringList());
}

void TestRetrieval::signedExistingList_data()
{
    QTest::addColumn<bool>("withSignature");
    QTest::newRow("signature beside it") << true;
    QTest::newRow("no signature beside it") << false;
}

void TestRetrieval::signedExistingList()
{
    QFETCH(bool, withSignature);

    const QByteArray list = listLine("Lokalny", "2", "http://127.0.0.1:1/l.dll");
    QVERIFY(writeFile(listFileName, list));
    if (withSignature)
        QVERIFY(writeFile(listFileName + ".sig", publisherKey.signatureBase64(list)));

    HttpServer server;
    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog, {}, publisherKey.publicKeyBase64());
    if (withSignature) {
        waitForListPage(dialog);
        QVERIFY(DialogProbe::listTexts(&dialog).constFirst().contains("Lokalny"));
    } else {
        waitForErrorPath(dialog);
    }
    QTest::qWait(50);
    QCOMPARE(server.totalRequests(), 0);
    QCOMPARE(workDirEntries(), QStringList());
}

void TestRetrieval::caps_data()
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

void TestRetrieval::caps()
{
    QFETCH(bool, signedBuild);
    QFETCH(qint64, listBytes);
    QFETCH(qint64, signatureBytes);
    QFETCH(bool, onDisk);

    HttpServer server;
    // More is announced than the cap, and then nothing comes: only stopping at the cap ends
    // this before the no-data timeout.
    const auto overCap = [](qint64 bytes) {
        return HttpResponse::faulty(
            QByteArray(bytes + 4096, 'A'), HttpResponse::Fault::StallAfter, bytes);
    };
    if (onDisk) {
        QFile file(listFileName);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(listBytes));
    } else {
        server.setResponse(listPath, overCap(listBytes));
    }
    if (signedBuild) {
        server.setBody(listPath, QByteArray(listBytes, 'A'));
        server.setResponse(sigPath, overCap(signatureBytes));
    }
    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog, {}, signedBuild ? publisherKey.publicKeyBase64() : QByteArray());
    waitForErrorPath(dialog);

    QTest::qWait(50);
    QCOMPARE(server.totalRequests(), onDisk ? 0 : signedBuild ? 2 : 1);
    QCOMPARE(workDirEntries(), QStringList());
}

void TestRetrieval::tooManyEntries_data()
{
    QTest::addColumn<int>("entries");
    QTest::addColumn<bool>("onDisk");

    QTest::newRow("one name over the limit, on disk") << int(maxUpdateListEntries) + 1 << true;
    // Some 10 MB, far inside the byte cap; built as a page it took minutes and gigabytes.
    QTest::newRow("300,000 short lines, served") << 300000 << false;
}

void TestRetrieval::tooManyEntries()
{
    QFETCH(int, entries);
    QFETCH(bool, onDisk);

    QByteArray list;
    for (int i = 0; i < entries; ++i)
        list += "<c" + QByteArray::number(i) + "><ver>1</ver><link>l</link></c>\n";
    HttpServer server;
    if (onDisk)
        QVERIFY(writeFile(listFileName, list));
    else
        server.setBody(listPath, list);
    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog, {"c1::1"});
    waitForErrorPath(dialog);

    QTest::qWait(50);
    QCOMPARE(server.totalRequests(), onDisk ? 0 : 1);
    QCOMPARE(workDirEntries(), QStringList());
}

void TestRetrieval::listOrSignatureNotRegular_data()
{
    QTest::addColumn<QString>("file"); // replaced by a FIFO or by a link to its bytes
    QTest::addColumn<bool>("fifo");
    QTest::addColumn<bool>("signedBuild");
    QTest::addColumn<QStringList>("left");

    const QString sigName = listFileName + ".sig";
    // Like a directory in its place: the list cannot be read, and stays.
    QTest::newRow("list is a FIFO") << listFileName << true << false << QStringList {listFileName};
    QTest::newRow("signature is a FIFO") << sigName << true << true << QStringList();
    QTest::newRow("list is a link to a file")
        << listFileName << false << false << QStringList {"elsewhere"};
    QTest::newRow("signature is a link to a file")
        << sigName << false << true << QStringList {"elsewhere"};
}

void TestRetrieval::listOrSignatureNotRegular()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no FIFOs in the file system, and a test cannot make symbolic links "
          "without privileges");
#else
    QFETCH(QString, file);
    QFETCH(bool, fifo);
    QFETCH(bool, signedBuild);

    const QByteArray list = listLine("Lokalny", "2", "http://127.0.0.1:1/l.dll");
    QVERIFY(writeFile(listFileName, list));
    if (signedBuild)
        QVERIFY(writeFile(listFileName + ".sig", publisherKey.signatureBase64(list)));
    const QByteArray bytes = readFile(file);
    QVERIFY(QFile::remove(file));
    std::optional<FifoRescue> rescue;
    if (fifo) {
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        rescue.emplace(file);
    } else {
        QVERIFY(writeFile("elsewhere", bytes));
        QVERIFY(QFile::link("elsewhere", file));
    }

    HttpServer server;
    UpdateDialog dialog(nullptr, server.baseUrl());
    check(dialog, {}, signedBuild ? publisherKey.publicKeyBase64() : QByteArray());
    QVERIFY2(!rescue || !rescue->wasNeeded(), "the dialog waited for a writer to the FIFO");
    if (fifo) {
        waitForErrorPath(dialog);
    } else {
        waitForListPage(dialog);
        QVERIFY(DialogProbe::listTexts(&dialog).constFirst().contains("Lokalny"));
    }
    QCOMPARE(server.totalRequests(), 0);
    QTEST(workDirEntries(), "left");
#endif
}

void TestRetrieval::closingDuringSignatureFetchLeavesNoList()
{
    const QByteArray list = listLine("Podpisany", "2", "http://127.0.0.1:1/p.dll");
    HttpServer server;
    server.setBody(listPath, list);
    const QByteArray signature = publisherKey.signatureBase64(list);
    server.setResponse(
        sigPath, HttpResponse::faulty(signature, HttpResponse::Fault::StallAfter, 10));
    auto dialog = std::make_unique<UpdateDialog>(nullptr, server.baseUrl());
    check(*dialog, {}, publisherKey.publicKeyBase64());
    QTRY_COMPARE(server.requestCount(sigPath), 1);
    dialog.reset();

    QCOMPARE(workDirEntries(), QStringList());
    QTest::qWait(50);
    QCOMPARE(workDirEntries(), QStringList());
}

QTEST_MAIN(TestRetrieval)
#include "tst_retrieval.moc"
