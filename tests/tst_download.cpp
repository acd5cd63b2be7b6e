#include "dialog/updatedialog.h"
#include "dialogprobe.h"
#include "httpserver.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

#include <csignal>
#include <memory>

namespace {

const QString successText = QStringLiteral("Aktualizacja zakończona pomyślnie");
const QString problemsText = QStringLiteral("Wystąpiły problemy podczas aktualizowania plików.\n\n"
                                            "Niektóre komponenty mogły zostać niezaktualizowane.");
const QString errorText = QStringLiteral("Wystąpił błąd. Aktualizacja nie zostanie zakończona");
const QString cannotWriteText
    = QStringLiteral("Nie można zapisać plików, aktualizacja zakończona błędem.");
const QString listPath = QStringLiteral("/aktualizacje.txt");
const QByteArray formerBytes = "former plugin bytes\n";

QByteArray listLine(const QByteArray &name, const QString &link, const QByteArray &middle = {})
{
    return "<" + name + "><ver>7</ver>" + middle + "<link>" + link.toUtf8() + "</link></" + name
        + ">\n";
}

QByteArray bodyOf(int size, char seed)
{
    QByteArray body(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        body[i] = char(seed + i * 7);
    return body;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every file and directory below root, relative to it.
QStringList treeOf(const QString &root)
{
    const QDir dir(QFileInfo(root).absoluteFilePath());
    QStringList entries;
    QDirIterator it(dir.path(),
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(dir.relativeFilePath(it.next()));
    entries.sort();
    return entries;
}

QStringList pluginFiles()
{
    QStringList files = QDir("plugins").entryList(
        QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::NoSort);
    files.sort();
    return files;
}

bool isFinalText(const QString &text)
{
    return text == successText || text == problemsText || text == errorText;
}

// Lowers the file size limit of the whole process, so that writes beyond it fail as on a full
// disk; SIGXFSZ would otherwise kill the test.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit saved {};
    void (*previousHandler)(int) = nullptr;
};

enum class Failure { None, DiskFull };

} // namespace

Q_DECLARE_METATYPE(Failure)

class TestDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void wholeFlow();
    void nothingToDownload_data();
    void nothingToDownload();
    void targetPlacement_data();
    void targetPlacement();
    void missingPluginsDirectory();
    void failureInTheMiddle();
    void progressLine_data();
    void progressLine();
    void failedTransferKeepsFormerFile_data();
    void failedTransferKeepsFormerFile();
    void redirectInstallsTheRealFile();
    void finalReplaceFails();
    void unsafeFileName_data();
    void unsafeFileName();
    void integrity_data();
    void integrity();
    void integrityMixed();

private:
    // Fetches the list in detached mode (no hand-off question) and stops on the selection page.
    void toSelection(UpdateDialog &dialog);
    void waitForEnd(UpdateDialog &dialog);

    std::unique_ptr<QTemporaryDir> tempDir;
    QString previousDir;
};

void TestDownload::init()
{
    previousDir = QDir::currentPath();
    tempDir = std::make_unique<QTemporaryDir>();
    QVERIFY(tempDir->isValid());
    QVERIFY(QDir::setCurrent(tempDir->path()));
    QVERIFY(QDir().mkdir("plugins"));
}

void TestDownload::cleanup()
{
    QDir::setCurrent(previousDir);
    tempDir.reset();
}

void TestDownload::toSelection(UpdateDialog &dialog)
{
    dialog.setUpdatePublicKey({});
    dialog.parseArguments({"aktualizator", "detached"});
    QTRY_VERIFY(DialogProbe::nextButton(&dialog)->isEnabled());
    DialogProbe::nextButton(&dialog)->click();
    QCOMPARE(
        DialogProbe::caption(&dialog)->text(), QStringLiteral("Wybór elementów do aktualizacji:"));
}

void TestDownload::waitForEnd(UpdateDialog &dialog)
{
    QTRY_VERIFY_WITH_TIMEOUT(isFinalText(DialogProbe::statusText(&dialog)), 10000);
    QVERIFY(!DialogProbe::nextButton(&dialog)->isEnabled());
    QVERIFY(DialogProbe::closeButton(&dialog)->isEnabled());
}

void TestDownload::wholeFlow()
{
    HttpServer server;
    const QByteArray mainBytes = bodyOf(70000, 'W');
    server.setBody("/files/welor.exe", mainBytes);
    for (const char *name : {"B", "a", "b", "c"})
        server.setBody(QStringLiteral("/files/%1.dll").arg(name), bodyOf(1000, name[0]));
    // Lines out of order: the run goes by name, upper case before lower case.
    server.setBody(listPath,
        listLine("b", server.url("/files/b.dll").toString())
            + listLine("c", server.url("/files/c.dll").toString())
            + listLine("WELOR", server.url("/files/welor.exe").toString())
            + listLine("a", server.url("/files/a.dll").toString())
            + listLine("B", server.url("/files/B.dll").toString()));

    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.setUpdatePublicKey({});
    dialog.parseArguments({"aktualizator", "WELOR::wersja b01012000"});
    DialogProbe::checkButton(&dialog)->click();
    QTRY_VERIFY(DialogProbe::nextButton(&dialog)->isEnabled());
    {
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        DialogProbe::nextButton(&dialog)->click();
        QCOMPARE(answerer.count(), 1);
    }
    const QList<QCheckBox *> boxes = DialogProbe::checkBoxes(&dialog);
    QCOMPARE(boxes.size(), 5);
    QCOMPARE(boxes.at(4)->text(), QStringLiteral("c"));
    boxes.at(4)->click();
    DialogProbe::nextButton(&dialog)->click();
    QVERIFY(!DialogProbe::nextButton(&dialog)->isEnabled());
    waitForEnd(dialog);

    QCOMPARE(DialogProbe::statusText(&dialog), successText);
    QCOMPARE(DialogProbe::caption(&dialog)->text(), QStringLiteral("Postęp aktualizacji:"));
    QCOMPARE(server.requestLog(),
        QStringList(
            {listPath, "/files/B.dll", "/files/welor.exe", "/files/a.dll", "/files/b.dll"}));
    QCOMPARE(readFile("welor.exe"), mainBytes);
    for (const char *name : {"B", "a", "b"})
        QCOMPARE(readFile(QStringLiteral("plugins/%1.dll").arg(name)), bodyOf(1000, name[0]));
    QCOMPARE(pluginFiles(), QStringList({"B.dll", "a.dll", "b.dll"}));
    QCOMPARE(treeOf("."),
        QStringList({"plugins", "plugins/B.dll", "plugins/a.dll", "plugins/b.dll", "welor.exe"}));
}

void TestDownload::nothingToDownload_data()
{
    QTest::addColumn<bool>("emptyList");
    QTest::newRow("nothing ticked") << false;
    QTest::newRow("empty list") << true;
}

void TestDownload::nothingToDownload()
{
    QFETCH(bool, emptyList);

    HttpServer server;
    server.setBody("/files/x.dll", "x");
    server.setBody(
        listPath, emptyList ? QByteArray() : listLine("x", server.url("/files/x.dll").toString()));
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    for (QCheckBox *box : DialogProbe::checkBoxes(&dialog))
        box->setChecked(false);
    DialogProbe::nextButton(&dialog)->click();

    QCOMPARE(DialogProbe::statusText(&dialog), successText);
    QTest::qWait(50);
    QCOMPARE(server.requestLog(), QStringList {listPath});
    QCOMPARE(pluginFiles(), QStringList());
}

void TestDownload::targetPlacement_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("target");

