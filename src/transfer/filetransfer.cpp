#include "filetransfer.h"

#include "httpanswer.h"
#include "retrydecision.h"
#include "transferlog.h"
#include "transferrequest.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

// Without a limit the network thread buffers whatever the GUI thread has not written yet, so
// memory would grow with the file; a bounded buffer makes the server wait instead.
constexpr qint64 readBufferBytes = 256 * 1024;

qint64 contentLength(const QNetworkReply *reply)
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() ? length.toLongLong() : -1;
}

} // namespace

FileTransfer::FileTransfer(
    const QUrl &url, const QString &targetPath, const TransferPolicy &policy, QObject *parent)
    : JobOf(Outcome::Failed, parent)
    , url(url)
    , path(targetPath)
    , policy(policy)
    , verifiedFile(new VerifiedFile(targetPath, this))
    , watchdog(policy.minimumBytesPerSecond, policy.rateWindowMs)
{
    connect(verifiedFile, &VerifiedFile::committed, this, [this](StagedFile::Replace replaced) {
        const auto [outcome, failure] = committedOutcome(replaced, path);
        finish(outcome, failure);
    });
}

FileTransfer::~FileTransfer()
{
    kill();
}

bool FileTransfer::isSupportedScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

void FileTransfer::start(QNetworkAccessManager *network)
{
    manager = network;
    Job::start();
}

void FileTransfer::doStart()
{
    if (!isSupportedScheme(url)) {
        finish(Outcome::CannotStart,
            TransferFailure::of(
                TransferFailure::Kind::RefusedLink, QStringLiteral("the link is no http(s)")));
        return;
    }
    if (!verifiedFile->open()) {
        finish(Outcome::CannotStart,
            TransferFailure::of(TransferFailure::Kind::WriteFailed,
                QStringLiteral("the target cannot be written")));
        return;
    }
    rateTimer = new QTimer(this);
    rateTimer->setInterval(watchdog.sampleIntervalMs());
    connect(rateTimer, &QTimer::timeout, this, &FileTransfer::checkRate);
    sendRequest();
}

void FileTransfer::sendRequest()
{
    if (!manager) {
        finish(Outcome::Failed,
            TransferFailure::of(
                TransferFailure::Kind::NoConnection, QStringLiteral("the network is gone")));
        return;
    }
    const qint64 received = verifiedFile->size();
    const bool resume = !restartNext && rangeResume.canResume(received);
    if (!resume && received > 0 && !verifiedFile->restart()) {
        finish(Outcome::Failed,
            TransferFailure::of(TransferFailure::Kind::WriteFailed,
                QStringLiteral("the file could not be started over")));
        return;
    }
    restartNext = false;

    QNetworkRequest request = transferRequest(url, extraHeaders, policy.noDataTimeoutMs);
    rangeRequested = resume;
    if (resume) {
        // Only the rest, and only if the file is still the one the first answer began.
        request.setRawHeader("Range", rangeResume.rangeHeader(received));
        request.setRawHeader("If-Range", rangeResume.ifRangeHeader());
    }
    answerAccepted = false;
    attemptBase = verifiedFile->size();
    tooSlow = false;
    networkReply = manager->get(request);
    networkReply->setReadBufferSize(readBufferBytes);
    connect(networkReply, &QNetworkReply::metaDataChanged, this, &FileTransfer::answerArrived);
    connect(networkReply, &QNetworkReply::readyRead, this, &FileTransfer::receive);
    connect(networkReply, &QNetworkReply::downloadProgress, this, &FileTransfer::replyProgress);
    connect(networkReply, &QNetworkReply::finished, this, &FileTransfer::replyFinished);

    clock.start();
    watchdog.restart(0, verifiedFile->size());
    rateTimer->start();
}

void FileTransfer::refuse(TransferFailure::Kind kind, const QString &reason)
{
    unrecoverable = reason;
    unrecoverableKind = kind;
    networkReply->abort();
}

void FileTransfer::answerArrived()
{
    if (!networkReply)
        return;
    const int status = networkReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answerAccepted = false;
    if (status != 200 && status != 206)
        return;
    const HttpAnswer::Headers headers = networkReply->rawHeaderPairs();
    const qint64 length = contentLength(networkReply);
    // Decided now rather than at the end: a body that may never end has no end to wait for.
    if (HttpAnswer::hasAmbiguousFraming(headers)) {
        refuse(TransferFailure::Kind::BadAnswer, QStringLiteral("the answer has two framings"));
        return;
    }
    // Encoded bytes are not the file, and a later range would splice plain bytes onto them:
    // such an answer ends the transfer before any of it is kept or resumed.
    if (HttpAnswer::isEncoded(headers)) {
        refuse(TransferFailure::Kind::BadAnswer, QStringLiteral("the body is encoded"));
        return;
    }
    if (requireKnownLength && length < 0 && !verifiedFile->expectedSize()) {
        refuse(TransferFailure::Kind::BadAnswer,
            QStringLiteral("a body of unknown length, and the line gives no size"));
        return;
    }
    if (status == 200) {
        // A whole file: for a range request the file changed or ranges are off; begin again.
        if (verifiedFile->size() > 0 && !verifiedFile->restart()) {
            refuse(TransferFailure::Kind::WriteFailed,
                QStringLiteral("the file could not be started over"));
            return;
        }
        attemptBase = 0;
        answerAccepted = true;
        rangeResume.wholeAnswer(headers, length);
    } else if (rangeRequested) {
        answerAccepted = rangeResume.continues(headers, verifiedFile->size(), length);
        if (!answerAccepted) {
            restartNext = true;
            networkReply->abort();
        }
    }
}

