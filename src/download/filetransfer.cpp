#include "filetransfer.h"

#include "fileinuse.h"
#include "transfer/httpanswer.h"
#include "transfer/stagedfile.h"
#include "updatelist/updatelistformat.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

// Without a limit the network thread buffers whatever the GUI thread has not written yet, so
// memory would grow with the file; a bounded buffer makes the server wait instead.
constexpr qint64 readBufferBytes = 256 * 1024;

// A file that is still in use is tried again after 50 ms, then after twice as long each time,
// at most a second apart.
constexpr int firstInUseBackoffMs = 50;
constexpr int longestInUseBackoffMs = 1000;

} // namespace

FileTransfer::FileTransfer(const QUrl &url, const QString &targetPath, QObject *parent)
    : QObject(parent)
    , url(url)
    , path(targetPath)
{
}

FileTransfer::~FileTransfer()
{
    abort();
}

bool FileTransfer::isSupportedScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

void FileTransfer::setIntegrity(
    const std::optional<QString> &sizeText, const std::optional<QString> &sha256Text)
{
    if (sizeText) {
        expectedSize = parseSizeText(*sizeText);
        integrityMalformed = integrityMalformed || !expectedSize;
    }
    if (sha256Text) {
        if (isValidSha256Text(*sha256Text))
            expectedSha256 = sha256Text->toLatin1().toLower();
        else
            integrityMalformed = true;
    }
}

void FileTransfer::setMinimumRate(qint64 bytesPerSecond, int windowMs)
{
    minimumBytesPerSecond = bytesPerSecond;
    rateWindowMs = windowMs;
}

QNetworkReply *FileTransfer::reply() const
{
    return networkReply;
}

void FileTransfer::setRetries(int count, int firstDelayMs)
{
    retriesLeft = count;
    retryDelayMs = firstDelayMs;
}

bool FileTransfer::start(QNetworkAccessManager *network)
{
    if (!isSupportedScheme(url))
        return false;
    stagedFile = std::make_unique<StagedFile>(path);
    if (!stagedFile->open()) {
        stagedFile.reset();
        return false;
    }
    if (!expectedSha256.isEmpty())
        hash = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha256);
    manager = network;
    rateTimer = new QTimer(this);
    rateTimer->setInterval(qMax(10, rateWindowMs / 6));
    connect(rateTimer, &QTimer::timeout, this, &FileTransfer::checkRate);
    sendRequest();
    return true;
}

void FileTransfer::sendRequest()
{
    if (!manager) {
        finish(Outcome::Failed);
        return;
    }
    const bool resume = resumable && rangesOffered && !restartNext && received > 0;
    if (!resume && received > 0 && !restartFile()) {
        finish(Outcome::Failed);
        return;
    }
    restartNext = false;

    QNetworkRequest request(url);
    // Qt follows redirects by default, but never from https to http; keep it that way.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // The files are binaries and gain nothing from compression. Uncompressed, the announced
    // length is the file's length, and Qt never decodes a stream whose end it cannot vouch for.
    request.setRawHeader("Accept-Encoding", "identity");
    rangeRequested = resume;
    if (resume) {
        // Only the rest, and only if the file is still the one the first answer began.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(received) + '-');
        request.setRawHeader("If-Range", validator);
    }
    request.setTransferTimeout(noDataTimeoutMs);
    answerAccepted = false;
    attemptBase = received;
    tooSlow = false;
    networkReply = manager->get(request);
    networkReply->setReadBufferSize(readBufferBytes);
    connect(networkReply, &QNetworkReply::metaDataChanged, this, &FileTransfer::answerArrived);
    connect(networkReply, &QNetworkReply::readyRead, this, &FileTransfer::receive);
    connect(networkReply, &QNetworkReply::downloadProgress, this, &FileTransfer::replyProgress);
    connect(networkReply, &QNetworkReply::finished, this, &FileTransfer::replyFinished);

    clock.start();
    rateSamples = {{0, received}};
    rateTimer->start();
    emit requestSent();
}

