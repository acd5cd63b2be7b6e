#pragma once

#include "files/job.h"
#include "listfailure.h"
#include "transfer/filetransfer.h"
#include "transfer/transferpolicy.h"
#include "updateentry.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

class QNetworkAccessManager;
class QTimer;

// Declared outside UpdateListFetcher, which keeps it as its result (UpdateListFetcher::Result).
namespace ListCheck {
Q_NAMESPACE

enum class Result {
    Parsed,
    // Not fetched, not signed, not readable or too large.
    Failed,
    // The fetch could not even begin: the list cannot be written here.
    CannotStart,
};
Q_ENUM_NS(Result)

} // namespace ListCheck

// One check for updates: fetches aktualizacje.txt from the server (and in a signed build its
// .sig) into the working directory, verifies and parses it, and removes both files again. A
// list already in the working directory is read instead of fetched. Of several server
// addresses (';'-separated) each is tried in turn until one gives a list (and its .sig, from the
// same address) that is whole and, in a signed build, verifies; a list that does not verify is
// fetched once more past any cache before its address counts as failed. Ends in exactly one
// finished(); destroying the fetcher before that stops the transfer and drops what has not
// taken its name yet. failure() says why it ended Failed or CannotStart, in the terms the user
// is told.
class UpdateListFetcher : public JobOf<ListCheck::Result, ListFailure>
{
    Q_OBJECT

public:
    using Result = ListCheck::Result;

    UpdateListFetcher(const QString &serverBase, const QByteArray &publicKey,
        const TransferPolicy &policy, QObject *parent = nullptr);
    ~UpdateListFetcher() override;

    // From the event loop: reads a list already in the working directory, or fetches one.
    void start(QNetworkAccessManager *network);

    QMap<QString, UpdateEntry> entries() const { return parsed; }
    // The list's URL at the address it came from (where it came from after any redirects),
    // then at the addresses after that one: where the run resolves relative links, in that
    // order. For a list that was already here, every address.
    QList<QUrl> listUrls() const;
    // False for a list that was already in the working directory.
    bool cameFromServer() const { return fromServer; }

Q_SIGNALS:
    // A transfer is on its way.
    void transferStarted(FileTransfer *transfer);
    void finished(UpdateListFetcher::Result result);

protected:
    void doStart() override;
    void doKill() override;
    void announceResult() override;

private:
    bool fetch(const QString &fileName);
    // The list (and then its .sig) from the address in turn, within the deadline.
    bool fetchFromAddress();
    // After a list that did not verify: the same address once more, past caches.
    bool refetchPastCaches();
    // The address in turn has failed: on to the next one, if any is left.
    bool tryNextAddress(const QString &reason);
    void transferFinished(FileTransfer::Outcome outcome);
    void readList();
    void releaseTransfers();
    // Says how the check ended; the reason goes only to the log.
    void end(Result result, const ListFailure &failure, const QString &reason);

    QStringList addresses;
    qsizetype addressIndex = 0;
    // Addresses that took the connection and said nothing; each is asked once more, but only
    // when no address answered at all.
    QList<qsizetype> silentAddresses;
    bool askingSilentAgain = false;
    bool anyAnswered = false;
    // Where the list came from after any redirects: the base of its relative links.
    QUrl answeredListUrl;
    // The list in turn is being fetched a second time.
    bool refetched = false;
    bool fromServer = false;
    QByteArray publicKey;
    TransferPolicy policy;
    QPointer<QNetworkAccessManager> network;
    FileTransfer *current = nullptr;
    // In a signed build, the list that has arrived whole but waits, still in its staging file,
    // until its signature has arrived too.
    FileTransfer *pendingList = nullptr;
    QTimer *deadline = nullptr;
    QMap<QString, UpdateEntry> parsed;
};
