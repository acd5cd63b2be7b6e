#include "updaterlistfetch.h"

#include "files/regularfile.h"
#include "selflog.h"
#include "updatelist/listtransfer.h"
#include "updatelist/updatelistfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QTimer>

#include <utility>

UpdaterListFetch::UpdaterListFetch(const QUrl &listUrl, const QByteArray &publicKey,
    const TransferPolicy &policy, const QString &folder, quint32 runningRelease, QObject *parent)
    : JobOf(Result::Stopped, parent)
    , listUrl(listUrl)
    , publicKey(publicKey)
    , policy(policy)
    , folder(folder)
    , runningRelease(runningRelease)
{ }

UpdaterListFetch::~UpdaterListFetch()
{
    kill();
}

void UpdaterListFetch::start(QNetworkAccessManager *manager)
{
    network = manager;
    Job::start();
}

void UpdaterListFetch::setPaused(bool pause)
{
    if (paused == pause)
        return;
    paused = pause;
    if (!paused) {
        proceed();
        return;
    }
    if (deadline)
        deadline->stop();
    if (current) {
        // Small enough to fetch again: the user's transfer alone has the line meanwhile.
        qCDebug(lcSelf) << "the transfer in hand waits for the user's, and starts over after it";
        releaseChild(current, this);
    }
}

void UpdaterListFetch::doStart()
{
    deadline = new QTimer(this);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this] {
        finish(Result::Unchanged, QStringLiteral("the updater's list did not arrive in time"));
    });
    begun = true;
    proceed();
}

void UpdaterListFetch::proceed()
{
    if (!begun || paused || isFinished() || current)
        return;
    const QString fileName
        = signatureInTurn ? signatureFileName(updaterListFileName) : updaterListFileName;
    current = newListTransfer(listUrl.resolved(QUrl(fileName)), QDir(folder).filePath(fileName),
        signatureInTurn ? ListFile::Signature : ListFile::List, policy, this);
    if (!current) {
        finish(Result::Unchanged, QStringLiteral("a link has the name of the updater's list"));
        return;
    }
    // Each of the two files gets the whole time, from its start (or its start over).
    deadline->start(policy.listDeadlineMs);
    connect(current, &FileTransfer::finished, this, &UpdaterListFetch::transferFinished);
    current->start(network);
}

void UpdaterListFetch::transferFinished(FileTransfer::Outcome outcome)
{
    const QString path = current->targetPath();
    const QString reason = current->failure().detail;
    if (!signatureInTurn)
        listAnsweredUrl = current->answeredUrl();
    releaseChild(current, this);
    // Read at once and gone from the folder before anything else runs.
    QByteArray bytes;
    if (outcome == FileTransfer::Outcome::Installed) {
        bytes = readRegularFile(path, signatureInTurn ? maxSignatureBytes : maxListBytes)
                    .value_or(QByteArray());
        QFile::remove(path);
    }
    if (signatureInTurn) {
        check(bytes);
        return;
    }
    if (outcome != FileTransfer::Outcome::Installed) {
        finish(Result::Unchanged, QStringLiteral("no list of the updater's own: ") + reason);
        return;
    }
    listBytes = bytes;
    signatureInTurn = true;
    proceed();
}

void UpdaterListFetch::check(const QByteArray &signature)
{
    deadline->stop();
    signatureInTurn = false;
    // A missing signature is one that does not hold, checked as such below.
    const QByteArray list = std::exchange(listBytes, {});
    const UpdaterListCheck check = checkUpdaterList(
        publicKey, list, signature, QDateTime::currentDateTimeUtc(), runningRelease);
    using Verdict = UpdaterListCheck::Verdict;
    if ((check.verdict == Verdict::BadSignature || check.verdict == Verdict::Expired)
        && !refetched) {
        // The release may have been uploaded between the list and its .sig, or a cache kept
        // one of them: one more look.
        refetched = true;
        qCDebug(lcSelf) << "the updater's list does not verify, fetched once more past caches";
        proceed();
        return;
    }
    if (check.verdict != Verdict::Accepted) {
        finish(Result::Unchanged, QStringLiteral("the updater's list is refused: ") + check.reason);
        return;
    }
    acceptedRelease = check.release;
    acceptedFiles = check.files;
    finish(Result::Accepted);
}

void UpdaterListFetch::doKill()
{
    if (deadline)
        deadline->stop();
    releaseChild(current, this);
}

void UpdaterListFetch::announceResult()
{
    doKill();
    emit finished(result());
}
