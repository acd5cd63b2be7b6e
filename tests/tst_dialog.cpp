#include "app/toolkittranslation.h"
#include "dialog/updatedialog.h"
#include "dialog/versionline.h"
#include "dialogflow.h"
#include "testutil.h"
#include "version/version.h"

#include <QtTest>

#include <QBoxLayout>
#include <QKeySequence>
#include <QTextDocument>

#include <memory>

namespace {

QString listLine(const QString &name, int version)
{
    return QStringLiteral("<%1><ver>%2</ver><link>http://127.0.0.1:0/%1.dll</link></%1>")
        .arg(name)
        .arg(version);
}

bool writeListFile(const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += polishWindows1250(line) + '\n';
    return writeFile(listFileName, bytes);
}

QString plainRendering(const QString &richText)
{
    QTextDocument document;
    document.setHtml(richText);
    return document.toPlainText();
}

QStringList plainRenderings(QDialog *dialog)
{
    QStringList lines;
    const QStringList texts = DialogProbe::listTexts(dialog);
    for (const QString &text : texts)
        lines.append(plainRendering(text));
    return lines;
}

QString plainLine(const QString &name, quint32 version)
{
    return QStringLiteral("<pre>%1\t\twersja: %2</pre>").arg(name, formatVersion(version));
}

QString colouredLine(const QString &name, const QString &colour, quint32 version)
{
    return QStringLiteral("<pre>%1\t\t<span style=\"color:%2\"><b>wersja: %3</b></span></pre>")
        .arg(name, colour, formatVersion(version));
}

QString newLine(const QString &name, quint32 version)
{
    return QStringLiteral(
        "<pre><b>%1</b>\t\t<span style=\"color:#ff0000\"><b>wersja: %2</b></span></pre>")
        .arg(name, formatVersion(version));
}

// A version line as the user reads it.
QString plainOf(const QString &name, quint32 version)
{
    return name + QStringLiteral("\t\twersja: ") + formatVersion(version);
}

// Runs everything queued so far: layout requests, deferred shows, repaints.
void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

// Milliseconds from the click that builds the page (the update-list page, or the selection page
// after it) until it is laid out and painted, for a list of `entries` lines, half installed.
double pageBuildMs(int entries, bool selectionPage)
{
    QStringList lines, installed;
    for (int i = 0; i < entries; ++i) {
        const QString name = QStringLiteral("plugin_%1").arg(i, 5, 10, QLatin1Char('0'));
        lines += listLine(name, 2000 + i % 2);
        if (i % 2)
            installed += name + QStringLiteral("::2000");
    }
    if (!writeListFile(lines))
        return -1;
    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments(QStringList {"aktualizator"} + installed
        + (selectionPage ? QStringList {"detached"} : QStringList()));
    dialog.show();
    settle();
    QAbstractButton *button
        = selectionPage ? DialogProbe::nextButton(&dialog) : DialogProbe::checkButton(&dialog);
    QElapsedTimer clock;
    clock.start();
    button->click();
    settle();
    const double ms = clock.nsecsElapsed() / 1e6;
    return DialogProbe::listWidgets(&dialog).size() == entries ? ms : -1;
}

// Milliseconds from the command line until the installed page is shown, laid out and painted,
// for `entries` installed components; `whileShown` hands the arguments to a window already on
// screen.
double installedPageMs(int entries, bool whileShown)
{
    QStringList arguments {"aktualizator"};
    for (int i = 0; i < entries; ++i)
        arguments += QStringLiteral("plugin_%1::2000").arg(i, 5, 10, QLatin1Char('0'));
    UpdateDialog dialog(nullptr, unreachableBase);
    if (whileShown) {
        dialog.show();
        settle();
    }
    QElapsedTimer clock;
    clock.start();
    dialog.parseArguments(arguments);
    dialog.show();
    settle();
    const double ms = clock.nsecsElapsed() / 1e6;
    return DialogProbe::listWidgets(&dialog).size() == entries ? ms : -1;
}

// Check boxes of the list area as "text [x]" or "text [ ]", top to bottom.
QStringList boxStates(QDialog *dialog)
{
    QStringList states;
    const QList<QCheckBox *> boxes = DialogProbe::checkBoxes(dialog);
    for (QCheckBox *box : boxes)
        states.append(box->text() + (box->isChecked() ? " [x]" : " [ ]"));
    return states;
}

} // namespace

