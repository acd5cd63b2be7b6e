#include "verifiedfile.h"

#include "files/background.h"
#include "files/fileinuse.h"
#include "files/filelog.h"
#include "files/mappedaccess.h"

#include <QTimer>

namespace {

// A file that is still in use is tried again after 50 ms, then after twice as long each time,
// at most a second apart.
constexpr int firstInUseBackoffMs = 50;
constexpr int longestInUseBackoffMs = 1000;
// The most one hash beside the event loop takes at a time, so that waiting for it (the object
// going) is never long.
constexpr qint64 hashPieceBytes = 4 * 1024 * 1024;

} // namespace

VerifiedFile::VerifiedFile(const QString &targetPath, QObject *parent)
    : QObject(parent)
    , staged(targetPath)
{
    connect(&hashWatcher, &QFutureWatcher<bool>::finished, this, [this] {
        settleHash();
        hashAhead();
        if (!hashing())
            emit hashed();
    });
}

VerifiedFile::~VerifiedFile()
{
    // The hash reads the map, which goes with `staged`.
    waitForHash();
}

void VerifiedFile::setIntegrity(const FileIntegrity &given)
{
    integrity = given;
}

bool VerifiedFile::open()
{
    return staged.open();
}

VerifiedFile::Append VerifiedFile::append(const QByteArray &data, qint64 answerLimit)
{
    qint64 allowed = byteLimit;
    for (const qint64 limit : {integrity.size.value_or(-1), answerLimit}) {
        if (limit >= 0 && (allowed < 0 || limit < allowed))
            allowed = limit;
    }
    // More than the file can be: stop at once instead of filling the disk.
    if (allowed >= 0 && received + data.size() > allowed)
        return Append::OverLimit;
    received += data.size();
    if (!staged.write(data))
        return Append::WriteFailed;
    if (!integrity.sha256.isEmpty())
        hash.addData(data);
    return Append::Written;
}

uchar *VerifiedFile::mapForWriting(qint64 size)
{
    uchar *bytes = staged.mapAtSize(size);
    map = bytes;
    return bytes;
}

bool VerifiedFile::written(qint64 bytes)
{
    if (!map || bytes < received || hashFailed)
        return false;
    received = bytes;
    staged.writtenUpTo(bytes);
    if (!integrity.sha256.isEmpty() && !hashWatcher.isRunning())
        hashAhead();
    return true;
}

bool VerifiedFile::hashing() const
{
    return hashWatcher.isRunning() || (map && !integrity.sha256.isEmpty() && hashedUpTo < received);
}

void VerifiedFile::hashAhead()
{
    // The piece before may have ended with its signal still on the way.
    settleHash();
    if (!map || hashFailed || hashedUpTo >= received)
        return;
    // Hashed while still in the cache from being written, so the file is never read again.
    const char *fresh = reinterpret_cast<const char *>(map) + hashedUpTo;
    const qint64 count = qMin(received - hashedUpTo, hashPieceBytes);
    hashingUpTo = hashedUpTo + count;
    Sha256 *digest = &hash;
    hashWatcher.setFuture(runInBackground<bool>([digest, fresh, count] {
        return accessMappedFiles(
            {{fresh, count}}, [&] { digest->addData(fresh, qsizetype(count)); });
    }));
}

void VerifiedFile::waitForHash()
{
    hashWatcher.waitForFinished();
    settleHash();
}

void VerifiedFile::settleHash()
{
    // Once for each piece: by the wait, or by the watcher's signal after it.
    if (hashingUpTo <= hashedUpTo || !hashWatcher.isFinished())
        return;
    const QFuture<bool> piece = hashWatcher.future();
    hashFailed = hashFailed || piece.resultCount() == 0 || !piece.result();
    hashedUpTo = hashingUpTo;
}

bool VerifiedFile::restart()
{
    waitForHash();
    hashedUpTo = hashingUpTo = 0;
    received = 0;
    hash.reset();
    return staged.restart();
}

