#include "app/toolkittranslation.h"
#include "dialog/updatedialog.h"
#include "dialogflow.h"
#include "download/updatesession.h"
#include "httpserver.h"
#include "testutil.h"

#include <QProgressBar>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

const QString listPath = QStringLiteral("/aktualizacje.txt");
const QByteArray formerBytes = "former plugin bytes\n";

QByteArray listLine(const QByteArray &name, const QString &link, const QByteArray &middle = {})
{
    return "<" + name + "><ver>7</ver>" + middle + "<link>" + link.toUtf8() + "</link></" + name
        + ">\n";
}

// A list line for a file the server serves under /files/.
QByteArray fileLine(const HttpServer &server, const QByteArray &name, const QString &file,
    const QByteArray &middle = {})
{
    return listLine(name, server.url("/files/" + file).toString(), middle);
}

QStringList pluginFiles()
{
    QStringList files = QDir("plugins").entryList(
        QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::NoSort);
    files.sort();
    return files;
}

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void wholeFlow();
    void enterMovesForward();
    void nothingToDownload_data();
    void nothingToDownload();
    void missingPluginsDirectory();
    void failureInTheMiddle();
    void progressLine_data();
    void progressLine();
    void redirectInstallsTheRealFile();
    void finalReplaceFails();
    void unsafeFileName_data();
    void unsafeFileName();
    void integrityMixed();
    void noWriteThroughLinks_data();
    void noWriteThroughLinks();
    void onlyHttpLinks_data();
    void onlyHttpLinks();
    void relativeLinksFromTheSecondAddress();
    void closingMidTransferDropsTheFile_data();
    void closingMidTransferDropsTheFile();
    void closingDuringTheRunAsks_data();
    void closingDuringTheRunAsks();
    void runEndsUnderTheCloseQuestion_data();
    void runEndsUnderTheCloseQuestion();
    void pagesFit_data();
    void pagesFit();

private:
    // Fetches the list in detached mode (no hand-off question) and stops on the selection page.
    void toSelection(UpdateDialog &dialog);
    // The same, then downloads what is ticked and waits for the end of the run.
    void downloadTicked(UpdateDialog &dialog);

    std::unique_ptr<TemporaryWorkingDirectory> workDir;
};

void TestDownload::init()
{
    workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir().mkdir("plugins"));
}

void TestDownload::cleanup()
{
    workDir.reset();
}

void TestDownload::toSelection(UpdateDialog &dialog)
{
    dialog.setUpdatePublicKey({});
    dialog.parseArguments({"aktualizator", "detached"});
    DialogFlow::toSelection(&dialog);
}

void TestDownload::downloadTicked(UpdateDialog &dialog)
{
    toSelection(dialog);
    DialogProbe::nextButton(&dialog)->click();
    DialogFlow::waitForEnd(&dialog);
}

void TestDownload::wholeFlow()
{
    HttpServer server;
    const QByteArray mainBytes = bodyOf(70000, 'W');
    server.setBody("/files/welor.exe", mainBytes);
    for (const char *name : {"B2", "a", "b", "c"})
        server.setBody(QStringLiteral("/files/%1.dll").arg(name), bodyOf(1000, name[0]));
    // Lines out of order: the run goes by name, upper case before lower case. The files differ
    // in more than case, since "B.dll" and "b.dll" are one file on a Windows disk.
    server.setBody(listPath,
        fileLine(server, "b", "b.dll") + fileLine(server, "c", "c.dll")
            + fileLine(server, "WELOR", "welor.exe") + fileLine(server, "a", "a.dll")
            + fileLine(server, "B", "B2.dll"));

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
    DialogFlow::waitForEnd(&dialog);

    QCOMPARE(DialogProbe::statusText(&dialog), successText);
    QCOMPARE(DialogProbe::caption(&dialog)->text(), progressCaption);
    QCOMPARE(server.requestLog(),
        QStringList(
            {listPath, "/files/B2.dll", "/files/welor.exe", "/files/a.dll", "/files/b.dll"}));
    QCOMPARE(readFile("welor.exe"), mainBytes);
    for (const char *name : {"B2", "a", "b"})
        QCOMPARE(readFile(QStringLiteral("plugins/%1.dll").arg(name)), bodyOf(1000, name[0]));
    QCOMPARE(pluginFiles(), QStringList({"B2.dll", "a.dll", "b.dll"}));
    QCOMPARE(treeOf("."),
        QStringList({"plugins", "plugins/B2.dll", "plugins/a.dll", "plugins/b.dll", "welor.exe"}));
}

