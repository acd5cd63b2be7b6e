#include "toolkittranslation.h"

#include <QCoreApplication>
#include <QTranslator>

bool installToolkitTranslation(QCoreApplication &application)
{
    auto *translator = new QTranslator(&application);
    if (!translator->load(QStringLiteral(":/aktualizator/translations/qtbase_pl.qm"))
        || !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    return true;
}
