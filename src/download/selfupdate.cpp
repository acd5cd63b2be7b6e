#include "selfupdate.h"

#include "buildconfig.h"
#include "filehasher.h"
#include "files/background.h"
#include "files/iopool.h"
#include "files/stagingname.h"
#include "linkresolution.h"
#include "patchchoice.h"
#include "patchupdate.h"
#include "selflog.h"
#include "updaterselfcheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>

#include <utility>

namespace {

// A process killed while it fetched left its staging files beside the updater's files, in
// folders the start-up sweep does not look into: the staged file, the one on its way to that
// name, a patch kept aside. Staging names of any of the release's files go, never set-aside ones.
void removeLeftOverStaging(const QDir &folder, const QList<UpdaterFile> &files)
{
    for (const UpdaterFile &file : files) {
        const QFileInfo target(folder.filePath(file.path));
        const QDir dir = target.dir();
        const QString prefix = target.fileName() + QStringLiteral(".aktualizator-");
        const QStringList entries
            = dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &entry : entries) {
            if (updaterNameKind(entry) == UpdaterName::Staging
                && entry.startsWith(prefix, fileNameCase) && QFile::remove(dir.filePath(entry)))
                qCDebug(lcSelf) << "removed the left-over" << dir.filePath(entry);
        }
    }
}

} // namespace

SelfUpdate::SelfUpdate(const QUrl &listUrl, const QByteArray &publicKey,
    const TransferPolicy &policy, const Settings &settings, QObject *parent)
    : JobOf(Result::Stopped, parent)
    , listUrl(listUrl)
    , publicKey(publicKey)
    , policy(policy)
    , settings(settings)
{
    if (!this->settings.selfCheck && !settings.folder.isEmpty())
        this->settings.selfCheck = ownUpdaterSelfCheck(settings.folder);
    connect(&swapWatcher, &QFutureWatcher<UpdaterSwap::Outcome>::finished, this,
        &SelfUpdate::swapFinished);
}

SelfUpdate::~SelfUpdate()
{
    kill();
}

SelfUpdate::Settings SelfUpdate::ownSettings()
{
    Settings settings;
    settings.runningRelease = releaseTime;
    // Started from anywhere else (a developer's build), the updater has no folder of its own
    // among WELOR's files to renew.
    const QString own = QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath();
    const QString working = QFileInfo(QDir::currentPath()).canonicalFilePath();
    if (!own.isEmpty() && own.compare(working, fileNameCase) == 0)
        settings.folder = own;
    return settings;
}

void SelfUpdate::start(QNetworkAccessManager *manager)
{
    network = manager;
    Job::start();
}

void SelfUpdate::setPaused(bool pause)
{
    if (paused == pause)
        return;
    paused = pause;
    if (!paused) {
        if (listFetch)
            listFetch->setPaused(false);
        proceed();
        return;
    }
    if (listFetch)
        listFetch->setPaused(true);
    if (current || patch) {
        // Small enough to fetch again: the user's transfer alone has the line meanwhile.
        qCDebug(lcSelf) << "the transfer in hand waits for the user's, and starts over after it";
        releaseChild(current, this);
        releaseChild(patch, this);
    }
}

void SelfUpdate::doStart()
{
    if (settings.folder.isEmpty()) {
        end(Result::Unchanged, QStringLiteral("the updater does not run from its own folder"));
        return;
    }
    if (publicKey.isEmpty()) {
        end(Result::Unchanged, QStringLiteral("the build has no keys"));
        return;
    }
    // The names of a renewal that an earlier run could not settle yet are its own.
    if (!recoverUpdaterSwap(settings.folder).isEmpty()) {
        end(Result::Unchanged, QStringLiteral("an earlier renewal is not settled yet"));
        return;
    }
    begun = true;
    proceed();
}

void SelfUpdate::proceed()
{
    if (!begun || paused || isFinished() || listFetch || current || hasher || patch || swapBegun)
        return;
    switch (step) {
    case Step::List:
        fetchList();
        return;
    case Step::Hashing:
        hashNext();
        return;
    case Step::Fetching:
        fetchNext();
        return;
    case Step::Swapping:
        swap();
        return;
    }
}