namespace {

// Where the window sends a key the user presses.
void pressEnter(QDialog *dialog)
{
    QWidget *target = dialog->focusWidget();
    QVERIFY2(target, "nothing in the window has the focus");
    QTest::keyClick(target, Qt::Key_Return);
}

} // namespace

void TestDownload::enterMovesForward()
{
    QVERIFY(installToolkitTranslation(*qApp));
    const auto uninstall = qScopeGuard([] { delete qApp->findChild<QTranslator *>(); });
    HttpServer server;
    server.setResponse("/files/a.dll", {200, bodyOf(60000, 'a'), {}, 6, 100});
    server.setBody(listPath, fileLine(server, "a", "a.dll"));
    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.setUpdatePublicKey({});
    dialog.parseArguments({"aktualizator", "a::1"});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(dialog.focusWidget(), DialogProbe::checkButton(&dialog));

    QTest::mouseClick(DialogProbe::checkButton(&dialog), Qt::LeftButton);
    QTRY_VERIFY(DialogProbe::nextButton(&dialog)->isEnabled());
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    pressEnter(&dialog);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.buttonTexts.first(), QStringList({"Anuluj", "OK"}));
    QCOMPARE(DialogProbe::caption(&dialog)->text(), selectionCaption);

    // From a check box as well.
    DialogProbe::checkBoxes(&dialog).first()->setFocus();
    pressEnter(&dialog);
    QCOMPARE(DialogProbe::caption(&dialog)->text(), progressCaption);
    // The run is not ended by keys meant for the next page.
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Return);
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Space);
    QVERIFY(dialog.isVisible());
    DialogFlow::waitForEnd(&dialog);
    QCOMPARE(DialogProbe::statusText(&dialog), successText);
    QCOMPARE(readFile("plugins/a.dll"), bodyOf(60000, 'a'));

    pressEnter(&dialog);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(answerer.count(), 1);
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
    server.setBody(listPath, emptyList ? QByteArray() : fileLine(server, "x", "x.dll"));
    UpdateDialog dialog(nullptr, server.baseUrl());
    toSelection(dialog);
    for (QCheckBox *box : DialogProbe::checkBoxes(&dialog))
        box->setChecked(false);
    DialogProbe::nextButton(&dialog)->click();

    // The run ends from the event loop, as every job does.
    QTRY_COMPARE(DialogProbe::statusText(&dialog), successText);
    QTest::qWait(50);
    QCOMPARE(server.requestLog(), QStringList {listPath});
    QCOMPARE(pluginFiles(), QStringList());
}

void TestDownload::missingPluginsDirectory()
{
    QVERIFY(QDir().rmdir("plugins"));
    HttpServer server;
    server.setBody("/files/welor.exe", "main");
    server.setBody("/files/b.dll", "plugin b");
    server.setBody("/files/c.dll", "plugin c");
    server.setBody(listPath,
        fileLine(server, "A", "welor.exe") + fileLine(server, "B", "b.dll")
            + fileLine(server, "C", "c.dll"));
    UpdateDialog dialog(nullptr, server.baseUrl());
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    downloadTicked(dialog);

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
        fileLine(server, "a", "a.dll") + fileLine(server, "b", "b.dll")
            + fileLine(server, "c", "c.dll"));
    UpdateDialog dialog(nullptr, server.baseUrl());
    downloadTicked(dialog);

    QCOMPARE(DialogProbe::statusText(&dialog), problemsText);
    QCOMPARE(DialogProbe::reasonText(&dialog), QStringLiteral("b.dll: HTTP 404"));
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
    // A body ended by closing is only taken when the line can vouch for it.
    server.setBody(
        listPath, fileLine(server, "Wolny", "wolny.dll", lengthKnown ? "" : "<size>3000</size>"));
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
    // The bar covers the run: the one file of one, known in size from the answer or the line.
    auto *bar = dialog.findChild<QProgressBar *>();
    QCOMPARE(bar->format(), QStringLiteral("plik 1 z 1"));
    QCOMPARE(bar->maximum(), 1000);
    DialogFlow::waitForEnd(&dialog);
    QCOMPARE(DialogProbe::statusText(&dialog), successText);
    QCOMPARE(readFile("plugins/wolny.dll"), slow.body);
}

