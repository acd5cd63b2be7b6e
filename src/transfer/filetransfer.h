#pragma once

#include "files/job.h"
#include "rangeresume.h"
#include "ratewatchdog.h"
#include "transferfailure.h"
#include "transferpolicy.h"
#include "verifiedfile.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <utility>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Declared outside FileTransfer, which keeps it as its result (FileTransfer::Outcome).
namespace Transfer {
Q_NAMESPACE

enum class Outcome {
    // No end seen yet (what a test reports for a transfer that never ends).
    Pending,
    // The target now holds the checked bytes.
    Installed,
    // Whole and checked, but kept aside until commit() (see setCommitWhenComplete).
    Received,
    // The answer or a check failed; the target is as it was.
    Failed,
    // The checked bytes could not take the target's place; the target is as it was.
    Unwritable,
    // The staging file could not be opened, or the link is no http(s): nothing was requested.
    CannotStart,
};
Q_ENUM_NS(Outcome)

} // namespace Transfer

// One file fetched over http or https into a staging file beside its target. The target takes
// the new bytes only when the answer was a plain 200 (or the 206 that continues it) whose body
// arrived whole, every byte reached the disk, and the size and checksum given for it hold;
// otherwise it stays byte for byte. The transfer ends in exactly one finished(). Destroying it
// or calling kill() before that stops the request and drops the unfinished file. result() is
// the outcome, failure() why it is not Installed or Received, in the terms the user is told.
class FileTransfer : public JobOf<Transfer::Outcome, TransferFailure>
{
    Q_OBJECT

public:
    using Outcome = Transfer::Outcome;

    FileTransfer(const QUrl &url, const QString &targetPath, const TransferPolicy &policy,
        QObject *parent = nullptr);
    ~FileTransfer() override;

    // Only these schemes are ever requested: anything else could read local files or make the
    // system authenticate to a foreign share.
    static bool isSupportedScheme(const QUrl &url);
    // What the replace of a checked file at targetPath means for its transfer, and why when it
    // failed: a staging name that led to another file fails that file like a wrong checksum,
    // and is worth a warning in the log.
    static std::pair<Outcome, TransferFailure> committedOutcome(
        StagedFile::Replace result, const QString &targetPath);

    void setIntegrity(const FileIntegrity &integrity) { verifiedFile->setIntegrity(integrity); }
    // More bytes than this fail the transfer as soon as they arrive.
    void setByteLimit(qint64 bytes) { verifiedFile->setByteLimit(bytes); }
    // A body whose length the answer does not give (chunked, or ended by closing the
    // connection) is taken only when the list line gives the size: such a body may never end,
    // and a checksum is only known once it has.
    void setRequireKnownLength(bool require) { requireKnownLength = require; }
    // False: a retry always starts from zero (the list is small).
    void setResumable(bool resume) { rangeResume.setEnabled(resume); }
    // False: a whole, checked body ends in Received and waits for commit().
    void setCommitWhenComplete(bool commit) { commitWhenComplete = commit; }
    // Sent with every request of this transfer besides the usual ones (a fetch that must pass
    // caches asks for no-cache).
    void setExtraHeaders(const QList<QPair<QByteArray, QByteArray>> &headers)
    {
        extraHeaders = headers;
    }

    // From the event loop: opens the staging file and sends the request, or ends in CannotStart.
    void start(QNetworkAccessManager *network);
    // Puts a Received body in the target's place.
    bool commit();

    QString targetPath() const { return path; }
    // Of the last answer: whether any HTTP status came back at all (a silent server sends
    // none), and the URL it finally came from, after redirects.
    bool wasAnswered() const { return answered; }
    QUrl answeredUrl() const { return lastAnswerUrl; }
    // Null once the transfer has ended (but for a Received file, until commit()).
    VerifiedFile *file() const { return verifiedFile; }

public Q_SLOTS:
    // Writes whatever the reply holds.
    void receive();

Q_SIGNALS:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void finished(FileTransfer::Outcome outcome);

protected:
    void doStart() override;
    void doKill() override;
    void announceResult() override;

private:
    void sendRequest();
    void answerArrived();
    void replyProgress(qint64 bytesReceived, qint64 bytesTotal);
    void replyFinished();
    void checkRate();
    void refuse(TransferFailure::Kind kind, const QString &reason);
    void dropReply();
    void dropFile();

    QUrl url;
    QString path;
    TransferPolicy policy;
    VerifiedFile *verifiedFile = nullptr;
    RangeResume rangeResume;
    RateWatchdog watchdog;
    QPointer<QNetworkReply> networkReply;
    bool answered = false;
    QUrl lastAnswerUrl;
    QPointer<QNetworkAccessManager> manager;
    QTimer *rateTimer = nullptr;
    QTimer *retryTimer = nullptr;
    QElapsedTimer clock;

    // What the current request asked for and what its answer has shown so far.
    bool rangeRequested = false;
    bool rangeRefused = false;
    bool restartNext = false;
    bool answerAccepted = false;
    bool tooSlow = false;
    std::optional<QString> unrecoverable;
    TransferFailure::Kind unrecoverableKind = TransferFailure::Kind::None;
    // Bytes already in the file when the current answer began (a resumed range).
    qint64 attemptBase = 0;
    int retriesDone = 0;

    bool requireKnownLength = false;
    bool commitWhenComplete = true;
    QList<QPair<QByteArray, QByteArray>> extraHeaders;
};
