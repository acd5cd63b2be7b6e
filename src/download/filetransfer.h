#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QCryptographicHash;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class StagedFile;

// One file fetched over http or https into a temporary file beside its target. The target takes
// the new bytes only when the answer was a plain 200 whose body arrived whole, every byte reached
// the disk, and the size and checksum given for it hold; otherwise it stays byte for byte. The
// transfer ends in exactly one finished(). Destroying it or calling abort() before that stops
// the request and drops the unfinished file.
class FileTransfer : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Pending,
        // The target now holds the checked bytes.
        Installed,
        // Whole and checked, but kept aside until commit() (see setCommitWhenComplete).
        Received,
        // The answer or a check failed; the target is as it was.
        Failed,
        // The checked bytes could not take the target's place; the target is as it was.
        Unwritable,
    };
    Q_ENUM(Outcome)

    // A transfer that receives nothing for this long fails instead of waiting forever.
    static constexpr int defaultNoDataTimeoutMs = 30000;
    // A server that keeps sending a byte now and then never trips the no-data timeout; one that
    // averages less than this over any whole window fails as well.
    static constexpr qint64 defaultMinimumBytesPerSecond = 1024;
    static constexpr int defaultRateWindowMs = 60000;
    // On Windows a file that a closing program still holds cannot be replaced; how long to wait
    // for it to become free before giving up.
    static constexpr int defaultInUseWaitMs = 10000;
    // A transfer that fails in a way that may pass (a cut connection, a stall, a busy server) is
    // tried again this often, after 1 s, then 2 s, then 4 s; a Retry-After of up to 30 s is
    // honoured instead.
    static constexpr int defaultRetries = 3;
    static constexpr int defaultFirstRetryDelayMs = 1000;
    static constexpr int longestRetryAfterMs = 30000;

    FileTransfer(const QUrl &url, const QString &targetPath, QObject *parent = nullptr);
    ~FileTransfer() override;

    // Only these schemes are ever requested: anything else could read local files or make the
    // system authenticate to a foreign share.
    static bool isSupportedScheme(const QUrl &url);

    // The list line's integrity texts. A malformed one fails the transfer: it must never quietly
    // turn the check off.
    void setIntegrity(
        const std::optional<QString> &sizeText, const std::optional<QString> &sha256Text);
    // More bytes than this fail the transfer as soon as they arrive.
    void setByteLimit(qint64 bytes) { byteLimit = bytes; }
    // A body whose length the answer does not give (chunked, or ended by closing the
    // connection) is taken only when the list line gives the size: such a body may never end,
    // and a checksum is only known once it has.
    void setRequireKnownLength(bool require) { requireKnownLength = require; }
    void setNoDataTimeout(int milliseconds) { noDataTimeoutMs = milliseconds; }
    void setMinimumRate(qint64 bytesPerSecond, int windowMs);
    void setInUseWait(int milliseconds) { inUseWaitMs = milliseconds; }
    // Tests stand in for a file that another program holds; the default asks the system.
    void setInUseCheck(std::function<bool(const QString &)> check)
    {
        inUseCheck = std::move(check);
    }
    void setRetries(int count, int firstDelayMs);
    void setRetryAfterCap(int milliseconds) { retryAfterCapMs = milliseconds; }
    // False: a retry always starts from zero (the list is small).
    void setResumable(bool resume) { resumable = resume; }
    // False: a whole, checked body ends in Received and waits for commit().
    void setCommitWhenComplete(bool commit) { commitWhenComplete = commit; }

    // Opens the temporary file and sends the request. False when the file cannot be opened; then
    // nothing was requested and finished() will not come.
    bool start(QNetworkAccessManager *network);
    // Puts a Received body in the target's place.
    bool commit();
    // Stops the request and drops the unfinished file, without finished().
    void abort();

    Outcome outcome() const { return result; }
    QString targetPath() const { return path; }
    QNetworkReply *reply() const;
    StagedFile *file() const { return stagedFile.get(); }

public Q_SLOTS:
    // Writes whatever the reply holds.
    void receive();

Q_SIGNALS:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    // A new request went out (the first, or a retry): reply() has changed.
    void requestSent();
    void finished(FileTransfer::Outcome outcome);

private:
    enum class Verdict { Complete, Retry, Fail };

    void sendRequest();
    void answerArrived();
    void replyProgress(qint64 bytesReceived, qint64 bytesTotal);
    bool restartFile();
    Verdict judge();
    void replyFinished();
    void checkRate();
    bool integrityHolds() const;
    qint64 allowedBytes() const;
    void commitWhenFree();
    void finish(Outcome outcome);

    QUrl url;
    QString path;
    QPointer<QNetworkReply> networkReply;
    std::unique_ptr<StagedFile> stagedFile;
    std::unique_ptr<QCryptographicHash> hash;
    QTimer *rateTimer = nullptr;
    QTimer *inUseTimer = nullptr;
    QTimer *retryTimer = nullptr;
    QPointer<QNetworkAccessManager> manager;
    QElapsedTimer clock;
    // (milliseconds since the start, bytes received by then), oldest first.
    QList<QPair<qint64, qint64>> rateSamples;
    std::function<bool(const QString &)> inUseCheck;

    qint64 received = 0;
    // Bytes already in the file when the current answer began (a resumed range).
    qint64 attemptBase = 0;
    // The current answer's body goes into the file: a 200, or the 206 that was asked for.
    bool answerAccepted = false;
    bool rangeRequested = false;
    bool restartNext = false;
    bool rangeRefused = false;
    // From the first whole answer: may a retry ask for the rest only, and of what.
    bool rangesOffered = false;
    QByteArray validator;
    qint64 firstTotal = -1;
    // The Content-Range total of an accepted 206: what the file must come to.
    qint64 rangeTotal = -1;
    // An answer whose body cannot be trusted, whoever sends it: no retry.
    bool brokenAnswer = false;
    bool resumable = true;
    int retriesLeft = defaultRetries;
    int retriesDone = 0;
    int retryDelayMs = defaultFirstRetryDelayMs;
    int retryAfterCapMs = longestRetryAfterMs;
    int nextDelayMs = 0;
    qint64 byteLimit = -1;
    std::optional<qint64> expectedSize;
    QByteArray expectedSha256;
    bool integrityMalformed = false;
    bool requireKnownLength = false;
    bool writeFailed = false;
    bool overLimit = false;
    bool tooSlow = false;
    bool commitWhenComplete = true;
    int noDataTimeoutMs = defaultNoDataTimeoutMs;
    qint64 minimumBytesPerSecond = defaultMinimumBytesPerSecond;
    int rateWindowMs = defaultRateWindowMs;
    int inUseWaitMs = defaultInUseWaitMs;
    int inUseBackoffMs = 0;
    QElapsedTimer inUseClock;
    Outcome result = Outcome::Pending;
};