void TestDownload::redirectInstallsTheRealFile()
{
    HttpServer server;
    server.setRedirect(
        "/files/x.dll", server.url("/mirror/x.dll").toString(), 301, "moved, body of the redirect");
    server.setBody("/mirror/x.dll", "the real plugin");
    server.setBody(listPath, fileLine(server, "x", "x.dll"));
    UpdateDialog dialog(nullptr, server.baseUrl());
    downloadTicked(dialog);

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
    server.setBody(listPath, fileLine(server, "x", "x.dll") + fileLine(server, "y", "y.dll"));
    // Something takes the target's place while its bytes are on the way.
    connect(&server, &HttpServer::requestSeen, this, [](const QString &path) {
        if (path == QLatin1String("/files/x.dll")) {
            QDir().mkpath("plugins/x.dll/inside");
            writeFile("plugins/x.dll/inside/keep", "keep");
        }
    });
    UpdateDialog dialog(nullptr, server.baseUrl());
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    downloadTicked(dialog);

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
    QTest::newRow("encoded slashes") << "..%2F..%2Fwelor.exe" << QString();
    QTest::newRow("encoded blank") << "my%20x.dll"
                                   << "a/b/plugins/my x.dll";
}

void TestDownload::unsafeFileName()
{
    QFETCH(QString, linkTail);
    QFETCH(QString, landsAt);

    // Two levels below the temporary directory, so a climb out still lands where it is seen.
    const QString root = workDir->path();
    QVERIFY(QDir().mkpath(root + "/a/b/plugins"));
    QVERIFY(QDir::setCurrent(root + "/a/b"));
    QStringList expectedTree = treeOf(root);

    HttpServer server;
    server.setBody("/files/" + linkTail, "served");
    // Written out rather than through QUrl, which would tidy the tail up.
    server.setBody(listPath, listLine("Zly", server.baseUrl() + "/files/" + linkTail));
    UpdateDialog dialog(nullptr, server.baseUrl());
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    downloadTicked(dialog);

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

void TestDownload::integrityMixed()
{
    HttpServer server;
    const QByteArray good = bodyOf(1000, 'g');
    const QByteArray goodSha = "<sha256>" + sha256Hex(good) + "</sha256>";
    server.setBody("/files/a.dll", good);
    server.setBody("/files/b.dll", "no check at all");
    server.setBody("/files/c.dll", "tampered");
    server.setBody("/files/d.dll", good);
    QVERIFY(writeFile("plugins/c.dll", formerBytes));
    server.setBody(listPath,
        fileLine(server, "a", "a.dll", goodSha) + fileLine(server, "b", "b.dll")
            + fileLine(server, "c", "c.dll", goodSha)
            + fileLine(server, "d", "d.dll", "<size>1000</size>"));
    UpdateDialog dialog(nullptr, server.baseUrl());
    downloadTicked(dialog);

    QCOMPARE(DialogProbe::statusText(&dialog), problemsText);
    QCOMPARE(readFile("plugins/a.dll"), good);
    QCOMPARE(readFile("plugins/b.dll"), QByteArray("no check at all"));
    QCOMPARE(readFile("plugins/c.dll"), formerBytes);
    QCOMPARE(readFile("plugins/d.dll"), good);
    QCOMPARE(pluginFiles(), QStringList({"a.dll", "b.dll", "c.dll", "d.dll"}));
}

void TestDownload::noWriteThroughLinks_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("link"); // made in the working directory
    QTest::addColumn<QString>("pointsTo"); // relative to the working directory
    QTest::addColumn<bool>("hardLink");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("duringTransfer"); // made while the bytes are on the way

    QTest::newRow("plug-in is a symbolic link") << "x.dll"
                                                << "plugins/x.dll"
                                                << "../outside/victim" << false << true << false;
    QTest::newRow("dangling symbolic link") << "x.dll"
                                            << "plugins/x.dll"
                                            << "../outside/new" << false << true << false;
    QTest::newRow("main file is a symbolic link") << "welor.exe"
                                                  << "welor.exe"
                                                  << "outside/victim" << false << true << false;
    QTest::newRow("plugins/ is a symbolic link") << "x.dll"
                                                 << "plugins"
                                                 << "outside" << false << true << false;
    QTest::newRow("plugins/ becomes a symbolic link mid-way") << "x.dll"
                                                              << "plugins"
                                                              << "outside" << false << true << true;
    QTest::newRow("hard link is replaced") << "x.dll"
                                           << "plugins/x.dll"
                                           << "outside/victim" << true << false << false;
}

