#include "patchupdate.h"

#include "files/regularfile.h"
#include "files/stagingname.h"
#include "runlog.h"
#include "transfer/verifiedfile.h"

#include <QUrl>

namespace {

// One event-loop turn decodes at most about this much of the new file (and hashes it), so that
// the window stays responsive on a file of any size.
constexpr qint64 outputPerTurn = 4 * 1024 * 1024;
// The patch is read from its staging file in pieces of this size.
constexpr qint64 patchReadBytes = 64 * 1024;

} // namespace

PatchUpdate::PatchUpdate(const PatchOffer &offer, const QString &targetPath,
    const FileIntegrity &result, const TransferPolicy &policy, QObject *parent)
    : JobOf(FileTransfer::Outcome::Failed, parent)
    , offer(offer)
    , target(targetPath)
    , resultIntegrity(result)
    , policy(policy)
{ }

PatchUpdate::~PatchUpdate()
{
    kill();
}

QString PatchUpdate::holdingPath(const QString &targetPath)
{
    return sideFileName(targetPath);
}

void PatchUpdate::start(QNetworkAccessManager *manager)
{
    network = manager;
    patchTransfer = new FileTransfer(QUrl(offer.link), holdingPath(target), policy, this);
    FileIntegrity integrity;
    integrity.size = offer.size;
    integrity.sha256 = offer.sha256;
    patchTransfer->setIntegrity(integrity);
    patchTransfer->setByteLimit(offer.size);
    patchTransfer->setRequireKnownLength(true);
    // The patch never takes any file's place: it is read from beside the target and dropped.
    patchTransfer->setCommitWhenComplete(false);
    connect(patchTransfer, &FileTransfer::progress, this, &PatchUpdate::progress);
    connect(patchTransfer, &FileTransfer::finished, this, &PatchUpdate::patchReceived);
    Job::start();
}

void PatchUpdate::doStart()
{
    patchTransfer->start(network);
}

void PatchUpdate::patchReceived(FileTransfer::Outcome outcome)
{
    if (outcome != FileTransfer::Outcome::Received) {
        giveUp(QStringLiteral("patch: ") + patchTransfer->failure().detail);
        return;
    }
    // Read again by name from a folder that others may write to: only as a regular file, so
    // that a FIFO put in its place cannot block. Other bytes there fail the result's check.
    if (!openRegularFile(patchFile, patchTransfer->file()->stagingPath(), FileLinks::Refuse)) {
        giveUp(QStringLiteral("patch: the patch cannot be read"));
        return;
    }
    // The new file is exactly as long as the line says, no longer: a patch must not be able to
    // fill the disk, whatever its frame declares.
    const qint64 size = resultIntegrity.size.value_or(-1);
    if (size < 0) {
        giveUp(QStringLiteral("patch: the result's size is unknown"));
        return;
    }
    newFile = new VerifiedFile(target, this);
    newFile->setIntegrity(resultIntegrity);
    newFile->setByteLimit(size);
    uchar *output = newFile->open() ? newFile->mapForWriting(size) : nullptr;
    // The whole file would meet the same full disk: a write failure ends the file here.
    if (!output) {
        finish(FileTransfer::Outcome::Unwritable,
            TransferFailure::of(TransferFailure::Kind::WriteFailed,
                QStringLiteral("patch: the new file cannot be written (no room for it)")));
        return;
    }
    // The installed file is opened again: since it was hashed (a line's only patch goes without
    // that), it may have been replaced by another file, a FIFO that would block, or a link.
    // zstd then finds no frame for it, or the check after does.
    if (!decoder.open(base.isEmpty() ? target : base, output, size)) {
        giveUp(QStringLiteral("patch: the installed file cannot be read"));
        return;
    }
    emit decoding();
    continueLater(&PatchUpdate::decodeSlice);
}

void PatchUpdate::decodeSlice()
{
    if (inputUsed == input.size()) {
        input = patchFile.read(patchReadBytes);
        inputUsed = 0;
        if (input.isEmpty()) {
            giveUp(QStringLiteral("patch: the frame is cut short"));
            return;
        }
    }
    qsizetype used = 0;
    const PatchDecoder::Step step = decoder.decode(
        input.constData() + inputUsed, input.size() - inputUsed, &used, outputPerTurn);
    inputUsed += used;
    if (step == PatchDecoder::Step::Failed) {
        giveUp(QStringLiteral("patch: the frame does not decode"));
        return;
    }
    if (!newFile->written(decoder.produced())) {
        qCWarning(lcRun).noquote()
            << "the new file for" << target << "changed under the updater while it was mapped";
        giveUp(QStringLiteral("patch: the new file changed while it was written"));
        return;
    }
    if (step == PatchDecoder::Step::Going) {
        continueLater(&PatchUpdate::decodeSlice);
        return;
    }
    // One frame only: a second one would be decoded without the base and mean nothing.
    const bool trailing = inputUsed < input.size() || !patchFile.atEnd();
    // Windows cannot replace a file that is mapped, nor drop one that is open.
    decoder.close();
    patchFile.close();
    releaseChild(patchTransfer, this);
    if (trailing) {
        giveUp(QStringLiteral("patch: bytes after the frame"));
        return;
    }
    // The hash of the last bytes may still run beside the event loop.
    if (newFile->hashing()) {
        connect(newFile, &VerifiedFile::hashed, this, &PatchUpdate::verifyAndCommit,
            Qt::SingleShotConnection);
        return;
    }
    verifyAndCommit();
}

void PatchUpdate::verifyAndCommit()
{
    if (isFinished() || !newFile)
        return;
    if (const std::optional<TransferFailure> wrong = newFile->verify()) {
        // The whole file would meet the same full disk.
        if (wrong->kind == TransferFailure::Kind::WriteFailed)
            finish(FileTransfer::Outcome::Unwritable,
                TransferFailure::of(wrong->kind, QStringLiteral("patch result: ") + wrong->detail));
        else
            giveUp(QStringLiteral("patch result: ") + wrong->detail);
        return;
    }
    connect(newFile, &VerifiedFile::committed, this, [this](StagedFile::Replace replaced) {
        const auto [outcome, failure] = FileTransfer::committedOutcome(replaced, target);
        finish(outcome, failure);
    });
    newFile->commitWhenFree(policy.inUseWaitMs, policy.inUseCheck);
}

void PatchUpdate::giveUp(const QString &reason)
{
    finish(FileTransfer::Outcome::Failed,
        TransferFailure::of(TransferFailure::Kind::BadAnswer, reason));
}

void PatchUpdate::announceResult()
{
    // Whatever the outcome, the patch goes now; a new file that was not installed goes with it.
    doKill();
    emit finished(result());
}

void PatchUpdate::doKill()
{
    // The map of the installed file and the open patch go before their files do.
    decoder.close();
    patchFile.close();
    // The patch's transfer takes its kept-aside patch with it.
    releaseChild(patchTransfer, this);
    if (newFile && result() != FileTransfer::Outcome::Installed)
        newFile->discard();
    releaseChild(newFile, this);
}
