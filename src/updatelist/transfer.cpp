#include "dialog/updatedialog.h"

#include <QNetworkReply>

void UpdateDialog::setMinimumTransferRate(qint64 bytesPerSecond, int windowMs)
{
    minimumRateBytesPerSecond = bytesPerSecond;
    rateWindowMs = windowMs;
}

void UpdateDialog::setTransferRetries(int count, int firstDelayMs)
{
    transferRetries = count;
    firstRetryDelayMs = firstDelayMs;
}

bool UpdateDialog::startTransfer(FileTransfer *next)
{
    next->setRetries(transferRetries, firstRetryDelayMs);
    next->setNoDataTimeout(transferTimeoutMs);
    next->setMinimumRate(minimumRateBytesPerSecond, rateWindowMs);
    next->setInUseWait(inUseWaitMs);
    if (inUseCheck)
        next->setInUseCheck(inUseCheck);
    if (!next->start(network)) {
        delete next;
        return false;
    }
    transfer = next;
    targetFile = next->file();
    reply = next->reply();
    connect(next, &FileTransfer::requestSent, this, [this] { reply = transfer->reply(); });
    return true;
}

void UpdateDialog::downloadReadyRead()
{
    // The transfer reads its reply by itself; this only hurries it along.
    if (transfer)
        transfer->receive();
}

void UpdateDialog::releaseTarget()
{
    // Every transfer ends here, whether it finished, failed or the window closes mid-way. The
    // unfinished file is dropped at once, so the installed one stays as it was; the object goes
    // later, since this may run inside its own finished().
    for (FileTransfer **held : {&transfer, &pendingList}) {
        if (FileTransfer *ending = *held) {
            ending->disconnect(this);
            ending->abort();
            ending->deleteLater();
            *held = nullptr;
        }
    }
    targetFile = nullptr;
    reply = nullptr;
}