void TestDownload::noWriteThroughLinks()
{
#ifdef Q_OS_WIN
    QSKIP("Creating symbolic links on Windows needs administrator rights or developer mode");
#else
    QFETCH(QString, fileName);
    QFETCH(QString, link);
    QFETCH(QString, pointsTo);
    QFETCH(bool, hardLink);
    QFETCH(bool, refused);
    QFETCH(bool, duringTransfer);

    QVERIFY(QDir().mkdir("outside"));
    QVERIFY(writeFile("outside/victim", formerBytes));
    const auto plant = [&] {
        // Mid-way the folder that holds the new bytes moves aside, and a link takes its name.
        if (link == QLatin1String("plugins"))
            QVERIFY(duringTransfer ? QDir().rename("plugins", "plugins.old") : QDir().rmdir(link));
        if (hardLink)
            QCOMPARE(::link(qPrintable(pointsTo), qPrintable(link)), 0);
        else
            QVERIFY(QFile::link(pointsTo, link));
    };
    if (!duringTransfer)
        plant();

    HttpServer server;
    HttpResponse slow {200, "new bytes"};
    slow.chunks = 3;
    slow.chunkDelayMs = 100;
    server.setResponse("/files/" + fileName, slow);
    server.setBody(listPath, fileLine(server, "x", fileName));
    const QStringList before = duringTransfer
        ? QStringList {"outside", "outside/victim", "plugins", "plugins.old"}
        : treeOf(".");
    connect(&server, &HttpServer::requestSeen, this, [&](const QString &path) {
        if (duringTransfer && path == "/files/" + fileName)
            QTimer::singleShot(100, this, plant);
    });
    UpdateDialog dialog(nullptr, server.baseUrl());
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    downloadTicked(dialog);

    QCOMPARE(readFile("outside/victim"), formerBytes);
    QCOMPARE(treeOf("."), before);
    if (refused) {
        QCOMPARE(answerer.texts, QStringList {cannotWriteText});
        QCOMPARE(DialogProbe::statusText(&dialog), errorText);
        // Refused like a folder that cannot be written.
        QVERIFY2(DialogProbe::reasonText(&dialog).contains(": nie można zapisać pliku"),
            qPrintable(DialogProbe::reasonText(&dialog)));
        QStringList requested {listPath};
        if (duringTransfer)
            requested.append("/files/" + fileName);
        QCOMPARE(server.requestLog(), requested);
    } else {
        QCOMPARE(DialogProbe::statusText(&dialog), successText);
        QCOMPARE(readFile(link), QByteArray("new bytes"));
    }
#endif
}

