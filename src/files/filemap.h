#pragma once

#include <QtGlobal>

class QFile;

// The file's first `size` bytes, with their space on the disk taken, mapped for writing: a
// shared map of a file whose blocks are not yet taken raises SIGBUS when the disk fills, so a
// full disk shows here instead. Null when that fails. An empty file has no pages to map; it
// gets a map of nothing, which unmapWritable() knows.
uchar *mapWritable(QFile &file, qint64 size);
// False when the pages could not be handed back to the file.
bool unmapWritable(uchar *map, qint64 size);
