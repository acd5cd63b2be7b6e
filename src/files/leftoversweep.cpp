#include "leftoversweep.h"

#include "filelog.h"
#include "stagingname.h"
#include "updaterswap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

SweepResult sweepLeftovers(const QString &folder)
{
    SweepResult result;
    // A renewal of the updater's own files that an earlier process left is finished or undone
    // as its journal says, before anything else here; names it still holds are its own.
    const QStringList swapNames = recoverUpdaterSwap(folder);
    const QDir dir(folder);
    const QStringList entries
        = dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        const UpdaterName kind = updaterNameKind(entry);
        if (kind == UpdaterName::None)
            continue;
        if (swapNames.contains(entry, fileNameCase)) {
            ++result.kept;
            continue;
        }
        const QString path = dir.filePath(entry);
        const QString own = dir.filePath(updaterNameTarget(entry));
        // A link under such a name was put there by someone else; removing the name never
        // reaches what it leads to, but a link is nothing to put back either.
        const QFileInfo info(path);
        if (kind == UpdaterName::SetAside && !info.isSymLink() && !QFileInfo(own).exists()
            && !QFileInfo(own).isSymLink()) {
            if (QFile::rename(path, own)) {
                qCWarning(lcFiles) << "put back" << own << "which an earlier run had set aside";
                ++result.restored;
            } else {
                ++result.kept;
            }
            continue;
        }
        if (QFile::remove(path)) {
            qCDebug(lcFiles) << "removed the left-over" << path;
            ++result.removed;
        } else {
            ++result.kept;
        }
    }
    return result;
}
