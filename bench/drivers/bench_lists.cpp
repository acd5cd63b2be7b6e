// Long update lists: how long the list parse takes for 1,000 and 100,000 lines, and how long
// the dialog takes to build the update-list page and the selection page for 1,000 entries.
//
//   bench_lists REPETITIONS
//   bench_lists --first-parse LINES   (one parse, the first of the process, as a program run does)
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
    void print(const char *key) const
    {
        std::printf("%s=%.2f\n", key, Bench::median(values));
        std::printf("%s_all=", key);
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
        const QMap<QString, UpdateEntry> entries = parseUpdateList(text);
        figure.values.push_back(Bench::elapsedMs(clock));
        if (entries.size() != lines)
            die("the list parse lost lines");
    }
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
    const int reps = argc > 1 ? std::atoi(argv[1]) : 7;
    if (reps < 1)
        die("repetitions must be positive");

    // The first parse in a process pays for the codec and the pattern compilation; a run of the
    // program parses exactly once, so that first call is shown on its own as well.
    Figure coldParse;
    measureParse(1000, 1, coldParse);
    coldParse.print("parse_1000_first_call_ms");

    Figure parse1k, parse100k;
    measureParse(1000, std::max(reps, 21), parse1k);
    measureParse(100000, reps, parse100k);
    parse1k.print("parse_1000_ms");
    parse100k.print("parse_100000_ms");

    const int entries = 1000;
    const QByteArray text = listText(entries);

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
    listClick.print("updatelist_page_1000_ms");
    listShown.print("updatelist_page_1000_painted_ms");

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
    selectionClick.print("selection_page_1000_ms");
    selectionShown.print("selection_page_1000_painted_ms");

    QFile::remove(QStringLiteral("aktualizacje.txt"));
    std::printf("peak_rss_kib=%ld\n", Bench::peakRssKiB());
    return 0;
}
