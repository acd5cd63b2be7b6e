#include "durableflush.h"

#include "background.h"
#include "iopool.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool syncDescriptor(int fd)
{
    // A file system that keeps nothing to flush (a pipe, some FUSE mounts) says so; that is no
    // lost byte.
    return ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
}

} // namespace

bool flushToDisk(const QFile &file)
{
    return file.handle() >= 0 && syncDescriptor(file.handle());
}

QFuture<bool> flushToDiskInBackground(const QFile &file)
{
    const int own = file.handle() >= 0 ? fcntl(file.handle(), F_DUPFD_CLOEXEC, 0) : -1;
    if (own < 0)
        return QtFuture::makeReadyFuture(false);
    return runInBackground<bool>(ioThreadPool(), [own] {
        const bool ok = syncDescriptor(own);
        ::close(own);
        return ok;
    });
}