class TestDialog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void toolkitButtonsInPolish();
    void init();
    void cleanup();

    void constructedWindow();
    void closeButtonClosesWindow();
    void metaObject_data();
    void metaObject();
    void progressWithoutTransferChangesNothing();

    void intake_data();
    void intake();
    void detachedMode_data();
    void detachedMode();
    void longNamesAreCut();

    void pages_data();
    void pages();
    void ampersandIsNoAccelerator();
    void versionLineLooksLikeItsRichText_data();
    void versionLineLooksLikeItsRichText();
    void pageTimeGrowsLinearly_data();
    void pageTimeGrowsLinearly();

    void unreadableListFile();
    void unwritableWorkingDirectory();

private:
    std::unique_ptr<TemporaryWorkingDirectory> workDir;
};

void TestDialog::init()
{
    workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(workDir->isValid());
}

void TestDialog::cleanup()
{
    workDir.reset();
}

void TestDialog::constructedWindow()
{
    UpdateDialog dialog(nullptr, unreachableBase);

    QCOMPARE(dialog.windowTitle(), QStringLiteral("Aktualizacja"));
    QCOMPARE(dialog.minimumSize(), QSize(400, 400));
    QCOMPARE(dialog.maximumSize(), QSize(400, 400));

    auto *mainLayout = qobject_cast<QBoxLayout *>(dialog.layout());
    QVERIFY(mainLayout);
    QCOMPARE(mainLayout->count(), 5);
    const QList<int> stretches = {132, 0, 0, 0, 132};
    for (int i = 0; i < stretches.size(); ++i)
        QCOMPARE(mainLayout->stretch(i), stretches.at(i));
    QVERIFY(mainLayout->itemAt(3)->layout());

    auto *notice = qobject_cast<QLabel *>(mainLayout->itemAt(0)->widget());
    auto *site = qobject_cast<QLabel *>(mainLayout->itemAt(4)->widget());
    QLabel *caption = DialogProbe::caption(&dialog);
    QVERIFY(notice && site && caption);

    QVERIFY(notice->font().bold());
    QCOMPARE(notice->font().pointSize(), 12);
    QCOMPARE(caption->font(), QApplication::font(caption));
    QVERIFY(!caption->font().bold());
    QCOMPARE(caption->text(), installedCaption);

    QVERIFY(site->openExternalLinks());
    QVERIFY2(site->text().contains(QStringLiteral("href=\"%1\"").arg(unreachableBase)),
        qPrintable(site->text()));
    QCOMPARE(plainRendering(site->text()),
        QStringLiteral("Aktualizacje można również pobrac bezpośrednio z serwisu www."));

    QVERIFY(DialogProbe::checkButton(&dialog)->isEnabled());
    QVERIFY(!DialogProbe::nextButton(&dialog)->isEnabled());
    QVERIFY(DialogProbe::closeButton(&dialog)->isEnabled());
    QVERIFY(DialogProbe::listWidgets(&dialog).isEmpty());
}

void TestDialog::closeButtonClosesWindow()
{
    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments({"aktualizator", "A::1"});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QTest::mouseClick(DialogProbe::closeButton(&dialog), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
}

void TestDialog::metaObject_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QList<QByteArray>>("parameterNames");

    const QList<QByteArray> none;
    QTest::newRow("0") << 0 << QByteArray("checkClicked") << none;
    QTest::newRow("1") << 1 << QByteArray("nextClicked") << none;
    QTest::newRow("2") << 2 << QByteArray("download") << none;
    QTest::newRow("3") << 3 << QByteArray("downloadProgress")
                       << QList<QByteArray> {"bytesReceived", "bytesTotal"};
    QTest::newRow("4") << 4 << QByteArray("downloadFinished") << none;
    QTest::newRow("5") << 5 << QByteArray("downloadReadyRead") << none;
    QTest::newRow("6") << 6 << QByteArray("updateListDownloaded") << none;
}

