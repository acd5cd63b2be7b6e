#include "updatelistfetcher.h"

#include "listlog.h"
#include "listtransfer.h"
#include "serveraddresses.h"
#include "updatelistfile.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
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
    QList<QUrl> urls = listUrlsFrom(addresses, fromServer ? addressIndex : 0);
    // A relative reference is resolved against the URL the list was retrieved from: a server
    // that moved its list moved the files beside it too.
    if (fromServer && answeredListUrl.isValid() && !urls.isEmpty())
        urls.first() = answeredListUrl;
    return urls;
}

bool UpdateListFetcher::fetchFromAddress()
{
    // Each address gets the whole time: one that never answers must not use up the next one's.
    deadline->start(policy.listDeadlineMs);
    return fetch(updateListFileName);
}

bool UpdateListFetcher::refetchPastCaches()
{
    // The pair may still not match: the release was uploaded between the list and its .sig, or
    // a cache that ignores no-cache kept one of them. One more look.
    if (refetched)
        return false;
    refetched = true;
    qCDebug(lcList) << "list not verified, fetched once more past caches from"
                    << addresses.at(addressIndex);
    return fetchFromAddress();
}

bool UpdateListFetcher::tryNextAddress(const QString &reason)
{
    qsizetype next = addressIndex + 1;
    if (askingSilentAgain || next >= addresses.size()) {
        // A silent address may only have been slow to wake. When another answered, though,
        // its answer is the reason to show, and waiting again would only delay it.
        if (anyAnswered || silentAddresses.isEmpty())
            return false;
        next = silentAddresses.takeFirst();
        askingSilentAgain = true;
    }
    qCDebug(lcList) << "no list from" << addresses.at(addressIndex) << "-" << reason;
    addressIndex = next;
    refetched = false;
    return fetchFromAddress();
}

bool UpdateListFetcher::fetch(const QString &fileName)
{
    const bool isSignature = fileName != updateListFileName;
    // An address that says nothing is left after one try: the next one may answer at once.
    TransferPolicy listPolicy = policy;
    listPolicy.retryUnanswered = false;
    // The file only takes its name once it has arrived whole; a failed fetch must not leave
    // anything that the next start would parse as the list.
    current = newListTransfer(QUrl(addresses.at(addressIndex) + QLatin1Char('/') + fileName),
        fileName, isSignature ? ListFile::Signature : ListFile::List, listPolicy, this);
    if (!current)
        return false;
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
    // Nor is a .sig larger than any signature: the list itself may be small.
    if (gotSignature && failure.transfer.kind == TransferFailure::Kind::OverLimit)
        failure = {ListFailure::Kind::BadSignature, {}, {}};
    const bool answered = whole || arrived->wasAnswered();
    anyAnswered = anyAnswered || answered;
    if (!answered && !askingSilentAgain
        && failure.transfer.kind == TransferFailure::Kind::NoResponse)
        silentAddresses.append(addressIndex);
    if (whole && !gotSignature)
        answeredListUrl = arrived->answeredUrl();

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
        if (failure.kind == ListFailure::Kind::NotAList) {
            // A hotel's or a portal's login page in the list's place: another address may be
            // reached past it. Found here, it is a file that cannot be read as a list.
            if (fromServer && tryNextAddress(QStringLiteral("the answer is no list")))
                return;
            if (!fromServer)
                failure.kind = ListFailure::Kind::Unreadable;
        }
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
