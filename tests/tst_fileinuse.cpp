#include "dialog/updatedialog.h"
#include "dialogflow.h"
#include "httpserver.h"
#include "testutil.h"

#include <QtTest>

#include <memory>

namespace {

const QString listPath = QStringLiteral("/aktualizacje.txt");
const QByteArray formerBytes = "former plugin bytes\n";
const QByteArray newBytes = "the new plugin, longer than the former one\n";

} // namespace

// A program that has just closed may still hold its executable or a plug-in for a moment; on
// Windows the replace then fails. A child process holds the target open without sharing.
class TestFileInUse : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void heldTarget_data();
    void heldTarget();

private:
    std::unique_ptr<TemporaryWorkingDirectory> workDir;
    std::unique_ptr<QProcess> holder;
};

void TestFileInUse::init()
{
#ifndef Q_OS_WIN
    QSKIP("Only Windows refuses to replace a file that another process holds open");
#endif
    workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir().mkdir("plugins"));
}

void TestFileInUse::cleanup()
{
    if (holder) {
        holder->kill();
        holder->waitForFinished(5000);
        holder.reset();
    }
    workDir.reset();
}

void TestFileInUse::heldTarget_data()
{
    QTest::addColumn<int>("holdMs");
    QTest::addColumn<bool>("replaced");

    QTest::newRow("held 1 s") << 1000 << true;
    QTest::newRow("held 15 s") << 15000 << false;
}

void TestFileInUse::heldTarget()
{
    QFETCH(int, holdMs);
    QFETCH(bool, replaced);

    QVERIFY(writeFile("plugins/x.dll", formerBytes));
    HttpServer server;
    server.setBody("/files/x.dll", newBytes);
    server.setBody(listPath,
        "<x><ver>7</ver><link>" + server.url("/files/x.dll").toString().toUtf8() + "</link></x>\n");
    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.setUpdatePublicKey({});
    dialog.parseArguments({"aktualizator", "detached"});
    DialogFlow::toSelection(&dialog);
    QVERIFY(!QTest::currentTestFailed());

    holder = std::make_unique<QProcess>();
    holder->start(QCoreApplication::applicationDirPath() + QStringLiteral("/holdfile.exe"),
        {QDir::toNativeSeparators(workDir->filePath("plugins/x.dll")), QString::number(holdMs)});
    QVERIFY2(holder->waitForReadyRead(10000), qPrintable(holder->errorString()));
    QCOMPARE(holder->readLine().trimmed(), QByteArray("held"));

    MessageBoxAnswerer answerer(QMessageBox::Ok);
    DialogProbe::nextButton(&dialog)->click();
    DialogFlow::waitForEnd(&dialog, holdMs + 15000);

    if (replaced) {
        QCOMPARE(answerer.texts, QStringList());
        QCOMPARE(DialogProbe::statusText(&dialog), successText);
        QCOMPARE(readFile("plugins/x.dll"), newBytes);
    } else {
        QCOMPARE(answerer.texts, QStringList {cannotWriteText});
        QCOMPARE(DialogProbe::statusText(&dialog), errorText);
        // Still held: read it once the holder has let go.
        holder->kill();
        holder->waitForFinished(5000);
        QCOMPARE(readFile("plugins/x.dll"), formerBytes);
    }
    QCOMPARE(treeOf("plugins"), QStringList {"x.dll"});
}

QTEST_MAIN(TestFileInUse)
#include "tst_fileinuse.moc"
