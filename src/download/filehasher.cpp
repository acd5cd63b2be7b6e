#include "filehasher.h"

#include "transfer/regularfile.h"

#include <QMetaObject>

FileHasher::FileHasher(QObject *parent)
    : QObject(parent)
{ }

void FileHasher::start(const QString &filePath)
{
    path = filePath;
    // finished() always comes from the event loop, never from inside start().
    QMetaObject::invokeMethod(this, &FileHasher::hashSlice, Qt::QueuedConnection);
}

void FileHasher::hashSlice()
{
    if (!file.isOpen()) {
        if (!openRegularFile(file, path, FileLinks::Refuse)) {
            emit finished({});
            return;
        }
        buffer.resize(qsizetype(sliceBytes));
    }
    const qint64 read = file.read(buffer.data(), buffer.size());
    if (read <= 0) {
        const bool whole = read == 0 && file.atEnd();
        file.close();
        emit finished(whole ? hash.hexResult() : QByteArray());
        return;
    }
    hash.addData(buffer.constData(), qsizetype(read));
    QMetaObject::invokeMethod(this, &FileHasher::hashSlice, Qt::QueuedConnection);
}