void TestDialog::metaObject()
{
    QFETCH(int, index);
    QFETCH(QByteArray, name);
    QFETCH(QList<QByteArray>, parameterNames);

    UpdateDialog dialog(nullptr, unreachableBase);
    const QMetaObject *meta = dialog.metaObject();
    QCOMPARE(meta->className(), "UpdateDialog");
    QCOMPARE(meta->superClass(), &QDialog::staticMetaObject);
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 7);
    QCOMPARE(dialog.qt_metacast("UpdateDialog"), static_cast<void *>(&dialog));
    QVERIFY(dialog.qt_metacast("QDialog"));
    QVERIFY(!dialog.qt_metacast("Nope"));

    const QMetaMethod method = meta->method(meta->methodOffset() + index);
    QCOMPARE(method.name(), name);
    QCOMPARE(method.methodType(), QMetaMethod::Slot);
    QCOMPARE(method.access(), QMetaMethod::Private);
    QCOMPARE(method.parameterNames(), parameterNames);
    // moc spells qint64 as qlonglong; what matters is that both arguments are 64-bit signed.
    for (int i = 0; i < method.parameterCount(); ++i)
        QCOMPARE(method.parameterMetaType(i), QMetaType::fromType<qint64>());
}

void TestDialog::progressWithoutTransferChangesNothing()
{
    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments({"aktualizator", "A::1"});
    const QStringList before = DialogProbe::listTexts(&dialog);

    const QMetaMethod progress
        = dialog.metaObject()->method(dialog.metaObject()->methodOffset() + 3);
    QVERIFY(progress.invoke(&dialog, Qt::DirectConnection, Q_ARG(qint64, 300), Q_ARG(qint64, 900)));

    QCOMPARE(DialogProbe::listTexts(&dialog), before);
    QCOMPARE(DialogProbe::caption(&dialog)->text(), installedCaption);
    QVERIFY(QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

void TestDialog::intake_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("none") << QStringList() << QStringList();
    QTest::newRow("name order, upper case first") << QStringList {
        "b::1", "A::2", "a::3"} << QStringList {plainOf("A", 2), plainOf("a", 3), plainOf("b", 1)};
    QTest::newRow("later duplicate wins")
        << QStringList {"X::1", "Y::2", "X::5"} << QStringList {plainOf("X", 5), plainOf("Y", 2)};
    QTest::newRow("no separator ignored")
        << QStringList {"plain", "A::7"} << QStringList {plainOf("A", 7)};
    QTest::newRow("third piece ignored")
        << QStringList {"Raporty::12::x"} << QStringList {plainOf("Raporty", 12)};
    QTest::newRow("empty version is zero") << QStringList {"A::"} << QStringList {plainOf("A", 0)};
    QTest::newRow("empty name") << QStringList {"::5"} << QStringList {plainOf("", 5)};
    QTest::newRow("detached not last")
        << QStringList {"detached", "A::1"} << QStringList {plainOf("A", 1)};
    QTest::newRow("markup and ampersand shown as typed") << QStringList {
        "R&D::2", "<b>x</b>::1"} << QStringList {plainOf("<b>x</b>", 1), plainOf("R&D", 2)};
    QTest::newRow("main product date")
        << QStringList {"WELOR::2.4b15032013"}
        << QStringList {plainOf("WELOR", parseVersion("WELOR", "b15032013"))};
}

void TestDialog::intake()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, lines);

    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments(QStringList {"aktualizator"} + arguments);

    QCOMPARE(plainRenderings(&dialog), lines);
    QCOMPARE(DialogProbe::caption(&dialog)->text(), installedCaption);
    QVERIFY(DialogProbe::checkButton(&dialog)->isEnabled());
}

// About the most the system passes: measuring these whole froze the start for seconds.
void TestDialog::longNamesAreCut()
{
    QStringList arguments {"aktualizator"};
    for (int i = 0; i < 44; ++i)
        arguments << QString::number(i) + QString(128 * 1024, QLatin1Char('x')) + "::1";
    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments(arguments);
    const QList<VersionLine *> lines = dialog.findChildren<VersionLine *>();
    QCOMPARE(lines.size(), 44);
    for (const VersionLine *line : lines)
        QVERIFY(line->accessibleName().size() < 1000);
}

