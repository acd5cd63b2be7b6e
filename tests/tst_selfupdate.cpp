#include "download/updatesession.h"
#include "httpserver.h"
#include "testkey.h"
#include "testutil.h"

#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <memory>

using Result = SelfUpdate::Result;

namespace {

const QByteArray formerExe = randomBytes(8192, 1);
const QByteArray newExe = QByteArray(formerExe).replace(100, 4, "nowy");
const QByteArray plugin = "platform plug-in, the same in both releases";
constexpr quint32 running = 1700000000;

QByteArray updaterLine(
    const QByteArray &path, const QByteArray &bytes, quint32 release, const QByteArray &patch = {})
{
    const QByteArray patchElement = "<patch from=\"" + sha256Hex(formerExe) + "\" sha256=\""
        + sha256Hex(patch) + "\" size=\"" + QByteArray::number(patch.size())
        + "\">pliki/exe.patch</patch>";
    return "<" + path + "><ver>" + QByteArray::number(release) + "</ver><sha256>" + sha256Hex(bytes)
        + "</sha256><size>" + QByteArray::number(bytes.size()) + "</size>"
        + (patch.isEmpty() ? QByteArray() : patchElement) + "<link>pliki/"
        + path.mid(path.lastIndexOf('/') + 1) + "</link></" + path + ">\n";
}

} // namespace

class TestSelfUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void renewal_data();
    void renewal();
};

void TestSelfUpdate::renewal_data()
{
    QTest::addColumn<QString>("offer"); // the updater's list, and what the user does meanwhile
    QTest::addColumn<Result>("result");
    QTest::addColumn<QStringList>("fetched"); // the requests for the updater's files

    const QString exe = "/pliki/aktualizator.exe";
    QTest::newRow("newer: the changed file alone comes, and is swapped in")
        << "newer" << Result::Renewed << QStringList {exe};
    QTest::newRow("newer, by patch")
        << "newer, patched" << Result::Renewed << QStringList {"/pliki/exe.patch"};
    QTest::newRow("the user's run meanwhile: the transfer gives way, and starts over after it")
        << "newer, run" << Result::Renewed << QStringList {exe, exe};
    QTest::newRow("the user's run while the updater's list comes: the list again after it")
        << "newer, run on list" << Result::Renewed << QStringList {exe};
    QTest::newRow("the window closes mid-transfer: nothing swapped")
        << "newer, closed" << Result::Stopped << QStringList {exe};
    QTest::newRow("older: nothing fetched") << "older" << Result::Unchanged << QStringList {};
    QTest::newRow("unsigned: nothing fetched") << "unsigned" << Result::Unchanged << QStringList {};
}

// The session as the window drives it, in an installation folder of the updater's own.
void TestSelfUpdate::renewal()
{
    QFETCH(QString, offer);
    QFETCH(Result, result);
    TemporaryWorkingDirectory workDir;
    QVERIFY(workDir.isValid() && QDir().mkpath("plugins") && QDir().mkpath("platforms"));
    QVERIFY(writeFile("aktualizator.exe", formerExe));
    QVERIFY(writeFile("platforms/qwindows.dll", plugin));
    // A killed fetch's, beside a file that this release leaves as it is.
    if (offer.startsWith("newer"))
        QVERIFY(writeFile("platforms/qwindows.dll.aktualizator-0a1b2c.tmp", "cut short"));

    HttpServer server;
    TestKey key;
    const QByteArray components = "<a><ver>2</ver><link>a.dll</link></a>\n";
    server.setBody("/aktualizacje.txt", components);
    server.setBody("/aktualizacje.txt.sig", signatureFile(components, {&key}));
    // Slow enough for the renewal to cut in, if it would.
    server.setResponse("/a.dll", {200, "alfa", {}, 4, 50});
    const quint32 release = offer == "older" ? running - 1 : running + 86400;
    const QByteArray patch = zstdPatch(formerExe, newExe);
    server.setBody("/pliki/exe.patch", patch);
    const QByteArray updaterList
        = updaterLine("aktualizator.exe", newExe, release, offer.endsWith("patched") ? patch : "")
        + updaterLine("platforms/qwindows.dll", plugin, release);
    if (offer.endsWith("run on list"))
        server.setResponse("/aktualizator.txt", {200, updaterList, {}, 64, 50});
    else
        server.setBody("/aktualizator.txt", updaterList);
    if (offer != "unsigned")
        server.setBody("/aktualizator.txt.sig", signatureFile(updaterList, {&key}));
    server.setResponse("/pliki/aktualizator.exe",
        offer.endsWith("closed") ? HttpResponse::faulty(newExe, HttpResponse::Fault::StallAfter, 4)
                                 : HttpResponse {200, newExe, {}, 4, 50});
    server.setBody("/pliki/qwindows.dll", plugin);

    auto session = std::make_unique<UpdateSession>(server.baseUrl());
    session->setPublicKey(key.publicKeyBase64());
    std::atomic<int> selfChecks = 0;
    session->setSelfUpdateSettings({QDir::currentPath(), running, [&selfChecks] {
                                        return ++selfChecks > 0;
                                    }});
    QSignalSpy ended(session.get(), &UpdateSession::selfUpdateFinished);
    bool sharedTheLine = false;
    connect(&server, &HttpServer::requestSeen, this, [&](const QString &path) {
        sharedTheLine = sharedTheLine || (path.startsWith("/aktualizator") && session->isRunning());
        if (offer.endsWith("closed") && path == "/pliki/aktualizator.exe")
            QTimer::singleShot(100, this, [&] { session.reset(); });
        const QString cutIn
            = offer.endsWith("run on list") ? "/aktualizator.txt" : "/pliki/aktualizator.exe";
        if (offer.contains("run") && path == cutIn && server.requestCount(path) == 1)
            QVERIFY(session->startRun(session->offered(), QDir::currentPath()));
    });
    QVERIFY(session->checkForUpdates());
    if (offer.endsWith("closed"))
        QTRY_VERIFY(!session);
    else
        QTRY_COMPARE(ended.size(), 1);
    if (!ended.isEmpty())
        QCOMPARE(ended.at(0).at(0).value<Result>(), result);

    QCOMPARE(readFile("aktualizator.exe"), result == Result::Renewed ? newExe : formerExe);
    QCOMPARE(selfChecks.load(), result == Result::Renewed ? 1 : 0);
    const QStringList requests = server.requestLog();
    QTEST(requests.filter("/pliki/"), "fetched");
    // One transfer at a time: nothing of the updater's while the user's run goes on.
    QVERIFY(!sharedTheLine);
    QCOMPARE(requests.contains("/a.dll"), offer.contains("run"));
    if (offer.endsWith("run on list"))
        QCOMPARE(requests.count("/aktualizator.txt"), 2);
    // No staging or set-aside file, journal or list is left.
    QCOMPARE(treeOf(".").filter(QRegularExpression("^(?!plugins)")),
        QStringList({"aktualizator.exe", "platforms", "platforms/qwindows.dll"}));
}

QTEST_GUILESS_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
