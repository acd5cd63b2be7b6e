#include "fileidentity.h"

#include "pinnedfolder.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FileIdentity::~FileIdentity()
{
    reset();
}

bool FileIdentity::take(const QFile &file)
{
    reset();
    if (file.handle() >= 0)
        fd = fcntl(file.handle(), F_DUPFD_CLOEXEC, 0);
    return fd >= 0;
}

bool FileIdentity::isValid() const
{
    return fd >= 0;
}

bool FileIdentity::isAt(const PinnedFolder &folder, const QString &name) const
{
    struct stat there
    {
    };
    struct stat held
    {
    };
    return fd >= 0
        && fstatat(folder.descriptor(), QFile::encodeName(name).constData(), &there,
               AT_SYMLINK_NOFOLLOW)
        == 0
        && S_ISREG(there.st_mode) && fstat(fd, &held) == 0 && there.st_dev == held.st_dev
        && there.st_ino == held.st_ino;
}

void FileIdentity::reset()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