void TestDialog::detachedMode_data()
{
    QTest::addColumn<QString>("last");
    QTest::addColumn<bool>("detached");

    QTest::newRow("detached") << QStringLiteral("detached") << true;
    QTest::newRow("Detached") << QStringLiteral("Detached") << false;
    QTest::newRow("DETACHED") << QStringLiteral("DETACHED") << false;
    QTest::newRow("trailing blank") << QStringLiteral("detached ") << false;
}

void TestDialog::detachedMode()
{
    QFETCH(QString, last);
    QFETCH(bool, detached);

    QVERIFY(writeListFile({listLine("A", 2), listLine("N", 10)}));
    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments({"aktualizator", "A::1", last});
    // The check runs from the event loop, which in the program takes it before the first paint.
    QCoreApplication::processEvents();

    // Nothing has been shown yet: in detached mode the list has already been taken in.
    QVERIFY(!dialog.isVisible());
    QCOMPARE(DialogProbe::caption(&dialog)->text(), detached ? listCaption : installedCaption);
    QCOMPARE(DialogProbe::checkButton(&dialog)->isEnabled(), !detached);
    QCOMPARE(DialogProbe::nextButton(&dialog)->isEnabled(), detached);
    QCOMPARE(QFile::exists(listFileName), !detached);

    dialog.show();
    if (!detached)
        QTest::mouseClick(DialogProbe::checkButton(&dialog), Qt::LeftButton);

    // Either way the list file is parsed without a fetch and then removed. Lines added while
    // the window is on screen appear once the event loop has run.
    QTRY_COMPARE(DialogProbe::caption(&dialog)->text(), listCaption);
    QTRY_COMPARE(DialogProbe::listTexts(&dialog),
        QStringList({colouredLine("A", "#ff0000", 2), newLine("N", 10)}));
    QVERIFY(!DialogProbe::checkButton(&dialog)->isEnabled());
    QVERIFY(DialogProbe::nextButton(&dialog)->isEnabled());
    QVERIFY(!QFile::exists(listFileName));
}

void TestDialog::pages_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("boxes");

    QTest::newRow("older, current, untouched, new")
        << QStringList {"A::100", "B::300", "K::50"}
        << QStringList {listLine("N", 10), listLine("B", 300), listLine("A", 200)}
        << QStringList {colouredLine("A", "#ff0000", 200), colouredLine("B", "#00ff55", 300),
               plainLine("K", 50), newLine("N", 10)}
        << QStringList {"A [x]", "B [ ]", "N [x]"};
    QTest::newRow("installed newer shows installed version")
        << QStringList {"X::500"} << QStringList {listLine("X", 400)}
        << QStringList {colouredLine("X", "#00ff55", 500)} << QStringList {"X [ ]"};
    QTest::newRow("names are case-sensitive")
        << QStringList {"Alpha::5"} << QStringList {listLine("alpha", 7)}
        << QStringList {plainLine("Alpha", 5), newLine("alpha", 7)} << QStringList {"alpha [x]"};
    QTest::newRow("unreadable main-product date is never older")
        << QStringList {"WELOR::b31022013"}
        << QStringList {"<WELOR><ver>2.4b15032013</ver><link>http://127.0.0.1:0/welor.exe</link>"
                        "</WELOR>"}
        << QStringList {colouredLine("WELOR", "#00ff55", unreadableVersion)}
        << QStringList {"WELOR [ ]"};
    QTest::newRow("nothing installed")
        << QStringList() << QStringList {listLine("b", 2), listLine("B", 1)}
        << QStringList {newLine("B", 1), newLine("b", 2)} << QStringList {"B [x]", "b [x]"};
    // Read with a Latin-1 fallback, the list's "Księgowość" matched no installed name and came
    // out a second time, in bold, as a new component.
    QTest::newRow("Polish name in Windows-1250")
        << QStringList {QStringLiteral("Księgowość::1300000000")}
        << QStringList {listLine(QStringLiteral("Księgowość"), 1300000000)}
        << QStringList {colouredLine(QStringLiteral("Księgowość"), "#00ff55", 1300000000)}
        << QStringList {QStringLiteral("Księgowość [ ]")};
    QTest::newRow("empty list") << QStringList {"A::1"} << QStringList()
                                << QStringList {plainLine("A", 1)} << QStringList();
}