void TestDownload::relativeLinksFromTheSecondAddress()
{
    HttpServer server;
    server.setBody("/wydanie/pliki/x.dll", "served");
    server.setBody("/wydanie/aktualizacje.txt", listLine("x", "pliki/x.dll"));
    const QString first = QStringLiteral("http://127.0.0.1:1/pierwszy");
    UpdateDialog dialog(nullptr, first + ";" + server.baseUrl() + "/wydanie");
    TransferPolicy policy;
    policy.retries = 0;
    dialog.setTransferPolicy(policy);
    // The window names one address: the first.
    const auto labels = dialog.findChildren<QLabel *>();
    QVERIFY(std::any_of(labels.cbegin(), labels.cend(),
        [&](const QLabel *label) { return label->text().contains("href=\"" + first + "\""); }));
    downloadTicked(dialog);

    QCOMPARE(DialogProbe::statusText(&dialog), successText);
    QCOMPARE(readFile("plugins/x.dll"), QByteArray("served"));
    QCOMPARE(
        server.requestLog(), QStringList({"/wydanie/aktualizacje.txt", "/wydanie/pliki/x.dll"}));
}

void TestDownload::onlyHttpLinks_data()
{
    QTest::addColumn<QString>("link"); // %1: the working directory
    QTest::addColumn<bool>("refused");
    QTest::newRow("file") << "file://%1/secret.dll" << true;
    QTest::newRow("file on a share") << "file://127.0.0.1/share/x.dll" << true;
    QTest::newRow("data") << "data:application/octet-stream;base64,QUJD" << true;
    QTest::newRow("ftp") << "ftp://127.0.0.1:1/x.dll" << true;
    // A reference without a scheme is resolved against the list's URL, and takes its scheme.
    QTest::newRow("no scheme") << "//127.0.0.1:%2/files/x.dll" << false;
    QTest::newRow("HTTP in capitals") << "HTTP://127.0.0.1:%2/files/x.dll" << false;
}

void TestDownload::onlyHttpLinks()
{
    QFETCH(QString, link);
    QFETCH(bool, refused);

    QVERIFY(writeFile("secret.dll", "secret"));
    const QStringList before = treeOf(".");
    HttpServer server;
    server.setBody("/files/x.dll", "served");
    server.setBody(listPath,
        listLine("x",
            QString(link)
                .replace("%1", QDir::currentPath())
                .replace("%2", QString::number(server.port()))));
    UpdateDialog dialog(nullptr, server.baseUrl());
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    downloadTicked(dialog);

    if (refused) {
        QCOMPARE(answerer.texts, QStringList {cannotWriteText});
        QCOMPARE(DialogProbe::statusText(&dialog), errorText);
        QCOMPARE(server.requestLog(), QStringList {listPath});
        QCOMPARE(treeOf("."), before);
    } else {
        QCOMPARE(DialogProbe::statusText(&dialog), successText);
        QCOMPARE(readFile("plugins/x.dll"), QByteArray("served"));
    }
}

void TestDownload::closingMidTransferDropsTheFile_data()
{
    QTest::addColumn<QString>("phase");
    QTest::newRow("while the bytes arrive") << "bytes";
    QTest::newRow("while the target is in use") << "in use";
    QTest::newRow("while a retry waits") << "retry";
}

