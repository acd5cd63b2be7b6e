#include "download/updatesession.h"
#include "httpserver.h"
#include "testutil.h"

#include <QSignalSpy>
#include <QtTest>

using Ending = UpdateSession::Ending;

class TestUpdateSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ends_data();
    void ends();
};

void TestUpdateSession::ends_data()
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
void TestUpdateSession::ends()
{
    QFETCH(QString, b);
    QFETCH(Ending, ending);

    TemporaryWorkingDirectory workDir;
    QVERIFY(workDir.isValid() && QDir().mkpath("plugins"));
    HttpServer server;
    server.setBody("/wydanie/a.dll", "alfa");
    if (b != "missing")
        server.setBody("/wydanie/b.dll", "beta");
    if (b != "no list")
        server.setBody("/wydanie/aktualizacje.txt",
            "<a><ver>2</ver><link>a.dll</link></a>\n<b><ver>2</ver><link>b.dll</link></b>\n");
    if (b == "directory in its place")
        QVERIFY(QDir().mkpath("plugins/b.dll/inside"));
    UpdateSession session(server.baseUrl() + "/wydanie");
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

QTEST_GUILESS_MAIN(TestUpdateSession)
#include "tst_updatesession.moc"
