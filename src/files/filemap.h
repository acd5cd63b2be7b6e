#pragma once

#include <QFuture>
#include <QtGlobal>

class QFile;

// The file's first `size` bytes, with their space on the disk taken, mapped for writing: a
// shared map of a file whose blocks are not yet taken raises SIGBUS when the disk fills, so a
// full disk shows here instead. Null when that fails. An empty file has no pages to map; it
// gets a map of nothing, which unmapWritable() knows.
uchar *mapWritable(QFile &file, qint64 size);
// False when the pages could not be handed back to the file.
bool unmapWritable(uchar *map, qint64 size);
// The same beside the event loop: tearing down the pages of a large map takes tens of
// milliseconds. Windows gives its view back at once, since it renames no file that has one.
QFuture<bool> unmapWritableLater(uchar *map, qint64 size);

// The whole of the open `file` mapped for reading; null when it cannot be.
const uchar *mapReadable(QFile &file, qint64 size);
// Hands that map back, beside the event loop where the system lets a mapped file be replaced
// meanwhile (not Windows): tearing down the map of a large file holds the window otherwise.
QFuture<void> unmapReadable(const uchar *map, qint64 size);
