// Long update lists: how long the list parse takes for 1,000 and 100,000 lines, and how long
// the dialog takes to build the update-list page and the selection page for 1,000 and 10,000
// entries.
//
//   bench_lists REPETITIONS
//   bench_lists --first-parse LINES   (one parse, the first of the process, as a program run does)
//   bench_lists --pages ENTRIES REPETITIONS   (the two pages only)
//   bench_lists --page-memory ENTRIES   (anonymous memory of the update-list page, in KiB)
//
// Run it in an empty scratch directory: it writes "aktualizacje.txt" there, as the server would.

#include "benchsupport.h"
#include "dialog/updatedialog.h"
#include "dialogprobe.h"
#include "updatelist/updatelistformat.h"

#include <QApplication>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const quint32 installedVersion = 1700000000;

QString componentName(int i)
{
    return QStringLiteral("plugin_%1").arg(i, 6, 10, QLatin1Char('0'));
}

// One line per component, as the server publishes them; every other component is offered in a
// newer version than the one installed.
QByteArray listText(int lines)
{
    QByteArray text;
    text.reserve(qsizetype(lines) * 120);
    for (int i = 0; i < lines; ++i) {
        const QByteArray name = componentName(i).toLatin1();
        const quint32 offered = installedVersion + (i % 2 ? 0 : 86400);
        text += '<' + name + "><ver>" + QByteArray::number(offered)
            + "</ver><link>http://127.0.0.1:9/files/" + name + ".dll</link></" + name + ">\n";
    }
    return text;
}

// The first half of the list is installed, so the page both recolours existing lines and adds
// new ones.
QStringList commandLine(int installed, bool detached)
{
    QStringList args {QStringLiteral("aktualizator")};
    for (int i = 0; i < installed; ++i)
        args += componentName(i) + QStringLiteral("::") + QString::number(installedVersion);
    if (detached)
        args += QStringLiteral("detached");
    return args;
}

bool writeList(const QByteArray &text)
{
    QFile file(QStringLiteral("aktualizacje.txt"));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

struct Figure
{
    std::vector<double> values;
    void print(const QByteArray &key) const
    {
        std::printf("%s=%.2f\n", key.constData(), Bench::median(values));
        std::printf("%s_all=", key.constData());
        for (size_t i = 0; i < values.size(); ++i)
            std::printf("%s%.2f", i ? "," : "", values[i]);
        std::printf("\n");
    }
};

void die(const char *what)
{
    std::fprintf(stderr, "bench_lists: %s\n", what);
    std::exit(1);
}

void measureParse(int lines, int reps, Figure &figure)
{
    const QByteArray text = listText(lines);
    for (int r = 0; r < reps; ++r) {
        QElapsedTimer clock;
        clock.start();
        // Longer than the dialog accepts: this measures the parse alone.
        const std::optional<QMap<QString, UpdateEntry>> entries = parseUpdateList(text, lines);
        figure.values.push_back(Bench::elapsedMs(clock));
        if (!entries || entries->size() != lines)
            die("the list parse lost lines");
    }
}

// The update-list page ("Sprawdź aktualizacje" with the list on disk) and the selection page
// ("Dalej" in detached mode) for a list of `entries` lines, half of them installed.
void measurePages(int entries, int reps)
{
    const QByteArray text = listText(entries);
    const QByteArray prefix = QByteArray::number(entries);

    Figure listClick, listShown;
    for (int r = 0; r < reps; ++r) {
        UpdateDialog dialog(nullptr, QStringLiteral("http://127.0.0.1:9"));
        dialog.parseArguments(commandLine(entries / 2, false));
        dialog.show();
        Bench::settle();
        if (!writeList(text))
            die("cannot write aktualizacje.txt");

        QPushButton *check = DialogProbe::checkButton(&dialog);
        QElapsedTimer clock;
        clock.start();
        check->click();
        listClick.values.push_back(Bench::elapsedMs(clock));
        Bench::settle();
        listShown.values.push_back(Bench::elapsedMs(clock));
        if (DialogProbe::listWidgets(&dialog).size() != entries)
            die("the update-list page does not show every entry");
    }
    listClick.print("updatelist_page_" + prefix + "_ms");
    listShown.print("updatelist_page_" + prefix + "_painted_ms");

    Figure selectionClick, selectionShown;
    for (int r = 0; r < reps; ++r) {
        if (!writeList(text))
            die("cannot write aktualizacje.txt");
        UpdateDialog dialog(nullptr, QStringLiteral("http://127.0.0.1:9"));
        dialog.parseArguments(commandLine(entries / 2, true));
        dialog.show();
        Bench::settle();

        QPushButton *next = DialogProbe::nextButton(&dialog);
        if (!next->isEnabled())
            die("the update list was not read");
        QElapsedTimer clock;
        clock.start();
        next->click();
        selectionClick.values.push_back(Bench::elapsedMs(clock));
        Bench::settle();
        selectionShown.values.push_back(Bench::elapsedMs(clock));
        if (DialogProbe::checkBoxes(&dialog).size() != entries)
            die("the selection page does not show every entry");
    }
    selectionClick.print("selection_page_" + prefix + "_ms");
    selectionShown.print("selection_page_" + prefix + "_painted_ms");
}

// The process's anonymous resident memory (heap and the like, no mapped files), in KiB.
long rssAnonKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        die("cannot read /proc/self/status");
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("RssAnon:"))
            return std::strtol(line.constData() + std::strlen("RssAnon:"), nullptr, 10);
    }
    die("no RssAnon in /proc/self/status");
    return 0;
}

