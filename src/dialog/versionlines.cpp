#include "versionlines.h"

#include "version/version.h"

#include <QCoreApplication>

namespace {

QString fill(const char *source, const QString &name, quint32 version)
{
    return QCoreApplication::translate("UpdateDialog", source)
            .arg(name.toHtmlEscaped(), formatVersion(version));
}

} // namespace

namespace VersionLines {

QString plain(const QString &name, quint32 version)
{
    return fill("<pre>%1\t\twersja: %2</pre>", name, version);
}

QString older(const QString &name, quint32 offered)
{
    return fill("<pre>%1\t\t<span style=\"color:#ff0000\"><b>wersja: %2</b></span></pre>", name,
                offered);
}

QString current(const QString &name, quint32 installed)
{
    return fill("<pre>%1\t\t<span style=\"color:#00ff55\"><b>wersja: %2</b></span></pre>", name,
                installed);
}

QString added(const QString &name, quint32 offered)
{
    return fill("<pre><b>%1</b>\t\t<span style=\"color:#ff0000\"><b>wersja: %2</b></span></pre>",
                name, offered);
}

} // namespace VersionLines
