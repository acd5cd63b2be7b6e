#include "app/processsetup.h"
#include "app/toolkittranslation.h"
#include "dialog/updatedialog.h"
#include "files/leftoversweep.h"

#include <QApplication>
#include <QDir>
#include <QNetworkProxyFactory>

int main(int argc, char **argv)
{
    prepareProcess();
    QApplication app(argc, argv);
    installToolkitTranslation(app);
    // Users behind a company proxy expect a desktop program to honour the system's settings.
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    // What an earlier run could not finish (it was ended, or a large former file was still being
    // removed when it closed) goes before anything else looks at these folders.
    sweepLeftovers(QDir::currentPath());
    sweepLeftovers(QDir::current().filePath(QStringLiteral("plugins")));

    UpdateDialog dialog;
    dialog.parseArguments(QCoreApplication::arguments());
    dialog.show();
    return app.exec();
}
