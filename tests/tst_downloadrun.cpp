#include "download/downloadrun.h"
#include "download/updatesession.h"
#include "httpserver.h"
#include "testutil.h"
#include "updatelist/updatelistformat.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using Result = DownloadRun::Result;
using Ending = UpdateSession::Ending;

namespace {

const QByteArray formerBytes = "former plugin bytes\n";

enum class Failure { None, DiskFull };
// What the server holds for a patch: the good one, nothing, other bytes than the line's
// checksum, bytes that are no frame, or a frame made for another base.
enum class PatchServed { Good, Missing, WrongChecksum, Corrupt, OtherBase };
enum class PatchLine { Plain, NoSize, LeftOvers, DiskFull, TwoOffers };

} // namespace

Q_DECLARE_METATYPE(Failure)
Q_DECLARE_METATYPE(PatchServed)
Q_DECLARE_METATYPE(PatchLine)

class TestDownloadRun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void results_data();
    void results();
    void targetPlacement_data();
    void targetPlacement();
    void integrity_data();
    void integrity();
    void failedTransferKeepsFormerFile_data();
    void failedTransferKeepsFormerFile();
    void patches_data();
    void patches();
    void runProgress_data();
    void runProgress();
    void addresses_data();
    void addresses();
    void sessionEnds_data();
    void sessionEnds();

private:
    UpdateEntry entry(const QString &file, const std::optional<QString> &size = {},
        const std::optional<QString> &sha256 = {}) const;
    // Runs the entries to the end; Stopped stands in for a run that never ends.
    Result run(const QMap<QString, UpdateEntry> &entries, const TransferPolicy &policy = {},
        const QList<QUrl> &listUrls = {});

    std::unique_ptr<TemporaryWorkingDirectory> workDir;
    std::unique_ptr<HttpServer> server;
    std::unique_ptr<DownloadRun> downloadRun;
    int preparings = 0;
};

void TestDownloadRun::init()
{
    workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir().mkdir("plugins"));
    server = std::make_unique<HttpServer>();
}

void TestDownloadRun::cleanup()
{
    downloadRun.reset();
    server.reset();
    workDir.reset();
}

UpdateEntry TestDownloadRun::entry(const QString &file, const std::optional<QString> &size,
    const std::optional<QString> &sha256) const
{
    UpdateEntry entry;
    entry.link = file.contains(QLatin1Char(':')) ? file : server->url("/files/" + file).toString();
    entry.integrity = fileIntegrity(size, sha256);
    return entry;
}

Result TestDownloadRun::run(const QMap<QString, UpdateEntry> &entries, const TransferPolicy &policy,
    const QList<QUrl> &listUrls)
{
    QNetworkAccessManager network;
    downloadRun = std::make_unique<DownloadRun>(QDir::currentPath(), policy);
    downloadRun->setListUrls(listUrls);
    QSignalSpy finished(downloadRun.get(), &DownloadRun::finished);
    preparings = 0;
    connect(downloadRun.get(), &DownloadRun::preparing, this, [this] { ++preparings; });
    downloadRun->start(entries, &network);
    if (!QTest::qWaitFor([&] { return finished.size() > 0; }, 10000))
        return Result::Stopped;
    QTest::qWait(20);
    return finished.size() == 1 ? finished.at(0).at(0).value<Result>() : Result::Stopped;
}

void TestDownloadRun::results_data()
{
    QTest::addColumn<QStringList>("files"); // entries a, b, c, ... in this order; "-": unticked
    QTest::addColumn<Result>("result");
    QTest::addColumn<QStringList>("requested");

    QTest::newRow("all installed") << QStringList {"a.dll", "b.dll"} << Result::Done
                                   << QStringList {"/files/a.dll", "/files/b.dll"};
    QTest::newRow("one fails, the next still comes") << QStringList {"missing.dll",
        "b.dll"} << Result::DoneWithProblems << QStringList {"/files/missing.dll", "/files/b.dll"};
    QTest::newRow("unticked ones are skipped")
        << QStringList {"-", "b.dll", "-"} << Result::Done << QStringList {"/files/b.dll"};
    QTest::newRow("nothing ticked") << QStringList {"-"} << Result::Done << QStringList();
    QTest::newRow("an unsafe name stops the run") << QStringList {"a.dll", "..%5Cwelor.exe",
        "b.dll"} << Result::Stopped << QStringList {"/files/a.dll"};
    QTest::newRow("another scheme stops the run")
        << QStringList {"ftp://127.0.0.1:1/x.dll", "b.dll"} << Result::Stopped << QStringList();
}

