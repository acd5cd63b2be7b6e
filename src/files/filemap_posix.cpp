#include "filemap.h"

#include "background.h"
#include "iopool.h"

#include <QFile>

#include <fcntl.h>
#include <sys/mman.h>

namespace {

uchar emptyMap[1] = {0};

} // namespace

uchar *mapWritable(QFile &file, qint64 size)
{
    if (!file.resize(size) || (size > 0 && posix_fallocate(file.handle(), 0, off_t(size)) != 0))
        return nullptr;
    if (size == 0)
        return emptyMap;
    // Mapped by hand: the toolkit's map compares with a size it may have read before the
    // resize, and warns.
    void *bytes = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, file.handle(), 0);
    return bytes == MAP_FAILED ? nullptr : static_cast<uchar *>(bytes);
}

bool unmapWritable(uchar *map, qint64 size)
{
    return map == emptyMap || munmap(map, size_t(size)) == 0;
}

QFuture<bool> unmapWritableLater(uchar *map, qint64 size)
{
    if (map == emptyMap)
        return QtFuture::makeReadyFuture(true);
    return runInBackground<bool>(ioThreadPool(), [map, size] { return unmapWritable(map, size); });
}

const uchar *mapReadable(QFile &file, qint64 size)
{
    if (size <= 0)
        return nullptr;
    void *bytes = mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, file.handle(), 0);
    return bytes == MAP_FAILED ? nullptr : static_cast<const uchar *>(bytes);
}

QFuture<void> unmapReadable(const uchar *map, qint64 size)
{
    if (!map)
        return QtFuture::makeReadyFuture();
    void *bytes = const_cast<uchar *>(map);
    return runInBackground<void>(ioThreadPool(), [bytes, size] { munmap(bytes, size_t(size)); });
}
