#include "filehasher.h"

#include "files/regularfile.h"

#include <QMetaObject>

FileHasher::FileHasher(QObject *parent)
    : Job(1, parent)
{ }

FileHasher::~FileHasher()
{
    kill();
}

void FileHasher::start(const QString &filePath)
{
    path = filePath;
    Job::start();
}

void FileHasher::doStart()
{
    hashSlice();
}

void FileHasher::hashSlice()
{
    if (isFinished())
        return;
    if (!file.isOpen()) {
        if (!openRegularFile(file, path, FileLinks::Refuse)) {
            emitResult(1, QStringLiteral("the installed file cannot be read"));
            return;
        }
        buffer.resize(qsizetype(sliceBytes));
    }
    const qint64 read = file.read(buffer.data(), buffer.size());
    if (read <= 0) {
        const bool whole = read == 0 && file.atEnd();
        file.close();
        if (whole)
            digest = hash.hexResult();
        emitResult(
            whole ? 0 : 1, whole ? QString() : QStringLiteral("the installed file cannot be read"));
        return;
    }
    hash.addData(buffer.constData(), qsizetype(read));
    // One slice per event-loop turn.
    QMetaObject::invokeMethod(this, &FileHasher::hashSlice, Qt::QueuedConnection);
}

void FileHasher::doKill()
{
    file.close();
}

void FileHasher::announceResult()
{
    emit finished(digest);
}
