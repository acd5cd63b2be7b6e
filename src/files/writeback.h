#pragma once

#include <QFutureWatcher>
#include <QtGlobal>

class QFile;

// Without this the kernel keeps every byte of a new file in memory until the flush before the
// rename, which then waits for as long as the disk needs for the whole file (a third of a
// second per 300 MiB). Each complete piece is handed to the disk as soon as it is written, and
// the one before it is waited for, beside the event loop: the window's thread never waits for
// the disk here, and the final flush finds little left to do. The Windows cache manager writes
// in the background on its own, so there this does nothing.
class WriteBack
{
public:
    WriteBack();
    ~WriteBack();
    WriteBack(const WriteBack &) = delete;
    WriteBack &operator=(const WriteBack &) = delete;

    // The first `end` bytes of `file` are written (the toolkit's buffer already emptied).
    void written(const QFile &file, qint64 end);
    // The file starts over; pieces already handed on are no concern of the new bytes.
    void restart();
    // The file is about to be closed: nothing more is handed on.
    void stop();

private:
    void handOn();

    QFutureWatcher<void> watcher;
    int descriptor = -1;
    // Where the next piece handed to the disk starts, and how far the file is written.
    qint64 handedUpTo = 0;
    qint64 writtenUpTo = 0;
};