void TestDownload::closingMidTransferDropsTheFile()
{
    QFETCH(QString, phase);

    QVERIFY(writeFile("plugins/x.dll", formerBytes));
    HttpServer server;
    const QByteArray body = bodyOf(400000, 'c');
    // In pieces: Qt reports progress at most every 100 ms.
    HttpResponse response = phase == "bytes"
        ? HttpResponse::faulty(body, HttpResponse::Fault::StallAfter, body.size() / 2)
        : HttpResponse {200, body};
    response.chunks = 8;
    response.chunkDelayMs = 50;
    HttpResponse busy {503, "busy"};
    busy.headers = {{"Retry-After", "1"}};
    server.setResponse("/files/x.dll", phase == "retry" ? busy : response);
    // A retry after the window is gone would find the good answer.
    connect(&server, &HttpServer::requestSeen, this, [&](const QString &path) {
        if (path == QLatin1String("/files/x.dll"))
            server.setResponse(path, response);
    });
    server.setBody(listPath, fileLine(server, "x", "x.dll"));
    bool asked = false;
    bool closed = false;
    auto dialog = std::make_unique<UpdateDialog>(nullptr, server.baseUrl());
    // Busy until the window is gone: a transfer that outlived it would then install the file.
    TransferPolicy policy;
    policy.inUseCheck = [&asked, &closed, phase](const QString &path) {
        asked = asked || path.endsWith("plugins/x.dll");
        return phase == "in use" && asked && !closed;
    };
    dialog->setTransferPolicy(policy);
    toSelection(*dialog);
    DialogProbe::nextButton(dialog.get())->click();

    if (phase == "in use") {
        QTRY_VERIFY(asked);
    } else if (phase == "retry") {
        QTRY_COMPARE(server.requestCount("/files/x.dll"), 1);
        QTest::qWait(200);
    } else {
        QTRY_VERIFY(DialogProbe::statusText(dialog.get())
                        .startsWith(QStringLiteral("Trwa pobieranie pliku: x.dll (")));
    }
    dialog->close();
    dialog.reset();
    closed = true;

    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
    QCOMPARE(readFile("plugins/x.dll"), formerBytes);
    QTest::qWait(phase == "retry" ? 1500 : 300);
    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
    QCOMPARE(readFile("plugins/x.dll"), formerBytes);
    QCOMPARE(server.requestCount("/files/x.dll"), 1);
}

void TestDownload::closingDuringTheRunAsks_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<bool>("stop"); // the answer: Yes
    QTest::newRow("Escape, No") << "Escape" << false;
    QTest::newRow("Zamknij, Yes") << "Zamknij" << true;
    QTest::newRow("the window's close button, Yes") << "close" << true;
}

void TestDownload::closingDuringTheRunAsks()
{
    QFETCH(QString, way);
    QFETCH(bool, stop);

    QVERIFY(installToolkitTranslation(*qApp));
    QVERIFY(writeFile("plugins/x.dll", formerBytes));
    HttpServer server;
    HttpResponse slow {200, bodyOf(60000, 'n')};
    slow.chunks = 12;
    slow.chunkDelayMs = 60;
    server.setResponse("/files/x.dll", slow);
    server.setBody(listPath, fileLine(server, "x", "x.dll"));
    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.show();
    toSelection(dialog);
    DialogProbe::nextButton(&dialog)->click();
    QTRY_VERIFY(DialogProbe::statusText(&dialog).startsWith("Trwa pobieranie pliku: x.dll ("));

    MessageBoxAnswerer answerer(stop ? QMessageBox::Yes : QMessageBox::No);
    if (way == "Escape")
        QTest::keyClick(&dialog, Qt::Key_Escape);
    else if (way == "Zamknij")
        DialogProbe::closeButton(&dialog)->click();
    else
        dialog.close();
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.titles.first(), QStringLiteral("Aktualizator"));
    QCOMPARE(answerer.texts.first(),
        QStringLiteral("Przerwać aktualizację? Pobrane już pliki zostaną zachowane, a bieżący "
                       "plik nie zostanie zmieniony."));
    QCOMPARE(answerer.buttonTexts.first(), QStringList({"&Nie", "&Tak"}));
    QCOMPARE(dialog.isVisible(), !stop);
    if (stop) {
        QTest::qWait(300);
        QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
        QCOMPARE(readFile("plugins/x.dll"), formerBytes);
        return;
    }
    DialogFlow::waitForEnd(&dialog);
    QCOMPARE(DialogProbe::statusText(&dialog), successText);
    QCOMPARE(readFile("plugins/x.dll"), slow.body);
    // Once the run is over, closing asks nothing.
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCOMPARE(answerer.count(), 1);
    QVERIFY(!dialog.isVisible());
}

void TestDownload::runEndsUnderTheCloseQuestion_data()
{
    QTest::addColumn<bool>("stops"); // the second file's place is a folder
    QTest::addColumn<bool>("stop"); // the answer: Yes
    QTest::newRow("run done, No") << false << false;
    QTest::newRow("run done, Yes") << false << true;
    QTest::newRow("run stopped, No") << true << false;
    QTest::newRow("run stopped, Yes") << true << true;
}

