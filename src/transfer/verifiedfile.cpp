#include "verifiedfile.h"

#include "fileinuse.h"
#include "mappedaccess.h"

#include <QTimer>

namespace {

// A file that is still in use is tried again after 50 ms, then after twice as long each time,
// at most a second apart.
constexpr int firstInUseBackoffMs = 50;
constexpr int longestInUseBackoffMs = 1000;
// How often the end of the flush in the background is looked for.
constexpr int syncPollMs = 5;

} // namespace

VerifiedFile::VerifiedFile(const QString &targetPath, QObject *parent)
    : QObject(parent)
    , staged(targetPath)
{ }

VerifiedFile::~VerifiedFile() = default;

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
    if (!map || bytes < received)
        return false;
    const char *fresh = reinterpret_cast<const char *>(map) + received;
    const qint64 count = bytes - received;
    // Hashed while still in the cache from being written, so the file is never read again.
    if (!integrity.sha256.isEmpty()
        && !accessMappedFiles([&] { hash.addData(fresh, qsizetype(count)); }))
        return false;
    received = bytes;
    staged.writtenUpTo(bytes);
    return true;
}

bool VerifiedFile::restart()
{
    received = 0;
    hash.reset();
    return staged.restart();
}

std::optional<TransferFailure> VerifiedFile::verify()
{
    // Buffered bytes that cannot reach the disk (disk full) fail here, before anything
    // replaces the installed file.
    map = nullptr;
    staged.unmap();
    using Kind = TransferFailure::Kind;
    if (!staged.flush())
        return TransferFailure::of(
            Kind::WriteFailed, QStringLiteral("the file could not be written"));
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
    return staged.commit();
}

void VerifiedFile::commitWhenFree(int waitMs, std::function<bool(const QString &)> inUse)
{
    inUseWaitMs = waitMs;
    inUseCheck = std::move(inUse);
    inUseBackoffMs = 0;
    map = nullptr;
    staged.unmap();
    // The flush to the disk before the rename takes a third of a second and more for a large
    // file; it runs beside the event loop, which looks for its end every few milliseconds.
    if (!staged.startSync()) {
        sealAndCommit();
        return;
    }
    if (!syncTimer) {
        syncTimer = new QTimer(this);
        syncTimer->setInterval(syncPollMs);
        connect(syncTimer, &QTimer::timeout, this, [this] {
            if (const std::optional<bool> synced = staged.syncResult()) {
                syncTimer->stop();
                if (!*synced) {
                    staged.discard();
                    emit committed(StagedFile::Replace::Failed);
                    return;
                }
                sealAndCommit();
            }
        });
    }
    syncTimer->start();
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
    map = nullptr;
    if (syncTimer)
        syncTimer->stop();
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
