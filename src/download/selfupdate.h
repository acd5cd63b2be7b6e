#pragma once

#include "files/job.h"
#include "files/updaterswap.h"
#include "transfer/filetransfer.h"
#include "transfer/transferpolicy.h"
#include "updatelist/updaterlist.h"
#include "updaterlistfetch.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class FileHasher;
class PatchUpdate;
class QNetworkAccessManager;

// Declared outside SelfUpdate, which keeps it as its result (SelfUpdate::Result).
namespace SelfRenewal {
Q_NAMESPACE

enum class Result {
    // Stopped before the swap: nothing was renamed, and no staged file is left.
    Stopped,
    // Nothing to renew: no list of the updater's own, one that fails a rule, no later release,
    // or files that are the release's already.
    Unchanged,
    // Every new file is in place, and the new updater starts.
    Renewed,
    // A file could not be fetched, or the swap or the new updater failed: the former files stay.
    Failed,
};
Q_ENUM_NS(Result)

} // namespace SelfRenewal

// The updater renewing its own files, after a check has read aktualizacje.txt from the server:
// aktualizator.txt and its .sig come from the same address, with the list's caps and its second
// look past caches, and only a list that checkUpdaterList() accepts goes on. Each of its files
// whose SHA-256 differs from the one here is fetched, one at a time, under a staging name beside
// it: by the patch its line offers for the file here, if any, else (or when the patch fails)
// whole. Once all are staged and checked, UpdaterSwap puts them in place as one step beside
// the event loop, and the new updater's self-check decides whether they stay. Nothing is shown:
// the user only ever meets the new updater at its next start, and the reasons go to the
// aktualizator.self log. Paused, it gives way to the user's own transfers. Ends in exactly one
// finished(). Destroyed before the swap has begun, it renames nothing and leaves no staged file;
// after that, its destruction waits for the swap (and the self-check) to end.
class SelfUpdate : public JobOf<SelfRenewal::Result, QString>
{
    Q_OBJECT

public:
    using Result = SelfRenewal::Result;

    struct Settings
    {
        // The updater's own folder; empty: it has none to renew.
        QString folder;
        quint32 runningRelease = 0;
        // Runs beside the event loop once every new file has its name: true when the new
        // updater works. Empty: the executable of this program's name in the folder is started
        // with --self-check.
        std::function<bool()> selfCheck;
    };

    // listUrl: aktualizacje.txt at the address it came from.
    SelfUpdate(const QUrl &listUrl, const QByteArray &publicKey, const TransferPolicy &policy,
        const Settings &settings, QObject *parent = nullptr);
    ~SelfUpdate() override;

    // This updater's: its folder when that is the working directory, where WELOR starts it, and
    // its build's release time.
    static Settings ownSettings();

    void start(QNetworkAccessManager *network);
    // Paused, the transfer in hand stops with its bytes dropped, to begin again once resumed,
    // and nothing new begins; a swap under way goes on, since it must not be left half done.
    void setPaused(bool pause);

Q_SIGNALS:
    void finished(SelfUpdate::Result result);

protected:
    void doStart() override;
    void doKill() override;
    void announceResult() override;

private:
    enum class Step { List, Hashing, Fetching, Swapping };

    // Takes the step in turn unless paused or already under way.
    void proceed();
    void fetchList();
    void listFetched(UpdaterListFetch::Result result);
    void hashNext();
    void fetchNext();
    void fileFinished(FileTransfer::Outcome outcome);
    void swap();
    void swapFinished();
    void end(Result result, const QString &reason);

    QUrl listUrl;
    QByteArray publicKey;
    TransferPolicy policy;
    Settings settings;
    QPointer<QNetworkAccessManager> network;
    Step step = Step::List;
    bool begun = false;
    bool paused = false;
    bool swapBegun = false;
    UpdaterListFetch *listFetch = nullptr;
    FileTransfer *current = nullptr;
    FileHasher *hasher = nullptr;
    PatchUpdate *patch = nullptr;
    // Where the updater's list came from after any redirects: the base of its relative links.
    QUrl answeredUrl;
    quint32 release = 0;
    QList<UpdaterFile> files;
    qsizetype hashIndex = 0;
    QList<UpdaterFile> changed;
    // Of each changed file as it is here: the base of a patch.
    QList<QByteArray> installedSha256;
    qsizetype fetchIndex = 0;
    // The file in hand: where it is staged, whether its patch was given up, and its bytes on
    // the way (the patch's, or the whole file's).
    QString stagingPath;
    bool wholeFile = false;
    qint64 bytesInHand = 0;
    qint64 bytesFetched = 0;
    QList<UpdaterSwap::File> staged;
    // The staged files, ours to remove until the swap takes them.
    QStringList stagedPaths;
    QFutureWatcher<UpdaterSwap::Outcome> swapWatcher;
};
