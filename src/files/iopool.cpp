#include "iopool.h"

#include <QThreadPool>

namespace {

// A few waits at once: the flush of one file, the write-back of the next, a removal.
constexpr int ioThreads = 4;

} // namespace

QThreadPool *ioThreadPool()
{
    static QThreadPool pool;
    static const bool ready = [] {
        pool.setMaxThreadCount(ioThreads);
        return true;
    }();
    Q_UNUSED(ready)
    return &pool;
}
