#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class QFile;

// Opening a FIFO without a writer, or some devices, waits for ever, and the window with it.
// These open without waiting and check what was opened afterwards, so nothing can be swapped in
// between.
enum class FileLinks { Follow, Refuse };

// Opens `file` read-only on `path` when that is a regular file; false (and `file` closed) for
// anything else, and for a link when links are refused.
bool openRegularFile(QFile &file, const QString &path, FileLinks links);

// At most `maxBytes` of the file at `path`; nullopt when it cannot be opened or is no regular
// file (a link to one is fine).
std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes);
