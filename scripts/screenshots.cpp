// Renders the pages of a whole update, the question before a run is cut short, and the
// reasons shown after failures into PNG files for the README. It drives the real
// dialog against an in-process server, the way the dialog tests do, and answers the hand-off
// question like a user. Usage: docs_screenshots OUTPUT_DIRECTORY

#include "app/toolkittranslation.h"
#include "dialog/updatedialog.h"
#include "dialogprobe.h"
#include "httpserver.h"

#include <QDir>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

namespace {

QByteArray bytesOf(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 31);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool fail(const char *what)
{
    std::fprintf(stderr, "docs_screenshots: %s\n", what);
    return false;
}

bool shoot(UpdateDialog &dialog, const QString &path)
{
    // Layout requests cascade from the list widget to the scroll area; let them all settle.
    QTest::qWait(200);
    if (!dialog.grab().save(path))
        return fail(qPrintable("cannot write " + path));
    std::fprintf(stderr, "wrote %s\n", qPrintable(path));
    return true;
}

bool run(const QString &outputDir)
{
    QTemporaryDir installDir;
    if (!installDir.isValid() || !QDir::setCurrent(installDir.path()) || !QDir().mkdir("plugins"))
        return fail("cannot prepare a temporary install directory");
    if (!writeFile("welor.exe", "old main product") || !writeFile("plugins/kalkulator.dll", "1"))
        return fail("cannot write the installed files");

    HttpServer server;
    if (!server.isListening())
        return fail("cannot listen on 127.0.0.1");
    const struct
    {
        const char *name;
        const char *version;
        const char *file;
        int size;
    } offered[] = {{"WELOR", "2.5b15032013", "welor.exe", 900000},
        {"Kalkulator", "1359676800", "kalkulator.dll", 200000},
        {"Księgowość", "1363305600", "ksiegowosc.dll", 400000}};
    QString list;
    for (const auto &o : offered) {
        const QString path = QStringLiteral("/pliki/") + o.file;
        // Slow enough to be seen on its way.
        HttpResponse response {200, bytesOf(o.size, o.file[0])};
        response.chunks = 20;
        response.chunkDelayMs = 60;
        server.setResponse(path, response);
        list += QStringLiteral("<%1><ver>%2</ver><link>%3</link></%1>\r\n")
                    .arg(QString::fromUtf8(o.name), o.version, server.url(path).toString());
    }
    QStringEncoder encoder("windows-1250");
    server.setBody("/aktualizacje.txt", encoder.encode(list));

    UpdateDialog dialog(nullptr, server.baseUrl());
    dialog.setUpdatePublicKey({});
    // Three lines fit the list area without scrolling: one newer, one current, one new.
    dialog.parseArguments({"aktualizator", "WELOR::2.4b01012013", "Kalkulator::1359676800"});
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog))
        return fail("the window was never shown");
    if (!shoot(dialog, outputDir + "/installed.png"))
        return false;

    DialogProbe::checkButton(&dialog)->click();
    if (!QTest::qWaitFor([&] { return DialogProbe::nextButton(&dialog)->isEnabled(); }, 10000))
        return fail("the update list did not arrive");
    if (!shoot(dialog, outputDir + "/update-list.png"))
        return false;

    {
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        DialogProbe::nextButton(&dialog)->click();
    }
    if (DialogProbe::checkBoxes(&dialog).isEmpty())
        return fail("the selection page did not show");
    if (!shoot(dialog, outputDir + "/selection.png"))
        return false;

    DialogProbe::nextButton(&dialog)->click();
    if (!QTest::qWaitFor(
            [&] { return DialogProbe::statusText(&dialog).contains(QStringLiteral(" / ")); },
            10000))
        return fail("the run did not begin");
    QTest::qWait(400);
    if (!shoot(dialog, outputDir + "/progress.png"))
        return false;
    // Closing during the run asks; the picture is taken while the question is open, then No.
    bool asked = false;
    QTimer::singleShot(300, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            asked = box->grab().save(outputDir + "/close-question.png");
            box->button(QMessageBox::No)->click();
        }
    });
    dialog.close();
    if (!asked)
        return fail("closing during the run asked nothing");
    const QString success = QStringLiteral("Aktualizacja zakończona pomyślnie");
    if (!QTest::qWaitFor([&] { return DialogProbe::statusText(&dialog) == success; }, 20000))
        return fail(qPrintable("the run ended with: " + DialogProbe::statusText(&dialog)));
    return shoot(dialog, outputDir + "/finished.png");
}

// A list the server does not have, and a run in which one file is missing.
bool runFailures(const QString &outputDir)
{
    QTemporaryDir installDir;
    if (!installDir.isValid() || !QDir::setCurrent(installDir.path()) || !QDir().mkdir("plugins"))
        return fail("cannot prepare a temporary install directory");
    HttpServer server;
    UpdateDialog listError(nullptr, server.baseUrl());
    listError.setUpdatePublicKey({});
    listError.parseArguments({"aktualizator", "WELOR::2.4b01012013"});
    listError.show();
    DialogProbe::checkButton(&listError)->click();
    if (!QTest::qWaitFor([&] { return !DialogProbe::reasonText(&listError).isEmpty(); }, 10000))
        return fail("the list failure said nothing");
    if (!shoot(listError, outputDir + "/list-error.png"))
        return false;

    server.setBody("/pliki/raporty.dll", bytesOf(1000, 'r'));
    server.setBody("/aktualizacje.txt",
        QStringLiteral("<Raporty><ver>1363305600</ver><link>%1</link></Raporty>\r\n"
                       "<Wykresy><ver>1363305600</ver><link>%2</link></Wykresy>\r\n")
            .arg(server.url("/pliki/raporty.dll").toString(),
                server.url("/pliki/wykresy.dll").toString())
            .toUtf8());
    UpdateDialog problems(nullptr, server.baseUrl());
    problems.setUpdatePublicKey({});
    problems.parseArguments({"aktualizator", "detached"});
    problems.show();
    if (!QTest::qWaitFor([&] { return DialogProbe::nextButton(&problems)->isEnabled(); }, 10000))
        return fail("the second list did not arrive");
    DialogProbe::nextButton(&problems)->click();
    DialogProbe::nextButton(&problems)->click();
    if (!QTest::qWaitFor([&] { return !DialogProbe::reasonText(&problems).isEmpty(); }, 20000))
        return fail("the run with a missing file said nothing");
    return shoot(problems, outputDir + "/problems.png");
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // The toolkit's buttons in Polish, as the program shows them.
    installToolkitTranslation(app);
    if (argc != 2) {
        std::fprintf(stderr, "usage: docs_screenshots OUTPUT_DIRECTORY\n");
        return 2;
    }
    const QString outputDir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const QString previousDir = QDir::currentPath();
    const bool ok = run(outputDir) && runFailures(outputDir);
    QDir::setCurrent(previousDir);
    return ok ? 0 : 1;
}
