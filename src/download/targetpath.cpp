#include "targetpath.h"

#include "files/stagingname.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

bool isLink(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction())
        return true;
#ifdef Q_OS_WIN
    // Mount points and other reparse points redirect as well, whatever Qt calls them.
    const DWORD attributes
        = GetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
#endif
    return false;
}

// Windows opens a device whatever the extension, and trims the blanks that end the base name
// first: "NUL.dll" and "nul .txt" are no files. Superscript digits count as digits there.
bool isDeviceName(QStringView fileName)
{
    const qsizetype dot = fileName.indexOf(QLatin1Char('.'));
    QStringView base = dot < 0 ? fileName : fileName.first(dot);
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    for (const char16_t *device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (base.compare(QStringView(device), Qt::CaseInsensitive) == 0)
            return true;
    }
    return base.size() == 4
        && (base.first(3).compare(u"COM", Qt::CaseInsensitive) == 0
            || base.first(3).compare(u"LPT", Qt::CaseInsensitive) == 0)
        && QStringView(u"0123456789\u00B9\u00B2\u00B3").contains(base.at(3));
}

} // namespace

QString linkFileName(const QUrl &url)
{
    // Split first, then decode: an encoded "/" belongs to the name, and isSafeFileName refuses
    // it, rather than turning "x%2F..%2Fwelor.exe" into the main product.
    const QByteArray path = url.path(QUrl::FullyEncoded).toLatin1();
    return QUrl::fromPercentEncoding(path.mid(path.lastIndexOf('/') + 1));
}

bool isSafeFileName(const QString &fileName)
{
    if (fileName.isEmpty() || fileName == QLatin1String(".") || fileName == QLatin1String(".."))
        return false;
    for (const QChar c : fileName) {
        // Separators and drive colons could leave the directory; the rest Windows cannot store.
        if (QStringView(u"/\\:<>\"|?*").contains(c))
            return false;
    }
    // Control and format characters (a right-to-left override, invisible tags) would make the
    // status line misstate the name. Taken by code point: some of them lie beyond 16 bits.
    const QList<uint> codePoints = fileName.toUcs4();
    for (const uint c : codePoints) {
        const QChar::Category category = QChar::category(char32_t(c));
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            return false;
    }
    // Windows silently drops a trailing dot or blank, which would change the name.
    if (fileName.endsWith(QLatin1Char('.')) || fileName.endsWith(QLatin1Char(' ')))
        return false;
    // A run removes left-over staging files beside its target; a component of that form
    // would be removed by the next run that writes the file it seems to belong to.
    return !isDeviceName(fileName) && !isStagingName(fileName);
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

bool isPlainTarget(const QString &installDirectory, const QString &fileName)
{
    const QString root = QFileInfo(installDirectory).canonicalFilePath();
    if (root.isEmpty())
        return false;
    const QString relative = relativeTargetPath(fileName);
    const bool inPlugins = relative != fileName;
    if (isLink(QDir(installDirectory).filePath(relative))
        || (inPlugins && isLink(QDir(installDirectory).filePath(QStringLiteral("plugins")))))
        return false;
    // The target itself may not exist yet, so its directory is what gets resolved.
    const QString directory = QFileInfo(QDir(installDirectory).filePath(relative)).absolutePath();
    const QString resolved = QFileInfo(directory).canonicalFilePath();
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity sensitivity = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
#endif
    const QString expected = inPlugins ? root + QStringLiteral("/plugins") : root;
    return !resolved.isEmpty() && resolved.compare(expected, sensitivity) == 0;
}