void TestDownloadRun::results()
{
    QFETCH(QStringList, files);
    QFETCH(Result, result);
    QFETCH(QStringList, requested);

    server->setBody("/files/a.dll", "alfa");
    server->setBody("/files/b.dll", "beta");
    QMap<QString, UpdateEntry> entries;
    for (qsizetype i = 0; i < files.size(); ++i) {
        UpdateEntry next = entry(files.at(i) == "-" ? QStringLiteral("b.dll") : files.at(i));
        next.selected = files.at(i) != "-";
        entries.insert(QString(QChar(char16_t(u'a' + i))), next);
    }

    // A failed or refused file says why in the debug log, when that is turned on.
    QLoggingCategory::setFilterRules(QStringLiteral("aktualizator.run.debug=true"));
    if (result != Result::Done)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^file failed: .+: .+"));
    QCOMPARE(run(entries), result);
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(server->requestLog(), requested);
    QCOMPARE(downloadRun->failure().isEmpty(), result == Result::Done);
    QCOMPARE(readFile("plugins/b.dll"),
        requested.contains("/files/b.dll") ? QByteArray("beta") : QByteArray("<missing>"));
}

void TestDownloadRun::targetPlacement_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("target");

    QTest::newRow("main product with another file") << "WELOR"
                                                    << "setup.zip"
                                                    << "plugins/setup.zip";
    QTest::newRow("any name, main file in mixed case") << "Wtyczka"
                                                       << "Welor.EXE"
                                                       << "Welor.EXE";
    QTest::newRow("marker inside a longer name") << "Kopia"
                                                 << "welor.exe.old"
                                                 << "welor.exe.old";
}

void TestDownloadRun::targetPlacement()
{
    QFETCH(QString, name);
    QFETCH(QString, fileName);
    QFETCH(QString, target);

    const QByteArray bytes = bodyOf(5000, 'p');
    server->setBody("/files/" + fileName, bytes);

    QCOMPARE(run({{name, entry(fileName)}}), Result::Done);
    QCOMPARE(readFile(target), bytes);
    QStringList expected {"plugins", target};
    expected.sort();
    QCOMPARE(treeOf("."), expected);
}

void TestDownloadRun::integrity_data()
{
    QTest::addColumn<QString>("size"); // null: the line gives none
    QTest::addColumn<QString>("sha256");
    QTest::addColumn<bool>("installed");

    const QByteArray body = bodyOf(3000, 'i');
    const QString sha = QString::fromLatin1(sha256Hex(body));
    QString otherSha = sha;
    otherSha[0] = otherSha[0] == 'a' ? 'b' : 'a';
    const QString size = QString::number(body.size());

    QTest::newRow("good sha256 and size") << size << sha << true;
    QTest::newRow("upper-case sha256") << size << sha.toUpper() << true;
    QTest::newRow("wrong sha256") << QString() << otherSha << false;
    QTest::newRow("wrong size") << QString::number(body.size() + 1) << QString() << false;
    QTest::newRow("sha256 of 63 digits") << QString() << sha.left(63) << false;
    QTest::newRow("size not a number") << "12a" << QString() << false;
}

void TestDownloadRun::integrity()
{
    QFETCH(QString, size);
    QFETCH(QString, sha256);
    QFETCH(bool, installed);

    QVERIFY(writeFile("plugins/x.dll", formerBytes));
    const QByteArray body = bodyOf(3000, 'i');
    server->setBody("/files/x.dll", body);
    const auto given = [](const QString &text) {
        return text.isNull() ? std::nullopt : std::optional<QString>(text);
    };

    QCOMPARE(run({{"x", entry("x.dll", given(size), given(sha256))}}),
        installed ? Result::Done : Result::DoneWithProblems);
    QCOMPARE(readFile("plugins/x.dll"), installed ? body : formerBytes);
    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
}

void TestDownloadRun::failedTransferKeepsFormerFile_data()
{
    QTest::addColumn<HttpResponse>("response");
    QTest::addColumn<Failure>("failure");

    using Fault = HttpResponse::Fault;
    const QByteArray body = bodyOf(200000, 'n');
    const qint64 half = body.size() / 2;
    QTest::newRow("404") << HttpResponse {404, "error page"} << Failure::None;
    QTest::newRow("500 with body") << HttpResponse {500, body} << Failure::None;
    QTest::newRow("connection cut")
        << HttpResponse::faulty(body, Fault::CloseEarly, half) << Failure::None;
    QTest::newRow("stall") << HttpResponse::faulty(body, Fault::StallAfter, half) << Failure::None;
    QTest::newRow("302 without Location")
        << HttpResponse {302, "redirect body that must not become the plugin"} << Failure::None;
    QTest::newRow("disk full") << HttpResponse {200, body} << Failure::DiskFull;
}

