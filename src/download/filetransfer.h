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
class QSaveFile;
class QTimer;

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
    // A body whose end the transport cannot confirm (chunked, or ended by closing the
    // connection) is accepted only when a size or checksum verifies it.
    void setRequireConfirmedEnd(bool require) { requireConfirmedEnd = require; }
    void setNoDataTimeout(int milliseconds) { noDataTimeoutMs = milliseconds; }
    void setMinimumRate(qint64 bytesPerSecond, int windowMs);
    void setInUseWait(int milliseconds) { inUseWaitMs = milliseconds; }
    // Tests stand in for a file that another program holds; the default asks the system.
    void setInUseCheck(std::function<bool(const QString &)> check)
    {
        inUseCheck = std::move(check);
    }
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
    QSaveFile *file() const { return saveFile.get(); }

public Q_SLOTS:
    // Writes whatever the reply holds.
    void receive();

Q_SIGNALS:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void finished(FileTransfer::Outcome outcome);

private:
    void replyFinished();
    void checkRate();
    bool bodyComplete() const;
    bool integrityHolds() const;
    qint64 allowedBytes() const;
    void commitWhenFree();
    void finish(Outcome outcome);

    QUrl url;
    QString path;
    QPointer<QNetworkReply> networkReply;
    std::unique_ptr<QSaveFile> saveFile;
    std::unique_ptr<QCryptographicHash> hash;
    QTimer *rateTimer = nullptr;
    QTimer *inUseTimer = nullptr;
    QElapsedTimer clock;
    // (milliseconds since the start, bytes received by then), oldest first.
    QList<QPair<qint64, qint64>> rateSamples;
    std::function<bool(const QString &)> inUseCheck;

    qint64 received = 0;
    qint64 byteLimit = -1;
    std::optional<qint64> expectedSize;
    QByteArray expectedSha256;
    bool integrityMalformed = false;
    bool requireConfirmedEnd = false;
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
