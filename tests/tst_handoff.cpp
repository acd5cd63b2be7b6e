#include "app/processsetup.h"
#include "dialog/updatedialog.h"
#include "dialogflow.h"
#include "testutil.h"

#include <QtTest>

#include <cstdio>
#include <memory>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const QString question = QStringLiteral(
    "Uwaga!\n Aby kontynuować aktualizację konieczne jest zamknięcie programu WELOR oraz "
    "przeładowanie aktualizatora.\n\nCzy zamknąć oba programy?");
const char childSwitch[] = "--hand-off-child";
const char argumentsChildSwitch[] = "--arguments-child";
constexpr int stdoutFd = 1;

QtMessageHandler previousHandler = nullptr;

void messagesToStderr(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Points file descriptor 1 at a temporary file between start() and stop(), so the test sees
// exactly the bytes the process writes to its standard output. The test log normally goes there
// too: messages are sent to standard error meanwhile, and checks run only after stop().
class StdoutCapture
{
public:
    ~StdoutCapture() { stop(); }

    bool start()
    {
        if (!file.open())
            return false;
        std::fflush(stdout);
        savedFd = ::dup(stdoutFd);
        if (savedFd < 0 || ::dup2(file.handle(), stdoutFd) < 0)
            return false;
        previousHandler = qInstallMessageHandler(messagesToStderr);
        return true;
    }

    QByteArray stop()
    {
        if (savedFd >= 0) {
            std::fflush(stdout);
            qInstallMessageHandler(previousHandler);
            ::dup2(savedFd, stdoutFd);
            ::close(savedFd);
            savedFd = -1;
        }
        return bytes();
    }

    QByteArray bytes() const
    {
        std::fflush(stdout);
        QFile reader(file.fileName());
        return reader.open(QIODevice::ReadOnly) ? reader.readAll() : QByteArray();
    }

private:
    QTemporaryFile file;
    int savedFd = -1;
};

// Body of the child process: brings a dialog to the update-list page, presses "Dalej" and
// answers OK. Standard output is left to the word alone; the page reached goes to stderr.
int runChild(int argc, char **argv)
{
    prepareProcess();
    QApplication app(argc, argv);
    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments({"aktualizator", "A::100"});
    DialogProbe::checkButton(&dialog)->click();
    // The list check ends from the event loop.
    if (!QTest::qWaitFor([&dialog] { return DialogProbe::nextButton(&dialog)->isEnabled(); }, 5000))
        return 1;
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    DialogProbe::nextButton(&dialog)->click();
    std::fprintf(stderr, "questions=%d page=%s\n", answerer.count(),
        DialogProbe::caption(&dialog)->text().toUtf8().constData());
#ifndef Q_OS_WIN
    std::fprintf(stderr, "output=%s\n",
        QFileInfo(QStringLiteral("/proc/self/fd/1")).symLinkTarget().toUtf8().constData());
#endif
    return 0;
}

// Body of the child process that shows what became of its command line: the installed page's
// lines, UTF-8 on stderr.
int runArgumentsChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    UpdateDialog dialog(nullptr, unreachableBase);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeAt(1); // the switch
    dialog.parseArguments(arguments);
    const QStringList lines = DialogProbe::listTexts(&dialog);
    for (const QString &line : lines)
        std::fprintf(stderr, "installed: %s\n", line.toUtf8().constData());
    return 0;
}

// The updater is a GUI-subsystem program on Windows, which gets no console: its standard output
// is only what the parent handed over. The hand-off child is built that way there too.
QString handOffChildProgram()
{
#ifdef Q_OS_WIN
    return QCoreApplication::applicationDirPath() + QStringLiteral("/tst_handoff_gui.exe");
#else
    return QCoreApplication::applicationFilePath();
#endif
}

QProcessEnvironment childEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
#ifndef Q_OS_WIN
    // Under Wine only the Windows plug-in starts; it comes with the inherited environment.
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
#endif
    return environment;
}

} // namespace

class TestHandOff : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void okWritesTheWordBeforeSelection();
    void refusalWritesNothing_data();
    void refusalWritesNothing();
    void detachedModeSkipsTheHandOff();
    void childProcess_data();
    void childProcess();
    void polishLettersOnTheCommandLine();

private:
    void openUpdateList(UpdateDialog &dialog, bool detached);

    std::unique_ptr<TemporaryWorkingDirectory> workDir;
};

void TestHandOff::init()
{
    workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(workDir->isValid());
    QVERIFY(writeFile(listFileName,
        "<A><ver>200</ver><link>http://127.0.0.1:0/a.dll</link></A>\n"
        "<N><ver>10</ver><link>http://127.0.0.1:0/n.dll</link></N>\n"));
}

