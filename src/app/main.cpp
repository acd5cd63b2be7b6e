#include "app/toolkittranslation.h"
#include "dialog/updatedialog.h"

#include <QApplication>
#include <QNetworkProxyFactory>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    installToolkitTranslation(app);
    // Users behind a company proxy expect a desktop program to honour the system's settings.
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    UpdateDialog dialog;
    dialog.parseArguments(QCoreApplication::arguments());
    dialog.show();
    return app.exec();
}
