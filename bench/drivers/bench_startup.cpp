// Start-up as the program does it (application object, proxy set-up, dialog, command line,
// show), ending at the dialog's first paint so the whole process time is start-up alone.

#include "benchsupport.h"
#include "dialog/updatedialog.h"

#include <QApplication>
#include <QNetworkProxyFactory>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    UpdateDialog dialog;
    dialog.parseArguments({QStringLiteral("aktualizator"), QStringLiteral("WELOR::7.1b15032024"),
        QStringLiteral("plugin_a::1700000000"), QStringLiteral("plugin_b::1700000000")});
    Bench::QuitOnFirstPaint quitter;
    dialog.installEventFilter(&quitter);
    dialog.show();
    QTimer::singleShot(10000, &app, [] { QCoreApplication::exit(1); });
    return app.exec();
}
