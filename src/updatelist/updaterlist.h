#pragma once

#include "updateentry.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// The updater's own list, published beside aktualizacje.txt (which updaters already deployed
// keep reading alone): one line per file of the updater, named by its path below the updater's
// folder, all of one release, whose release time is the version.
inline const QString updaterListFileName = QStringLiteral("aktualizator.txt");

struct UpdaterFile
{
    // Relative to the updater's folder, "/" between folders: "platforms/qwindows.dll".
    QString path;
    UpdateEntry entry;
};

// Whether the updater renews itself from a list, and from which files. Anything but Accepted
// means nothing is fetched.
struct UpdaterListCheck
{
    enum class Verdict {
        Accepted,
        // The build has no keys: the updater never renews itself from an unsigned list.
        NoKeys,
        // No valid signature by a built-in key.
        BadSignature,
        Expired,
        // Not later than the running updater's release: no way back to an older signed one.
        NotNewer,
        // A line that is no list line, lacks <sha256> or <size>, or belongs to another release.
        BadLine,
        // A path that leaves the updater's folder, fails the name rules, or names what the
        // component list places.
        BadPath,
        // Two lines for one file, in any letter case.
        Duplicate,
        Empty,
    };

    Verdict verdict = Verdict::Empty;
    // For the log: the line or the reason.
    QString reason;
    quint32 release = 0;
    QList<UpdaterFile> files;
};

UpdaterListCheck checkUpdaterList(const QByteArray &trustedKeys, const QByteArray &list,
    const QByteArray &signature, const QDateTime &now, quint32 runningRelease);

// Every segment a safe file name; not below plugins/, and not the main product's executable,
// which the component list places; not the lists' or the renewal's own names.
bool isUpdaterFilePath(const QString &path);