// What the update-list page of `entries` lines holds, as in measurePages: from before the dialog
// exists until the page is painted (the installed lines included), and the click alone. Once
// per process: memory freed by an earlier dialog would be reused and hide what a page takes.
void measurePageMemory(int entries)
{
    if (!writeList(listText(entries)))
        die("cannot write aktualizacje.txt");
    const long start = rssAnonKiB();
    UpdateDialog dialog(nullptr, QStringLiteral("http://127.0.0.1:9"));
    dialog.parseArguments(commandLine(entries / 2, false));
    dialog.show();
    Bench::settle();
    const long beforeClick = rssAnonKiB();
    DialogProbe::checkButton(&dialog)->click();
    Bench::settle();
    if (DialogProbe::listWidgets(&dialog).size() != entries)
        die("the update-list page does not show every entry");
    const long end = rssAnonKiB();
    const QByteArray prefix = "updatelist_page_" + QByteArray::number(entries);
    std::printf("%s_rss_anon_kib=%ld\n", prefix.constData(), end - start);
    std::printf("%s_click_rss_anon_kib=%ld\n", prefix.constData(), end - beforeClick);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc > 2 && QByteArray(argv[1]) == "--first-parse") {
        Figure first;
        measureParse(std::atoi(argv[2]), 1, first);
        first.print("parse_first_call_ms");
        return 0;
    }
    if (argc > 3 && QByteArray(argv[1]) == "--pages") {
        measurePages(std::atoi(argv[2]), std::atoi(argv[3]));
        QFile::remove(QStringLiteral("aktualizacje.txt"));
        return 0;
    }
    if (argc > 2 && QByteArray(argv[1]) == "--page-memory") {
        measurePageMemory(std::atoi(argv[2]));
        QFile::remove(QStringLiteral("aktualizacje.txt"));
        return 0;
    }
    const int reps = argc > 1 ? std::atoi(argv[1]) : 7;
    if (reps < 1)
        die("repetitions must be positive");

    // The first parse in a process pays for its first allocations and whatever the code sets up
    // once; a run of the program parses exactly once, so that first call is shown on its own.
    Figure coldParse;
    measureParse(1000, 1, coldParse);
    coldParse.print("parse_1000_first_call_ms");

    Figure parse1k, parse100k;
    measureParse(1000, std::max(reps, 21), parse1k);
    measureParse(100000, reps, parse100k);
    parse1k.print("parse_1000_ms");
    parse100k.print("parse_100000_ms");

    // Pages at two sizes: the time per entry should not grow with the number of entries.
    for (const int entries : {1000, 10000})
        measurePages(entries, entries > 1000 ? std::min(reps, 3) : reps);

    QFile::remove(QStringLiteral("aktualizacje.txt"));
    std::printf("peak_rss_kib=%ld\n", Bench::peakRssKiB());
    return 0;
}