bool FileTransfer::restartFile()
{
    // The bytes so far belong to another answer: start the file and the digest over.
    received = 0;
    attemptBase = 0;
    if (hash)
        hash->reset();
    return stagedFile && stagedFile->restart();
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
    const QVariant length = networkReply->header(QNetworkRequest::ContentLengthHeader);
    // Decided now rather than at the end: a body that may never end has no end to wait for.
    if (HttpAnswer::hasAmbiguousFraming(headers)
        || (requireKnownLength && !length.isValid() && !expectedSize)) {
        brokenAnswer = true;
        networkReply->abort();
        return;
    }
    if (status == 200) {
        // A whole file: for a range request the file changed or ranges are off; begin again.
        if (received > 0 && !restartFile()) {
            writeFailed = true;
            return;
        }
        attemptBase = 0;
        answerAccepted = true;
        rangeTotal = -1;
        validator = HttpAnswer::validatorOf(headers);
        firstTotal = length.isValid() ? length.toLongLong() : -1;
        // Without a validator a resumed range could belong to another version, and without a
        // length nothing tells where the file ends.
        rangesOffered = networkReply->rawHeader("Accept-Ranges").toLower().contains("bytes")
            && !validator.isEmpty() && firstTotal > 0;
    } else if (status == 206 && rangeRequested) {
        // The rest of the same file, or nothing of it: a server that ignores If-Range answers
        // with the rest of whatever version it holds now, and the two would be spliced.
        const std::optional<HttpAnswer::ContentRange> range
            = HttpAnswer::parseContentRange(networkReply->rawHeader("Content-Range"));
        const bool continues = range && range->first == received && range->total == firstTotal
            && range->last == range->total - 1 && HttpAnswer::validatorOf(headers) == validator
            && (!length.isValid() || length.toLongLong() == range->last - range->first + 1);
        if (continues) {
            answerAccepted = true;
            rangeTotal = range->total;
        } else {
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
    if (!networkReply || !networkReply->isOpen() || !stagedFile || result != Outcome::Pending
        || overLimit)
        return;
    const QByteArray data = networkReply->readAll();
    if (data.isEmpty() || !answerAccepted)
        return;
    const qint64 allowed = allowedBytes();
    if (allowed >= 0 && received + data.size() > allowed) {
        // More than the file can be: stop at once instead of filling the disk.
        overLimit = true;
        if (networkReply->isRunning())
            networkReply->abort();
        return;
    }
    received += data.size();
    if (writeFailed)
        return;
    if (!stagedFile->write(data)) {
        writeFailed = true;
        if (networkReply->isRunning())
            networkReply->abort();
        return;
    }
    if (hash)
        hash->addData(data);
}

qint64 FileTransfer::allowedBytes() const
{
    qint64 allowed = byteLimit;
    const auto lower = [&allowed](qint64 limit) {
        if (limit >= 0 && (allowed < 0 || limit < allowed))
            allowed = limit;
    };
    if (expectedSize)
        lower(*expectedSize);
    if (rangeTotal >= 0)
        lower(rangeTotal);
    const QVariant length = networkReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid())
        lower(attemptBase + length.toLongLong());
    return allowed;
}

void FileTransfer::checkRate()
{
    if (!networkReply || !networkReply->isRunning())
        return;
    const qint64 now = clock.elapsed();
    rateSamples.append({now, received});
    // Keep the newest sample that is at least a window old, and all that came after it.
    while (rateSamples.size() > 1 && rateSamples.at(1).first <= now - rateWindowMs)
        rateSamples.removeFirst();
    const QPair<qint64, qint64> oldest = rateSamples.constFirst();
    const qint64 span = now - oldest.first;
    if (span < rateWindowMs)
        return;
    if ((received - oldest.second) * 1000 < minimumBytesPerSecond * span) {
        tooSlow = true;
        networkReply->abort();
    }
}

void FileTransfer::replyFinished()
{
    if (result != Outcome::Pending)
        return;
    receive();
    rateTimer->stop();
    switch (judge()) {
    case Verdict::Fail:
        finish(Outcome::Failed);
        return;
    case Verdict::Retry:
        if (retriesLeft <= 0) {
            finish(Outcome::Failed);
            return;
        }
        --retriesLeft;
        ++retriesDone;
        networkReply->disconnect(this);
        networkReply->deleteLater();
        networkReply = nullptr;
        if (!retryTimer) {
            retryTimer = new QTimer(this);
            retryTimer->setSingleShot(true);
            connect(retryTimer, &QTimer::timeout, this, &FileTransfer::sendRequest);
        }
        retryTimer->start(nextDelayMs);
        return;
    case Verdict::Complete:
        break;
    }
    if (!commitWhenComplete) {
        finish(Outcome::Received);
        return;
    }
    inUseClock.start();
    commitWhenFree();
}

FileTransfer::Verdict FileTransfer::judge()
{
    if (!networkReply || !stagedFile || writeFailed || overLimit || brokenAnswer)
        return Verdict::Fail;
    const int status = networkReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError error = networkReply->error();

    // 1 s, 2 s, 4 s, ...
    nextDelayMs = int(qMin(qint64(retryDelayMs) << qMin(retriesDone, 20), qint64(1) << 30));
    if (status == 416 && rangeRequested && !rangeRefused) {
        // The server will not give the rest: once more from zero.
        rangeRefused = true;
        restartNext = true;
        nextDelayMs = 0;
        return Verdict::Retry;
    }
    if (restartNext) {
        // A range that does not continue the same file: from zero.
        nextDelayMs = 0;
        return Verdict::Retry;
    }
    // Worth another try: a busy or failing server, a cut or stalled connection (Qt's no-data
    // timeout cancels the request), the minimum rate, a short body.
    static const QList<int> passingStatuses = {408, 429, 500, 502, 503, 504};
    const bool cut = error == QNetworkReply::RemoteHostClosedError
        || error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError
        || error == QNetworkReply::TemporaryNetworkFailureError
        || error == QNetworkReply::ConnectionRefusedError
        || error == QNetworkReply::UnknownNetworkError;
    const bool passing = tooSlow || passingStatuses.contains(status)
        || ((status == 0 || status == 200 || status == 206) && cut);
    if (status == 429 || status == 503) {
        const std::optional<qint64> wait = HttpAnswer::retryAfterMs(
            networkReply->rawHeader("Retry-After"), QDateTime::currentDateTimeUtc());
        if (wait)
            nextDelayMs = int(qMin(*wait, qint64(retryAfterCapMs)));
    }
    const auto retryOrFail = [&] {
        return passing ? Verdict::Retry : Verdict::Fail;
    };
    if (tooSlow || error != QNetworkReply::NoError)
        return retryOrFail();
    // Only a plain 200, or the 206 that was asked for, carries the file: a 204 carries none of
    // it, any other 206 a piece, and a 3xx that Qt did not follow something else.
    if (!answerAccepted || (status != 200 && status != 206))
        return retryOrFail();
    // Encoded bytes are not the file, and a cut compressed stream looks whole to the transport.
    const QByteArray encoding = networkReply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return Verdict::Fail;
    // Qt ends a chunked body at a garbled chunk-size line as if it were the last chunk, and a
    // body ended by closing looks the same when the connection is cut: without a length only
    // the list line's size can tell (see answerArrived).
    const QVariant length = networkReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && attemptBase + length.toLongLong() != received)
        return Verdict::Retry;
    if (rangeTotal >= 0 && received != rangeTotal)
        return Verdict::Retry;
    // Buffered bytes that cannot reach the disk (disk full) fail here, before anything
    // replaces the installed file.
    if (!stagedFile->flush())
        return Verdict::Fail;
    return integrityHolds() ? Verdict::Complete : Verdict::Fail;
}