void SelfUpdate::fetchList()
{
    listFetch = new UpdaterListFetch(
        listUrl, publicKey, policy, settings.folder, settings.runningRelease, this);
    connect(listFetch, &UpdaterListFetch::finished, this, &SelfUpdate::listFetched);
    listFetch->start(network);
}

void SelfUpdate::listFetched(UpdaterListFetch::Result result)
{
    const QString reason = listFetch->failure();
    answeredUrl = listFetch->answeredUrl();
    release = listFetch->release();
    files = listFetch->files();
    releaseChild(listFetch, this);
    if (result != UpdaterListFetch::Result::Accepted) {
        end(Result::Unchanged, reason);
        return;
    }
    step = Step::Hashing;
    proceed();
}

void SelfUpdate::hashNext()
{
    if (hashIndex == files.size()) {
        removeLeftOverStaging(QDir(settings.folder), files);
        if (changed.isEmpty()) {
            end(Result::Unchanged,
                QStringLiteral("the files are those of release %1 already").arg(release));
            return;
        }
        step = Step::Fetching;
        proceed();
        return;
    }
    hasher = new FileHasher(this);
    connect(hasher, &FileHasher::finished, this, [this](const QByteArray &sha256) {
        releaseChild(hasher, this);
        // A file that is missing or cannot be read is fetched too.
        const UpdaterFile &file = files.at(hashIndex++);
        if (sha256 != file.entry.integrity.sha256) {
            changed.append(file);
            installedSha256.append(sha256);
        }
        proceed();
    });
    hasher->start(QDir(settings.folder).filePath(files.at(hashIndex).path));
}

void SelfUpdate::fetchNext()
{
    if (fetchIndex == changed.size()) {
        step = Step::Swapping;
        proceed();
        return;
    }
    const UpdaterFile &file = changed.at(fetchIndex);
    const QUrl url = linkUrls(file.entry.link, {answeredUrl}).constFirst();
    if (!isRequestableLink(url)) {
        end(Result::Failed, file.path + QStringLiteral(": the link cannot be requested"));
        return;
    }
    // A release may bring a folder of plug-ins that this one has not got.
    const QFileInfo target(QDir(settings.folder).filePath(file.path));
    if (!QDir().mkpath(target.path())) {
        end(Result::Failed, file.path + QStringLiteral(": its folder cannot be made"));
        return;
    }
    // The staging name is the target here: the staged file takes it only once it has arrived
    // whole and checked, so that the swap never finds a part of one.
    stagingPath = target.dir().filePath(randomStagingName(target.fileName()));
    const std::optional<PatchOffer> offer = wholeFile || !mayUsePatches(file.entry)
        ? std::nullopt
        : choosePatch(file.entry, installedSha256.at(fetchIndex));
    if (offer) {
        PatchOffer resolved = *offer;
        resolved.link
            = linkUrls(offer->link, {answeredUrl}).constFirst().toString(QUrl::FullyEncoded);
        bytesInHand = resolved.size;
        patch = new PatchUpdate(resolved, stagingPath, file.entry.integrity, policy, this);
        patch->setBasePath(target.filePath());
        connect(patch, &PatchUpdate::finished, this, &SelfUpdate::fileFinished);
        patch->start(network);
        return;
    }
    bytesInHand = file.entry.integrity.size.value_or(0);
    current = new FileTransfer(url, stagingPath, policy, this);
    current->setIntegrity(file.entry.integrity);
    connect(current, &FileTransfer::finished, this, &SelfUpdate::fileFinished);
    current->start(network);
}

