#pragma once

#include <QFuture>

class QFile;

// The bytes reach the disk before the name does, so a power cut leaves the old file or the new
// one, never a name over missing bytes. Both wait until what was written through `file` (the
// toolkit's buffer already emptied) is on the disk, and say false when it could not get there.
bool flushToDisk(const QFile &file);
// The same beside the event loop, on a handle of its own, so that a large file does not hold the
// window while the disk takes it. `file` may be closed, and its owner gone, before it ends; a
// future that is already finished with false comes back when no handle could be had.
QFuture<bool> flushToDiskInBackground(const QFile &file);