void TestDownloadRun::failedTransferKeepsFormerFile()
{
    QFETCH(HttpResponse, response);
    QFETCH(Failure, failure);

    QVERIFY(writeFile("plugins/x.dll", formerBytes));
    server->setResponse("/files/x.dll", response);
    server->setBody("/files/z.dll", "next one");
    TransferPolicy policy;
    policy.noDataTimeoutMs = 300;
    policy.retries = 0;

#ifdef Q_OS_WIN
    if (failure == Failure::DiskFull)
        QSKIP(noFileSizeLimitReason);
#endif
    std::unique_ptr<FileSizeLimit> limit;
    if (failure == Failure::DiskFull)
        limit = std::make_unique<FileSizeLimit>(64 * 1024);
    const Result result = run({{"x", entry("x.dll")}, {"z", entry("z.dll")}}, policy);
    limit.reset();

    QCOMPARE(result, Result::DoneWithProblems);
    QCOMPARE(readFile("plugins/x.dll"), formerBytes);
    QCOMPARE(readFile("plugins/z.dll"), QByteArray("next one"));
    QCOMPARE(treeOf("plugins"), QStringList({"x.dll", "z.dll"}));
}

void TestDownloadRun::patches_data()
{
    QTest::addColumn<bool>("installedIsBase");
    QTest::addColumn<PatchServed>("served");
    QTest::addColumn<bool>("wholeFileGood");
    QTest::addColumn<QStringList>("requested");
    QTest::addColumn<PatchLine>("variant");
    QTest::addColumn<int>("size");

    const QStringList patchThenWhole {"/patches/x.patch", "/files/x.dll"};
    const QStringList wholeOnly {"/files/x.dll"};
    QTest::newRow("patch used") << true << PatchServed::Good << true
                                << QStringList {"/patches/x.patch"} << PatchLine::Plain << 300000;
    // Decoded and hashed in several pieces, beside each other.
    QTest::newRow("patch used, a large file")
        << true << PatchServed::Good << true << QStringList {"/patches/x.patch"} << PatchLine::Plain
        << 11 * 1024 * 1024;
    // The only patch is decoded without hashing the installed file first; the checksum decides.
    QTest::newRow("another installed file: patch, then whole file")
        << false << PatchServed::Good << true << patchThenWhole << PatchLine::Plain << 300000;
    // Among several patches the installed file's hash picks one, or none.
    QTest::newRow("two patches: the installed file's")
        << true << PatchServed::Good << true << QStringList {"/patches/x.patch"}
        << PatchLine::TwoOffers << 300000;
    QTest::newRow("two patches, neither for the installed file: whole file only")
        << false << PatchServed::Good << true << wholeOnly << PatchLine::TwoOffers << 300000;
    QTest::newRow("patch 404") << true << PatchServed::Missing << true << patchThenWhole
                               << PatchLine::Plain << 300000;
    QTest::newRow("patch checksum wrong") << true << PatchServed::WrongChecksum << true
                                          << patchThenWhole << PatchLine::Plain << 300000;
    QTest::newRow("corrupt frame")
        << true << PatchServed::Corrupt << true << patchThenWhole << PatchLine::Plain << 300000;
    QTest::newRow("frame for another base")
        << true << PatchServed::OtherBase << true << patchThenWhole << PatchLine::Plain << 300000;
    QTest::newRow("patch and whole file bad")
        << true << PatchServed::OtherBase << false << patchThenWhole << PatchLine::Plain << 300000;
    // Nothing but the frame would bound what the patch writes.
    QTest::newRow("no size on the line: whole file only")
        << true << PatchServed::Good << true << wholeOnly << PatchLine::NoSize << 300000;
    // A run killed during a patch left both staging files; the whole file takes them along.
    // The whole file would meet the same full disk: no second try over the network.
    QTest::newRow("no room for the patched file")
        << true << PatchServed::Good << false << QStringList {"/patches/x.patch"}
        << PatchLine::DiskFull << 300000;
    QTest::newRow("left-over staging files go")
        << false << PatchServed::Good << true << patchThenWhole << PatchLine::LeftOvers << 300000;
}

