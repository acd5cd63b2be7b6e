#pragma once

#include "transfer/filetransfer.h"
#include "transfer/transferpolicy.h"
#include "updatelist/updateentry.h"

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>

class FileHasher;
class PatchUpdate;
class QNetworkAccessManager;

// One download run: the ticked entries in name order, one file at a time, each into the install
// directory (the main executable) or its "plugins/". A file that fails does not stop the run; a
// target that cannot be written, or a link that is no http(s) or names no safe file, does.
// A file the line offers a patch for is fetched as that patch when the installed file is the
// patch's base; any failure on that way falls back, once and silently, to the whole file.
// The run ends in exactly one finished(); destroying it before that stops the transfer in
// flight and drops its unfinished file.
class DownloadRun : public QObject
{
    Q_OBJECT

public:
    enum class Result {
        // Every ticked file is installed.
        Done,
        // Some files failed; the others are installed.
        DoneWithProblems,
        // Stopped at a file that could not be written, or whose link or name is unsafe.
        Stopped,
    };
    Q_ENUM(Result)

    DownloadRun(
        const QString &installDirectory, const TransferPolicy &policy, QObject *parent = nullptr);
    ~DownloadRun() override;

    // Entries whose `selected` is false are skipped.
    void start(const QMap<QString, UpdateEntry> &entries, QNetworkAccessManager *network);

    Result result() const { return runResult; }
    // The entry and file name of the file in hand, from fileStarted() on.
    QString currentName() const { return entryName; }
    QString currentFileName() const { return fileName; }
    // A file has failed so far (one that could not be written stops the run instead).
    bool hadProblems() const { return problems; }
    // The transfer in flight (a patch's, while one is fetched); null between files.
    FileTransfer *transfer() const;
    // Why files failed or the run stopped, one line each: for tests and closing notes.
    QStringList errorTexts() const { return errors; }
    // Why patches were given up for the whole file, one line each.
    QStringList patchErrorTexts() const { return patchErrors; }

Q_SIGNALS:
    // A file is next, before its link and target are checked.
    void fileStarted(const QString &name, const QString &fileName);
    // Its request is out: transfer() is set.
    void transferStarted(FileTransfer *transfer);
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void fileFinished(const QString &name, FileTransfer::Outcome outcome);
    void finished(DownloadRun::Result result);

private:
    void startNext();
    void installedHashed(const QByteArray &sha256);
    void patchFinished(FileTransfer::Outcome outcome);
    void startWholeFile();
    void transferFinished(FileTransfer::Outcome outcome);
    void releaseTransfer();
    void end(Result result);

    QString installDirectory;
    TransferPolicy policy;
    QMap<QString, UpdateEntry> entries;
    QMap<QString, UpdateEntry>::const_iterator next;
    QString entryName;
    QString fileName;
    QString target;
    UpdateEntry entry;
    QPointer<QNetworkAccessManager> network;
    FileTransfer *current = nullptr;
    FileHasher *hasher = nullptr;
    PatchUpdate *patch = nullptr;
    bool problems = false;
    bool ended = false;
    Result runResult = Result::Done;
    QStringList errors;
    QStringList patchErrors;
};
