#include "updatelistfetcher.h"

#include "serveraddresses.h"
#include "updatelistfile.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QTimer>
#include <QUrl>

namespace {

Q_LOGGING_CATEGORY(lcList, "aktualizator.list", QtWarningMsg)

} // namespace

UpdateListFetcher::UpdateListFetcher(const QString &serverBase, const QByteArray &publicKey,
    const TransferPolicy &policy, QObject *parent)
    : Job(int(Result::Failed), parent)
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
        if (tryNextAddress(QStringLiteral("the list did not arrive in time")))
            return;
        end(Result::Failed, QStringLiteral("the list did not arrive in time"));
    });
    if (!fetchFromAddress())
        end(Result::CannotStart, QStringLiteral("the list cannot be written here"));
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
    // In a signed build the list keeps out of its name until its signature has been checked.
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
    const QString reason = arrived->errorText();

    if (outcome == FileTransfer::Outcome::CannotStart && !gotSignature) {
        releaseTransfers();
        end(Result::CannotStart, QStringLiteral("the list cannot be written here"));
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
    }
    if (whole && signedBuild && gotSignature) {
        whole = pendingList && pendingList->commit();
        if (!whole)
            QFile::remove(signatureFileName(updateListFileName));
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
        end(Result::Failed, reason.isEmpty() ? QStringLiteral("the list did not arrive") : reason);
        return;
    }
    readList();
}

void UpdateListFetcher::readList()
{
    const std::optional<QMap<QString, UpdateEntry>> entries
        = readUpdateListFile(updateListFileName, publicKey);
    if (!entries) {
        // In a signed build a fetched list within its cap is refused for its signature (or for
        // naming too many components, which a second look costs only two small requests).
        if (fromServer && !publicKey.isEmpty()
            && (refetchPastCaches() || tryNextAddress(QStringLiteral("the list does not verify"))))
            return;
        end(Result::Failed,
            QStringLiteral("the list is unreadable, too large, unsigned or names too many"));
        return;
    }
    parsed = *entries;
    end(Result::Parsed);
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

void UpdateListFetcher::end(Result result, const QString &reason)
{
    emitResult(int(result), reason);
}

void UpdateListFetcher::announceResult()
{
    if (deadline)
        deadline->stop();
    if (result() != Result::Parsed)
        qCDebug(lcList) << "list refused:" << errorText();
    emit finished(result());
}
