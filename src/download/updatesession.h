#pragma once

#include "downloadrun.h"
#include "selfupdate.h"
#include "transfer/transferpolicy.h"
#include "updatelist/updateentry.h"
#include "updatelist/updatelistfetcher.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class FileTransfer;
class QNetworkAccessManager;

// One update from the check to the run's end, without a window: the network, the check for
// updates, the download run, where the list came from, and what each end means for the user.
// The window only shows what it says. At most one check or run is under way at a time; each
// ends in one listChecked() or runEnded(), except a run cut short. After the first check that
// reads the list from the server, the session also renews the updater's own files (SelfUpdate),
// once and without a word to the window. That waits while a check or run is under way; the
// session's end stops it, or, once its swap has begun, waits for the swap to end.
class UpdateSession : public QObject
{
    Q_OBJECT

public:
    // How a check or a run ended, as the window tells it.
    enum class Ending {
        // The list is read: offered() holds its entries.
        ListOffered,
        // No usable list: the error path, with failureReason() under it.
        NoList,
        // The list cannot even be written here: a message first, then the error path.
        ListNotWritable,
        // Every ticked file is installed.
        Updated,
        // Some files failed, the others are installed: failureReason() names each.
        UpdatedWithProblems,
        // Stopped at a file that cannot be written, or whose link or name is unsafe: a message,
        // then the error path, with failureReason() under it.
        RunStopped,
    };
    Q_ENUM(Ending)

    explicit UpdateSession(const QString &serverBase, QObject *parent = nullptr);
    ~UpdateSession() override;

    void setTransferPolicy(const TransferPolicy &policy) { transferPolicy = policy; }
    // The keys that may sign the list; empty: lists are not signed.
    void setPublicKey(const QByteArray &key) { publicKey = key; }
    // How the updater renews its own files; before the first check. By default its own
    // (SelfUpdate::ownSettings()).
    void setSelfUpdateSettings(const SelfUpdate::Settings &settings)
    {
        selfUpdateSettings = settings;
    }

    // One for the session's whole life, made at the first check or run, so that the list and
    // the files share connections and TLS sessions. Null before that.
    QNetworkAccessManager *network() const { return manager; }

    // Starts the check for updates; false, and nothing happens, while a check or run is under
    // way.
    bool checkForUpdates();
    bool isChecking() const { return listFetcher; }
    // The entries of the last list read.
    QMap<QString, UpdateEntry> offered() const { return entries; }

    // Starts the run over the ticked entries into installDirectory, resolving relative links
    // against where the list came from; false while a check or run is under way.
    bool startRun(const QMap<QString, UpdateEntry> &ticked, const QString &installDirectory);
    bool isRunning() const { return downloadRun; }
    // Null when no run is under way.
    const RunProgress *runProgress() const;
    // Cuts the run short: the file in hand is dropped and its target stays as it was; the files
    // before it stay installed. No runEnded() follows.
    void stopRun();

    Ending ending() const { return lastEnding; }
    // What the last end says under its fixed text: why the list failed, or one line per file
    // that failed ("NAME: REASON"), each name passed through fitName when one is given.
    QString failureReason(const std::function<QString(const QString &)> &fitName = {}) const;

Q_SIGNALS:
    // A check or a run has ended; ending() says how.
    void listChecked(UpdateSession::Ending ending);
    void runEnded(UpdateSession::Ending ending);
    // A transfer of the check or the run is on its way.
    void transferStarted(FileTransfer *transfer);
    // The run's own news, as DownloadRun gives it.
    void fileStarted(const QString &name, const QString &fileName);
    void preparing(const QString &fileName);
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void runProgressChanged();
    void fileFinished(const QString &name, FileTransfer::Outcome outcome);
    // The updater's renewal of its own files has ended.
    void selfUpdateFinished(SelfUpdate::Result result);

private:
    void ensureNetwork();
    void listFinished(UpdateListFetcher::Result result);
    void runFinished(DownloadRun::Result result);
    void startSelfUpdate();
    void selfUpdateEnded(SelfUpdate::Result result);
    // The user's check or run has the network alone.
    void yieldToUser();
    // Keeps what the end says, and tells the window.
    void end(Ending ending, const ListFailure &list, const QList<FileFailure> &files);

    QString serverBase;
    QByteArray publicKey;
    TransferPolicy transferPolicy;
    QNetworkAccessManager *manager = nullptr;
    UpdateListFetcher *listFetcher = nullptr;
    DownloadRun *downloadRun = nullptr;
    SelfUpdate *selfUpdate = nullptr;
    bool selfUpdateBegun = false;
    std::optional<SelfUpdate::Settings> selfUpdateSettings;
    QMap<QString, UpdateEntry> entries;
    // Where the list came from, for the run's relative links.
    QList<QUrl> listUrls;
    Ending lastEnding = Ending::NoList;
    ListFailure listFailure;
    QList<FileFailure> fileFailures;
};
