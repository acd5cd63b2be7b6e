#include "writeback.h"

#include "background.h"
#include "iopool.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The disk is given the bytes in pieces of this size while more arrive.
constexpr qint64 piece = 8 * 1024 * 1024;

// Runs beside the event loop on a descriptor of its own, so the file may be closed and its
// owner gone meanwhile; a piece of a file removed by then costs nothing.
void writePieces(int fd, qint64 from, qint64 to)
{
    for (qint64 start = from; to - start >= piece; start += piece) {
        sync_file_range(fd, start, piece, SYNC_FILE_RANGE_WRITE);
        if (start >= piece)
            sync_file_range(fd, start - piece, piece,
                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    }
    ::close(fd);
}

} // namespace

WriteBack::WriteBack()
{
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, &watcher, [this] { handOn(); });
}

WriteBack::~WriteBack() = default;

void WriteBack::written(const QFile &file, qint64 end)
{
    descriptor = file.handle();
    writtenUpTo = qMax(writtenUpTo, end);
    if (!watcher.isRunning())
        handOn();
}

void WriteBack::restart()
{
    handedUpTo = 0;
    writtenUpTo = 0;
}

void WriteBack::stop()
{
    descriptor = -1;
}

void WriteBack::handOn()
{
    const qint64 pieces = (writtenUpTo - handedUpTo) / piece;
    if (pieces <= 0 || descriptor < 0)
        return;
    const int own = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return;
    const qint64 from = handedUpTo;
    handedUpTo += pieces * piece;
    const qint64 to = handedUpTo;
    watcher.setFuture(
        runInBackground<void>(ioThreadPool(), [own, from, to] { writePieces(own, from, to); }));
}
