#include "filehasher.h"

#include "files/regularfile.h"

FileHasher::FileHasher(QObject *parent)
    : JobOf({}, parent)
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
    const QString unreadable = QStringLiteral("the installed file cannot be read");
    if (!file.isOpen()) {
        if (!openRegularFile(file, path, FileLinks::Refuse)) {
            finish({}, unreadable);
            return;
        }
        buffer.resize(qsizetype(sliceBytes));
    }
    const qint64 read = file.read(buffer.data(), buffer.size());
    if (read <= 0) {
        const bool whole = read == 0 && file.atEnd();
        file.close();
        if (whole)
            finish(hash.hexResult());
        else
            finish({}, unreadable);
        return;
    }
    hash.addData(buffer.constData(), qsizetype(read));
    // One slice per event-loop turn.
    continueLater(&FileHasher::hashSlice);
}

void FileHasher::doKill()
{
    file.close();
}

void FileHasher::announceResult()
{
    emit finished(result());
}
