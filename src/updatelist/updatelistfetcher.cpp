#include "updatelistfetcher.h"

#include "transfer/filetransfer.h"
#include "updatelistfile.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTimer>
#include <QUrl>

UpdateListFetcher::UpdateListFetcher(const QString &serverBase, const QByteArray &publicKey,
    const TransferPolicy &policy, QObject *parent)
    : QObject(parent)
    , serverBase(serverBase)
    , publicKey(publicKey)
    , policy(policy)
{ }

UpdateListFetcher::~UpdateListFetcher()
{
    releaseTransfers();
}

void UpdateListFetcher::start(QNetworkAccessManager *manager)
{
    if (QFile::exists(updateListFileName)) {
        readList();
        return;
    }
    network = manager;
    deadline = new QTimer(this);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this] {
        // Nothing has taken its name yet: the list waits for its signature in a staging file,
        // which goes with its transfer.
        releaseTransfers();
        end(Result::Failed, QStringLiteral("the list did not arrive in time"));
    });
    deadline->start(policy.listDeadlineMs);
    if (!fetch(updateListFileName))
        end(Result::CannotStart, QStringLiteral("the list cannot be written here"));
}

bool UpdateListFetcher::fetch(const QString &fileName)
{
    // The file only takes its name once it has arrived whole; a failed fetch must not leave
    // anything that the next start would parse as the list. A link in its place (even one that
    // points nowhere yet) would have the bytes written wherever it leads.
    if (QFileInfo(fileName).isSymLink())
        return false;
    const bool isSignature = fileName != updateListFileName;
    auto *transfer
        = new FileTransfer(QUrl(serverBase + QLatin1Char('/') + fileName), fileName, policy, this);
    transfer->setByteLimit(isSignature ? maxSignatureBytes : maxListBytes);
    // Small enough to fetch again whole.
    transfer->setResumable(false);
    // In a signed build the list keeps out of its name until its signature has been checked.
    transfer->setCommitWhenComplete(isSignature || publicKey.isEmpty());
    if (!transfer->start(network)) {
        delete transfer;
        return false;
    }
    current = transfer;
    connect(transfer, &FileTransfer::finished, this, &UpdateListFetcher::transferFinished);
    emit transferStarted(transfer);
    return true;
}

void UpdateListFetcher::transferFinished()
{
    FileTransfer *arrived = current;
    const bool signedBuild = !publicKey.isEmpty();
    const bool gotSignature = arrived->targetPath() != updateListFileName;
    const FileTransfer::Outcome outcome = arrived->outcome();
    bool whole
        = outcome == FileTransfer::Outcome::Installed || outcome == FileTransfer::Outcome::Received;
    const QString reason = arrived->errorText();

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
        end(Result::Failed,
            QStringLiteral("the list is unreadable, too large, unsigned or names too many"));
        return;
    }
    parsed = *entries;
    end(Result::Parsed);
}

void UpdateListFetcher::releaseTransfers()
{
    // The unfinished file is dropped at once; the object goes later, since this may run inside
    // its own finished().
    for (FileTransfer **held : {&current, &pendingList}) {
        if (FileTransfer *ending = *held) {
            *held = nullptr;
            ending->disconnect(this);
            ending->abort();
            ending->deleteLater();
        }
    }
}

void UpdateListFetcher::end(Result result, const QString &reason)
{
    if (ended)
        return;
    ended = true;
    fetchResult = result;
    error = reason;
    emit finished(result);
}
