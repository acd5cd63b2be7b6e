#pragma once

#include "download/updatesession.h"
#include "transfer/transferpolicy.h"
#include "updatelist/updateentry.h"
#include "version/installedversion.h"

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QMap>
#include <QString>
#include <QStringList>

class FileTransfer;
class QCheckBox;
class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class VerifiedFile;
class VersionLine;

// The updater's only window. It owns every record of both component maps and walks the user
// through the installed list, the update list, the selection and the download run. The work,
// and what each of its ends means, is the UpdateSession's; the window builds the pages, and its
// slots pass the buttons on to the session and show what it says.
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
    void setTransferPolicy(const TransferPolicy &policy) { session->setTransferPolicy(policy); }
    // Tests sign their own lists; the program uses the built-in key.
    void setUpdatePublicKey(const QByteArray &key) { session->setPublicKey(key); }

private Q_SLOTS:
    void checkClicked();
    void nextClicked();
    void download();
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void downloadFinished();
    // One of the window's seven slots, kept so that the others keep their places in the
    // meta-object; the transfer in flight reads its reply itself.
    void downloadReadyRead();
    void updateListDownloaded();

private:
    void showUpdateList();
    void showSelection();
    void abortUpdate();
    // The run has moved on to its next file.
    void startNextDownload(const QString &name, const QString &fileName);
    void finishUpdate();
    // The end the session gives the run.
    void runEnded(UpdateSession::Ending ending);
    void stopOnUnwritableTarget();
    // The run's page: the status line, the line for the reasons, and the bar.
    void showRunPage();
    // Enter does what the button offered does: it is the default and has the focus.
    void offerButton(QPushButton *button);
    // While work runs, Enter and Space do nothing: no default, the focus off every button. Comes
    // before a focused button is disabled, which would hand the focus on to "Zamknij".
    void holdKeys();
    // The second, smaller line under a fixed text that says why; hidden when empty.
    void showReason(const QString &reason);
    // What the session's last end says under its fixed text, names fitted to the list area.
    QString failureReason();
    // A name from the server, shortened in the middle so that the list area never has to scroll
    // sideways to show it.
    QString fittedName(const QString &name);
    // The width a line of the list area may take without a sideways scroll bar.
    int listLineWidth();
    void showRunProgress();

    // Follows the transfer in flight in targetFile.
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
    // Labels of their own kind: a version line paints its rich text without a text document.
    QMap<QString, VersionLine *> installedLabels;
    QMap<QString, QCheckBox *> selectionBoxes;
    QWidget *listWidget = nullptr;
    QScrollArea *scrollArea = nullptr;
    QVBoxLayout *listLayout = nullptr;
    QPushButton *closeButton = nullptr;
    QPushButton *nextButton = nullptr;
    QPushButton *checkButton = nullptr;
    // The file of the transfer in flight, which owns it; null when none is. The transfer reads
    // its reply and writes the file itself, since every byte must pass its checks: the window
    // only asks targetFile whether one is in flight.
    VerifiedFile *targetFile = nullptr;
    // The session's, made at the first check (see UpdateSession::network()).
    QNetworkAccessManager *network = nullptr;
    // Always null: the transfer in flight keeps its reply to itself.
    QNetworkReply *reply = nullptr;
    bool detachedMode = false;
    // From the session's end of the run: UpdatedWithProblems.
    bool hadErrors = false;
    int stage = 0;

    UpdateSession *session = nullptr;
    QProgressBar *progressBar = nullptr;
    static constexpr int progressIntervalMs = 100;
    QElapsedTimer progressClock;
    // The file the run has in hand, as the progress line names it: a patch is fetched under
    // another name.
    QString progressFileName;
    // One box at a time: a run that stops while the close question is open says so once the
    // question is answered, unless the answer closes the window.
    bool closeQuestionOpen = false;
    bool stopHeld = false;
};