void FileTransfer::replyProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // A resumed answer counts from where the file stood, so the numbers go on from there.
    emit progress(attemptBase + bytesReceived, bytesTotal < 0 ? -1 : attemptBase + bytesTotal);
}

void FileTransfer::receive()
{
    if (!networkReply || !networkReply->isOpen() || !verifiedFile || unrecoverable)
        return;
    const QByteArray data = networkReply->readAll();
    if (data.isEmpty() || !answerAccepted)
        return;
    const qint64 length = contentLength(networkReply);
    qint64 answerLimit = length < 0 ? -1 : attemptBase + length;
    if (rangeResume.expectedTotal() >= 0)
        answerLimit = rangeResume.expectedTotal();
    switch (verifiedFile->append(data, answerLimit)) {
    case VerifiedFile::Append::Written:
        return;
    case VerifiedFile::Append::OverLimit:
        refuse(verifiedFile->expectedSize() ? TransferFailure::Kind::WrongSize
                                            : TransferFailure::Kind::OverLimit,
            QStringLiteral("more bytes than the file can be"));
        return;
    case VerifiedFile::Append::WriteFailed:
        refuse(TransferFailure::Kind::WriteFailed, QStringLiteral("the file could not be written"));
        return;
    }
}

void FileTransfer::checkRate()
{
    if (!networkReply || !networkReply->isRunning())
        return;
    if (watchdog.tooSlow(clock.elapsed(), verifiedFile->size())) {
        tooSlow = true;
        networkReply->abort();
    }
}

void FileTransfer::replyFinished()
{
    if (!networkReply || !verifiedFile)
        return;
    receive();
    rateTimer->stop();

    AttemptReport report;
    report.rangeRequested = rangeRequested;
    report.rangeRefusedBefore = rangeRefused;
    report.bodyAccepted = answerAccepted;
    report.rangeMismatch = restartNext;
    report.unrecoverable = unrecoverable;
    report.status = networkReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answered = networkReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    lastAnswerUrl = networkReply->url();
    report.error = networkReply->error();
    report.tooSlow = tooSlow;
    report.encoded = HttpAnswer::isEncoded(networkReply->rawHeaderPairs());
    const qint64 length = contentLength(networkReply);
    const qint64 expected = rangeResume.expectedTotal() >= 0 ? rangeResume.expectedTotal()
        : length >= 0                                        ? attemptBase + length
                                                             : -1;
    report.shortBody = expected >= 0 && verifiedFile->size() != expected;
    report.retryAfterMs = HttpAnswer::retryAfterMs(
        networkReply->rawHeader("Retry-After"), QDateTime::currentDateTimeUtc());
    report.retriesDone = retriesDone;

    const RetryDecision decision = decideRetry(report, policy);
    switch (decision.action) {
    case RetryDecision::Action::Fail: {
        TransferFailure failure = decision.failure;
        if (report.unrecoverable)
            failure.kind = unrecoverableKind;
        finish(Outcome::Failed, failure);
        return;
    }
    case RetryDecision::Action::RestartFromZero:
        rangeRefused = rangeRefused || report.status == 416;
        restartNext = true;
        [[fallthrough]];
    case RetryDecision::Action::Retry:
        ++retriesDone;
        unrecoverable.reset();
        unrecoverableKind = TransferFailure::Kind::None;
        dropReply();
        if (!retryTimer) {
            retryTimer = new QTimer(this);
            retryTimer->setSingleShot(true);
            connect(retryTimer, &QTimer::timeout, this, &FileTransfer::sendRequest);
        }
        retryTimer->start(decision.delayMs);
        return;
    case RetryDecision::Action::Complete:
        break;
    }
    if (const std::optional<TransferFailure> wrong = verifiedFile->verify()) {
        finish(Outcome::Failed, *wrong);
        return;
    }
    if (!commitWhenComplete) {
        finish(Outcome::Received);
        return;
    }
    verifiedFile->commitWhenFree(policy.inUseWaitMs, policy.inUseCheck);
}

bool FileTransfer::commit()
{
    if (result() != Outcome::Received || !verifiedFile)
        return false;
    const auto [outcome, failure] = committedOutcome(verifiedFile->commit(), path);
    amendResult(outcome, failure);
    releaseChild(verifiedFile, this);
    const bool installed = outcome == Outcome::Installed;
    if (!installed)
        qCDebug(lcTransfer) << url.toString() << failure.detail;
    return installed;
}

void FileTransfer::dropReply()
{
    QNetworkReply *dropped = networkReply;
    releaseChild(networkReply, this);
    // Only now: an abort emits the reply's finished(), which must reach nobody here.
    if (dropped && dropped->isRunning())
        dropped->abort();
}

void FileTransfer::announceResult()
{
    const Outcome ended = result();
    if (ended != Outcome::Installed && ended != Outcome::Received)
        qCDebug(lcTransfer) << url.toString() << failure().detail;
    if (rateTimer)
        rateTimer->stop();
    // Nothing more of the answer counts.
    dropReply();
    // A committed file is done with; a failed one is dropped here, leaving the target as it was.
    if (ended != Outcome::Received)
        dropFile();
    emit finished(ended);
}

void FileTransfer::dropFile()
{
    // Dropped now, not when the object goes: the target stays as it was. A committed file
    // has nothing left to drop.
    if (verifiedFile && result() != Outcome::Installed)
        verifiedFile->discard();
    releaseChild(verifiedFile, this);
}

void FileTransfer::doKill()
{
    if (rateTimer)
        rateTimer->stop();
    if (retryTimer)
        retryTimer->stop();
    dropReply();
    // An uncommitted file goes with its bytes: the target stays as it was.
    dropFile();
}
