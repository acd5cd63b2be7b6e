#pragma once

#include "filefailure.h"
#include "files/job.h"
#include "runprogress.h"
#include "transfer/filetransfer.h"
#include "transfer/transferpolicy.h"
#include "updatelist/updateentry.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class FileHasher;
class PatchUpdate;
class QNetworkAccessManager;

// Declared outside DownloadRun, which keeps it as its result (DownloadRun::Result).
namespace Run {
Q_NAMESPACE

enum class Result {
    // Every ticked file is installed.
    Done,
    // Some files failed; the others are installed.
    DoneWithProblems,
    // Stopped at a file that could not be written, or whose link or name is unsafe.
    Stopped,
};
Q_ENUM_NS(Result)

} // namespace Run

// One download run: the ticked entries in name order, one file at a time, each into the install
// directory (the main executable) or its "plugins/". A file that fails does not stop the run; a
// target that cannot be written, or a link that is no http(s) or names no safe file, does.
// A relative link (or patch link) is resolved against the list's URL; when its file fails at
// the list's address, it is tried with the same path at each address after that one before it
// counts as failed. A file the line offers a patch for is fetched as that patch when the installed
// file is the patch's base; any failure on that way falls back, once, to the whole file: the
// user is not told, the log warns. The run ends in exactly one finished(); destroying it
// before that stops the transfer in flight and drops its unfinished file. failure() lists the
// files that failed, or the one the run stopped at, in run order.
class DownloadRun : public JobOf<Run::Result, QList<FileFailure>>
{
    Q_OBJECT

public:
    using Result = Run::Result;

    DownloadRun(
        const QString &installDirectory, const TransferPolicy &policy, QObject *parent = nullptr);
    ~DownloadRun() override;

    // The list's URL at the address it came from, then at the following addresses (see
    // UpdateListFetcher::listUrls()); before start(). Without any, only absolute links work.
    void setListUrls(const QList<QUrl> &urls) { listUrls = urls; }
    // Entries whose `selected` is false are skipped. The first file starts from the event loop.
    void start(const QMap<QString, UpdateEntry> &entries, QNetworkAccessManager *network);

    const RunProgress &runProgress() const { return overall; }

Q_SIGNALS:
    // A file is next, before its link and target are checked.
    void fileStarted(const QString &name, const QString &fileName);
    // Its transfer (a patch's, while one is fetched) is on its way.
    void transferStarted(FileTransfer *transfer);
    // The installed file is hashed, or a patch is applied to it: nothing is being fetched.
    void preparing(const QString &fileName);
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    // The whole run moved on (runProgress()): a file began or ended, or bytes arrived.
    void runProgressChanged();
    // After every transferStarted(). CannotStart and Unwritable stop the run.
    void fileFinished(const QString &name, FileTransfer::Outcome outcome);
    void finished(DownloadRun::Result result);

protected:
    void doStart() override;
    void doKill() override;
    void announceResult() override;

private:
    void startNext();
    void installedHashed(const QByteArray &sha256);
    void startPatch(const PatchOffer &offer);
    void patchFinished(FileTransfer::Outcome outcome);
    void startWholeFile();
    // The whole file failed at one address: the next one, if the link leaves any.
    bool tryNextAddress();
    void transferFinished(FileTransfer::Outcome outcome);
    void releaseTransfer();
    void transferProgress(qint64 bytesReceived, qint64 bytesTotal);
    void fileFailed(const TransferFailure &failure);
    // The file in turn is in place: how it came, for the log.
    void fileInstalled(const QString &how);

    QString installDirectory;
    TransferPolicy policy;
    QMap<QString, UpdateEntry> entries;
    QMap<QString, UpdateEntry>::const_iterator next;
    QString entryName;
    QString fileName;
    QString target;
    UpdateEntry entry;
    QList<QUrl> listUrls;
    // Where the whole file of the entry in turn is fetched from, and the one being tried.
    QList<QUrl> fileUrls;
    qsizetype fileUrlIndex = 0;
    QPointer<QNetworkAccessManager> network;
    FileTransfer *current = nullptr;
    FileHasher *hasher = nullptr;
    PatchUpdate *patch = nullptr;
    // Where the transfer in hand (the patch's, or the whole file's) fetches from, and how much
    // it has so far.
    QUrl fetchedFrom;
    qint64 bytesFetched = 0;
    bool problems = false;
    QList<FileFailure> failed;
    RunProgress overall;
};
