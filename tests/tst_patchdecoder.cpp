#include "download/patchdecoder.h"
#include "testutil.h"

#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

enum class Case { Whole, OneByteShort, Truncated, Fifo, Link };

constexpr qint64 budget = 4 * 1024 * 1024;

} // namespace

Q_DECLARE_METATYPE(Case)

class TestPatchDecoder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data();
    void decode();
    void stepsStayWithinTheBudget();
};

void TestPatchDecoder::decode_data()
{
    QTest::addColumn<Case>("situation");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<bool>("decodes");

    QTest::newRow("whole") << Case::Whole << true << true;
    // The list line's size is the output: a frame that would write more fails instead.
    QTest::newRow("frame longer than the size") << Case::OneByteShort << true << false;
#ifndef Q_OS_WIN
    // Truncated while mapped, by another program: SIGBUS on the next page, caught.
    QTest::newRow("base truncated") << Case::Truncated << true << false;
    QTest::newRow("base is a FIFO") << Case::Fifo << false << false;
    QTest::newRow("base is a link") << Case::Link << false << false;
#endif
}

void TestPatchDecoder::decode()
{
    QFETCH(Case, situation);
    QFETCH(bool, opens);
    QFETCH(bool, decodes);

    TemporaryWorkingDirectory workDir;
    QVERIFY(workDir.isValid());
    const QByteArray base = randomBytes(3 * 1024 * 1024, 1);
    QByteArray newFile = base;
    newFile.replace(100000, 64, randomBytes(64, 2));
    const QByteArray patch = zstdPatch(base, newFile);
    QVERIFY(writeFile("base", base));
    QString basePath = QStringLiteral("base");
#ifndef Q_OS_WIN
    if (situation == Case::Fifo) {
        QVERIFY(mkfifo("fifo", 0600) == 0);
        basePath = QStringLiteral("fifo");
    }
    if (situation == Case::Link) {
        QVERIFY(QFile::link("base", "link"));
        basePath = QStringLiteral("link");
    }
#endif
    QByteArray output(newFile.size() - (situation == Case::OneByteShort ? 1 : 0), '\0');
    PatchDecoder decoder;
    QCOMPARE(
        decoder.open(basePath, reinterpret_cast<uchar *>(output.data()), output.size()), opens);
    if (!opens)
        return;
    if (situation == Case::Truncated)
        QVERIFY(QFile::resize("base", 0));
    qsizetype used = 0;
    const PatchDecoder::Step step = decoder.decode(patch.constData(), patch.size(), &used, budget);
    QCOMPARE(step, decodes ? PatchDecoder::Step::Ended : PatchDecoder::Step::Failed);
    if (decodes) {
        QCOMPARE(used, patch.size());
        QVERIFY(output == newFile);
    }
}

void TestPatchDecoder::stepsStayWithinTheBudget()
{
    // 64 MiB from a few hundred bytes: one unbounded step would write all of it at once.
    const QByteArray newFile(64 * 1024 * 1024, 'x');
    const QByteArray patch = zstdPatch({}, newFile);
    QVERIFY(patch.size() < 4096);
    TemporaryWorkingDirectory workDir;
    QVERIFY(writeFile("empty", {}));
    QByteArray output(newFile.size(), '\0');
    PatchDecoder decoder;
    QVERIFY(decoder.open("empty", reinterpret_cast<uchar *>(output.data()), output.size()));
    qsizetype offset = 0;
    PatchDecoder::Step step = PatchDecoder::Step::Going;
    int steps = 0;
    while (step == PatchDecoder::Step::Going && steps < 100) {
        const qint64 before = decoder.produced();
        qsizetype used = 0;
        step = decoder.decode(patch.constData() + offset, patch.size() - offset, &used, budget);
        offset += used;
        ++steps;
        QVERIFY(decoder.produced() - before <= budget + 128 * 1024);
    }
    QCOMPARE(step, PatchDecoder::Step::Ended);
    QCOMPARE(steps, 16);
    QVERIFY(output == newFile);
}

QTEST_GUILESS_MAIN(TestPatchDecoder)
#include "tst_patchdecoder.moc"
