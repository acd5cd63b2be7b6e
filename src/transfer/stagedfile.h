#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

// The new bytes of one file, written beside it under a name that only the updater makes
// ("NAME.aktualizator-XXXXXX.tmp"), until commit() puts them in the file's place with one
// rename. Until then the target stays byte for byte as it was; an object that goes without a
// successful commit() takes its staging file with it. A crash can still leave one behind, so
// open() first removes what an earlier run left for the same target.
//
// The updater runs with the rights of whoever started WELOR, in a folder that other programs
// may write to as well, so the target's folder is pinned when the file is opened: commit()
// refuses when that folder has been moved or replaced, or when it or the target has become a
// link, meanwhile. Likewise only the file written here may take the target's name: the file
// behind the staging name is compared with it just before and just after the rename.
class StagedFile
{
public:
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
    // False when a byte written so far did not reach the disk (a full disk shows here).
    bool flush();
    // Flushes the bytes to the disk and closes the file, so that other programs (a virus
    // scanner, say) can read it while the rename waits. No write comes after it.
    bool seal();
    // Starts flushing the bytes written so far to the disk on a thread of its own, so that a
    // large file does not hold the window while the disk takes it; seal() then finds little
    // left to do. False when it could not start (seal() still does the whole flush).
    bool startSync();
    // Whether that flush worked; nullopt while it runs (or when none was started).
    std::optional<bool> syncResult() const;
    // Puts the new bytes in the target's place with one rename. Held: another program has the
    // target or the staging file open, so the rename was refused; the staging file is kept for
    // another try. Failed: the staging file is gone. Foreign: the staging name no longer led to
    // the file written here (another program moved it, or put its own file or a link there), so
    // the bytes behind it were never checked; the target is as it was and the name is gone.
    enum class Replace { Done, Held, Failed, Foreign };
    Replace replace();
    // replace(), but a held file ends it as well: the staging file is gone unless it is Done.
    Replace commit();
    // Drops the staging file now; the target stays as it was.
    void discard();

    QString targetPath() const { return target; }
    QString stagingPath() const;

    // True for the names of staging files: never the name of a file the server may choose.
    static bool isStagingName(const QString &fileName);
    // The name under which bytes on their way to `targetName` are kept aside (a patch). Its
    // left-over staging files go with the target's own.
    static QString sideFileName(const QString &targetName);

private:
    bool folderUnchanged() const;
    Replace renameIntoPlace();
#ifndef Q_OS_WIN
    bool holdsWrittenFile(const QByteArray &entry) const;
    void releaseWrittenFile();
#endif

    QString target;
    QString folder;
    QString name;
    QString stagingName;
    QFile file;
    uchar *map = nullptr;
    // 0 while the flush of startSync() runs, 1 when it worked, 2 when it failed; shared with
    // that thread, which may outlive this object.
    std::shared_ptr<std::atomic<int>> syncState;
    qint64 mapSize = 0;
    // Where the next piece handed to the disk starts.
    qint64 writeBackStart = 0;
    bool failed = false;
    bool committed = false;
#ifdef Q_OS_WIN
    QByteArray folderIdentity;
    // Taken when the file is sealed; the handle is closed then, so the name is all that is left.
    QByteArray fileIdentity;
#else
    int folderFd = -1;
    // Keeps the written file's inode from being freed, and so its number from going to another
    // file, until the rename is done.
    int writtenFd = -1;
#endif
};