    QTest::newRow("main product with another file") << QByteArray("WELOR") << "setup.zip"
                                                    << "plugins/setup.zip";
    QTest::newRow("any name, main file in mixed case") << QByteArray("Wtyczka") << "Welor.EXE"
                                                       << "Welor.EXE";
    QTest::newRow("marker inside a longer name") << QByteArray("Kopia") << "welor.exe.old"
                                                 << "welor.exe.old";
}

void TestDownload::targetPlacement()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, fileName);
    QFETCH(QString, target);

    HttpServer server;
    const QByteArray bytes = bodyOf(5000, 'p');
    server.setBody("/files/" + fileName, bytes);
    server.setBody(listPath, listLine(name, server.url("/files/" + fileName).toString()));
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    DialogProbe::nextButton(&dialog)->click();
    waitForEnd(dialog);

    QCOMPARE(DialogProbe::statusText(&dialog), successText);
    QCOMPARE(readFile(target), bytes);
    QStringList expected {"plugins", target};
    expected.sort();
    QCOMPARE(treeOf("."), expected);
}

void TestDownload::missingPluginsDirectory()
{
    QVERIFY(QDir().rmdir("plugins"));
    HttpServer server;
    server.setBody("/files/welor.exe", "main");
    server.setBody("/files/b.dll", "plugin b");
    server.setBody("/files/c.dll", "plugin c");
    server.setBody(listPath,
        listLine("A", server.url("/files/welor.exe").toString())
            + listLine("B", server.url("/files/b.dll").toString())
            + listLine("C", server.url("/files/c.dll").toString()));
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    DialogProbe::nextButton(&dialog)->click();
    waitForEnd(dialog);

    QCOMPARE(answerer.titles, QStringList {"Aktualizator"});
    QCOMPARE(answerer.texts, QStringList {cannotWriteText});
    QCOMPARE(DialogProbe::statusText(&dialog), errorText);
    QCOMPARE(readFile("welor.exe"), QByteArray("main"));
    QCOMPARE(server.requestLog(), QStringList({listPath, "/files/welor.exe"}));
    QCOMPARE(treeOf("."), QStringList {"welor.exe"});
}

