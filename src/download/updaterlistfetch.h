#pragma once

#include "files/job.h"
#include "transfer/filetransfer.h"
#include "transfer/transferpolicy.h"
#include "updatelist/updaterlist.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QTimer;

// Declared outside UpdaterListFetch, which keeps it as its result (UpdaterListFetch::Result).
namespace UpdaterListRead {
Q_NAMESPACE

enum class Result {
    Stopped,
    // A list that checkUpdaterList() accepts: release(), files() and answeredUrl() are its.
    Accepted,
    // No list, none in time, or one that fails a rule; failure() says why, for the log.
    Unchanged,
};
Q_ENUM_NS(Result)

} // namespace UpdaterListRead

// The updater's own list and its .sig, fetched into its folder from the address that
// aktualizacje.txt came from, with the lists' caps and deadline, read and removed at once, and
// checked; a pair that does not verify (or has expired) is fetched once more past caches.
// Paused, the transfer in hand stops with its bytes dropped and its deadline held, to begin
// again once resumed. Ends in exactly one finished(); destroying it earlier stops it and leaves
// neither file.
class UpdaterListFetch : public JobOf<UpdaterListRead::Result, QString>
{
    Q_OBJECT

public:
    using Result = UpdaterListRead::Result;

    // listUrl: aktualizacje.txt at the address it came from.
    UpdaterListFetch(const QUrl &listUrl, const QByteArray &publicKey, const TransferPolicy &policy,
        const QString &folder, quint32 runningRelease, QObject *parent = nullptr);
    ~UpdaterListFetch() override;

    void start(QNetworkAccessManager *network);
    void setPaused(bool pause);

    quint32 release() const { return acceptedRelease; }
    QList<UpdaterFile> files() const { return acceptedFiles; }
    // Where the list came from after any redirects: the base of its relative links.
    QUrl answeredUrl() const { return listAnsweredUrl; }

Q_SIGNALS:
    void finished(UpdaterListFetch::Result result);

protected:
    void doStart() override;
    void doKill() override;
    void announceResult() override;

private:
    // Fetches the file in turn unless paused or already under way.
    void proceed();
    void transferFinished(FileTransfer::Outcome outcome);
    void check(const QByteArray &signature);

    QUrl listUrl;
    QByteArray publicKey;
    TransferPolicy policy;
    QString folder;
    quint32 runningRelease = 0;
    QPointer<QNetworkAccessManager> network;
    bool begun = false;
    bool paused = false;
    bool refetched = false;
    // The list has arrived, and its .sig is the file in turn.
    bool signatureInTurn = false;
    FileTransfer *current = nullptr;
    QTimer *deadline = nullptr;
    QByteArray listBytes;
    QUrl listAnsweredUrl;
    quint32 acceptedRelease = 0;
    QList<UpdaterFile> acceptedFiles;
};
