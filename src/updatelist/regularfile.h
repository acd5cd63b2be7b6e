#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// At most `maxBytes` of the file at `path`; nullopt when it cannot be opened or is no regular
// file (a link to one is fine). Opening a FIFO without a writer, or some devices, waits for
// ever, and the window with it; the file is opened without waiting and checked afterwards, so
// nothing can be swapped in between.
std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes);
