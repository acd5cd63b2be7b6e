#include "filehasher.h"

#include "files/background.h"
#include "files/regularfile.h"
#include "files/sha256.h"

#include <QFile>
#include <QPromise>

#include <memory>

namespace {

constexpr qint64 readBytes = 1024 * 1024;

const QString unreadable()
{
    return QStringLiteral("the installed file cannot be read");
}

// Owns the open file, so the hash may end after the job is gone; a cancelled one stops at the
// next piece. No result: the file could not be read to its end.
void hashFile(QPromise<QByteArray> &promise, const std::shared_ptr<QFile> &file)
{
    Sha256 hash;
    QByteArray buffer(qsizetype(readBytes), Qt::Uninitialized);
    while (!promise.isCanceled()) {
        const qint64 read = file->read(buffer.data(), buffer.size());
        if (read < 0)
            return;
        if (read == 0) {
            if (file->atEnd())
                promise.addResult(hash.hexResult());
            return;
        }
        hash.addData(buffer.constData(), qsizetype(read));
    }
}

} // namespace

FileHasher::FileHasher(QObject *parent)
    : JobOf({}, parent)
{
    connect(&watcher, &QFutureWatcher<QByteArray>::finished, this, [this] {
        const QFuture<QByteArray> done = watcher.future();
        if (!done.isCanceled() && done.resultCount() > 0)
            finish(done.result());
        else
            finish({}, unreadable());
    });
}

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
    auto file = std::make_shared<QFile>();
    if (!openRegularFile(*file, path, FileLinks::Refuse)) {
        finish({}, unreadable());
        return;
    }
    watcher.setFuture(runInBackground<QByteArray>(
        [file](QPromise<QByteArray> &promise) { hashFile(promise, file); }));
}

void FileHasher::doKill()
{
    watcher.disconnect(this);
    watcher.cancel();
}

void FileHasher::announceResult()
{
    emit finished(result());
}