void TestDownload::failureInTheMiddle()
{
    HttpServer server;
    server.setBody("/files/a.dll", "first");
    server.setBody("/files/b.dll", "no such file", 404);
    server.setBody("/files/c.dll", "third");
    server.setBody(listPath,
        listLine("a", server.url("/files/a.dll").toString())
            + listLine("b", server.url("/files/b.dll").toString())
            + listLine("c", server.url("/files/c.dll").toString()));
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    DialogProbe::nextButton(&dialog)->click();
    waitForEnd(dialog);

    QCOMPARE(DialogProbe::statusText(&dialog), problemsText);
    QCOMPARE(server.requestCount("/files/c.dll"), 1);
    QCOMPARE(readFile("plugins/a.dll"), QByteArray("first"));
    QCOMPARE(readFile("plugins/c.dll"), QByteArray("third"));
    QCOMPARE(pluginFiles(), QStringList({"a.dll", "c.dll"}));
}

void TestDownload::progressLine_data()
{
    QTest::addColumn<bool>("lengthKnown");
    QTest::addColumn<QString>("total");
    QTest::newRow("Content-Length") << true << "3000";
    QTest::newRow("no Content-Length") << false << "-1";
}

void TestDownload::progressLine()
{
    QFETCH(bool, lengthKnown);
    QFETCH(QString, total);

    HttpServer server;
    HttpResponse slow;
    slow.body = bodyOf(3000, 's');
    slow.chunks = 10;
    slow.chunkDelayMs = 60;
    if (!lengthKnown)
        slow.fault = HttpResponse::Fault::NoContentLength;
    server.setResponse("/files/wolny.dll", slow);
    server.setBody(listPath, listLine("Wolny", server.url("/files/wolny.dll").toString()));
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    DialogProbe::nextButton(&dialog)->click();

    // The bare file name, not the plugins/ path, and the counts exactly as received.
    const QRegularExpression midway(
        QStringLiteral("^Trwa pobieranie pliku: wolny\\.dll \\(([1-9][0-9]*) / %1\\)$")
            .arg(QRegularExpression::escape(total)));
    QTRY_VERIFY2(midway.match(DialogProbe::statusText(&dialog)).hasMatch()
            && midway.match(DialogProbe::statusText(&dialog)).captured(1) != "3000",
        qPrintable(DialogProbe::statusText(&dialog)));
    waitForEnd(dialog);
    QCOMPARE(DialogProbe::statusText(&dialog), successText);
    QCOMPARE(readFile("plugins/wolny.dll"), slow.body);
}

void TestDownload::failedTransferKeepsFormerFile_data()
{
    QTest::addColumn<HttpResponse>("response");
    QTest::addColumn<Failure>("failure");

    const QByteArray body = bodyOf(200000, 'n');

    HttpResponse notFound;
    notFound.status = 404;
    notFound.body = "error page";
    QTest::newRow("404") << notFound << Failure::None;

    HttpResponse serverError;
    serverError.status = 500;
    serverError.body = body;
    QTest::newRow("500 with body") << serverError << Failure::None;

    HttpResponse cut;
    cut.body = body;
    cut.fault = HttpResponse::Fault::CloseEarly;
    cut.faultAfterBytes = body.size() / 2;
    QTest::newRow("connection cut") << cut << Failure::None;

    HttpResponse stall = cut;
    stall.fault = HttpResponse::Fault::StallAfter;
    QTest::newRow("stall") << stall << Failure::None;

    HttpResponse redirectNowhere;
    redirectNowhere.status = 302;
    redirectNowhere.body = "redirect body that must not become the plugin";
    QTest::newRow("302 without Location") << redirectNowhere << Failure::None;

    HttpResponse whole;
    whole.body = body;
    QTest::newRow("disk full") << whole << Failure::DiskFull;
}

