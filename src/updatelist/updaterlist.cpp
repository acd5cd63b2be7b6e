#include "updaterlist.h"

#include "filenamerules.h"
#include "files/updaterswap.h"
#include "listsignature.h"
#include "updatelistfile.h"
#include "updatelistformat.h"

#include <QRegularExpression>
#include <QSet>

bool isUpdaterFilePath(const QString &path)
{
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (!isSafeFileName(segment))
            return false;
    }
    if (segments.size() > 1)
        return segments.constFirst().compare(QLatin1String("plugins"), Qt::CaseInsensitive) != 0;
    for (const QString &own : {updateListFileName, signatureFileName(updateListFileName),
             updaterListFileName, signatureFileName(updaterListFileName)}) {
        if (path.compare(own, Qt::CaseInsensitive) == 0)
            return false;
    }
    // relativeTargetPath() keeps only the main product's file in the folder itself.
    return relativeTargetPath(path) != path && !isUpdaterSwapFileName(path);
}

UpdaterListCheck checkUpdaterList(const QByteArray &trustedKeys, const QByteArray &list,
    const QByteArray &signature, const QDateTime &now, quint32 runningRelease)
{
    using Verdict = UpdaterListCheck::Verdict;
    UpdaterListCheck check;
    const auto refuse = [&check](Verdict verdict, const QString &reason) {
        check.verdict = verdict;
        check.reason = reason;
        check.files.clear();
        return check;
    };
    if (trustedKeys.isEmpty())
        return refuse(Verdict::NoKeys, QStringLiteral("the build has no keys"));
    switch (checkListSignature(trustedKeys, list, signature, now)) {
    case ListSignatureCheck::Valid:
        break;
    case ListSignatureCheck::Expired:
        return refuse(Verdict::Expired, QStringLiteral("the signature has expired"));
    default:
        return refuse(Verdict::BadSignature, QStringLiteral("no valid signature"));
    }
    // Unlike a component's, the version is the release time alone: no date rule for any name.
    static const QRegularExpression releaseText(QStringLiteral("^[0-9]{1,10}$"));
    QSet<QString> seen;
    const QStringList lines = updateListLines(list);
    for (const QString &line : lines) {
        const std::optional<UpdateListLine> parsed = parseUpdateListLine(line);
        const std::optional<UpdateListLineParts> parts = matchUpdateListLine(line);
        if (!parsed || !parts)
            return refuse(Verdict::BadLine, line.left(200));
        const FileIntegrity &integrity = parsed->entry.integrity;
        bool numeric = releaseText.match(parts->version).hasMatch();
        const quint64 release = parts->version.toULongLong();
        numeric = numeric && release <= 0xFFFFFFFFu
            && (check.files.isEmpty() || release == check.release);
        if (integrity.malformed || !integrity.size || integrity.sha256.isEmpty() || !numeric)
            return refuse(Verdict::BadLine, line.left(200));
        if (!isUpdaterFilePath(parsed->name))
            return refuse(Verdict::BadPath, parsed->name);
        const QString key = parsed->name.toLower();
        if (seen.contains(key))
            return refuse(Verdict::Duplicate, parsed->name);
        seen.insert(key);
        check.release = quint32(release);
        check.files.append({parsed->name, parsed->entry});
    }
    if (check.files.isEmpty())
        return refuse(Verdict::Empty, QStringLiteral("no line"));
    if (check.release <= runningRelease) {
        return refuse(Verdict::NotNewer,
            QStringLiteral("release %1, running %2").arg(check.release).arg(runningRelease));
    }
    check.verdict = Verdict::Accepted;
    return check;
}
