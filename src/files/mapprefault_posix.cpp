#include "mapprefault.h"

#include "background.h"

#include <cerrno>
#include <sys/mman.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace {

constexpr qint64 piece = 8 * 1024 * 1024;
// How far ahead of the writer the pages are kept ready.
constexpr qint64 lead = 2 * piece;

} // namespace

MapPrefault::MapPrefault()
{
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, &watcher, [this] { ahead(); });
}

MapPrefault::~MapPrefault()
{
    // The pages are made ready through the map, which goes after this object.
    watcher.waitForFinished();
}

void MapPrefault::written(uchar *mapped, qint64 mapSize, qint64 written)
{
    if (mapped != map) {
        watcher.waitForFinished();
        map = mapped;
        size = mapSize;
        readyUpTo = 0;
    }
    writtenUpTo = written;
    if (!watcher.isRunning())
        ahead();
}

QFuture<void> MapPrefault::stop()
{
    map = nullptr;
    return watcher.future();
}

void MapPrefault::ahead()
{
    if (!map || unsupported)
        return;
    readyUpTo = qMax(readyUpTo, writtenUpTo);
    if (readyUpTo >= size || readyUpTo >= writtenUpTo + lead)
        return;
    // Whole pages only, from the page the writer has not reached.
    const qint64 pageSize = 4096;
    const qint64 from = readyUpTo / pageSize * pageSize;
    const qint64 to = qMin(size, from + piece);
    readyUpTo = to;
    uchar *start = map + from;
    const size_t length = size_t(to - from);
    watcher.setFuture(runInBackground<void>([this, start, length] {
        // Nothing but a system that cannot (EINVAL) stops it; a page it could not make ready
        // is taken by the writer's own fault as before.
        if (madvise(start, length, MADV_POPULATE_WRITE) != 0 && errno == EINVAL)
            unsupported = true;
    }));
}
