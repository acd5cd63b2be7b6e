#include "renaming.h"

#include <QFile>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool renameWithoutReplacing(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE)
        == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system that cannot refuse an existing name in the rename itself: the check just
    // before has to do.
    struct stat existing
    {
    };
    return fstatat(AT_FDCWD, target.constData(), &existing, AT_SYMLINK_NOFOLLOW) != 0
        && errno == ENOENT && ::rename(source.constData(), target.constData()) == 0;
}

bool flushFolderToDisk(const QString &folder)
{
    const int fd
        = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool flushed = ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
    ::close(fd);
    return flushed;
}
