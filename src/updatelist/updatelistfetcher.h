#pragma once

#include "listfailure.h"
#include "transfer/filetransfer.h"
#include "transfer/job.h"
#include "transfer/transferpolicy.h"
#include "updateentry.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QTimer;

// One check for updates: fetches aktualizacje.txt from the server (and in a signed build its
// .sig) into the working directory, verifies and parses it, and removes both files again. A
// list already in the working directory is read instead of fetched. Ends in exactly one
// finished(); destroying the fetcher before that stops the transfer and drops what has not
// taken its name yet.
class UpdateListFetcher : public Job
{
    Q_OBJECT

public:
    enum class Result {
        Parsed,
        // Not fetched, not signed, not readable or too large.
        Failed,
        // The fetch could not even begin: the list cannot be written here.
        CannotStart,
    };
    Q_ENUM(Result)

    UpdateListFetcher(const QString &serverBase, const QByteArray &publicKey,
        const TransferPolicy &policy, QObject *parent = nullptr);
    ~UpdateListFetcher() override;

    // From the event loop: reads a list already in the working directory, or fetches one.
    void start(QNetworkAccessManager *network);

    Result result() const { return isFinished() ? Result(resultCode()) : Result::Failed; }
    QMap<QString, UpdateEntry> entries() const { return parsed; }
    // Why it ended Failed or CannotStart, in the terms the user is told.
    ListFailure failure() const { return why; }

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
    void transferFinished(FileTransfer::Outcome outcome);
    void readList();
    void releaseTransfers();
    void end(Result result, const ListFailure &failure, const QString &reason);

    QString serverBase;
    QByteArray publicKey;
    TransferPolicy policy;
    QPointer<QNetworkAccessManager> network;
    FileTransfer *current = nullptr;
    // In a signed build, the list that has arrived but waits, still in its staging file, for
    // its signature.
    FileTransfer *pendingList = nullptr;
    QTimer *deadline = nullptr;
    QMap<QString, UpdateEntry> parsed;
    ListFailure why;
};
