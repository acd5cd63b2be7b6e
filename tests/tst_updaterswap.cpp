#include "download/updaterselfcheck.h"
#include "files/leftoversweep.h"
#include "files/stagingname.h"
#include "files/updaterswap.h"
#include "testutil.h"

#include <QtTest>

#include <cstdlib>

Q_DECLARE_METATYPE(UpdaterSwap::Outcome)

namespace {

const char killedChildSwitch[] = "--swap-killed-at-step";
// a.exe and sub/b.dll are replaced, sub/c.dll is added.
const QStringList paths = {"a.exe", "sub/b.dll", "sub/c.dll"};

QByteArray bytesOf(const QString &release, const QString &path)
{
    return (release + QLatin1Char(' ') + path).toUtf8();
}

// The old files in `folder`, and the new ones staged beside them.
QList<UpdaterSwap::File> prepare(const QString &folder)
{
    QDir().mkpath(folder + QStringLiteral("/sub"));
    QList<UpdaterSwap::File> files;
    for (const QString &path : paths) {
        const QFileInfo target(folder + QLatin1Char('/') + path);
        if (path != QLatin1String("sub/c.dll"))
            writeFile(target.filePath(), bytesOf("old", path));
        const QString staging = randomStagingName(target.fileName());
        const QByteArray bytes = bytesOf("new", path);
        writeFile(target.path() + QLatin1Char('/') + staging, bytes);
        files.append({path, staging, sha256Hex(bytes), bytes.size()});
    }
    return files;
}

// "old" or "new" when the folder holds exactly one release's files and nothing else.
QString releaseIn(const QString &folder)
{
    const QStringList tree = treeOf(folder);
    const QString release = tree.contains(QStringLiteral("sub/c.dll")) ? "new" : "old";
    QStringList expected = {"a.exe", "sub", "sub/b.dll"};
    if (release == QLatin1String("new"))
        expected.append(QStringLiteral("sub/c.dll"));
    if (tree != expected)
        return tree.join(QLatin1Char(' '));
    for (const QString &path : std::as_const(expected)) {
        if (path != QLatin1String("sub") && readFile(folder + '/' + path) != bytesOf(release, path))
            return QStringLiteral("a mix: ") + path;
    }
    return release;
}

// A process that renews the files and is killed just before the swap's step `step`.
int runKilledChild(char **argv)
{
    const int step = atoi(argv[2]);
    UpdaterSwap swap(QString::fromLocal8Bit(argv[3]));
    int steps = 0;
    swap.setBeforeStep([&] {
        if (++steps == step)
            std::_Exit(0);
        return true;
    });
    return swap.run(prepare(QString::fromLocal8Bit(argv[3]))) == UpdaterSwap::Outcome::Done ? 0 : 1;
}

} // namespace

class TestUpdaterSwap : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void swap_data();
    void swap();
    void killedMidSwap_data();
    void killedMidSwap();
    void selfCheck_data();
    void selfCheck();

private:
    std::unique_ptr<QTemporaryDir> dir;
};

void TestUpdaterSwap::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestUpdaterSwap::swap_data()
{
    QTest::addColumn<int>("failingStep");
    QTest::addColumn<bool>("checksumWrong");
    QTest::addColumn<bool>("selfCheckPasses");
    QTest::addColumn<bool>("locked");
    QTest::addColumn<UpdaterSwap::Outcome>("outcome");
    using Outcome = UpdaterSwap::Outcome;
    QTest::newRow("all staged") << 0 << false << true << false << Outcome::Done;
    QTest::newRow("one checksum wrong") << 0 << true << true << false << Outcome::NotStaged;
    // Steps: b.dll aside, b.dll in, c.dll in, a.exe aside, a.exe in, the commit.
    QTest::newRow("first rename fails") << 1 << false << true << false << Outcome::Failed;
    QTest::newRow("a rename mid-swap fails") << 4 << false << true << false << Outcome::Failed;
    QTest::newRow("last rename fails") << 5 << false << true << false << Outcome::Failed;
    QTest::newRow("commit fails") << 6 << false << true << false << Outcome::Failed;
    QTest::newRow("self-check fails") << 0 << false << false << false << Outcome::SelfCheckFailed;
    QTest::newRow("another renewal under way") << 0 << false << true << true << Outcome::Busy;
}

void TestUpdaterSwap::swap()
{
    QFETCH(int, failingStep);
    QFETCH(bool, checksumWrong);
    QFETCH(bool, selfCheckPasses);
    QFETCH(bool, locked);
    QFETCH(UpdaterSwap::Outcome, outcome);
    const QString folder = dir->path();
    QList<UpdaterSwap::File> files = prepare(folder);
    if (checksumWrong)
        files[1].sha256 = sha256Hex("other");
    QLockFile other(folder + QStringLiteral("/aktualizator-swap.lock"));
    QVERIFY(!locked || other.tryLock(0));
    UpdaterSwap swap(folder);
    int steps = 0;
    swap.setBeforeStep([&] { return ++steps != failingStep; });
    QString seenBySelfCheck;
    swap.setSelfCheck([&] {
        seenBySelfCheck = readFile(folder + QStringLiteral("/a.exe"));
        return selfCheckPasses;
    });
    QCOMPARE(swap.run(files), outcome);
    other.unlock();
    QCOMPARE(releaseIn(folder), outcome == UpdaterSwap::Outcome::Done ? "new" : "old");
    // The new updater is checked with every new file in place.
    const bool checked = (failingStep == 0 || failingStep == 6) && !checksumWrong && !locked;
    QCOMPARE(seenBySelfCheck, checked ? QStringLiteral("new a.exe") : QString());
}

void TestUpdaterSwap::killedMidSwap_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("release");
    // Up to the commit (step 6) the next start puts the old files back; after it, it clears
    // the former files away (steps 7 and 8).
    for (int step = 1; step <= 8; ++step)
        QTest::addRow("before step %d", step) << step << (step <= 6 ? "old" : "new");
}

void TestUpdaterSwap::killedMidSwap()
{
    QFETCH(int, step);
    QFETCH(QString, release);
    const ProgramRun child = runProgram(QCoreApplication::applicationFilePath(),
        {killedChildSwitch, QString::number(step), dir->path()});
    QVERIFY2(child.finished && child.exitCode == 0, qPrintable(child.err));
    QVERIFY(releaseIn(dir->path()) != release || step > 6);
    sweepLeftovers(dir->path());
    QCOMPARE(releaseIn(dir->path()), release);
}

void TestUpdaterSwap::selfCheck_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("passes");
    QTest::newRow("the updater built here") << QStringLiteral(AKTUALIZATOR_PROGRAM) << true;
#ifndef Q_OS_WIN
    QTest::newRow("writes to standard output") << QStringLiteral("/bin/echo") << false;
    QTest::newRow("ends with 1") << QStringLiteral("/bin/false") << false;
#endif
    QTest::newRow("missing") << QCoreApplication::applicationDirPath()
            + QStringLiteral("/no-such-program")
                             << false;
}

void TestUpdaterSwap::selfCheck()
{
    QFETCH(QString, program);
    QFETCH(bool, passes);
    QString why;
    QCOMPARE(runUpdaterSelfCheck(program, dir->path(), 10000, &why), passes);
    QCOMPARE(why.isEmpty(), passes);
    QCOMPARE(treeOf(dir->path()), QStringList());
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], killedChildSwitch) == 0)
        return runKilledChild(argv);
    QCoreApplication app(argc, argv);
    TestUpdaterSwap test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_updaterswap.moc"
