#include "regularfile.h"

#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

bool openRegularFile(QFile &file, const QString &path, FileLinks links)
{
    file.close();
#ifdef Q_OS_WIN
    // No FIFOs in the file system here; a device is never a file.
    const QFileInfo info(path);
    if (!info.isFile() || (links == FileLinks::Refuse && (info.isSymLink() || info.isJunction())))
        return false;
    file.setFileName(path);
    return file.open(QIODevice::ReadOnly);
#else
    const int flags
        = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (links == FileLinks::Refuse ? O_NOFOLLOW : 0);
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0)
        return false;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)
        || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
}

std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes)
{
    QFile file;
    if (!openRegularFile(file, path, FileLinks::Follow))
        return std::nullopt;
    return file.read(maxBytes);
}
