#include "pinnedfolder.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

PinnedFolder::~PinnedFolder()
{
    if (fd >= 0)
        ::close(fd);
}

bool PinnedFolder::pin(const QString &path)
{
    if (fd >= 0)
        ::close(fd);
    folderPath = path;
    fd = ::open(
        QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd >= 0;
}

bool PinnedFolder::isPinned() const
{
    return fd >= 0;
}

bool PinnedFolder::unchanged() const
{
    struct stat now
    {
    };
    struct stat pinned
    {
    };
    return fd >= 0 && lstat(QFile::encodeName(folderPath).constData(), &now) == 0
        && S_ISDIR(now.st_mode) && fstat(fd, &pinned) == 0 && now.st_dev == pinned.st_dev
        && now.st_ino == pinned.st_ino;
}

void PinnedFolder::removeEntries(const std::function<bool(const QString &)> &matches) const
{
    if (fd < 0)
        return;
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = own >= 0 ? fdopendir(own) : nullptr;
    if (!dir) {
        if (own >= 0)
            ::close(own);
        return;
    }
    while (const dirent *entry = readdir(dir)) {
        struct stat st
        {
        };
        if (matches(QFile::decodeName(entry->d_name))
            && fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
            unlinkat(fd, entry->d_name, 0);
    }
    closedir(dir);
}

PinnedFolder::Create PinnedFolder::createNew(
    const QString &name, const QString &likeName, QFile &file) const
{
    if (fd < 0)
        return Create::Failed;
    const int created = openat(fd, QFile::encodeName(name).constData(),
        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (created < 0)
        return errno == EEXIST ? Create::Exists : Create::Failed;
    // The new file keeps the access rights of the one it replaces.
    struct stat existing
    {
    };
    if (fstatat(fd, QFile::encodeName(likeName).constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(existing.st_mode))
        fchmod(created, existing.st_mode & 07777);
    if (!file.open(created, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        ::close(created);
        remove(name);
        return Create::Failed;
    }
    return Create::Done;
}

bool PinnedFolder::remove(const QString &name) const
{
    return fd >= 0 && unlinkat(fd, QFile::encodeName(name).constData(), 0) == 0;
}
