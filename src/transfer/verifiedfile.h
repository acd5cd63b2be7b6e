#pragma once

#include "fileintegrity.h"
#include "files/sha256.h"
#include "files/stagedfile.h"
#include "transferfailure.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QTimer;

// The bytes of one file on their way to its target: staged beside it, hashed as they arrive,
// stopped at the first byte past what the file can be, checked against size and checksum, and
// put in the target's place only once the target is free. The target changes only in that one
// step; destroying the object before it drops the new bytes.
class VerifiedFile : public QObject
{
    Q_OBJECT

public:
    explicit VerifiedFile(const QString &targetPath, QObject *parent = nullptr);
    ~VerifiedFile() override;

    void setIntegrity(const FileIntegrity &integrity);
    // More bytes than this fail the file as soon as they arrive (-1: no limit of its own).
    void setByteLimit(qint64 bytes) { byteLimit = bytes; }

    bool open();
    enum class Append { Written, OverLimit, WriteFailed };
    // answerLimit: what the current answer may still bring the file to (-1: unknown).
    Append append(const QByteArray &data, qint64 answerLimit);
    // The file as `size` bytes mapped for writing, in place of append(): the bytes count once
    // written() says so. Null when the disk has no room for them.
    uchar *mapForWriting(qint64 size);
    // The map's first `bytes` are the file's now. They are hashed beside the event loop while
    // the next ones are written; hashing() tells when that has not caught up yet, and hashed()
    // follows once it has. False when a page of the map could not be read.
    bool written(qint64 bytes);
    bool hashing() const;
    // The bytes so far belong to another answer: start the file and the digest over.
    bool restart();
    qint64 size() const { return received; }
    std::optional<qint64> expectedSize() const { return integrity.size; }

    // Every byte on disk, size and checksum as the line says: nullopt, or why not.
    std::optional<TransferFailure> verify();
    // Puts the checked bytes in the target's place at once.
    StagedFile::Replace commit();
    // The same, but waits up to waitMs (without blocking) while inUse says the target is held
    // or the rename is refused because another program holds either file; ends in committed(),
    // Held when still held after the wait.
    void commitWhenFree(int waitMs, std::function<bool(const QString &)> inUse);
    // Drops the new bytes now; the target stays as it was.
    void discard();

    QString targetPath() const { return staged.targetPath(); }
    // Where the new bytes wait until commit(); empty before open().
    QString stagingPath() const { return staged.stagingPath(); }

Q_SIGNALS:
    void committed(StagedFile::Replace result);
    void hashed();

private:
    void sealAndCommit();
    void tryCommit();
    void watchFormerFileRemoval();
    void hashAhead();
    void waitForHash();
    void settleHash();

    StagedFile staged;
    FileIntegrity integrity;
    Sha256 hash;
    const uchar *map = nullptr;
    qint64 byteLimit = -1;
    qint64 received = 0;
    // The map's bytes below hashedUpTo are in the digest; those up to hashingUpTo are being
    // added beside the event loop, which holds `hash` and the map until it ends.
    qint64 hashedUpTo = 0;
    qint64 hashingUpTo = 0;
    bool hashFailed = false;
    QFutureWatcher<bool> hashWatcher;
    QTimer *inUseTimer = nullptr;
    // The flush before the rename, and the former file's removal after it, beside the event
    // loop; a result that comes after this object is gone goes nowhere.
    QFutureWatcher<bool> *syncWatcher = nullptr;
    QFutureWatcher<bool> *removalWatcher = nullptr;
    QElapsedTimer inUseClock;
    int inUseWaitMs = 0;
    int inUseBackoffMs = 0;
    std::function<bool(const QString &)> inUseCheck;
};