void TestHandOff::cleanup()
{
    workDir.reset();
}

void TestHandOff::openUpdateList(UpdateDialog &dialog, bool detached)
{
    QStringList arguments = {"aktualizator", "A::100"};
    if (detached)
        arguments.append(QStringLiteral("detached"));
    dialog.parseArguments(arguments);
    dialog.show();
    if (!detached)
        DialogProbe::checkButton(&dialog)->click();
    QTRY_COMPARE(DialogProbe::caption(&dialog)->text(), listCaption);
    QVERIFY(DialogProbe::nextButton(&dialog)->isEnabled());
    // The line for N, added while the window is on screen, shows once the event loop has run.
    QTRY_COMPARE(DialogProbe::listTexts(&dialog).size(), 2);
}

void TestHandOff::okWritesTheWordBeforeSelection()
{
    UpdateDialog dialog(nullptr, unreachableBase);
    openUpdateList(dialog, false);

    StdoutCapture capture;
    // What standard output held when the question box appeared and when the first check box of
    // the selection page was put into the list area.
    QList<QByteArray> atQuestion;
    QList<QMessageBox::Icon> icons;
    QByteArray atFirstBox = "(no box)";
    bool sawBox = false;
    QObject *listWidget = dialog.findChild<QScrollArea *>()->widget();
    const EventSpy spy([&](QObject *watched, QEvent *event) {
        if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched)) {
                atQuestion.append(capture.bytes());
                icons.append(box->icon());
            }
        } else if (event->type() == QEvent::ChildAdded && watched == listWidget && !sawBox
            && qobject_cast<QCheckBox *>(static_cast<QChildEvent *>(event)->child())) {
            sawBox = true;
            atFirstBox = capture.bytes();
        }
    });
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    QVERIFY(capture.start());
    DialogProbe::nextButton(&dialog)->click();
    const QByteArray written = capture.stop();

    QCOMPARE(written, QByteArray("koniec"));
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.titles.first(), QStringLiteral("Aktualizacja"));
    QCOMPARE(answerer.texts.first(), question);
    QCOMPARE(answerer.buttons.first(), QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(icons, QList<QMessageBox::Icon> {QMessageBox::Warning});
    QCOMPARE(atQuestion, QList<QByteArray> {QByteArray()});
    QCOMPARE(atFirstBox, QByteArray("koniec"));
    QCOMPARE(DialogProbe::caption(&dialog)->text(), selectionCaption);

    // "Dalej" now starts the download run: nothing is asked or written again. With every box
    // unticked the run ends without a request.
    const QList<QCheckBox *> boxes = DialogProbe::checkBoxes(&dialog);
    for (QCheckBox *box : boxes)
        box->setChecked(false);
    StdoutCapture again;
    QVERIFY(again.start());
    DialogProbe::nextButton(&dialog)->click();
    QCOMPARE(again.stop(), QByteArray());
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(DialogProbe::caption(&dialog)->text(), progressCaption);
}

void TestHandOff::refusalWritesNothing_data()
{
    QTest::addColumn<QMessageBox::StandardButton>("refusal");

    QTest::newRow("Cancel") << QMessageBox::Cancel;
    // No button at all: the box is closed the way Escape or the title bar would.
    QTest::newRow("closed") << QMessageBox::NoButton;
}

void TestHandOff::refusalWritesNothing()
{
    QFETCH(QMessageBox::StandardButton, refusal);

    UpdateDialog dialog(nullptr, unreachableBase);
    openUpdateList(dialog, false);
    const QStringList listPage = DialogProbe::listTexts(&dialog);

    StdoutCapture capture;
    MessageBoxAnswerer answerer(refusal);
    QVERIFY(capture.start());
    DialogProbe::nextButton(&dialog)->click();
    const QByteArray writtenAfterRefusal = capture.bytes();
    const QString captionAfterRefusal = DialogProbe::caption(&dialog)->text();
    const QStringList linesAfterRefusal = DialogProbe::listTexts(&dialog);
    const bool nextEnabledAfterRefusal = DialogProbe::nextButton(&dialog)->isEnabled();
    answerer.setAnswer(QMessageBox::Ok);
    DialogProbe::nextButton(&dialog)->click();
    const QByteArray written = capture.stop();

    QCOMPARE(writtenAfterRefusal, QByteArray());
    QCOMPARE(captionAfterRefusal, listCaption);
    QCOMPARE(linesAfterRefusal, listPage);
    QVERIFY(nextEnabledAfterRefusal);

    QCOMPARE(answerer.texts, QStringList({question, question}));
    QCOMPARE(written, QByteArray("koniec"));
    QCOMPARE(DialogProbe::caption(&dialog)->text(), selectionCaption);
}

