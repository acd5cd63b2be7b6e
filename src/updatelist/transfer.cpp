#include "transfer.h"

#include "dialog/updatedialog.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>

bool replyCompleted(const QNetworkReply &reply, qint64 bytesReceived)
{
    if (reply.error() != QNetworkReply::NoError)
        return false;
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299))
        return false;
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    const QByteArray encoding = reply.rawHeader("Content-Encoding").trimmed().toLower();
    if (length.isValid() && (encoding.isEmpty() || encoding == "identity")
        && length.toLongLong() != bytesReceived)
        return false;
    return true;
}

namespace {

constexpr qint64 readBufferBytes = 256 * 1024;

} // namespace

QNetworkReply *UpdateDialog::startTransfer(const QUrl &url)
{
    writeFailed = false;
    bytesWritten = 0;
    QNetworkRequest request(url);
    // Qt follows redirects by default, but never from https to http; keep it that way.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs);
    QNetworkReply *started = network->get(request);
    // Without a limit the network thread buffers whatever the GUI thread has not written yet,
    // so memory would grow with the file; a bounded buffer makes the server wait instead.
    started->setReadBufferSize(readBufferBytes);
    return started;
}

bool UpdateDialog::transferSucceeded() const
{
    if (!reply || !targetFile || writeFailed)
        return false;
    // Buffered bytes that cannot reach the disk (disk full) fail the transfer here, before
    // anything replaces the installed file.
    if (!targetFile->flush() || targetFile->error() != QFileDevice::NoError)
        return false;
    return replyCompleted(*reply, bytesWritten);
}

void UpdateDialog::releaseTarget()
{
    // An uncommitted QSaveFile throws its temporary data away: the installed file is untouched.
    delete targetFile;
    targetFile = nullptr;
    delete targetHash;
    targetHash = nullptr;
    targetEntry = nullptr;
}
