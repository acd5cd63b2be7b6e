#include "patchupdate.h"

#include "transfer/verifiedfile.h"

#include <QMetaObject>
#include <QUrl>

namespace {

// One event-loop turn decodes this much of the patch, so that the window stays responsive.
constexpr qint64 patchSliceBytes = 1024 * 1024;

} // namespace

PatchUpdate::PatchUpdate(const PatchOffer &offer, const QString &targetPath,
    const FileIntegrity &result, const TransferPolicy &policy, QObject *parent)
    : QObject(parent)
    , offer(offer)
    , target(targetPath)
    , resultIntegrity(result)
    , policy(policy)
{ }

PatchUpdate::~PatchUpdate()
{
    // The map of the installed file and the open patch go before their files do.
    decoder.close();
    patchFile.close();
}

QString PatchUpdate::holdingPath(const QString &targetPath)
{
    return targetPath + QStringLiteral(".patch");
}

bool PatchUpdate::start(QNetworkAccessManager *network)
{
    patchTransfer = std::make_unique<FileTransfer>(QUrl(offer.link), holdingPath(target), policy);
    FileIntegrity integrity;
    integrity.size = offer.size;
    integrity.sha256 = offer.sha256;
    patchTransfer->setIntegrity(integrity);
    patchTransfer->setByteLimit(offer.size);
    patchTransfer->setRequireKnownLength(true);
    // The patch never takes any file's place: it is read from beside the target and dropped.
    patchTransfer->setCommitWhenComplete(false);
    connect(patchTransfer.get(), &FileTransfer::progress, this, &PatchUpdate::progress);
    connect(patchTransfer.get(), &FileTransfer::finished, this, &PatchUpdate::patchReceived);
    if (!patchTransfer->start(network)) {
        patchTransfer.reset();
        return false;
    }
    return true;
}

void PatchUpdate::patchReceived(FileTransfer::Outcome outcome)
{
    if (outcome != FileTransfer::Outcome::Received) {
        finish(FileTransfer::Outcome::Failed,
            QStringLiteral("patch: ") + (patchTransfer ? patchTransfer->errorText() : QString()));
        return;
    }
    patchFile.setFileName(patchTransfer->file()->stagingPath());
    if (!patchFile.open(QIODevice::ReadOnly)) {
        finish(FileTransfer::Outcome::Failed, QStringLiteral("patch: the patch cannot be read"));
        return;
    }
    // The new file can be no longer than the line, or else the frame, says: a patch must not be
    // able to fill the disk.
    qint64 limit = resultIntegrity.size.value_or(-1);
    if (limit < 0)
        limit = PatchDecoder::declaredSize(patchFile.peek(18));
    if (limit < 0) {
        finish(
            FileTransfer::Outcome::Failed, QStringLiteral("patch: the result's size is unknown"));
        return;
    }
    newFile = std::make_unique<VerifiedFile>(target);
    newFile->setIntegrity(resultIntegrity);
    newFile->setByteLimit(limit);
    if (!decoder.open(target) || !newFile->open()) {
        finish(FileTransfer::Outcome::Failed, QStringLiteral("patch: cannot decode"));
        return;
    }
    QMetaObject::invokeMethod(this, &PatchUpdate::decodeSlice, Qt::QueuedConnection);
}

void PatchUpdate::decodeSlice()
{
    if (ended)
        return;
    const QByteArray slice = patchFile.read(patchSliceBytes);
    const auto sink = [this](const char *data, qsizetype size) {
        return newFile->append(QByteArray::fromRawData(data, size), -1)
            == VerifiedFile::Append::Written;
    };
    if (!slice.isEmpty()) {
        if (!decoder.feed(slice.constData(), slice.size(), sink)) {
            finish(
                FileTransfer::Outcome::Failed, QStringLiteral("patch: the frame does not decode"));
            return;
        }
        QMetaObject::invokeMethod(this, &PatchUpdate::decodeSlice, Qt::QueuedConnection);
        return;
    }
    const bool complete = patchFile.atEnd() && decoder.complete();
    // Windows cannot replace a file that is mapped, nor drop one that is open.
    decoder.close();
    patchFile.close();
    patchTransfer.reset();
    if (!complete) {
        finish(FileTransfer::Outcome::Failed, QStringLiteral("patch: the frame is cut short"));
        return;
    }
    if (const std::optional<QString> wrong = newFile->verify()) {
        finish(FileTransfer::Outcome::Failed, QStringLiteral("patch result: ") + *wrong);
        return;
    }
    connect(newFile.get(), &VerifiedFile::committed, this, [this](StagedFile::Replace replaced) {
        const auto [outcome, reason] = FileTransfer::committedOutcome(replaced);
        finish(outcome, reason);
    });
    newFile->commitWhenFree(policy.inUseWaitMs, policy.inUseCheck);
}

void PatchUpdate::finish(FileTransfer::Outcome outcome, const QString &reason)
{
    if (ended)
        return;
    ended = true;
    error = reason;
    decoder.close();
    patchFile.close();
    // Whatever the outcome, the patch goes now; a new file that was not installed goes with it.
    // Both are deleted later: this may run inside their own signals.
    if (patchTransfer) {
        patchTransfer->disconnect(this);
        patchTransfer->abort();
        patchTransfer.release()->deleteLater();
    }
    if (newFile) {
        newFile->disconnect(this);
        if (outcome != FileTransfer::Outcome::Installed)
            newFile->discard();
        newFile.release()->deleteLater();
    }
    emit finished(outcome);
}
