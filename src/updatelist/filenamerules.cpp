#include "filenamerules.h"

#include "files/stagingname.h"

#include <QList>
#include <QStringView>

namespace {

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
