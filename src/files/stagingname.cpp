#include "stagingname.h"

#include <QRandomGenerator>

namespace {

const QLatin1String marker(".aktualizator-");
const QLatin1String stagingSuffix(".tmp");
const QLatin1String setAsideSuffix(".old");
constexpr int randomLength = 6;
// The marker, the random letters and the suffix.
constexpr int extraLength = 14 + randomLength + 4;

QString randomName(const QString &targetName, QLatin1String suffix)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString random;
    for (int i = 0; i < randomLength; ++i)
        random += QLatin1Char(alphabet[QRandomGenerator::global()->bounded(36)]);
    return targetName + marker + random + suffix;
}

} // namespace

UpdaterName updaterNameKind(QStringView fileName)
{
    if (fileName.size() <= extraLength)
        return UpdaterName::None;
    const QStringView tail = fileName.right(extraLength);
    if (!tail.startsWith(marker, Qt::CaseInsensitive))
        return UpdaterName::None;
    for (const QChar c : tail.mid(marker.size(), randomLength)) {
        if (!(c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            && !(c >= QLatin1Char('0') && c <= QLatin1Char('9')))
            return UpdaterName::None;
    }
    if (tail.endsWith(stagingSuffix, Qt::CaseInsensitive))
        return UpdaterName::Staging;
    if (tail.endsWith(setAsideSuffix, Qt::CaseInsensitive))
        return UpdaterName::SetAside;
    return UpdaterName::None;
}

bool isStagingName(QStringView fileName)
{
    return updaterNameKind(fileName) != UpdaterName::None;
}

bool isStagingNameOf(QStringView fileName, QStringView targetName)
{
    return fileName.size() == targetName.size() + extraLength
        && updaterNameKind(fileName) == UpdaterName::Staging
        && fileName.startsWith(targetName, fileNameCase);
}

QString updaterNameTarget(QStringView fileName)
{
    if (updaterNameKind(fileName) == UpdaterName::None)
        return {};
    return fileName.chopped(extraLength).toString();
}

QString randomStagingName(const QString &targetName)
{
    return randomName(targetName, stagingSuffix);
}

QString randomSetAsideName(const QString &targetName)
{
    return randomName(targetName, setAsideSuffix);
}

QString sideFileName(const QString &targetName)
{
    return targetName + QStringLiteral(".patch");
}
