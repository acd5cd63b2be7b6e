#include "downloadrun.h"

#include "filehasher.h"
#include "linkresolution.h"
#include "patchchoice.h"
#include "patchupdate.h"
#include "runlog.h"
#include "targetpath.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QUrl>

DownloadRun::DownloadRun(
    const QString &installDirectory, const TransferPolicy &policy, QObject *parent)
    : JobOf(Result::Stopped, parent)
    , installDirectory(installDirectory)
    , policy(policy)
{ }

DownloadRun::~DownloadRun()
{
    kill();
}

void DownloadRun::start(
    const QMap<QString, UpdateEntry> &toDownload, QNetworkAccessManager *manager)
{
    entries = toDownload;
    network = manager;
    Job::start();
}

void DownloadRun::doStart()
{
    QList<qint64> sizes;
    for (const UpdateEntry &ticked : std::as_const(entries)) {
        if (ticked.selected)
            sizes.append(ticked.integrity.malformed ? -1 : ticked.integrity.size.value_or(-1));
    }
    overall = RunProgress(sizes);
    next = entries.cbegin();
    startNext();
}

void DownloadRun::startNext()
{
    // Unticked entries are skipped in a loop rather than through the finished handler, so a
    // long list cannot deepen the stack.
    while (next != entries.cend() && !next->selected)
        ++next;
    if (next == entries.cend()) {
        finish(problems ? Result::DoneWithProblems : Result::Done, failed);
        return;
    }
    entryName = next.key();
    entry = *next;
    ++next;

    fileUrls = linkUrls(entry.link, listUrls);
    fileUrlIndex = 0;
    const QUrl url = fileUrls.constFirst();
    fileName = linkFileName(url);
    overall.startFile();
    emit fileStarted(entryName, fileName);
    emit runProgressChanged();

    // Another scheme, a name that could lead elsewhere, or a target reached through a link is
    // refused before anything is requested or written.
    if (!isRequestableLink(url) || !isSafeFileName(fileName)) {
        fileFailed(TransferFailure::of(
            TransferFailure::Kind::RefusedLink, QStringLiteral("refused link or file name")));
        finish(Result::Stopped, failed);
        return;
    }
    // A target (or plugins/) that is a link is one the updater will not write through.
    if (!isPlainTarget(installDirectory, fileName)) {
        fileFailed(TransferFailure::of(TransferFailure::Kind::WriteFailed,
            QStringLiteral("the target is reached through a link")));
        finish(Result::Stopped, failed);
        return;
    }
    target = targetPath(installDirectory, fileName);
    const QFileInfo installed(target);
    if (mayUsePatches(entry) && installed.isFile() && !installed.isSymLink()) {
        if (const std::optional<PatchOffer> offer = soleOffer(entry)) {
            startPatch(*offer);
            return;
        }
        hasher = new FileHasher(this);
        connect(hasher, &FileHasher::finished, this, &DownloadRun::installedHashed);
        hasher->start(target);
        emit preparing(fileName);
        return;
    }
    startWholeFile();
}

void DownloadRun::installedHashed(const QByteArray &sha256)
{
    releaseChild(hasher, this);
    const std::optional<PatchOffer> offer = choosePatch(entry, sha256);
    if (!offer) {
        startWholeFile();
        return;
    }
    startPatch(*offer);
}

void DownloadRun::startPatch(const PatchOffer &offer)
{
    // A patch is only a shorter way: it is looked for at the list's address alone, and the whole
    // file, which tries every address, is the fallback.
    PatchOffer resolved = offer;
    resolved.link = linkUrls(offer.link, listUrls).constFirst().toString(QUrl::FullyEncoded);
    patch = new PatchUpdate(resolved, target, entry.integrity, policy, this);
    fetchedFrom = QUrl(resolved.link);
    bytesFetched = 0;
    connect(patch, &PatchUpdate::progress, this, &DownloadRun::transferProgress);
    connect(patch, &PatchUpdate::decoding, this, [this] { emit preparing(fileName); });
    connect(patch, &PatchUpdate::finished, this, &DownloadRun::patchFinished);
    patch->start(network);
    emit transferStarted(patch->transfer());
}

