#pragma once

#include "transfer/transferpolicy.h"
#include "updatelist/updateentry.h"
#include "version/installedversion.h"

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>

class DownloadRun;
class FileTransfer;
class QCheckBox;
class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class UpdateListFetcher;
class VerifiedFile;
class VersionLine;

// The updater's only window. It owns every record of both component maps and walks the user
// through the installed list, the update list, the selection and the download run; the list
// check (UpdateListFetcher) and the run (DownloadRun) do the work, the slots wire them to the
// widgets.
class UpdateDialog : public QDialog
{
    Q_OBJECT

public:
    explicit UpdateDialog(QWidget *parent = nullptr);
    // Tests point the dialog at their own server; the program uses the built-in address.
    UpdateDialog(QWidget *parent, const QString &serverBase);
    ~UpdateDialog() override;

    void parseArguments(const QStringList &arguments);

    // Every way of closing comes here (Escape, "Zamknij", the close button, Alt+F4). During the
    // download run it asks first: WELOR is closed by then, and a run cut short may leave some
    // components on the new release and others on the old. Not declared a slot again, so that
    // the window's own slots keep their places in its meta-object.
    void reject() override;

    // Tests shorten the limits that every transfer keeps.
    void setTransferPolicy(const TransferPolicy &policy) { transferPolicy = policy; }
    // Tests sign their own lists; the program uses the built-in key.
    void setUpdatePublicKey(const QByteArray &key) { publicKey = key; }

private Q_SLOTS:
    void checkClicked();
    void nextClicked();
    void download();
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void downloadFinished();
    void downloadReadyRead();
    void updateListDownloaded();

private:
    void showUpdateList();
    void showSelection();
    void abortUpdate();
    // The run has moved on to its next file.
    void startNextDownload(const QString &name, const QString &fileName);
    void finishUpdate();
    void stopOnUnwritableTarget();
    // Enter does what the button offered does: it is the default and has the focus.
    void offerButton(QPushButton *button);
    // While work runs, Enter and Space do nothing: no default, the focus off every button. Comes
    // before a focused button is disabled, which would hand the focus on to "Zamknij".
    void holdKeys();
    // The second, smaller line under a fixed text that says why; hidden when empty.
    void showReason(const QString &reason);
    // A name from the server, shortened in the middle so that the list area never has to scroll
    // sideways to show it.
    QString fittedName(const QString &name);
    // The width a line of the list area may take without a sideways scroll bar.
    int listLineWidth();
    void showRunProgress();

    // Follows the transfer in flight in targetFile and reply, across its retries.
    void watchTransfer(FileTransfer *transfer);

    QMap<QString, InstalledVersion *> installedVersions;
    QMap<QString, UpdateEntry *> updateList;
    // The run's position in updateList, moved on by each fileStarted(). The run walks its own
    // copy of the entries, so nothing is decided by this cursor.
    QMapIterator<QString, UpdateEntry *> *currentEntry = nullptr;
    QLabel *captionLabel = nullptr;
    QLabel *progressLabel = nullptr;
    // Under progressLabel once something failed: the cause, or one line per failed file.
    QLabel *reasonLabel = nullptr;
    // What the next abortUpdate() shows under its fixed text.
    QString failureReason;
    // Labels of their own kind: a version line paints its rich text without a text document.
    QMap<QString, VersionLine *> installedLabels;
    QMap<QString, QCheckBox *> selectionBoxes;
    QWidget *listWidget = nullptr;
    QScrollArea *scrollArea = nullptr;
    QVBoxLayout *listLayout = nullptr;
    QPushButton *closeButton = nullptr;
    QPushButton *nextButton = nullptr;
    QPushButton *checkButton = nullptr;
    // The file and the reply of the transfer in flight, which owns both; null when none is. The
    // transfer reads its reply and writes the file itself, since every byte must pass its
    // checks: the window only asks targetFile whether one is in flight, and reads no reply.
    VerifiedFile *targetFile = nullptr;
    // One for the window's whole life, made at the first check and handed to the list check and
    // the run, so that the list and the files share connections and TLS sessions.
    QNetworkAccessManager *network = nullptr;
    QNetworkReply *reply = nullptr;
    bool detachedMode = false;
    // From the run's result: DoneWithProblems.
    bool hadErrors = false;
    int stage = 0;

    QString serverBase;
    // Where the fetched list came from, for the run's relative links.
    QList<QUrl> listUrls;
    QByteArray publicKey;
    TransferPolicy transferPolicy;
    QProgressBar *progressBar = nullptr;
    static constexpr int progressIntervalMs = 100;
    QElapsedTimer progressClock;
    // The file the run has in hand, as the progress line names it: a patch is fetched under
    // another name.
    QString progressFileName;
    // Children of the dialog while they work; released with deferred deletion, since they end
    // inside their own signals.
    UpdateListFetcher *listFetcher = nullptr;
    DownloadRun *downloadRun = nullptr;
};
