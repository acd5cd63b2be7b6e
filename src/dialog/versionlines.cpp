#include "versionlines.h"

#include <QCoreApplication>

namespace VersionLines {

QString source(Kind kind)
{
    const char *text = "";
    switch (kind) {
    case Kind::Plain:
        text = "<pre>%1\t\twersja: %2</pre>";
        break;
    case Kind::Older:
        text = "<pre>%1\t\t<span style=\"color:#ff0000\"><b>wersja: %2</b></span></pre>";
        break;
    case Kind::Current:
        text = "<pre>%1\t\t<span style=\"color:#00ff55\"><b>wersja: %2</b></span></pre>";
        break;
    case Kind::Added:
        text = "<pre><b>%1</b>\t\t<span style=\"color:#ff0000\"><b>wersja: %2</b></span></pre>";
        break;
    }
    return QCoreApplication::translate("UpdateDialog", text);
}

QString text(Kind kind, const QString &name, const QString &version)
{
    return source(kind).arg(name.toHtmlEscaped(), version);
}

} // namespace VersionLines