void TestDownload::failedTransferKeepsFormerFile()
{
    QFETCH(HttpResponse, response);
    QFETCH(Failure, failure);

    QVERIFY(writeFile("plugins/x.dll", formerBytes));
    HttpServer server;
    server.setResponse("/files/x.dll", response);
    server.setBody("/files/z.dll", "next one");
    server.setBody(listPath,
        listLine("x", server.url("/files/x.dll").toString())
            + listLine("z", server.url("/files/z.dll").toString()));
    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.setTransferTimeout(300);
    toSelection(dialog);

    std::unique_ptr<FileSizeLimit> limit;
    if (failure == Failure::DiskFull)
        limit = std::make_unique<FileSizeLimit>(64 * 1024);
    DialogProbe::nextButton(&dialog)->click();
    waitForEnd(dialog);
    limit.reset();

    QCOMPARE(DialogProbe::statusText(&dialog), problemsText);
    QCOMPARE(readFile("plugins/x.dll"), formerBytes);
    QCOMPARE(readFile("plugins/z.dll"), QByteArray("next one"));
    QCOMPARE(pluginFiles(), QStringList({"x.dll", "z.dll"}));
}

void TestDownload::redirectInstallsTheRealFile()
{
    HttpServer server;
    server.setRedirect(
        "/files/x.dll", server.url("/mirror/x.dll").toString(), 301, "moved, body of the redirect");
    server.setBody("/mirror/x.dll", "the real plugin");
    server.setBody(listPath, listLine("x", server.url("/files/x.dll").toString()));
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    DialogProbe::nextButton(&dialog)->click();
    waitForEnd(dialog);

    QCOMPARE(DialogProbe::statusText(&dialog), successText);
    QCOMPARE(readFile("plugins/x.dll"), QByteArray("the real plugin"));
    QCOMPARE(pluginFiles(), QStringList {"x.dll"});
}

void TestDownload::finalReplaceFails()
{
    HttpServer server;
    HttpResponse slow;
    slow.body = bodyOf(4000, 'r');
    slow.chunks = 4;
    slow.chunkDelayMs = 30;
    server.setResponse("/files/x.dll", slow);
    server.setBody("/files/y.dll", "later");
    server.setBody(listPath,
        listLine("x", server.url("/files/x.dll").toString())
            + listLine("y", server.url("/files/y.dll").toString()));
    // Something takes the target's place while its bytes are on the way.
    connect(&server, &HttpServer::requestSeen, this, [](const QString &path) {
        if (path == QLatin1String("/files/x.dll")) {
            QDir().mkpath("plugins/x.dll/inside");
            writeFile("plugins/x.dll/inside/keep", "keep");
        }
    });
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    DialogProbe::nextButton(&dialog)->click();
    waitForEnd(dialog);

    QCOMPARE(answerer.texts, QStringList {cannotWriteText});
    QCOMPARE(answerer.titles, QStringList {"Aktualizator"});
    QCOMPARE(DialogProbe::statusText(&dialog), errorText);
    QCOMPARE(server.requestCount("/files/y.dll"), 0);
    QCOMPARE(treeOf("plugins"), QStringList({"x.dll", "x.dll/inside", "x.dll/inside/keep"}));
}

void TestDownload::unsafeFileName_data()
{
    QTest::addColumn<QString>("linkTail");
    QTest::addColumn<QString>("landsAt"); // empty: refused
    QTest::newRow("backslashes") << "..%5C..%5Cwelor.exe" << QString();
    QTest::newRow("encoded dots") << "%2e%2e" << QString();
    QTest::newRow("drive colon") << "a%3Ab.dll" << QString();
    QTest::newRow("empty name") << "" << QString();
    QTest::newRow("NUL") << "a%00welor.exe" << QString();
    // The decoded path splits at the encoded slashes; only its last piece names the file.
    QTest::newRow("encoded slashes") << "..%2F..%2Fwelor.exe"
                                     << "a/b/welor.exe";
}

