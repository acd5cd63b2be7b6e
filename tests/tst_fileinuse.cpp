#include "dialog/updatedialog.h"
#include "dialogflow.h"
#include "httpserver.h"
#include "testutil.h"
#include "files/fileinuse.h"
#include "transfer/transferpolicy.h"

#include <QtTest>

#include <memory>

namespace {

const QString listPath = QStringLiteral("/aktualizacje.txt");
const QByteArray formerBytes = "former plugin bytes\n";
const QByteArray newBytes = "the new plugin, longer than the former one\n";

} // namespace

// A program that has just closed may still hold its executable or a plug-in for a moment, and a
// virus scanner opens a freshly written file; on Windows the replace then fails. A child process
// holds the target, or the new file waiting beside it, open without sharing.
class TestFileInUse : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void heldFile_data();
    void heldFile();

private:
    void startHolder(const QString &path, int holdMs);

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

void TestFileInUse::startHolder(const QString &path, int holdMs)
{
    holder = std::make_unique<QProcess>();
    holder->start(QCoreApplication::applicationDirPath() + QStringLiteral("/holdfile.exe"),
        {QDir::toNativeSeparators(path), QString::number(holdMs)});
    QVERIFY2(holder->waitForReadyRead(10000), qPrintable(holder->errorString()));
    QCOMPARE(holder->readLine().trimmed(), QByteArray("held"));
}

void TestFileInUse::heldFile_data()
{
    QTest::addColumn<bool>("newFileHeld");
    QTest::addColumn<int>("holdMs");
    QTest::addColumn<bool>("replaced");

    QTest::newRow("target held 1 s") << false << 1000 << true;
    QTest::newRow("target held 15 s") << false << 15000 << false;
    QTest::newRow("new file held 1 s") << true << 1000 << true;
    QTest::newRow("new file held 15 s") << true << 15000 << false;
}

void TestFileInUse::heldFile()
{
    QFETCH(bool, newFileHeld);
    QFETCH(int, holdMs);
    QFETCH(bool, replaced);

    QVERIFY(writeFile("plugins/x.dll", formerBytes));
    HttpServer server;
    server.setBody("/files/x.dll", newBytes);
    server.setBody(listPath,
        "<x><ver>7</ver><link>" + server.url("/files/x.dll").toString().toUtf8() + "</link></x>\n");
    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.setUpdatePublicKey({});
    if (newFileHeld) {
        // The moment a scanner would pick: the new file is whole, checked and closed.
        TransferPolicy policy;
        policy.inUseCheck = [this, holdMs](const QString &target) {
            const QStringList waiting = QDir("plugins").entryList({"x.dll.*.tmp"}, QDir::Files);
            if (!holder && waiting.size() == 1)
                startHolder("plugins/" + waiting.first(), holdMs);
            return isFileInUse(target);
        };
        dialog.setTransferPolicy(policy);
    }
    dialog.parseArguments({"aktualizator", "detached"});
    DialogFlow::toSelection(&dialog);
    QVERIFY(!QTest::currentTestFailed());
    if (!newFileHeld)
        startHolder(workDir->filePath("plugins/x.dll"), holdMs);
    QVERIFY(!QTest::currentTestFailed());

    MessageBoxAnswerer answerer(QMessageBox::Ok);
    DialogProbe::nextButton(&dialog)->click();
    DialogFlow::waitForEnd(&dialog, holdMs + 15000);
    QVERIFY(holder);

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
    // A new file that was held when the run gave up goes once it is let go.
    QTRY_COMPARE(treeOf("plugins"), QStringList {"x.dll"});
}

QTEST_MAIN(TestFileInUse)
#include "tst_fileinuse.moc"
