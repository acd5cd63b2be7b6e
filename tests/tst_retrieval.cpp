#include "dialog/updatedialog.h"
#include "dialogflow.h"
#include "httpserver.h"
#include "testkey.h"
#include "testutil.h"
#include "updatelist/updatelistfile.h"
#include "updatelist/updatelistformat.h"

#include <QSemaphore>
#include <QStringEncoder>
#include <QtTest>

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
    void redirectedListIsTheRealList_data();
    void redirectedListIsTheRealList();
    void unwritableDirectory();
    void detachedStartsFetchAtOnce();
    void signedList_data();
    void signedList();
    void signedExistingList_data();
    void signedExistingList();
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
    // A null reason is not checked.
    void waitForErrorPath(UpdateDialog &dialog, const QString &reason = {});

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

void TestRetrieval::waitForErrorPath(UpdateDialog &dialog, const QString &reason)
{
    QTRY_COMPARE(DialogProbe::statusText(&dialog), errorText);
    QCOMPARE(
        DialogProbe::listTexts(&dialog).size(), DialogProbe::reasonText(&dialog).isEmpty() ? 1 : 2);
    if (!reason.isNull())
        QCOMPARE(DialogProbe::reasonText(&dialog), reason);
    QCOMPARE(DialogProbe::caption(&dialog)->text(), installedCaption);
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
    QTest::addColumn<QString>("reason");

    const QByteArray list = listLine("Podpisany", "2", "http://127.0.0.1:1/p.dll")
        + listLine("Drugi", "3", "http://127.0.0.1:1/d.dll");
    const QByteArray signature = signatureFile(list, {&publisherKey});

    QByteArray changed = list;
    changed[changed.indexOf("<ver>2") + 5] = '9';

    const QString badSignature = QStringLiteral("Podpis listy aktualizacji jest nieprawidłowy.");
    const QDateTime expired = QDateTime::currentDateTimeUtc().addSecs(-60);
    QTest::newRow("good") << list << signature << true << QString();
    QTest::newRow("expired") << list << signatureFile(list, {&publisherKey}, expired) << false
                             << QStringLiteral("Lista aktualizacji jest nieaktualna (ważna do %1).")
                                    .arg(expired.toLocalTime().toString(
                                        QStringLiteral("dd.MM.yyyy HH:mm")));
    QTest::newRow("one byte changed") << changed << signature << false << badSignature;
    QTest::newRow("signed by another key")
        << list << signatureFile(list, {&otherKey}) << false << badSignature;
    QTest::newRow("no signature on the server") << list << QByteArray() << false << badSignature;
    QTest::newRow("garbled signature")
        << list << QByteArray("to nie jest podpis!") << false << badSignature;
    QTest::newRow("signature cut short") << list << signature.left(40) << false << badSignature;
}

void TestRetrieval::signedList()
{
    QFETCH(QByteArray, servedList);
    QFETCH(QByteArray, servedSignature);
    QFETCH(bool, accepted);
    QFETCH(QString, reason);

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
        waitForErrorPath(dialog, reason);
    }
    // A signature that does not verify may be a cache's stale one: both are fetched once more.
    const bool refetched = !accepted && !servedSignature.isNull();
    QCOMPARE(server.requestLog(),
        refetched ? QStringList({listPath, sigPath, listPath, sigPath})
                  : QStringList({listPath, sigPath}));
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
        QVERIFY(writeFile(listFileName + ".sig", signatureFile(list, {&publisherKey})));

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
        QVERIFY(writeFile(listFileName + ".sig", signatureFile(list, {&publisherKey})));
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
    const QByteArray signature = signatureFile(list, {&publisherKey});
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
