// Drives the real update dialog through a detached run against the server given on the command
// line and reports how long the download run took, from the second "Dalej" to the result line,
// the process's peak resident memory at the end, the peak of its anonymous memory during the run
// (mapped files not counted) and the longest pause of the event loop during the run.
//
//   bench_download SERVER_BASE [NAME::VERSION ...]
//
// Run it in the directory that plays the installation directory.

#include "benchsupport.h"
#include "dialog/updatedialog.h"
#include "dialogprobe.h"

#include <QApplication>
#include <QDir>

#include <cstdio>

namespace {

const QString successLine = QStringLiteral("Aktualizacja zakończona pomyślnie");

int fail(const char *what, QDialog *dialog)
{
    std::fprintf(stderr, "bench_download: %s (status line: \"%s\")\n", what,
        qPrintable(DialogProbe::statusText(dialog)));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: bench_download SERVER_BASE [NAME::VERSION ...]\n");
        return 2;
    }
    // Plug-in files land in plugins/ below the installation directory, which an installed
    // product already has.
    QDir().mkpath(QStringLiteral("plugins"));

    QStringList componentArgs {args.at(0)};
    componentArgs += args.mid(2);
    componentArgs += QStringLiteral("detached");

    UpdateDialog dialog(nullptr, args.at(1));
    dialog.parseArguments(componentArgs);
    dialog.show();

    QPushButton *next = DialogProbe::nextButton(&dialog);
    if (!next)
        return fail("no \"Dalej\" button", &dialog);
    if (!Bench::waitFor([&] { return next->isEnabled(); }, 60000))
        return fail("the update list did not arrive", &dialog);

    next->click();
    const QList<QCheckBox *> boxes = DialogProbe::checkBoxes(&dialog);
    int ticked = 0;
    for (const QCheckBox *box : boxes)
        ticked += box->isChecked() ? 1 : 0;
    if (ticked == 0)
        return fail("the selection page has nothing ticked", &dialog);
    Bench::settle();

    QElapsedTimer clock;
    clock.start();
    Bench::AnonPeak anonPeak;
    Bench::PauseMeter pauses;
    next->click();
    const bool ended = Bench::waitFor(
        [&] {
            const QString status = DialogProbe::statusText(&dialog);
            return status == successLine || status.startsWith(QStringLiteral("Wyst"));
        },
        600000);
    const double ms = Bench::elapsedMs(clock);
    const double longestPause = pauses.longestMs();
    const long peakAnon = anonPeak.finish();
    if (!ended)
        return fail("the download run did not end", &dialog);
    if (DialogProbe::statusText(&dialog) != successLine)
        return fail("the download run failed", &dialog);

    std::printf("download_ms=%.1f peak_rss_kib=%ld peak_anon_kib=%ld longest_pause_ms=%.1f files=%d\n",
        ms, Bench::peakRssKiB(), peakAnon, longestPause, ticked);
    return 0;
}
