#include "filehasher.h"

#include <QMetaObject>

FileHasher::FileHasher(QObject *parent)
    : QObject(parent)
{ }

void FileHasher::start(const QString &path)
{
    file.setFileName(path);
    // finished() always comes from the event loop, never from inside start().
    QMetaObject::invokeMethod(this, &FileHasher::hashSlice, Qt::QueuedConnection);
}

void FileHasher::hashSlice()
{
    if (!file.isOpen() && !file.open(QIODevice::ReadOnly)) {
        emit finished({});
        return;
    }
    const QByteArray slice = file.read(sliceBytes);
    if (slice.isEmpty()) {
        const bool whole = file.atEnd();
        file.close();
        emit finished(whole ? hash.result().toHex() : QByteArray());
        return;
    }
    hash.addData(slice);
    QMetaObject::invokeMethod(this, &FileHasher::hashSlice, Qt::QueuedConnection);
}
