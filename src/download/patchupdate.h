#pragma once

#include "files/job.h"
#include "patchdecoder.h"
#include "transfer/fileintegrity.h"
#include "transfer/filetransfer.h"
#include "transfer/transferpolicy.h"
#include "updatelist/patchoffer.h"

#include <QFile>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class VerifiedFile;

// One file updated by a patch: the patch is fetched like any file (retries, resume, its size
// as a cap, its checksum), kept aside beside the target, decoded against the installed file
// into a new staging file, and that takes the target's place only when it is exactly the file
// the line describes. Ends in one finished(): Installed, Unwritable (the checked file could not
// take the target's place), or Failed, after which nothing of the patch is left on disk and
// the target is as it was. Destroying it earlier stops it the same way. failure() says why it
// is not Installed; only an Unwritable one is the user's to know.
class PatchUpdate : public JobOf<Transfer::Outcome, TransferFailure>
{
    Q_OBJECT

public:
    PatchUpdate(const PatchOffer &offer, const QString &targetPath, const FileIntegrity &result,
        const TransferPolicy &policy, QObject *parent = nullptr);
    ~PatchUpdate() override;

    // The file the patch applies to, before start(); by default the target itself. The
    // updater's own files are decoded into a staging name of their own, from the file in place.
    void setBasePath(const QString &path) { base = path; }
    // A patch that cannot even be kept aside ends Failed, from the event loop like any other.
    void start(QNetworkAccessManager *network);

    // The patch's transfer, from start() until it is over; null afterwards.
    FileTransfer *transfer() const { return patchTransfer; }

    // The patch is kept under this name's staging file until it has been decoded.
    static QString holdingPath(const QString &targetPath);

Q_SIGNALS:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    // The patch has arrived; the new file is being made from it and the installed one.
    void decoding();
    void finished(FileTransfer::Outcome outcome);

protected:
    void doStart() override;
    void doKill() override;
    void announceResult() override;

private:
    void patchReceived(FileTransfer::Outcome outcome);
    void decodeSlice();
    void verifyAndCommit();
    // The patch will not do; the whole file is the way left.
    void giveUp(const QString &reason);

    PatchOffer offer;
    QString target;
    QString base;
    FileIntegrity resultIntegrity;
    TransferPolicy policy;
    FileTransfer *patchTransfer = nullptr;
    QFile patchFile;
    // What was last read of the patch, and how much of it the decoder has taken.
    QByteArray input;
    qsizetype inputUsed = 0;
    PatchDecoder decoder;
    QNetworkAccessManager *network = nullptr;
    VerifiedFile *newFile = nullptr;
};