void TestDownloadRun::patches()
{
    QFETCH(bool, installedIsBase);
    QFETCH(PatchServed, served);
    QFETCH(bool, wholeFileGood);
    QFETCH(QStringList, requested);
    QFETCH(PatchLine, variant);
    QFETCH(int, size);

    const QByteArray base = randomBytes(size, 1);
    QByteArray newFile = base;
    newFile.replace(1000, 64, randomBytes(64, 2));
    newFile.replace(size - 100000, 64, randomBytes(64, 3));
    // Another release that already had the second change: its patch copies bytes that the
    // installed file does not have.
    QByteArray otherBase = base;
    otherBase.replace(size - 100000, 64, newFile.mid(size - 100000, 64));
    // Changed where the patch copies from the base.
    QByteArray changedBase = base;
    changedBase.replace(5000, 64, randomBytes(64, 4));
    const QByteArray installed = installedIsBase ? base : changedBase;
    QVERIFY(writeFile("plugins/x.dll", installed));
    if (variant == PatchLine::LeftOvers) {
        QVERIFY(writeFile("plugins/x.dll.patch.aktualizator-0a1b2c.tmp", "patch"));
        QVERIFY(writeFile("plugins/x.dll.aktualizator-3d4e5f.tmp", "new file"));
    }

    QByteArray patch = zstdPatch(served == PatchServed::OtherBase ? otherBase : base, newFile);
    QVERIFY(!patch.isEmpty() && patch.size() < 10000);
    const QByteArray listedPatchSha = sha256Hex(patch);
    if (served == PatchServed::WrongChecksum)
        patch[patch.size() / 2] = char(patch.at(patch.size() / 2) ^ 1);
    if (served == PatchServed::Corrupt)
        patch = randomBytes(patch.size(), 5);
    if (served != PatchServed::Missing)
        server->setBody("/patches/x.patch", patch);
    server->setBody("/files/x.dll", wholeFileGood ? newFile : randomBytes(newFile.size(), 6));

    UpdateEntry line = entry("x.dll",
        variant == PatchLine::NoSize ? std::nullopt
                                     : std::optional(QString::number(newFile.size())),
        QString::fromLatin1(sha256Hex(newFile)));
    PatchOffer offer;
    offer.from = sha256Hex(base);
    offer.sha256 = served == PatchServed::Corrupt ? sha256Hex(patch) : listedPatchSha;
    offer.size = patch.size();
    offer.link = server->url("/patches/x.patch").toString();
    line.patches = {offer};
    if (variant == PatchLine::TwoOffers) {
        PatchOffer other = offer;
        other.from = sha256Hex(otherBase);
        other.link = server->url("/patches/other.patch").toString();
        line.patches.prepend(other);
    }

#ifdef Q_OS_WIN
    if (variant == PatchLine::DiskFull)
        QSKIP(noFileSizeLimitReason);
#endif
    std::unique_ptr<FileSizeLimit> limit;
    if (variant == PatchLine::DiskFull)
        limit = std::make_unique<FileSizeLimit>(64 * 1024);
    // With warnings turned on, a patch given up for the whole file says so once, naming it.
    static QStringList warnings;
    warnings.clear();
    QLoggingCategory::setFilterRules(QStringLiteral("aktualizator.*.warning=true"));
    const QtMessageHandler testlib = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            if (type == QtWarningMsg && QByteArray(context.category).startsWith("aktualizator"))
                warnings.append(message);
        });
    const Result result = run({{"x", line}});
    qInstallMessageHandler(testlib);
    QLoggingCategory::setFilterRules(QString());
    limit.reset();
    // A full disk stops the run, as it would for a whole file.
    QCOMPARE(result,
        variant == PatchLine::DiskFull ? Result::Stopped
                                       : (wholeFileGood ? Result::Done : Result::DoneWithProblems));
    QCOMPARE(server->requestLog(), requested);
    // Checksums guard files and patches, so caches may serve them.
    for (const QString &path : requested)
        QVERIFY(!server->lastRequestHead(path).toLower().contains("no-cache"));
    QCOMPARE(warnings.size(), requested.size() - 1);
    if (!warnings.isEmpty())
        QVERIFY2(warnings.constFirst().contains("x.dll"), qPrintable(warnings.constFirst()));
    QVERIFY(readFile("plugins/x.dll") == (wholeFileGood ? newFile : installed));
    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
    // Among several patches the installed file is hashed first; a patch that arrived is then
    // applied.
    const bool patchArrived = requested.constFirst() == "/patches/x.patch"
        && served != PatchServed::Missing && served != PatchServed::WrongChecksum
        && variant != PatchLine::DiskFull;
    if (variant != PatchLine::NoSize)
        QCOMPARE(preparings, (variant == PatchLine::TwoOffers ? 1 : 0) + (patchArrived ? 1 : 0));
}