void TestDialog::pages()
{
    QFETCH(QStringList, installed);
    QFETCH(QStringList, list);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, boxes);

    QVERIFY(writeListFile(list));
    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments(QStringList {"aktualizator"} + installed + QStringList {"detached"});
    dialog.show();

    QTRY_COMPARE(DialogProbe::caption(&dialog)->text(), listCaption);
    // Lines added to a window on screen appear once the event loop has run.
    QTRY_COMPARE(DialogProbe::listTexts(&dialog), lines);
    QVERIFY(DialogProbe::nextButton(&dialog)->isEnabled());
    QVERIFY(!DialogProbe::checkButton(&dialog)->isEnabled());
    QVERIFY(!QFile::exists(listFileName));

    DialogProbe::nextButton(&dialog)->click();

    QCOMPARE(DialogProbe::caption(&dialog)->text(), selectionCaption);
    QCOMPARE(boxStates(&dialog), boxes);
    QCOMPARE(DialogProbe::listWidgets(&dialog).size(), boxes.size());
    QVERIFY(DialogProbe::checkButton(&dialog)->isHidden());
    QVERIFY(DialogProbe::nextButton(&dialog)->isEnabled());
}

void TestDialog::ampersandIsNoAccelerator()
{
    QVERIFY(writeListFile({listLine("R&D", 3), listLine("<i>x</i>", 4)}));
    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments({"aktualizator", "R&D::1", "detached"});

    QTRY_COMPARE(
        plainRenderings(&dialog), QStringList({plainOf("R&D", 3), plainOf("<i>x</i>", 4)}));

    DialogProbe::nextButton(&dialog)->click();
    const QList<QCheckBox *> boxes = DialogProbe::checkBoxes(&dialog);
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(boxes.at(0)->text(), QStringLiteral("<i>x</i>"));
    QCOMPARE(boxes.at(1)->text(), QStringLiteral("R&&D"));
    QVERIFY(QKeySequence::mnemonic(boxes.at(1)->text()).isEmpty());
}

void TestDialog::versionLineLooksLikeItsRichText_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("markup") << QStringLiteral("<b>x</b>");
    QTest::newRow("Polish, ampersand, tab") << QStringLiteral("Księgowość R&D\t2");
    QTest::newRow("line break: rich text") << QStringLiteral("A\nB");
}

// A version line paints what a rich-text label of its text would show, pixel for pixel.
void TestDialog::versionLineLooksLikeItsRichText()
{
    QFETCH(QString, name);
    using Kind = VersionLines::Kind;
    for (const Kind kind : {Kind::Plain, Kind::Older, Kind::Current, Kind::Added}) {
        VersionLine line(kind, name, 1363305600);
        QLabel label(line.richText());
        QCOMPARE(line.sizeHint(), label.sizeHint());
        line.resize(line.sizeHint() + QSize(0, 9));
        label.resize(line.size());
        QCOMPARE(line.grab().toImage(), label.grab().toImage());
    }
}

enum class Page { UpdateList, Selection, Installed, InstalledWhileShown };

void TestDialog::pageTimeGrowsLinearly_data()
{
    QTest::addColumn<Page>("page");
    QTest::newRow("update-list page") << Page::UpdateList;
    QTest::newRow("selection page") << Page::Selection;
    QTest::newRow("installed page") << Page::Installed;
    QTest::newRow("installed page, arguments while on screen") << Page::InstalledWhileShown;
}

