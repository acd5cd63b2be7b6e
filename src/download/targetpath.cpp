#include "targetpath.h"

#include <QUrl>

QString linkFileName(const QUrl &url)
{
    const QString path = url.path(QUrl::FullyDecoded);
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

bool isSafeFileName(const QString &fileName)
{
    if (fileName.isEmpty() || fileName == QLatin1String(".") || fileName == QLatin1String(".."))
        return false;
    for (const QChar c : fileName) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':'))
            return false;
        if (c.unicode() < 0x20 || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

QString relativeTargetPath(const QString &fileName)
{
    if (fileName.toLower().contains(QLatin1String("welor.exe")))
        return fileName;
    return QStringLiteral("plugins/") + fileName;
}

QString targetPath(const QString &installDirectory, const QString &fileName)
{
    return QStringLiteral("%1/%2").arg(installDirectory, relativeTargetPath(fileName));
}
