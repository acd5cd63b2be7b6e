#include "targetpath.h"

#include <QRegularExpression>
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
        // Separators and drive colons could leave the directory; the rest Windows cannot store.
        if (QStringView(u"/\\:<>\"|?*").contains(c))
            return false;
        if (c.unicode() < 0x20 || c.category() == QChar::Other_Control
            || c.category() == QChar::Other_Format)
            return false;
    }
    // Windows silently drops a trailing dot or blank, which would change the name.
    if (fileName.endsWith(QLatin1Char('.')) || fileName.endsWith(QLatin1Char(' ')))
        return false;
    // Windows opens these device names whatever the extension, so "NUL.dll" is no file.
    static const QRegularExpression deviceName(
            QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\\..*)?$"),
            QRegularExpression::CaseInsensitiveOption);
    return !deviceName.match(fileName).hasMatch();
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
