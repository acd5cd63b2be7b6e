#pragma once

#include <QFuture>
#include <QFutureWatcher>
#include <QtGlobal>

#include <atomic>

// Makes the pages of a map that is about to be written ready beside the event loop, a few
// pieces ahead of the writer. Each page of a new file's map is otherwise taken on its first
// write, one fault at a time, and the kernel clears it then: a quarter of the time a patch of
// 300 MiB takes. Where the system cannot do that (Windows, kernels before 5.14), the writer
// takes its faults as before.
class MapPrefault
{
public:
    MapPrefault();
    ~MapPrefault();
    MapPrefault(const MapPrefault &) = delete;
    MapPrefault &operator=(const MapPrefault &) = delete;

    // The map's first `written` bytes are written: the next ones are made ready.
    void written(uchar *map, qint64 size, qint64 written);
    // No more: the map is about to go. What still runs on the map ends with the future given.
    QFuture<void> stop();

private:
    void ahead();

    QFutureWatcher<void> watcher;
    uchar *map = nullptr;
    qint64 size = 0;
    qint64 writtenUpTo = 0;
    qint64 readyUpTo = 0;
    // Set beside the event loop when the system cannot.
    std::atomic<bool> unsupported = false;
};
