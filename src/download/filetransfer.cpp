#include "filetransfer.h"

#include "fileinuse.h"
#include "updatelist/updatelistformat.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
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

bool FileTransfer::start(QNetworkAccessManager *network)
{
    if (!isSupportedScheme(url))
        return false;
    saveFile = std::make_unique<QSaveFile>(path);
    if (!saveFile->open(QIODevice::WriteOnly)) {
        saveFile.reset();
        return false;
    }
    if (!expectedSha256.isEmpty())
        hash = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha256);

    QNetworkRequest request(url);
    // Qt follows redirects by default, but never from https to http; keep it that way.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // The files are binaries and gain nothing from compression. Uncompressed, the announced
    // length is the file's length, and Qt never decodes a stream whose end it cannot vouch for.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setTransferTimeout(noDataTimeoutMs);
    networkReply = network->get(request);
    networkReply->setReadBufferSize(readBufferBytes);
    connect(networkReply, &QNetworkReply::readyRead, this, &FileTransfer::receive);
    connect(networkReply, &QNetworkReply::downloadProgress, this, &FileTransfer::progress);
    connect(networkReply, &QNetworkReply::finished, this, &FileTransfer::replyFinished);

    clock.start();
    rateSamples = {{0, 0}};
    rateTimer = new QTimer(this);
    rateTimer->setInterval(qMax(10, rateWindowMs / 6));
    connect(rateTimer, &QTimer::timeout, this, &FileTransfer::checkRate);
    rateTimer->start();
    return true;
}

void FileTransfer::receive()
{
    if (!networkReply || !saveFile || result != Outcome::Pending || overLimit)
        return;
    const QByteArray data = networkReply->readAll();
    if (data.isEmpty())
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
    if (saveFile->write(data) != data.size()) {
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
    const QVariant length = networkReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid())
        lower(length.toLongLong());
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
    if (!bodyComplete() || !integrityHolds()) {
        finish(Outcome::Failed);
        return;
    }
    if (!commitWhenComplete) {
        finish(Outcome::Received);
        return;
    }
    inUseClock.start();
    commitWhenFree();
}

bool FileTransfer::bodyComplete() const
{
    if (!networkReply || !saveFile || writeFailed || overLimit || tooSlow)
        return false;
    if (networkReply->error() != QNetworkReply::NoError)
        return false;
    // Only a plain 200 carries the whole file: a 204 carries none of it, a 206 a piece, and a
    // 3xx that Qt did not follow something else.
    if (networkReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
        return false;
    // Encoded bytes are not the file, and a cut compressed stream looks whole to the transport.
    const QByteArray encoding = networkReply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return false;
    const QVariant length = networkReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid()) {
        if (length.toLongLong() != received)
            return false;
    } else if (requireConfirmedEnd && !expectedSize && expectedSha256.isEmpty()) {
        // Qt ends a chunked body at a garbled chunk-size line as if it were the last chunk, and
        // a body ended by closing looks the same when the connection is cut: only the list
        // line's size or checksum can tell.
        return false;
    }
    // Buffered bytes that cannot reach the disk (disk full) fail here, before anything
    // replaces the installed file.
    return saveFile->flush() && saveFile->error() == QFileDevice::NoError;
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
        // QSaveFile::commit() deletes the new bytes when the rename fails, so wait for the file
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
    finish(!inUse && saveFile->commit() ? Outcome::Installed : Outcome::Unwritable);
}

bool FileTransfer::commit()
{
    if (result != Outcome::Received || !saveFile)
        return false;
    result = saveFile->commit() ? Outcome::Installed : Outcome::Unwritable;
    saveFile.reset();
    return result == Outcome::Installed;
}

void FileTransfer::finish(Outcome outcome)
{
    result = outcome;
    if (rateTimer)
        rateTimer->stop();
    // A committed file is done with; a failed one is dropped here, leaving the target as it was.
    if (outcome != Outcome::Received)
        saveFile.reset();
    emit finished(outcome);
}

void FileTransfer::abort()
{
    if (rateTimer)
        rateTimer->stop();
    if (inUseTimer)
        inUseTimer->stop();
    if (networkReply) {
        networkReply->disconnect(this);
        networkReply->abort();
        networkReply->deleteLater();
        networkReply = nullptr;
    }
    // An uncommitted QSaveFile throws its temporary file away: the target stays as it was.
    saveFile.reset();
    if (result == Outcome::Pending || result == Outcome::Received)
        result = Outcome::Failed;
}