void TestDownload::unsafeFileName()
{
    QFETCH(QString, linkTail);
    QFETCH(QString, landsAt);

    // Two levels below the temporary directory, so a climb out still lands where it is seen.
    const QString root = tempDir->path();
    QVERIFY(QDir().mkpath(root + "/a/b/plugins"));
    QVERIFY(QDir::setCurrent(root + "/a/b"));
    QStringList expectedTree = treeOf(root);

    HttpServer server;
    server.setBody("/files/" + linkTail, "served");
    server.setBody(listPath, listLine("Zly", server.baseUrl() + "/files/" + linkTail));
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    DialogProbe::nextButton(&dialog)->click();
    waitForEnd(dialog);

    if (landsAt.isEmpty()) {
        QCOMPARE(answerer.texts, QStringList {cannotWriteText});
        QCOMPARE(DialogProbe::statusText(&dialog), errorText);
        QCOMPARE(server.requestLog(), QStringList {listPath});
    } else {
        QCOMPARE(DialogProbe::statusText(&dialog), successText);
        QCOMPARE(readFile(root + "/" + landsAt), QByteArray("served"));
        expectedTree.append(landsAt);
        expectedTree.sort();
    }
    QCOMPARE(treeOf(root), expectedTree);
}

void TestDownload::integrity_data()
{
    QTest::addColumn<QByteArray>("middle");
    QTest::addColumn<bool>("installed");

    const QByteArray body = bodyOf(3000, 'i');
    const QByteArray sha = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
    QByteArray otherSha = sha;
    otherSha[0] = otherSha[0] == 'a' ? 'b' : 'a';
    const QByteArray size = QByteArray::number(body.size());

    QTest::newRow("good sha256 and size")
        << "<sha256>" + sha + "</sha256><size>" + size + "</size>" << true;
    QTest::newRow("size first, upper-case sha256")
        << "<size>" + size + "</size><sha256>" + sha.toUpper() + "</sha256>" << true;
    QTest::newRow("wrong sha256") << "<sha256>" + otherSha + "</sha256>" << false;
    QTest::newRow("wrong size") << "<size>" + QByteArray::number(body.size() + 1) + "</size>"
                                << false;
    QTest::newRow("sha256 of 63 digits") << "<sha256>" + sha.left(63) + "</sha256>" << false;
    QTest::newRow("size not a number") << QByteArray("<size>12a</size>") << false;
}

void TestDownload::integrity()
{
    QFETCH(QByteArray, middle);
    QFETCH(bool, installed);

    QVERIFY(writeFile("plugins/x.dll", formerBytes));
    HttpServer server;
    const QByteArray body = bodyOf(3000, 'i');
    server.setBody("/files/x.dll", body);
    server.setBody(listPath, listLine("x", server.url("/files/x.dll").toString(), middle));
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    DialogProbe::nextButton(&dialog)->click();
    waitForEnd(dialog);

    QCOMPARE(DialogProbe::statusText(&dialog), installed ? successText : problemsText);
    QCOMPARE(readFile("plugins/x.dll"), installed ? body : formerBytes);
    QCOMPARE(pluginFiles(), QStringList {"x.dll"});
}

void TestDownload::integrityMixed()
{
    HttpServer server;
    const QByteArray good = bodyOf(1000, 'g');
    const QByteArray goodSha = QCryptographicHash::hash(good, QCryptographicHash::Sha256).toHex();
    server.setBody("/files/a.dll", good);
    server.setBody("/files/b.dll", "no check at all");
    server.setBody("/files/c.dll", "tampered");
    server.setBody("/files/d.dll", good);
    QVERIFY(writeFile("plugins/c.dll", formerBytes));
    server.setBody(listPath,
        listLine("a", server.url("/files/a.dll").toString(), "<sha256>" + goodSha + "</sha256>")
            + listLine("b", server.url("/files/b.dll").toString())
            + listLine(
                "c", server.url("/files/c.dll").toString(), "<sha256>" + goodSha + "</sha256>")
            + listLine("d", server.url("/files/d.dll").toString(), "<size>1000</size>"));
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    DialogProbe::nextButton(&dialog)->click();
    waitForEnd(dialog);

    QCOMPARE(DialogProbe::statusText(&dialog), problemsText);
    QCOMPARE(readFile("plugins/a.dll"), good);
    QCOMPARE(readFile("plugins/b.dll"), QByteArray("no check at all"));
    QCOMPARE(readFile("plugins/c.dll"), formerBytes);
    QCOMPARE(readFile("plugins/d.dll"), good);
    QCOMPARE(pluginFiles(), QStringList({"a.dll", "b.dll", "c.dll", "d.dll"}));
}

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