std::optional<TransferFailure> VerifiedFile::verify()
{
    // Whatever the hash beside the event loop has not taken yet is taken now.
    waitForHash();
    if (map && !integrity.sha256.isEmpty() && hashedUpTo < received && !hashFailed) {
        const char *rest = reinterpret_cast<const char *>(map) + hashedUpTo;
        const qint64 count = received - hashedUpTo;
        hashFailed
            = !accessMappedFiles({{rest, count}}, [&] { hash.addData(rest, qsizetype(count)); });
        hashedUpTo = received;
    }
    // Buffered bytes that cannot reach the disk (disk full) fail here, before anything
    // replaces the installed file.
    map = nullptr;
    staged.unmap();
    using Kind = TransferFailure::Kind;
    if (!staged.flush())
        return TransferFailure::of(
            Kind::WriteFailed, QStringLiteral("the file could not be written"));
    if (hashFailed)
        return TransferFailure::of(Kind::ChecksumMismatch,
            QStringLiteral("a page of the new file could not be read back"));
    if (integrity.malformed)
        return TransferFailure::of(Kind::ChecksumMismatch,
            QStringLiteral("the list line's size or checksum is malformed"));
    if (integrity.size && *integrity.size != received)
        return TransferFailure::of(Kind::WrongSize,
            QStringLiteral("%1 bytes arrived, the list line says %2")
                .arg(received)
                .arg(*integrity.size));
    if (!integrity.sha256.isEmpty() && hash.hexResult() != integrity.sha256)
        return TransferFailure::of(
            Kind::ChecksumMismatch, QStringLiteral("the checksum does not match"));
    return std::nullopt;
}

StagedFile::Replace VerifiedFile::commit()
{
    const StagedFile::Replace result = staged.commit();
    if (result == StagedFile::Replace::Done)
        watchFormerFileRemoval();
    return result;
}

void VerifiedFile::commitWhenFree(int waitMs, std::function<bool(const QString &)> inUse)
{
    inUseWaitMs = waitMs;
    inUseCheck = std::move(inUse);
    inUseBackoffMs = 0;
    waitForHash();
    map = nullptr;
    staged.unmap();
    // The flush to the disk before the rename takes a third of a second and more for a large
    // file; it runs beside the event loop, and the rename follows once it has ended.
    if (!syncWatcher) {
        syncWatcher = new QFutureWatcher<bool>(this);
        connect(syncWatcher, &QFutureWatcher<bool>::finished, this, [this] {
            const QFuture<bool> flush = syncWatcher->future();
            if (flush.resultCount() == 0 || !flush.result()) {
                qCWarning(lcFiles)
                    << "the new bytes of" << targetPath() << "could not be flushed to the disk";
                staged.discard();
                emit committed(StagedFile::Replace::Failed);
                return;
            }
            sealAndCommit();
        });
    }
    syncWatcher->setFuture(staged.flushInBackground());
}

void VerifiedFile::sealAndCommit()
{
    inUseClock.start();
    if (!staged.seal()) {
        staged.discard();
        emit committed(StagedFile::Replace::Failed);
        return;
    }
    tryCommit();
}

void VerifiedFile::discard()
{
    waitForHash();
    map = nullptr;
    if (syncWatcher)
        syncWatcher->disconnect(this);
    if (inUseTimer)
        inUseTimer->stop();
    staged.discard();
}

void VerifiedFile::tryCommit()
{
    const qint64 waited = inUseClock.elapsed();
    const bool lastTry = waited >= inUseWaitMs;
    const bool targetHeld = inUseCheck ? inUseCheck(targetPath()) : isFileInUse(targetPath());
    // The rename is only tried once the target looks free; when it is refused all the same (a
    // program holds the new file itself), the checked bytes stay for the next try. Only the last
    // one may drop them.
    const StagedFile::Replace result = targetHeld ? StagedFile::Replace::Held : staged.replace();
    if (result != StagedFile::Replace::Held || lastTry) {
        if (result != StagedFile::Replace::Done)
            staged.discard();
        else
            watchFormerFileRemoval();
        emit committed(result);
        return;
    }
    inUseBackoffMs = inUseBackoffMs == 0 ? firstInUseBackoffMs
                                         : qMin(inUseBackoffMs * 2, longestInUseBackoffMs);
    if (!inUseTimer) {
        inUseTimer = new QTimer(this);
        inUseTimer->setSingleShot(true);
        connect(inUseTimer, &QTimer::timeout, this, &VerifiedFile::tryCommit);
    }
    inUseTimer->start(int(qBound(qint64(1), qint64(inUseBackoffMs), inUseWaitMs - waited)));
}

void VerifiedFile::watchFormerFileRemoval()
{
    const QFuture<bool> removal = staged.formerFileRemoval();
    if (!removal.isValid())
        return;
    if (!removalWatcher) {
        removalWatcher = new QFutureWatcher<bool>(this);
        connect(removalWatcher, &QFutureWatcher<bool>::finished, this, [this] {
            const QFuture<bool> done = removalWatcher->future();
            // The former file keeps its staging name, which the next start sweeps away.
            if (done.resultCount() == 0 || !done.result())
                qCWarning(lcFiles)
                    << "the former file of" << targetPath() << "could not be removed";
        });
    }
    removalWatcher->setFuture(removal);
}
