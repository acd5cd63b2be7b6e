#include "regularfile.h"

#include <QFile>

#ifdef Q_OS_WIN
#include <QFileInfo>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes)
{
    QFile file(path);
#ifdef Q_OS_WIN
    // No FIFOs in the file system here; a device is never a file.
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)
        || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return std::nullopt;
    }
#endif
    return file.read(maxBytes);
}
