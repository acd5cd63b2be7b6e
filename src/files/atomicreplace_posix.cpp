#include "atomicreplace.h"

#include "background.h"
#include "fileidentity.h"
#include "iopool.h"
#include "pinnedfolder.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A former file of this size or more is removed beside the event loop: freeing the blocks of a
// large file takes the file system a tenth of a second and more.
constexpr off_t largeFormerFile = 32 * 1024 * 1024;

QFuture<bool> removeFormer(const PinnedFolder &folder, const QByteArray &name, off_t size)
{
    // Through a descriptor of the folder of its own, so the removal stays in this folder
    // whatever happens to the pinned one. Should the process end first, the name is one the
    // next start sweeps away.
    const int own = size >= largeFormerFile ? fcntl(folder.descriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    if (own < 0)
        return QtFuture::makeReadyFuture(unlinkat(folder.descriptor(), name.constData(), 0) == 0);
    return runInBackground<bool>(ioThreadPool(), [own, name] {
        const bool removed = unlinkat(own, name.constData(), 0) == 0;
        ::close(own);
        return removed;
    });
}

} // namespace

Replacement replaceAtomically(const PinnedFolder &folder, const QString &stagingName,
    const QString &name, const FileIdentity &written)
{
    const int fd = folder.descriptor();
    const QByteArray staging = QFile::encodeName(stagingName);
    const QByteArray target = QFile::encodeName(name);
    struct stat existing
    {
    };
    const bool targetExists = fstatat(fd, target.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (targetExists && (S_ISLNK(existing.st_mode) || S_ISDIR(existing.st_mode)))
        return {ReplaceOutcome::Failed, {}};
    if (!written.isAt(folder, stagingName))
        return {ReplaceOutcome::Foreign, {}};
    // The two names are swapped rather than one renamed over the other: should another file
    // have taken the staging name after the check above, swapping them back restores the
    // former target. A file system that cannot swap names gets a plain rename, which the check
    // after it can only report.
    const unsigned int how = targetExists ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    const bool swapped = renameat2(fd, staging.constData(), fd, target.constData(), how) == 0;
    if (!swapped
        && ((errno != EINVAL && errno != ENOSYS)
            || renameat(fd, staging.constData(), fd, target.constData()) != 0))
        return {ReplaceOutcome::Failed, {}};
    struct stat former
    {
    };
    if (!written.isAt(folder, name)
        || (swapped && targetExists
            && fstatat(fd, staging.constData(), &former, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISDIR(former.st_mode))) {
        if (swapped)
            renameat2(fd, target.constData(), fd, staging.constData(), how);
        return {ReplaceOutcome::Foreign, {}};
    }
    // The former file now has the staging name, and goes with it.
    if (swapped && targetExists)
        return {ReplaceOutcome::Done, removeFormer(folder, staging, existing.st_size)};
    return {ReplaceOutcome::Done, QtFuture::makeReadyFuture(true)};
}