void TestDownloadRun::runProgress_data()
{
    using Sizes = QList<qint64>;
    QTest::addColumn<Sizes>("sizes"); // -1: the line gives none
    QTest::addColumn<qint64>("received"); // of the first file's transfer, then it ends
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("doneMidway");
    QTest::addColumn<qint64>("totalMidway");
    QTest::addColumn<qint64>("doneAfter"); // the first file over, the second begun

    QTest::newRow("sizes on the line") << Sizes {100, 300} << qint64(50) << qint64(100)
                                       << qint64(50) << qint64(400) << qint64(100);
    QTest::newRow("size from the answer")
        << Sizes {-1, 300} << qint64(50) << qint64(200) << qint64(50) << qint64(500) << qint64(200);
    QTest::newRow("a patch moves its file's share") << Sizes {1000, 0} << qint64(5) << qint64(10)
                                                    << qint64(500) << qint64(1000) << qint64(1000);
    QTest::newRow("length never known")
        << Sizes {-1, 300} << qint64(50) << qint64(-1) << qint64(0) << qint64(300) << qint64(0);
    QTest::newRow("more than announced") << Sizes {100, 100} << qint64(500) << qint64(100)
                                         << qint64(100) << qint64(200) << qint64(100);
}

void TestDownloadRun::runProgress()
{
    QFETCH(QList<qint64>, sizes);
    QFETCH(qint64, received);
    QFETCH(qint64, total);

    RunProgress progress(sizes);
    QCOMPARE(progress.fileNumber(), 0);
    progress.startFile();
    progress.transferProgress(received, total);
    QTEST(progress.doneBytes(), "doneMidway");
    QTEST(progress.totalBytes(), "totalMidway");
    QCOMPARE(progress.fileNumber(), 1);
    progress.finishFile();
    progress.startFile();
    QTEST(progress.doneBytes(), "doneAfter");
    QCOMPARE(progress.fileNumber(), 2);
    QCOMPARE(progress.fileCount(), 2);
}

void TestDownloadRun::addresses_data()
{
    QTest::addColumn<QString>("link"); // %1: the first server's base URL
    QTest::addColumn<QString>("patchLink"); // empty: the line offers no patch
    QTest::addColumn<QString>("atFirst"); // what the first server holds: "good", "bad" or ""
    QTest::addColumn<Result>("result");
    QTest::addColumn<QStringList>("firstLog");
    QTest::addColumn<QStringList>("secondLog");

    const QString file = QStringLiteral("/wydanie/pliki/x.dll");
    QTest::newRow("relative link beside the list")
        << "pliki/x.dll" << QString() << "good" << Result::Done << QStringList {file}
        << QStringList();
    QTest::newRow("relative link, from the root")
        << "/wydanie/pliki/x.dll" << QString() << "good" << Result::Done << QStringList {file}
        << QStringList();
    QTest::newRow("missing at the list's address: the same path at the next")
        << "pliki/x.dll" << QString() << "" << Result::Done << QStringList {file}
        << QStringList {file};
    QTest::newRow("other bytes at the list's address: the same path at the next")
        << "pliki/x.dll" << QString() << "bad" << Result::Done << QStringList {file}
        << QStringList {file};
    QTest::newRow("absolute link: only as given")
        << "%1/wydanie/pliki/x.dll" << QString() << "" << Result::DoneWithProblems
        << QStringList {file} << QStringList();
    QTest::newRow("relative patch beside the list")
        << "pliki/x.dll"
        << "latki/x.patch"
        << "good" << Result::Done << QStringList {"/wydanie/latki/x.patch"} << QStringList();
}

