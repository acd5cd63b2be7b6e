#pragma once

#include "fileidentity.h"
#include "pinnedfolder.h"
#include "replaceoutcome.h"
#include "writeback.h"

#include <QByteArray>
#include <QFile>
#include <QFuture>
#include <QString>

// The new bytes of one file, written beside it under a staging name until commit() puts them
// in the file's place with one rename. Until then the target stays byte for byte as it was; an
// object that goes without a successful commit() takes its staging file with it. A crash can
// still leave one behind, so open() first removes what an earlier run left for the same target.
//
// The target's folder is pinned when the file is opened: commit() refuses when that folder has
// been moved or replaced, or when it or the target has become a link, meanwhile. Likewise only
// the file written here may take the target's name.
class StagedFile
{
public:
    using Replace = ReplaceOutcome;

    explicit StagedFile(const QString &targetPath);
    ~StagedFile();
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;

    bool open();
    bool write(const QByteArray &data);
    // Sets the file to `size` bytes, with their space on the disk taken, and maps them for
    // writing in place of write(); null when that fails. The map goes with unmap(), seal() or
    // discard().
    uchar *mapAtSize(qint64 size);
    void unmap();
    // The file's first `end` bytes are written (through the map, or by write()).
    void writtenUpTo(qint64 end);
    // Empties the file, for an answer that starts the file over.
    bool restart();
    // False when a byte written so far did not reach the file (a full disk shows here).
    bool flush();
    // Flushes the bytes to the disk beside the event loop; when it ends with true, seal() finds
    // nothing left to wait for. Nothing may be written after it.
    QFuture<bool> flushInBackground();
    // Flushes the bytes to the disk (unless flushInBackground() did) and closes the file, so that
    // other programs (a virus scanner, say) can read it while the rename waits. No write comes
    // after it.
    bool seal();
    // Puts the new bytes in the target's place with one rename; a Held staging file is kept for
    // another try, any other failure drops it.
    Replace replace();
    // replace(), but a held file ends it as well: the staging file is gone unless it is Done.
    Replace commit();
    // Drops the staging file now; the target stays as it was.
    void discard();

    QString targetPath() const { return target; }
    QString stagingPath() const;
    // The former file's removal after a Done replace(); it may still run beside the event loop.
    QFuture<bool> formerFileRemoval() const { return formerRemoval; }

private:
    QString target;
    QString name;
    QString stagingName;
    PinnedFolder folder;
    FileIdentity written;
    QFile file;
    WriteBack writeBack;
    QFuture<bool> backgroundFlush;
    QFuture<bool> formerRemoval;
    uchar *map = nullptr;
    qint64 mapSize = 0;
    bool failed = false;
    bool committed = false;
};
