#include "files/job.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {

enum class Step { Start, EndOk, EndFailed, Kill, Loop, Slice };

// Ends as its script says, from inside doStart() (at the first Loop), from a slice it leaves to
// the next loop pass, or from the test.
class ScriptedJob : public JobOf<int, QString>
{
    Q_OBJECT

public:
    ScriptedJob()
        : JobOf(9)
    { }
    ~ScriptedJob() override { kill(); }

    void end(int result, const QString &why) { finish(result, why); }

    int starts = 0;
    int kills = 0;
    QList<Step> inStart;
    bool endedInsideStart = false;

Q_SIGNALS:
    void finished(int result);

protected:
    void doStart() override
    {
        ++starts;
        for (Step step : inStart) {
            if (step == Step::Slice)
                continueLater(&ScriptedJob::slice);
            else
                end(step == Step::EndOk ? 0 : 1, step == Step::EndOk ? QString() : "broken");
        }
    }
    void doKill() override { ++kills; }
    void announceResult() override { emit finished(result()); }

private:
    void slice() { end(0, {}); }
};

} // namespace

Q_DECLARE_METATYPE(Step)

class TestJob : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lifecycle_data();
    void lifecycle();
    void releaseChildLetsGo();
};

void TestJob::lifecycle_data()
{
    QTest::addColumn<QList<Step>>("steps"); // Loop: one event-loop pass
    QTest::addColumn<QList<Step>>("inStart"); // what doStart() does
    QTest::addColumn<int>("starts");
    QTest::addColumn<QList<int>>("results"); // every finished() seen
    QTest::addColumn<int>("result"); // result() at the end
    QTest::addColumn<QString>("failure");

    using L = QList<Step>;
    const L none;
    QTest::newRow("an end found at once still waits for the loop")
        << L {Step::Start, Step::Loop} << L {Step::EndFailed} << 1 << QList<int> {1} << 1
        << "broken";
    QTest::newRow("only the first end counts")
        << L {Step::Start, Step::Loop} << L {Step::EndOk, Step::EndFailed} << 1 << QList<int> {0}
        << 0 << QString();
    QTest::newRow("started twice, works once")
        << L {Step::Start, Step::Start, Step::Loop, Step::EndOk} << none << 1 << QList<int> {0} << 0
        << QString();
    QTest::newRow("killed before the loop: never starts, says nothing")
        << L {Step::Start, Step::Kill, Step::Loop} << L {Step::EndOk} << 0 << QList<int>() << 9
        << QString();
    QTest::newRow("killed while working: a late end is ignored")
        << L {Step::Start, Step::Loop, Step::Kill, Step::EndOk} << none << 1 << QList<int>() << 9
        << QString();
    QTest::newRow("killed between slices: the next one never runs")
        << L {Step::Start, Step::Loop, Step::Kill, Step::Loop} << L {Step::Slice} << 1
        << QList<int>() << 9 << QString();
    QTest::newRow("killed after the end: no second finished, the result stays")
        << L {Step::Start, Step::Loop, Step::EndFailed, Step::Kill} << none << 1 << QList<int> {1}
        << 1 << "broken";
    QTest::newRow("start after a kill does nothing")
        << L {Step::Kill, Step::Start, Step::Loop} << none << 0 << QList<int>() << 9 << QString();
}

void TestJob::lifecycle()
{
    QFETCH(QList<Step>, steps);
    QFETCH(QList<Step>, inStart);

    ScriptedJob job;
    job.inStart = inStart;
    QSignalSpy finished(&job, &ScriptedJob::finished);
    int kills = 0;
    for (Step step : steps) {
        switch (step) {
        case Step::Start:
            job.start();
            // Never inside start().
            QCOMPARE(job.starts, 0);
            QCOMPARE(finished.size(), 0);
            break;
        case Step::EndOk:
        case Step::EndFailed:
            job.end(step == Step::EndOk ? 0 : 1, step == Step::EndOk ? QString() : "broken");
            break;
        case Step::Kill:
            job.kill();
            // The work is stopped, and what the job holds dropped, even after the end.
            QCOMPARE(job.kills, ++kills);
            break;
        case Step::Loop:
            QCoreApplication::processEvents();
            break;
        case Step::Slice:
            break;
        }
    }
    QCoreApplication::processEvents();

    QTEST(job.starts, "starts");
    QList<int> results;
    for (const QList<QVariant> &signal : std::as_const(finished))
        results.append(signal.at(0).toInt());
    QTEST(results, "results");
    QVERIFY(job.isFinished());
    QTEST(job.result(), "result");
    QTEST(job.failure(), "failure");
}

void TestJob::releaseChildLetsGo()
{
    QObject owner;
    ScriptedJob *job = new ScriptedJob;
    QPointer<ScriptedJob> watch(job);
    bool calledBack = false;
    connect(job, &ScriptedJob::finished, &owner, [&] { calledBack = true; });
    job->start();
    releaseChild(job, &owner);
    QVERIFY(!job);
    // Killed at once, so the queued start finds it ended; deleted from the event loop.
    QCOMPARE(watch->kills, 1);
    QTRY_VERIFY(!watch);
    QVERIFY(!calledBack);
}

QTEST_GUILESS_MAIN(TestJob)
#include "tst_job.moc"
