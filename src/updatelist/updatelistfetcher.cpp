#include "updatelistfetcher.h"

#include "listlog.h"
#include "serveraddresses.h"
#include "updatelistfile.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTimer>
#include <QUrl>

UpdateListFetcher::UpdateListFetcher(const QString &serverBase, const QByteArray &publicKey,
    const TransferPolicy &policy, QObject *parent)
    : JobOf(Result::Failed, parent)
    , addresses(serverAddresses(serverBase))
    , publicKey(publicKey)
    , policy(policy)
{ }

UpdateListFetcher::~UpdateListFetcher()
{
    kill();
}

void UpdateListFetcher::start(QNetworkAccessManager *manager)
{
    network = manager;
    Job::start();
}

void UpdateListFetcher::doStart()
{
    if (QFile::exists(updateListFileName)) {
        readList();
        return;
    }
    fromServer = true;
    deadline = new QTimer(this);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this] {
        // Nothing has taken its name yet: the list waits for its signature in a staging file,
        // which goes with its transfer.
        releaseTransfers();
        const QString reason = QStringLiteral("the list did not arrive in time");
        if (tryNextAddress(reason))
            return;
        end(Result::Failed,
            {ListFailure::Kind::Transfer,
                TransferFailure::of(TransferFailure::Kind::NoResponse, reason), {}},
            reason);
    });
    if (!fetchFromAddress())
        end(Result::CannotStart, {ListFailure::Kind::CannotWrite, {}, {}},
            QStringLiteral("the list cannot be written here"));
}

QList<QUrl> UpdateListFetcher::listUrls() const
{
    return listUrlsFrom(addresses, fromServer ? addressIndex : 0);
}

bool UpdateListFetcher::fetchFromAddress()
{
    // Each address gets the whole time: one that never answers must not use up the next one's.
    deadline->start(policy.listDeadlineMs);
    return fetch(updateListFileName);
}

bool UpdateListFetcher::refetchPastCaches()
{
    // A cache between here and the server may still hold the last release's .sig beside the
    // new list (or the other way round). Asked for no-cache, most caches fetch both again.
    if (refetched)
        return false;
    refetched = true;
    qCDebug(lcList) << "list not verified, fetched once more past caches from"
                    << addresses.at(addressIndex);
    return fetchFromAddress();
}

bool UpdateListFetcher::tryNextAddress(const QString &reason)
{
    if (addressIndex + 1 >= addresses.size())
        return false;
    qCDebug(lcList) << "no list from" << addresses.at(addressIndex) << "-" << reason;
    ++addressIndex;
    refetched = false;
    return fetchFromAddress();
}

bool UpdateListFetcher::fetch(const QString &fileName)
{
    // The file only takes its name once it has arrived whole; a failed fetch must not leave
    // anything that the next start would parse as the list. A link in its place (even one that
    // points nowhere yet) would have the bytes written wherever it leads.
    if (QFileInfo(fileName).isSymLink())
        return false;
    const bool isSignature = fileName != updateListFileName;
    current = new FileTransfer(
        QUrl(addresses.at(addressIndex) + QLatin1Char('/') + fileName), fileName, policy, this);
    if (refetched)
        current->setExtraHeaders({{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}});
    current->setByteLimit(isSignature ? maxSignatureBytes : maxListBytes);
    // Small enough to fetch again whole.
    current->setResumable(false);
    // In a signed build the list waits in its staging file until its signature has arrived
    // whole; then it takes its name, and the signature is checked as the list is read.
    current->setCommitWhenComplete(isSignature || publicKey.isEmpty());
    connect(current, &FileTransfer::finished, this, &UpdateListFetcher::transferFinished);
    current->start(network);
    emit transferStarted(current);
    return true;
}

void UpdateListFetcher::transferFinished(FileTransfer::Outcome outcome)
{
    FileTransfer *arrived = current;
    const bool signedBuild = !publicKey.isEmpty();
    const bool gotSignature = arrived->targetPath() != updateListFileName;
    bool whole
        = outcome == FileTransfer::Outcome::Installed || outcome == FileTransfer::Outcome::Received;
    const QString reason = arrived->failure().detail;
    ListFailure failure {ListFailure::Kind::Transfer, arrived->failure(), {}};
    // No signature beside the list is a signature that does not hold, not a server fault.
    const int status = failure.transfer.httpStatus;
    if (gotSignature && failure.transfer.kind == TransferFailure::Kind::HttpStatus
        && (status == 404 || status == 410))
        failure = {ListFailure::Kind::BadSignature, {}, {}};

    if (outcome == FileTransfer::Outcome::CannotStart && !gotSignature) {
        releaseTransfers();
        end(Result::CannotStart, {ListFailure::Kind::CannotWrite, {}, {}},
            QStringLiteral("the list cannot be written here"));
        return;
    }
    // A signed build fetches the list's signature next, with the same manager; the list waits
    // in its staging file meanwhile.
    if (whole && signedBuild && !gotSignature) {
        arrived->disconnect(this);
        pendingList = arrived;
        current = nullptr;
        if (fetch(signatureFileName(updateListFileName)))
            return;
        whole = false;
        failure = {ListFailure::Kind::CannotWrite, {}, {}};
    }
    if (whole && signedBuild && gotSignature) {
        whole = pendingList && pendingList->commit();
        if (!whole) {
            QFile::remove(signatureFileName(updateListFileName));
            failure = {ListFailure::Kind::CannotWrite, {}, {}};
        }
    }
    releaseTransfers();
    if (deadline)
        deadline->stop();
    if (!whole) {
        if (signedBuild) {
            QFile::remove(updateListFileName);
            QFile::remove(signatureFileName(updateListFileName));
        }
        if (tryNextAddress(reason))
            return;
        end(Result::Failed, failure,
            reason.isEmpty() ? QStringLiteral("the list did not arrive") : reason);
        return;
    }
    readList();
}

void UpdateListFetcher::readList()
{
    ListFailure failure;
    const std::optional<QMap<QString, UpdateEntry>> entries
        = readUpdateListFile(updateListFileName, publicKey, &failure);
    if (!entries) {
        // A signature that does not hold may be a cache's stale copy beside a new list: worth a
        // second look past caches, then the next address. A list too large stays too large.
        const bool unverified = failure.kind == ListFailure::Kind::BadSignature
            || failure.kind == ListFailure::Kind::Expired;
        if (fromServer && unverified
            && (refetchPastCaches() || tryNextAddress(QStringLiteral("the list does not verify"))))
            return;
        end(Result::Failed, failure,
            QStringLiteral("the list is unreadable, too large, unsigned or names too many"));
        return;
    }
    parsed = *entries;
    end(Result::Parsed, {}, {});
}

void UpdateListFetcher::releaseTransfers()
{
    releaseChild(current, this);
    releaseChild(pendingList, this);
}

void UpdateListFetcher::doKill()
{
    releaseTransfers();
    if (deadline)
        deadline->stop();
}

void UpdateListFetcher::end(Result result, const ListFailure &failure, const QString &reason)
{
    if (result != Result::Parsed)
        qCDebug(lcList) << "list refused:" << listFailureText(failure) << reason;
    finish(result, failure);
}

void UpdateListFetcher::announceResult()
{
    if (deadline)
        deadline->stop();
    if (result() == Result::Parsed && fromServer)
        qCInfo(lcList).noquote() << "the list came from"
                                 << listUrls().constFirst().toDisplayString() << "with"
                                 << parsed.size() << "entries";
    else if (result() == Result::Parsed)
        qCInfo(lcList) << "the list already in the working directory was read, with"
                       << parsed.size() << "entries";
    emit finished(result());
}