// One box at a time: the run's end waits for the close question's answer.
void TestDownload::runEndsUnderTheCloseQuestion()
{
    QFETCH(bool, stops);
    QFETCH(bool, stop);

    if (stops)
        QVERIFY(QDir().mkpath("plugins/y.dll"));
    HttpServer server;
    HttpResponse slow {200, bodyOf(30000, 'n')};
    slow.chunks = 6;
    slow.chunkDelayMs = 50;
    server.setResponse("/files/x.dll", slow);
    server.setBody("/files/y.dll", "y");
    server.setBody(listPath, fileLine(server, "x", "x.dll") + fileLine(server, "y", "y.dll"));
    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.show();
    toSelection(dialog);
    DialogProbe::nextButton(&dialog)->click();
    QTRY_VERIFY(DialogProbe::statusText(&dialog).startsWith("Trwa pobieranie pliku: x.dll ("));

    auto *session = dialog.findChild<UpdateSession *>();
    QVERIFY(session);
    MessageBoxAnswerer answerer(stop ? QMessageBox::Yes : QMessageBox::No);
    answerer.holdWhile([session] { return session->isRunning(); });
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QTRY_VERIFY(!session->isRunning());
    QTRY_COMPARE(answerer.count(), stops && !stop ? 2 : 1);
    QCOMPARE(answerer.mostOpen, 1);
    QCOMPARE(dialog.isVisible(), !stop);
    if (stops && !stop)
        QCOMPARE(answerer.texts.at(1), cannotWriteText);
    if (!stop)
        QCOMPARE(DialogProbe::statusText(&dialog), stops ? errorText : successText);
}

void TestDownload::pagesFit_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("nameLength"); // of the file and of its component
    // Long names, but short enough to be stored with the staging file's suffix; the list allows
    // far longer ones still.
    QTest::newRow("update list, long name") << "list" << 200;
    QTest::newRow("selection, long name") << "selection" << 200;
    QTest::newRow("progress, short name") << "progress" << 5;
    QTest::newRow("progress, long name") << "progress" << 200;
    QTest::newRow("problems, long name") << "problems" << 200;
}

void TestDownload::pagesFit()
{
    QFETCH(QString, page);
    QFETCH(int, nameLength);

    const QByteArray name = QByteArray(nameLength - 4, 'w') + ".dll";
    HttpServer server;
    HttpResponse slow {200, bodyOf(40000, 'f')};
    slow.chunks = 20;
    slow.chunkDelayMs = 100;
    server.setResponse("/files/" + name, page == "problems" ? HttpResponse {404, "gone"} : slow);
    server.setBody(listPath, fileLine(server, name, name));
    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto *area = dialog.findChild<QScrollArea *>();
    const auto verifyFits = [&] {
        QApplication::processEvents();
        QVERIFY2(area->widget()->minimumSizeHint().width() <= area->viewport()->width(),
            qPrintable(QStringLiteral("%1 > %2")
                           .arg(area->widget()->minimumSizeHint().width())
                           .arg(area->viewport()->width())));
        QVERIFY(!area->horizontalScrollBar()->isVisible());
    };

    dialog.setUpdatePublicKey({});
    dialog.parseArguments({"aktualizator", "detached"});
    QTRY_VERIFY(DialogProbe::nextButton(&dialog)->isEnabled());
    if (page == "list")
        return verifyFits();
    DialogProbe::nextButton(&dialog)->click();
    if (page == "selection")
        return verifyFits();
    DialogProbe::nextButton(&dialog)->click();
    if (page == "progress") {
        QTRY_VERIFY(DialogProbe::statusText(&dialog).contains(" / "));
        QVERIFY(dialog.findChild<QProgressBar *>()->isVisible());
        verifyFits();
        QCOMPARE(
            DialogProbe::statusText(&dialog).contains(QString::fromLatin1(name)), nameLength < 20);
    } else {
        DialogFlow::waitForEnd(&dialog);
        QVERIFY(DialogProbe::reasonText(&dialog).endsWith("w.dll: HTTP 404"));
        verifyFits();
    }
}

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
