#include "stagedfile.h"

#include "atomicreplace.h"
#include "durableflush.h"
#include "filemap.h"
#include "stagingname.h"

#include <QFileInfo>
#include <QSet>

namespace {

// The staging files that objects of this process have open. Only the others are left-overs:
// staging a file removes those of its side file too, which may be in use right now (a patch
// kept aside while the new file is decoded from it).
QSet<QString> &liveStagingPaths()
{
    static QSet<QString> paths;
    return paths;
}

bool isLeftOverOf(const PinnedFolder &folder, const QString &entry, const QString &targetName)
{
    return (isStagingNameOf(entry, targetName) || isStagingNameOf(entry, sideFileName(targetName)))
        && !liveStagingPaths().contains(folder.filePath(entry));
}

} // namespace

StagedFile::StagedFile(const QString &targetPath)
    : target(targetPath)
{ }

StagedFile::~StagedFile()
{
    unmap();
    if (!committed)
        discard();
}

QString StagedFile::stagingPath() const
{
    return stagingName.isEmpty() ? QString() : folder.filePath(stagingName);
}

bool StagedFile::open()
{
    const QFileInfo info(target);
    name = info.fileName();
    // Everything below goes through the pinned folder, so the bytes stay in this folder even if
    // its path is made to lead elsewhere meanwhile.
    if (!folder.pin(info.absolutePath()))
        return false;
    folder.removeEntries(
        [this](const QString &entry) { return isLeftOverOf(folder, entry, name); });
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = randomStagingName(name);
        const PinnedFolder::Create created = folder.createNew(candidate, name, file);
        if (created == PinnedFolder::Create::Exists)
            continue;
        if (created == PinnedFolder::Create::Failed)
            return false;
        stagingName = candidate;
        liveStagingPaths().insert(stagingPath());
        if (!written.take(file)) {
            discard();
            return false;
        }
        return true;
    }
    return false;
}

uchar *StagedFile::mapAtSize(qint64 size)
{
    if (failed || !file.isOpen() || map || !file.flush()) {
        failed = true;
        return nullptr;
    }
    map = mapWritable(file, size);
    mapSize = size;
    failed = !map;
    return map;
}

void StagedFile::unmap()
{
    if (!map)
        return;
    const QFuture<bool> unmapped = unmapWritableLater(map, mapSize);
    map = nullptr;
    // Where the view goes at once (Windows), a page that could not reach the file shows here.
    if (unmapped.isFinished())
        failed = !unmapped.result() || failed;
}

bool StagedFile::write(const QByteArray &data)
{
    if (failed || !file.isOpen())
        return false;
    failed = file.write(data) != data.size();
    if (!failed)
        writtenUpTo(file.pos());
    return !failed;
}

void StagedFile::writtenUpTo(qint64 end)
{
    // Bytes still in the toolkit's buffer are no piece the disk could take yet.
    if (file.isOpen() && (map || file.flush()))
        writeBack.written(file, end);
}

bool StagedFile::restart()
{
    writeBack.restart();
    failed = failed || !file.isOpen() || !file.seek(0) || !file.resize(0);
    return !failed;
}

bool StagedFile::flush()
{
    failed = failed || !file.isOpen() || !file.flush() || file.error() != QFileDevice::NoError;
    return !failed;
}

QFuture<bool> StagedFile::flushInBackground()
{
    // Windows renames no file that has a view.
    unmap();
    if (!flush())
        return QtFuture::makeReadyFuture(false);
    writeBack.stop();
    backgroundFlush = flushToDiskInBackground(file);
    return backgroundFlush;
}

bool StagedFile::seal()
{
    if (!file.isOpen())
        return !failed && !stagingName.isEmpty();
    unmap();
    writeBack.stop();
    if (!flush())
        return false;
    const bool flushed = backgroundFlush.isFinished() && backgroundFlush.isValid()
        && backgroundFlush.resultCount() > 0 && backgroundFlush.result();
    const bool ok = flushed || flushToDisk(file);
    file.close();
    failed = !ok || file.error() != QFileDevice::NoError;
    return !failed;
}

StagedFile::Replace StagedFile::replace()
{
    if (committed)
        return Replace::Failed;
    Replacement result;
    if (seal() && folder.unchanged())
        result = replaceAtomically(folder, stagingName, name, written);
    if (result.outcome == Replace::Done) {
        // The staging name now belongs to the former file, which goes by formerRemoval.
        liveStagingPaths().remove(stagingPath());
        committed = true;
        written.reset();
        formerRemoval = result.formerRemoval;
    } else if (result.outcome != Replace::Held) {
        discard();
    }
    return result.outcome;
}

StagedFile::Replace StagedFile::commit()
{
    const Replace result = replace();
    if (result == Replace::Held)
        discard();
    return result;
}

void StagedFile::discard()
{
    unmap();
    writeBack.stop();
    if (file.isOpen())
        file.close();
    written.reset();
    // Whatever has the staging name now goes, even when another program put it there: only the
    // updater makes names of that form, so nothing under one is anyone's to keep, and removing a
    // name never reaches a file that a link there leads to. The file written here, if another
    // program moved it away, is left where that program put it.
    if (stagingName.isEmpty())
        return;
    liveStagingPaths().remove(stagingPath());
    folder.remove(stagingName);
    stagingName.clear();
}