void SelfUpdate::fileFinished(FileTransfer::Outcome outcome)
{
    const bool byPatch = patch;
    const QString reason = byPatch ? patch->failure().detail : current->failure().detail;
    releaseChild(current, this);
    releaseChild(patch, this);
    const UpdaterFile &file = changed.at(fetchIndex);
    if (outcome != FileTransfer::Outcome::Installed && byPatch) {
        // Only a shorter way to the same bytes: the whole file decides.
        qCDebug(lcSelf).noquote() << "the patch for" << file.path
                                  << "was given up for the whole file:" << reason;
        wholeFile = true;
        proceed();
        return;
    }
    if (outcome != FileTransfer::Outcome::Installed) {
        end(Result::Failed, file.path + QStringLiteral(": ") + reason);
        return;
    }
    qCDebug(lcSelf).noquote() << file.path << "staged" << (byPatch ? "by patch," : "whole,")
                              << bytesInHand << "bytes";
    bytesFetched += bytesInHand;
    wholeFile = false;
    stagedPaths.append(stagingPath);
    staged.append({file.path, QFileInfo(stagingPath).fileName(), file.entry.integrity.sha256,
        file.entry.integrity.size.value_or(0)});
    ++fetchIndex;
    proceed();
}

void SelfUpdate::swap()
{
    qCInfo(lcSelf) << "renewing" << staged.size() << "of the updater's files in" << settings.folder
                   << "to release" << release << "-" << bytesFetched << "bytes fetched";
    // From here on the staged files are the swap's, which leaves none of them whatever happens.
    swapBegun = true;
    stagedPaths.clear();
    swapWatcher.setFuture(runInBackground<UpdaterSwap::Outcome>(
        ioThreadPool(), [folder = settings.folder, files = staged, check = settings.selfCheck] {
            QElapsedTimer clock;
            clock.start();
            UpdaterSwap swap(folder);
            swap.setSelfCheck(check);
            const UpdaterSwap::Outcome outcome = swap.run(files);
            qCInfo(lcSelf) << "the swap ended in" << clock.elapsed() << "ms";
            return outcome;
        }));
}

void SelfUpdate::swapFinished()
{
    const QFuture<UpdaterSwap::Outcome> future = swapWatcher.future();
    const UpdaterSwap::Outcome outcome
        = future.resultCount() > 0 ? future.result() : UpdaterSwap::Outcome::Failed;
    switch (outcome) {
    case UpdaterSwap::Outcome::Done:
        end(Result::Renewed, {});
        return;
    case UpdaterSwap::Outcome::NotStaged:
        end(Result::Failed, QStringLiteral("a staged file is not what the list says"));
        return;
    case UpdaterSwap::Outcome::Busy:
        end(Result::Failed, QStringLiteral("another renewal holds the folder"));
        return;
    case UpdaterSwap::Outcome::Failed:
        end(Result::Failed,
            QStringLiteral("a file could not be renamed; the former ones are back"));
        return;
    case UpdaterSwap::Outcome::SelfCheckFailed:
        end(Result::Failed, QStringLiteral("the new updater did not start; the former is back"));
        return;
    }
}

void SelfUpdate::doKill()
{
    releaseChild(listFetch, this);
    releaseChild(current, this);
    releaseChild(patch, this);
    releaseChild(hasher, this);
    if (swapBegun) {
        // A swap once begun ends as one step, and before the process does: its self-check needs
        // the application still there.
        swapWatcher.disconnect(this);
        swapWatcher.waitForFinished();
    }
    for (const QString &path : std::as_const(stagedPaths))
        QFile::remove(path);
    stagedPaths.clear();
}

void SelfUpdate::end(Result result, const QString &reason)
{
    if (result == Result::Failed)
        qCWarning(lcSelf).noquote() << "the updater stays as it is:" << reason;
    else if (result == Result::Unchanged)
        qCDebug(lcSelf).noquote() << "the updater stays as it is:" << reason;
    finish(result, reason);
}

void SelfUpdate::announceResult()
{
    // What has not been swapped goes: a failed renewal leaves nothing behind.
    releaseChild(listFetch, this);
    releaseChild(current, this);
    releaseChild(patch, this);
    releaseChild(hasher, this);
    for (const QString &path : std::as_const(stagedPaths))
        QFile::remove(path);
    stagedPaths.clear();
    if (result() == Result::Renewed)
        qCInfo(lcSelf) << "the updater is renewed to release" << release;
    emit finished(result());
}
