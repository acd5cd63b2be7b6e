#include "files/leftoversweep.h"
#include "files/stagedfile.h"
#include "testutil.h"
#include "transfer/verifiedfile.h"

#include <QtTest>

#include <memory>

namespace {

QStringList namesIn(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

// The file system under the updater: what a failed or abandoned write leaves, the work that
// runs beside the event loop, and what the start-up sweep clears.
class TestStagedFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void failedWriteKeepsFormerFile_data();
    void failedWriteKeepsFormerFile();
    void ownerGoneDuringFlush();
    void largeFormerFileGoesBesideTheLoop();
    void sweep_data();
    void sweep();

private:
    std::unique_ptr<QTemporaryDir> dir;
};

void TestStagedFile::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestStagedFile::failedWriteKeepsFormerFile_data()
{
    QTest::addColumn<bool>("mapped");
    QTest::newRow("bytes written") << false;
    QTest::newRow("bytes mapped") << true;
}

// A full disk, as a file size limit: the bytes that did not fit end the file, and nothing of
// it is left but the former file.
void TestStagedFile::failedWriteKeepsFormerFile()
{
#ifdef Q_OS_WIN
    QSKIP(noFileSizeLimitReason);
#else
    QFETCH(bool, mapped);
    const QString target = dir->filePath(QStringLiteral("f.dll"));
    QVERIFY(writeFile(target, "former"));
    {
        VerifiedFile file(target);
        QVERIFY(file.open());
        const FileSizeLimit limit(4096);
        const QByteArray bytes = bodyOf(8000, 'n');
        if (mapped) {
            QVERIFY(!file.mapForWriting(bytes.size()));
        } else {
            QCOMPARE(file.append(bytes.left(1000), -1), VerifiedFile::Append::Written);
            file.append(bytes.mid(1000), -1);
            const std::optional<TransferFailure> failure = file.verify();
            QVERIFY(failure);
            QCOMPARE(failure->kind, TransferFailure::Kind::WriteFailed);
        }
    }
    QCOMPARE(readFile(target), QByteArray("former"));
    QCOMPARE(namesIn(dir->path()), QStringList {QStringLiteral("f.dll")});
#endif
}

// The flush runs on a handle of its own: the file's owner may go before it ends, and then
// neither the result nor the new bytes are anyone's.
void TestStagedFile::ownerGoneDuringFlush()
{
    const QString target = dir->filePath(QStringLiteral("f.dll"));
    QVERIFY(writeFile(target, "former"));
    auto file = std::make_unique<VerifiedFile>(target);
    QVERIFY(file->open());
    const qint64 size = 48 * 1024 * 1024;
    uchar *map = file->mapForWriting(size);
    QVERIFY(map);
    memset(map, 'n', size_t(size));
    QVERIFY(file->written(size));
    QVERIFY(!file->verify());
    bool committed = false;
    connect(file.get(), &VerifiedFile::committed, this, [&] { committed = true; });
    file->commitWhenFree(0, [](const QString &) { return false; });
    file.reset();
    // Windows removes the staging file once the flush lets go of its handle.
    QTRY_COMPARE(namesIn(dir->path()), QStringList {QStringLiteral("f.dll")});
    QVERIFY(!committed);
    QCOMPARE(readFile(target), QByteArray("former"));
}

void TestStagedFile::largeFormerFileGoesBesideTheLoop()
{
    const QString target = dir->filePath(QStringLiteral("f.dll"));
    QVERIFY(writeFile(target, QByteArray(40 * 1024 * 1024, 'o')));
    StagedFile staged(target);
    QVERIFY(staged.open());
    QVERIFY(staged.write("new"));
    QCOMPARE(staged.commit(), StagedFile::Replace::Done);
    QFuture<bool> removal = staged.formerFileRemoval();
    QVERIFY(removal.isValid());
    QTRY_VERIFY(removal.isFinished());
    QVERIFY(removal.result());
    QCOMPARE(readFile(target), QByteArray("new"));
    QCOMPARE(namesIn(dir->path()), QStringList {QStringLiteral("f.dll")});
}

void TestStagedFile::sweep_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("left");
    const QString staged = QStringLiteral("f.dll.aktualizator-ab12cd.tmp");
    const QString setAside = QStringLiteral("f.dll.aktualizator-ab12cd.old");
    // A removal still running when the updater closed, or a run that was ended.
    QTest::newRow("staging file") << QStringList {QStringLiteral("f.dll"), staged}
                                  << QStringList {QStringLiteral("f.dll")};
    QTest::newRow("staging file of a patch")
        << QStringList {QStringLiteral("f.dll.patch.aktualizator-zz0000.tmp")} << QStringList {};
    QTest::newRow("set aside, own name taken")
        << QStringList {QStringLiteral("f.dll"), setAside} << QStringList {QStringLiteral("f.dll")};
    // The only copy of the file left: it goes back under its name.
    QTest::newRow("set aside, own name free")
        << QStringList {setAside} << QStringList {QStringLiteral("f.dll")};
    QTest::newRow("names of others")
        << QStringList {QStringLiteral("f.dll.aktualizator-ABCDEF.tmp"),
               QStringLiteral("f.dll.aktualizator-ab12c.tmp"), QStringLiteral("x.aktualizator.tmp")}
        << QStringList {QStringLiteral("f.dll.aktualizator-ABCDEF.tmp"),
               QStringLiteral("f.dll.aktualizator-ab12c.tmp"),
               QStringLiteral("x.aktualizator.tmp")};
    // Only the two folders the updater writes are swept, not what lies below them.
    QTest::newRow("a user's folder below")
        << QStringList {QStringLiteral("sub/") + staged}
        << QStringList {QStringLiteral("sub"), QStringLiteral("sub/") + staged};
}

void TestStagedFile::sweep()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, left);
    for (const QString &file : std::as_const(files)) {
        QVERIFY(QDir(dir->path()).mkpath(QFileInfo(dir->filePath(file)).path()));
        QVERIFY(writeFile(dir->filePath(file), file.toUtf8()));
    }
    sweepLeftovers(dir->path());
    QCOMPARE(treeOf(dir->path()), left);
    for (const QString &name : std::as_const(left)) {
        if (QFileInfo(dir->filePath(name)).isFile() && !files.contains(name))
            QCOMPARE(readFile(dir->filePath(name)), files.constFirst().toUtf8());
    }
}

QTEST_GUILESS_MAIN(TestStagedFile)
#include "tst_stagedfile.moc"