void TestHandOff::detachedModeSkipsTheHandOff()
{
    UpdateDialog dialog(nullptr, unreachableBase);
    openUpdateList(dialog, true);

    StdoutCapture capture;
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    QVERIFY(capture.start());
    DialogProbe::nextButton(&dialog)->click();
    QTest::qWait(20); // a box, had one opened, would have been answered by now
    QCOMPARE(capture.stop(), QByteArray());

    QCOMPARE(answerer.count(), 0);
    QCOMPARE(DialogProbe::caption(&dialog)->text(), selectionCaption);
    QCOMPARE(DialogProbe::checkBoxes(&dialog).size(), 2);
}

void TestHandOff::childProcess_data()
{
    QTest::addColumn<bool>("readerGone");

    QTest::addColumn<bool>("outputClosed");

    QTest::newRow("parent reads") << false << false;
    QTest::newRow("parent closed the pipe") << true << false;
#ifndef Q_OS_WIN
    // The toolkit's display connection would take the free number and receive the word.
    QTest::newRow("started with standard input and output closed") << false << true;
#endif
}

void TestHandOff::childProcess()
{
    QFETCH(bool, readerGone);
    QFETCH(bool, outputClosed);

    QProcess child;
    child.setProgram(handOffChildProgram());
    child.setArguments({QString::fromLatin1(childSwitch)});
    child.setWorkingDirectory(workDir->path());
    child.setProcessEnvironment(childEnvironment());

#ifdef Q_OS_WIN
    // The same on Windows: the write fails with ERROR_NO_DATA and must be ignored.
    HANDLE writeEnd = nullptr;
    if (readerGone) {
        HANDLE readEnd = nullptr;
        SECURITY_ATTRIBUTES inherit {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        QVERIFY(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
        CloseHandle(readEnd);
        child.setCreateProcessArgumentsModifier([writeEnd](QProcess::CreateProcessArguments *args) {
            args->startupInfo->hStdOutput = writeEnd;
        });
    }

    child.start();
    if (readerGone)
        CloseHandle(writeEnd);
#else
    // A pipe whose reading end is already closed: the child's write meets EPIPE, and would
    // meet SIGPIPE's default action if the process did not guard against it.
    int brokenPipe[2] = {-1, -1};
    if (readerGone) {
        QVERIFY(::pipe(brokenPipe) == 0);
        ::close(brokenPipe[0]);
        const int writeEnd = brokenPipe[1];
        child.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
    }

    if (outputClosed)
        child.setChildProcessModifier([] {
            ::close(STDIN_FILENO);
            ::close(STDOUT_FILENO);
        });

    child.start();
    if (readerGone)
        ::close(brokenPipe[1]);
#endif
    QVERIFY2(child.waitForFinished(30000), qPrintable(child.errorString()));

    const QString report = QString::fromUtf8(child.readAllStandardError());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY2(report.contains(QStringLiteral("questions=1 page=") + selectionCaption),
        qPrintable(report));
    QCOMPARE(child.readAllStandardOutput(),
        readerGone || outputClosed ? QByteArray() : QByteArray("koniec"));
#ifndef Q_OS_WIN
    if (outputClosed)
        QVERIFY2(report.contains(QStringLiteral("output=/dev/null")), qPrintable(report));
#endif
}

void TestHandOff::polishLettersOnTheCommandLine()
{
    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments({QString::fromLatin1(argumentsChildSwitch), QStringLiteral("Księgowość::5"),
        QStringLiteral("Żółć::7")});
    child.setWorkingDirectory(workDir->path());
    child.setProcessEnvironment(childEnvironment());
    child.start();
    QVERIFY2(child.waitForFinished(30000), qPrintable(child.errorString()));

    QCOMPARE(child.exitCode(), 0);
    // Qt's own messages share standard error.
    const QString report = QString::fromUtf8(child.readAllStandardError());
    const QStringList lines = report.split(QLatin1Char('\n')).filter(QStringLiteral("installed: "));
    QVERIFY2(lines.size() == 2, qPrintable(report));
    QVERIFY2(lines.at(0).startsWith(QStringLiteral("installed: <pre>Księgowość\t")),
        qPrintable(lines.at(0)));
    QVERIFY2(
        lines.at(1).startsWith(QStringLiteral("installed: <pre>Żółć\t")), qPrintable(lines.at(1)));
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], childSwitch) == 0)
        return runChild(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], argumentsChildSwitch) == 0)
        return runArgumentsChild(argc, argv);

    QApplication app(argc, argv);
    TestHandOff test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_handoff.moc"