void TestDialog::pageTimeGrowsLinearly()
{
    QFETCH(Page, page);
    const auto buildMs = [page](int entries) {
        if (page == Page::Installed || page == Page::InstalledWhileShown)
            return installedPageMs(entries, page == Page::InstalledWhileShown);
        return pageBuildMs(entries, page == Page::Selection);
    };
    // A page that lays out the whole list again for each widget takes 16 times as long for 4
    // times the entries; a linear one takes 4 times as long, plus its fixed costs. The best of
    // alternating runs leaves out what other work on the machine adds to a single run.
    const int small = 300;
    double smallMs = 1e9, largeMs = 1e9;
    for (int round = 0; round < 3; ++round) {
        const double s = buildMs(small);
        const double l = buildMs(4 * small);
        QVERIFY2(s >= 0 && l >= 0, "the page does not show every entry");
        smallMs = std::min(smallMs, s);
        largeMs = std::min(largeMs, l);
    }
    qDebug("%d entries: %.1f ms, %d entries: %.1f ms", small, smallMs, 4 * small, largeMs);
    QVERIFY2(largeMs < 8 * std::max(smallMs, 1.0),
        qPrintable(QStringLiteral("%1 ms against %2 ms").arg(largeMs).arg(smallMs)));
}

void TestDialog::unreadableListFile()
{
    QVERIFY(QDir::current().mkdir(listFileName));
    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments({"aktualizator", "A::1", "B::2"});

    DialogProbe::checkButton(&dialog)->click();

    QTRY_COMPARE(DialogProbe::listTexts(&dialog),
        QStringList({errorText, QStringLiteral("Nie można odczytać pliku aktualizacje.txt.")}));
    QCOMPARE(DialogProbe::caption(&dialog)->text(), installedCaption);
    QVERIFY(!DialogProbe::checkButton(&dialog)->isEnabled());
    QVERIFY(!DialogProbe::checkButton(&dialog)->isHidden());
    QVERIFY(!DialogProbe::nextButton(&dialog)->isEnabled());
    QVERIFY(DialogProbe::closeButton(&dialog)->isDefault());
    QCOMPARE(dialog.focusWidget(), DialogProbe::closeButton(&dialog));
}

void TestDialog::unwritableWorkingDirectory()
{
#ifdef Q_OS_WIN
    QSKIP(noRemovedWorkingDirectoryReason);
#endif
    QVERIFY(workDir->enterRemovedDirectory(QStringLiteral("gone")));

    UpdateDialog dialog(nullptr, unreachableBase);
    dialog.parseArguments({"aktualizator", "A::1"});
    dialog.show();
    const QStringList installedLines = DialogProbe::listTexts(&dialog);

    // What the list area showed when the first message box appeared.
    bool seen = false;
    QStringList linesAtBox;
    const EventSpy spy([&](QObject *watched, QEvent *event) {
        if (!seen && event->type() == QEvent::Show && qobject_cast<QMessageBox *>(watched)) {
            seen = true;
            linesAtBox = DialogProbe::listTexts(&dialog);
        }
    });
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    DialogProbe::checkButton(&dialog)->click();

    QTRY_COMPARE(answerer.count(), 1);
    QCOMPARE(answerer.titles.first(), QStringLiteral("Aktualizator"));
    QCOMPARE(answerer.texts.first(), cannotFetchText);
    QCOMPARE(answerer.buttons.first(), QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(seen);
    QCOMPARE(linesAtBox, installedLines);

    QTRY_COMPARE(DialogProbe::listTexts(&dialog),
        QStringList({errorText, QStringLiteral("Nie można zapisać pliku aktualizacje.txt.")}));
    QCOMPARE(DialogProbe::caption(&dialog)->text(), installedCaption);
    QVERIFY(!DialogProbe::checkButton(&dialog)->isEnabled());
    QVERIFY(!DialogProbe::nextButton(&dialog)->isEnabled());
}

void TestDialog::toolkitButtonsInPolish()
{
    // Whatever the system's language: the test environment is the C locale.
    QVERIFY(installToolkitTranslation(*qApp));
    // The other tests see the window as the system's language leaves it.
    const auto uninstall = qScopeGuard([] { delete qApp->findChild<QTranslator *>(); });
    QMessageBox box(
        QMessageBox::Question, "Aktualizator", "?", QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("OK"));
    QCOMPARE(box.button(QMessageBox::Cancel)->text(), QStringLiteral("Anuluj"));
}

QTEST_MAIN(TestDialog)
#include "tst_dialog.moc"