void TestDownloadRun::addresses()
{
    QFETCH(QString, link);
    QFETCH(QString, patchLink);
    QFETCH(QString, atFirst);
    QFETCH(Result, result);
    QFETCH(QStringList, firstLog);
    QFETCH(QStringList, secondLog);

    const QByteArray base = randomBytes(100000, 7);
    QByteArray newFile = base;
    newFile.replace(500, 32, randomBytes(32, 8));
    QVERIFY(writeFile("plugins/x.dll", base));
    HttpServer mirror;
    if (atFirst == "good")
        server->setBody("/wydanie/pliki/x.dll", newFile);
    if (atFirst == "bad")
        server->setBody("/wydanie/pliki/x.dll", randomBytes(newFile.size(), 9));
    mirror.setBody("/wydanie/pliki/x.dll", newFile);

    UpdateEntry line;
    line.link = QString(link).replace("%1", server->baseUrl());
    line.integrity
        = fileIntegrity(QString::number(newFile.size()), QString::fromLatin1(sha256Hex(newFile)));
    if (!patchLink.isEmpty()) {
        const QByteArray patch = zstdPatch(base, newFile);
        server->setBody("/wydanie/" + patchLink, patch);
        line.patches = {{sha256Hex(base), sha256Hex(patch), patch.size(), patchLink}};
    }
    TransferPolicy policy;
    policy.retries = 0;
    const QList<QUrl> listUrls {
        server->url("/wydanie/aktualizacje.txt"), mirror.url("/wydanie/aktualizacje.txt")};

    QCOMPARE(run({{"x", line}}, policy, listUrls), result);
    QCOMPARE(server->requestLog(), firstLog);
    QCOMPARE(mirror.requestLog(), secondLog);
    QCOMPARE(readFile("plugins/x.dll"), result == Result::Done ? newFile : base);
    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
}

void TestDownloadRun::sessionEnds_data()
{
    QTest::addColumn<QString>("b"); // what becomes of b.dll, the second of two files
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<QString>("reason");

    QTest::newRow("every file installed") << "served" << Ending::Updated << QString();
    QTest::newRow("a file fails, the next still comes")
        << "missing" << Ending::UpdatedWithProblems << "b.dll: HTTP 404";
    QTest::newRow("a target that cannot be written stops the run")
        << "directory in its place" << Ending::RunStopped << "b.dll: nie można zapisać pliku";
    QTest::newRow("cut short: no end, the file in hand stays as it was")
        << "cut short" << Ending::ListOffered << QString();
    QTest::newRow("no list, no run")
        << "no list" << Ending::NoList << "Serwer aktualizacji odpowiedział: HTTP 404.";
}

// The check and the run as the window drives them, without one: the list's relative links lead
// to its own address, and each end says what the window is to show.
void TestDownloadRun::sessionEnds()
{
    QFETCH(QString, b);
    QFETCH(Ending, ending);

    server->setBody("/wydanie/a.dll", "alfa");
    if (b != "missing")
        server->setBody("/wydanie/b.dll", "beta");
    if (b != "no list")
        server->setBody("/wydanie/aktualizacje.txt",
            "<a><ver>2</ver><link>a.dll</link></a>\n<b><ver>2</ver><link>b.dll</link></b>\n");
    if (b == "directory in its place")
        QVERIFY(QDir().mkpath("plugins/b.dll/inside"));
    UpdateSession session(server->baseUrl() + "/wydanie");
    QSignalSpy checked(&session, &UpdateSession::listChecked);
    QSignalSpy ended(&session, &UpdateSession::runEnded);
    connect(&session, &UpdateSession::fileStarted, this, [&](const QString &name) {
        // As the window's question does: from the event loop, once the file is in hand.
        if (b == "cut short" && name == "b")
            QTimer::singleShot(0, &session, [&] { session.stopRun(); });
    });

    QVERIFY(session.checkForUpdates());
    QVERIFY(!session.checkForUpdates());
    QTRY_COMPARE(checked.size(), 1);
    if (session.ending() == Ending::ListOffered) {
        QVERIFY(session.startRun(session.offered(), QDir::currentPath()));
        QVERIFY(!session.checkForUpdates());
        QTRY_VERIFY(!session.isRunning());
        QTest::qWait(50);
        QCOMPARE(ended.size(), b == "cut short" ? 0 : 1);
        QCOMPARE(readFile("plugins/a.dll"), QByteArray("alfa"));
        QCOMPARE(readFile("plugins/b.dll"), b == "served" ? QByteArray("beta") : "<missing>");
    }
    QCOMPARE(session.ending(), ending);
    QTEST(session.failureReason(), "reason");
}

QTEST_GUILESS_MAIN(TestDownloadRun)
#include "tst_downloadrun.moc"
