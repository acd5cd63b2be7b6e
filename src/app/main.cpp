#include "app/processsetup.h"
#include "app/toolkittranslation.h"
#include "buildconfig.h"
#include "dialog/updatedialog.h"
#include "files/leftoversweep.h"

#include <QApplication>
#include <QDir>
#include <QNetworkProxyFactory>
#include <QSslSocket>
#include <QStyle>

namespace {

// make-list reads the release time from the executable, which must keep it even unused.
[[gnu::used]] constexpr char releaseTimeStamp[] = AKTUALIZATOR_RELEASE_TIME_STAMP;

// An updater that has just put this one's files in place starts it so, and keeps them only when
// this ends with 0: the platform, style and TLS plug-ins that a run needs all load. Nothing goes
// to standard output, which belongs to WELOR.
int selfCheck(int argc, char **argv)
{
    // Without its platform plug-in the toolkit ends the process here, with an error status.
    QApplication app(argc, argv);
#ifdef Q_OS_WIN
    // Without styles/ the toolkit would fall back to a built-in style without a word.
    if (QApplication::style()->name().compare(QLatin1String("windowsvista"), Qt::CaseInsensitive))
        return 2;
#endif
    return QSslSocket::supportsSsl() ? 0 : 3;
}

} // namespace

int main(int argc, char **argv)
{
    prepareProcess();
    // The check runs beside the updater that started it, amid its renewal: no sweep here.
    if (argc == 2 && qstrcmp(argv[1], "--self-check") == 0)
        return selfCheck(argc, argv);

    // What an earlier run could not finish (a renewal of the updater's own files cut short, a
    // run that was ended, a large former file still being removed when it closed) goes before
    // anything else looks at these folders, the toolkit loading its plug-ins included.
    sweepLeftovers(QDir::currentPath());
    sweepLeftovers(QDir::current().filePath(QStringLiteral("plugins")));

    QApplication app(argc, argv);
    installToolkitTranslation(app);
    // Users behind a company proxy expect a desktop program to honour the system's settings.
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    UpdateDialog dialog;
    dialog.parseArguments(QCoreApplication::arguments());
    dialog.show();
    return app.exec();
}
