#include "downloadrun.h"

#include "filehasher.h"
#include "patchchoice.h"
#include "patchupdate.h"
#include "targetpath.h"
#include "updatelist/updatelistformat.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QUrl>

DownloadRun::DownloadRun(
    const QString &installDirectory, const TransferPolicy &policy, QObject *parent)
    : QObject(parent)
    , installDirectory(installDirectory)
    , policy(policy)
{ }

DownloadRun::~DownloadRun()
{
    releaseTransfer();
}

void DownloadRun::start(
    const QMap<QString, UpdateEntry> &toDownload, QNetworkAccessManager *manager)
{
    entries = toDownload;
    next = entries.cbegin();
    network = manager;
    startNext();
}

void DownloadRun::startNext()
{
    // Unticked entries are skipped in a loop rather than through the finished handler, so a
    // long list cannot deepen the stack.
    while (next != entries.cend() && !next->selected)
        ++next;
    if (next == entries.cend()) {
        end(problems ? Result::DoneWithProblems : Result::Done);
        return;
    }
    entryName = next.key();
    entry = *next;
    ++next;

    const QUrl url(entry.link);
    fileName = linkFileName(url);
    emit fileStarted(entryName, fileName);

    // Another scheme, a name that could lead elsewhere, or a target reached through a link is
    // refused before anything is requested or written.
    if (!FileTransfer::isSupportedScheme(url) || !isSafeFileName(fileName)
        || !isPlainTarget(installDirectory, fileName)) {
        errors.append(QStringLiteral("%1: refused link or file name").arg(entryName));
        end(Result::Stopped);
        return;
    }
    target = targetPath(installDirectory, fileName);
    const QFileInfo installed(target);
    if (mayUsePatches(entry) && installed.isFile() && !installed.isSymLink()) {
        hasher = new FileHasher(this);
        connect(hasher, &FileHasher::finished, this, &DownloadRun::installedHashed);
        hasher->start(target);
        return;
    }
    startWholeFile();
}

FileTransfer *DownloadRun::transfer() const
{
    return patch ? patch->transfer() : current;
}

void DownloadRun::installedHashed(const QByteArray &sha256)
{
    hasher->disconnect(this);
    hasher->deleteLater();
    hasher = nullptr;
    const std::optional<PatchOffer> offer = choosePatch(entry, sha256);
    if (!offer) {
        startWholeFile();
        return;
    }
    patch = new PatchUpdate(*offer, target, fileIntegrity(entry), policy, this);
    connect(patch, &PatchUpdate::progress, this, &DownloadRun::progress);
    connect(patch, &PatchUpdate::finished, this, &DownloadRun::patchFinished);
    if (!patch->start(network)) {
        patchFinished(FileTransfer::Outcome::Failed);
        return;
    }
    emit transferStarted(patch->transfer());
}

void DownloadRun::patchFinished(FileTransfer::Outcome outcome)
{
    PatchUpdate *ending = patch;
    patch = nullptr;
    ending->disconnect(this);
    ending->deleteLater();
    if (outcome == FileTransfer::Outcome::Installed
        || outcome == FileTransfer::Outcome::Unwritable) {
        if (outcome == FileTransfer::Outcome::Unwritable)
            errors.append(entryName + QStringLiteral(": ") + ending->errorText());
        transferFinished(outcome);
        return;
    }
    // The patch was only a shorter way to the same file: the whole file decides.
    patchErrors.append(entryName + QStringLiteral(": ") + ending->errorText());
    startWholeFile();
}

void DownloadRun::startWholeFile()
{
    auto *transfer = new FileTransfer(QUrl(entry.link), target, policy, this);
    transfer->setIntegrity(fileIntegrity(entry));
    transfer->setRequireKnownLength(true);
    if (!transfer->start(network)) {
        delete transfer;
        errors.append(QStringLiteral("%1: the target cannot be written").arg(entryName));
        end(Result::Stopped);
        return;
    }
    current = transfer;
    connect(transfer, &FileTransfer::finished, this, &DownloadRun::transferFinished);
    connect(transfer, &FileTransfer::progress, this, &DownloadRun::progress);
    emit transferStarted(transfer);
}

void DownloadRun::transferFinished(FileTransfer::Outcome outcome)
{
    if (current && outcome != FileTransfer::Outcome::Installed)
        errors.append(entryName + QStringLiteral(": ") + current->errorText());
    releaseTransfer();
    problems = problems
        || (outcome != FileTransfer::Outcome::Installed
            && outcome != FileTransfer::Outcome::Unwritable);
    emit fileFinished(entryName, outcome);
    if (outcome == FileTransfer::Outcome::Unwritable) {
        // The bytes arrived but cannot take the installed file's place (a directory in the
        // way, a read-only target, a file still in use): the same stop as a target that cannot
        // be opened.
        end(Result::Stopped);
        return;
    }
    startNext();
}

void DownloadRun::releaseTransfer()
{
    // The unfinished file is dropped at once, so the installed one stays as it was; the object
    // goes later, since this may run inside its own finished().
    if (FileTransfer *ending = current) {
        current = nullptr;
        ending->disconnect(this);
        ending->abort();
        ending->deleteLater();
    }
    // A patch under way takes its kept-aside patch and its new file with it.
    delete patch;
    patch = nullptr;
    delete hasher;
    hasher = nullptr;
}

void DownloadRun::end(Result result)
{
    if (ended)
        return;
    ended = true;
    runResult = result;
    emit finished(result);
}