bool FileTransfer::integrityHolds() const
{
    if (integrityMalformed)
        return false;
    if (expectedSize && *expectedSize != received)
        return false;
    if (!expectedSha256.isEmpty() && (!hash || hash->result().toHex() != expectedSha256))
        return false;
    return true;
}

void FileTransfer::commitWhenFree()
{
    const bool inUse = inUseCheck ? inUseCheck(path) : isFileInUse(path);
    const qint64 waited = inUseClock.elapsed();
    if (inUse && waited < inUseWaitMs) {
        // A commit whose rename fails drops the new bytes, so wait for the file
        // to become free before trying, without holding up the window.
        inUseBackoffMs = inUseBackoffMs == 0 ? firstInUseBackoffMs
                                             : qMin(inUseBackoffMs * 2, longestInUseBackoffMs);
        if (!inUseTimer) {
            inUseTimer = new QTimer(this);
            inUseTimer->setSingleShot(true);
            connect(inUseTimer, &QTimer::timeout, this, &FileTransfer::commitWhenFree);
        }
        inUseTimer->start(int(qBound(qint64(1), qint64(inUseBackoffMs), inUseWaitMs - waited)));
        return;
    }
    finish(!inUse && stagedFile->commit() ? Outcome::Installed : Outcome::Unwritable);
}

bool FileTransfer::commit()
{
    if (result != Outcome::Received || !stagedFile)
        return false;
    result = stagedFile->commit() ? Outcome::Installed : Outcome::Unwritable;
    stagedFile.reset();
    return result == Outcome::Installed;
}

void FileTransfer::finish(Outcome outcome)
{
    result = outcome;
    if (rateTimer)
        rateTimer->stop();
    // A committed file is done with; a failed one is dropped here, leaving the target as it was.
    if (outcome != Outcome::Received)
        stagedFile.reset();
    emit finished(outcome);
}

void FileTransfer::abort()
{
    if (rateTimer)
        rateTimer->stop();
    if (inUseTimer)
        inUseTimer->stop();
    if (retryTimer)
        retryTimer->stop();
    if (networkReply) {
        networkReply->disconnect(this);
        networkReply->abort();
        networkReply->deleteLater();
        networkReply = nullptr;
    }
    // An uncommitted staged file goes with its bytes: the target stays as it was.
    stagedFile.reset();
    if (result == Outcome::Pending || result == Outcome::Received)
        result = Outcome::Failed;
}