void DownloadRun::patchFinished(FileTransfer::Outcome outcome)
{
    const TransferFailure failure = patch->failure();
    releaseChild(patch, this);
    if (outcome == FileTransfer::Outcome::Installed)
        fileInstalled(QStringLiteral("by patch"));
    if (outcome == FileTransfer::Outcome::Installed
        || outcome == FileTransfer::Outcome::Unwritable) {
        if (outcome == FileTransfer::Outcome::Unwritable)
            fileFailed(failure);
        transferFinished(outcome);
        return;
    }
    // The patch was only a shorter way to the same file: the whole file decides.
    qCWarning(lcRun).noquote() << "the patch for" << fileName
                               << "was given up for the whole file:" << failure.detail;
    startWholeFile();
}

void DownloadRun::startWholeFile()
{
    fetchedFrom = fileUrls.at(fileUrlIndex);
    bytesFetched = 0;
    current = new FileTransfer(fetchedFrom, target, policy, this);
    current->setIntegrity(entry.integrity);
    current->setRequireKnownLength(true);
    connect(current, &FileTransfer::finished, this, &DownloadRun::transferFinished);
    connect(current, &FileTransfer::progress, this, &DownloadRun::transferProgress);
    current->start(network);
    emit transferStarted(current);
}

bool DownloadRun::tryNextAddress()
{
    if (fileUrlIndex + 1 >= fileUrls.size())
        return false;
    qCDebug(lcRun) << "file not taken from" << fileUrls.at(fileUrlIndex).toDisplayString() << "-"
                   << current->failure().detail;
    releaseChild(current, this);
    ++fileUrlIndex;
    startWholeFile();
    return true;
}

void DownloadRun::transferFinished(FileTransfer::Outcome outcome)
{
    // A mirror may lag behind or have lost a file; the same path at the next address may hold
    // it. Only the bytes the line describes are ever taken, from whichever address.
    if (current && outcome == FileTransfer::Outcome::Failed && tryNextAddress())
        return;
    if (current && outcome == FileTransfer::Outcome::Installed)
        fileInstalled(QStringLiteral("whole"));
    else if (current)
        fileFailed(current->failure());
    releaseTransfer();
    overall.finishFile();
    emit runProgressChanged();
    problems = problems
        || (outcome != FileTransfer::Outcome::Installed
            && outcome != FileTransfer::Outcome::Unwritable
            && outcome != FileTransfer::Outcome::CannotStart);
    emit fileFinished(entryName, outcome);
    if (outcome == FileTransfer::Outcome::Unwritable
        || outcome == FileTransfer::Outcome::CannotStart) {
        // The target cannot be opened, or the bytes arrived but cannot take the installed
        // file's place (a directory in the way, a read-only target, a file still in use).
        finish(Result::Stopped, failed);
        return;
    }
    startNext();
}

void DownloadRun::doKill()
{
    releaseTransfer();
}

void DownloadRun::releaseTransfer()
{
    // The unfinished file is dropped at once, so the installed one stays as it was; a patch
    // under way takes its kept-aside patch and its new file with it.
    releaseChild(current, this);
    releaseChild(patch, this);
    releaseChild(hasher, this);
}

void DownloadRun::transferProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    bytesFetched = bytesReceived;
    overall.transferProgress(bytesReceived, bytesTotal);
    emit runProgressChanged();
    emit progress(bytesReceived, bytesTotal);
}

void DownloadRun::fileFailed(const TransferFailure &failure)
{
    failed.append({fileName, failure});
    qCDebug(lcRun) << "file failed:" << fileFailureText(failed.constLast()) << '(' << failure.detail
                   << ')';
}

void DownloadRun::fileInstalled(const QString &how)
{
    qCInfo(lcRun).noquote() << fileName << "installed" << how << "-" << bytesFetched << "bytes from"
                            << fetchedFrom.toDisplayString();
}

void DownloadRun::announceResult()
{
    emit finished(result());
}
