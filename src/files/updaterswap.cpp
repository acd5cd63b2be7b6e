#include "updaterswap.h"

#include "filelog.h"
#include "regularfile.h"
#include "renaming.h"
#include "sha256.h"
#include "stagingname.h"
#include "swapjournal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSet>

#include <algorithm>

namespace {

const QString lockFileName = QStringLiteral("aktualizator-swap.lock");
// A lock whose process is gone is stale at once. One whose process cannot be told (a lock file
// that a crash left empty) is stale after this, far longer than any renewal takes.
constexpr int staleLockMs = 10 * 60 * 1000;

bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

QString lastSegment(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// A swap renames only inside the updater's own folders, never through a link on the way.
bool passesLink(const QString &folder, const QString &relative)
{
    QString path = folder;
    for (const QString &segment : relative.split(QLatin1Char('/'))) {
        path += QLatin1Char('/') + segment;
        const QFileInfo info(path);
        if (info.isSymLink() || info.isJunction())
            return true;
    }
    return false;
}

bool isStagedAsSaid(const QString &path, const UpdaterSwap::File &file)
{
    QFile staged;
    if (!openRegularFile(staged, path, FileLinks::Refuse) || staged.size() != file.size)
        return false;
    Sha256 hash;
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    qint64 total = 0;
    for (qint64 got; (got = staged.read(buffer.data(), buffer.size())) > 0; total += got)
        hash.addData(buffer.constData(), got);
    return staged.error() == QFileDevice::NoError && total == file.size
        && hash.hexResult() == file.sha256;
}

struct EntryPaths
{
    QString target;
    QString staging;
    QString setAside;
};

EntryPaths pathsOf(const QDir &dir, const SwapJournal::Entry &entry)
{
    return {dir.filePath(entry.path), dir.filePath(SwapJournal::namePath(entry, entry.stagingName)),
        entry.setAsideName.isEmpty()
            ? QString()
            : dir.filePath(SwapJournal::namePath(entry, entry.setAsideName))};
}

// Puts the former file back under its name, and the new one, where it had taken the name, back
// under its staging name; the names say how far the swap got. True when the entry is as
// before the swap.
bool undoEntry(const QDir &dir, const SwapJournal::Entry &entry)
{
    const EntryPaths paths = pathsOf(dir, entry);
    if (paths.setAside.isEmpty()) {
        // A file the swap added.
        return !present(paths.target) || present(paths.staging)
            || renameWithoutReplacing(paths.target, paths.staging);
    }
    // A former file that never stepped aside still has its name.
    if (!present(paths.setAside))
        return true;
    if (present(paths.target)
        && (present(paths.staging) || !renameWithoutReplacing(paths.target, paths.staging)))
        return false;
    return renameWithoutReplacing(paths.setAside, paths.target);
}

// Every entry back, last first; then the new bytes and the journal go. Should an entry stay
// as it is, the journal stays too, for the next start to try again.
bool undoSwap(const QString &folder, const SwapJournal &journal)
{
    const QDir dir(folder);
    bool undone = true;
    for (qsizetype i = journal.entries.size() - 1; i >= 0; --i) {
        if (!undoEntry(dir, journal.entries.at(i))) {
            qCWarning(lcFiles) << "could not put back" << dir.filePath(journal.entries.at(i).path);
            undone = false;
        }
    }
    if (!undone)
        return false;
    for (const SwapJournal::Entry &entry : journal.entries)
        QFile::remove(pathsOf(dir, entry).staging);
    return SwapJournal::remove(folder);
}

// After the commit: the set-aside former files go, and with the last of them the journal. On
// Windows those of the running updater stay until its next start.
bool removeFormerFiles(
    const QString &folder, const SwapJournal &journal, const std::function<bool()> &step)
{
    const QDir dir(folder);
    bool removed = true;
    for (const SwapJournal::Entry &entry : journal.entries) {
        const QString setAside = pathsOf(dir, entry).setAside;
        if (!setAside.isEmpty() && present(setAside)
            && !((!step || step()) && QFile::remove(setAside)))
            removed = false;
    }
    return removed && SwapJournal::remove(folder);
}

QStringList namesOf(const SwapJournal &journal)
{
    QStringList names {SwapJournal::fileName()};
    for (const SwapJournal::Entry &entry : journal.entries) {
        names << entry.path << SwapJournal::namePath(entry, entry.stagingName);
        if (!entry.setAsideName.isEmpty())
            names << SwapJournal::namePath(entry, entry.setAsideName);
    }
    return names;
}

// With the lock held.
QStringList recoverLocked(const QString &folder)
{
    SwapJournal journal;
    switch (SwapJournal::read(folder, &journal)) {
    case SwapJournal::Read::Absent:
        return {};
    case SwapJournal::Read::Unreadable:
        return {SwapJournal::fileName()};
    case SwapJournal::Read::Malformed:
        qCWarning(lcFiles) << "removed" << SwapJournal::fileName() << "in" << folder
                           << "which is no journal of this updater";
        SwapJournal::remove(folder);
        return {};
    case SwapJournal::Read::Read:
        break;
    }
    if (journal.state == SwapJournal::State::Done) {
        if (removeFormerFiles(folder, journal, {}))
            return {};
    } else if (undoSwap(folder, journal)) {
        qCWarning(lcFiles) << "put back the updater's former files in" << folder
                           << "which an earlier run had begun to renew";
        return {};
    }
    return namesOf(journal);
}

} // namespace

UpdaterSwap::UpdaterSwap(const QString &folder)
    : folder(folder)
{ }

UpdaterSwap::Outcome UpdaterSwap::run(QList<File> files)
{
    const QDir dir(folder);
    std::stable_partition(files.begin(), files.end(), [](const File &file) {
        return file.path.contains(QLatin1Char('/'))
            || !file.path.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
    });
    // Only names of the plain form are ever removed here.
    QStringList stagingPaths;
    const auto discardStaged = [&stagingPaths](Outcome outcome) {
        for (const QString &path : std::as_const(stagingPaths))
            QFile::remove(path);
        return outcome;
    };
    SwapJournal journal;
    QSet<QString> seen;
    bool staged = !files.isEmpty();
    for (const File &file : std::as_const(files)) {
        const QString name = lastSegment(file.path);
        if (!isPlainRelativePath(file.path) || !isStagingNameOf(file.stagingName, name)) {
            staged = false;
            continue;
        }
        SwapJournal::Entry entry {file.path, file.stagingName, {}};
        stagingPaths.append(pathsOf(dir, entry).staging);
        const QString target = dir.filePath(file.path);
        const QString key = file.path.toLower();
        staged = staged && !seen.contains(key) && !passesLink(folder, file.path)
            && (!present(target) || QFileInfo(target).isFile())
            && isStagedAsSaid(stagingPaths.constLast(), file);
        seen.insert(key);
        journal.entries.append(entry);
    }
    if (!staged)
        return discardStaged(Outcome::NotStaged);

    QLockFile lock(dir.filePath(lockFileName));
    lock.setStaleLockTime(staleLockMs);
    if (!lock.tryLock(0) || !recoverLocked(folder).isEmpty())
        return discardStaged(Outcome::Busy);

    QSet<QString> folders {folder};
    for (SwapJournal::Entry &entry : journal.entries) {
        folders.insert(dir.filePath(SwapJournal::folderOf(entry.path)));
        if (!present(dir.filePath(entry.path)))
            continue;
        do
            entry.setAsideName = randomSetAsideName(lastSegment(entry.path));
        while (present(pathsOf(dir, entry).setAside));
    }
    // On the disk before the first rename, so that no start can find a rename without it.
    if (!journal.write(folder))
        return discardStaged(Outcome::Failed);

    bool swapped = true;
    for (const SwapJournal::Entry &entry : std::as_const(journal.entries)) {
        const EntryPaths paths = pathsOf(dir, entry);
        swapped = (paths.setAside.isEmpty()
                      || (step() && renameWithoutReplacing(paths.target, paths.setAside)))
            && step() && renameWithoutReplacing(paths.staging, paths.target);
        if (!swapped)
            break;
    }
    for (const QString &changed : std::as_const(folders))
        swapped = flushFolderToDisk(changed) && swapped;
    if (!swapped) {
        qCWarning(lcFiles) << "could not put the updater's new files in place in" << folder;
        undoSwap(folder, journal);
        return discardStaged(Outcome::Failed);
    }
    if (selfCheck && !selfCheck()) {
        qCWarning(lcFiles) << "the new updater in" << folder
                           << "did not start; put back the former";
        undoSwap(folder, journal);
        return discardStaged(Outcome::SelfCheckFailed);
    }
    // The commit: from here on a start keeps the new files.
    journal.state = SwapJournal::State::Done;
    if (!step() || !journal.write(folder)) {
        // The write may have reached the disk all the same; a start must not take it for done
        // should putting a file back fail now.
        journal.state = SwapJournal::State::Swapping;
        journal.write(folder);
        undoSwap(folder, journal);
        return discardStaged(Outcome::Failed);
    }
    removeFormerFiles(folder, journal, beforeStep);
    return Outcome::Done;
}

QStringList recoverUpdaterSwap(const QString &folder)
{
    const QDir dir(folder);
    if (!SwapJournal::isPresent(folder) && !present(dir.filePath(lockFileName)))
        return {};
    QLockFile lock(dir.filePath(lockFileName));
    lock.setStaleLockTime(staleLockMs);
    if (lock.tryLock(0))
        return recoverLocked(folder);
    // Another updater is renewing right now: the names are its own.
    SwapJournal journal;
    if (SwapJournal::read(folder, &journal) == SwapJournal::Read::Read)
        return namesOf(journal);
    return {SwapJournal::fileName()};
}

bool isUpdaterSwapFileName(const QString &name)
{
    // The journal, its lock, and the names the toolkit makes beside them while writing them.
    return name.startsWith(QLatin1String("aktualizator-swap."), Qt::CaseInsensitive);
}
