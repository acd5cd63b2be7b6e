#pragma once

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

#include "app/installedversion.h"
#include "download/filetransfer.h"
#include "updatelist/updateentry.h"

class QCheckBox;
class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QTimer;
class StagedFile;
class QUrl;
class QVBoxLayout;

// The updater's only window. It owns every record of both component maps and walks the
// user through the installed list, the update list, the selection and the download run.
class UpdateDialog : public QDialog
{
    Q_OBJECT

public:
    explicit UpdateDialog(QWidget *parent = nullptr);
    // Tests point the dialog at their own server; the program uses the built-in address.
    UpdateDialog(QWidget *parent, const QString &serverBase);
    ~UpdateDialog() override;

    void parseArguments(const QStringList &arguments);

    // A transfer that receives nothing for this long fails instead of waiting forever.
    static constexpr int defaultTransferTimeoutMs = FileTransfer::defaultNoDataTimeoutMs;
    void setTransferTimeout(int milliseconds) { transferTimeoutMs = milliseconds; }
    // Tests shorten the limits that FileTransfer applies to every transfer.
    void setMinimumTransferRate(qint64 bytesPerSecond, int windowMs);
    void setInUseWait(int milliseconds) { inUseWaitMs = milliseconds; }
    void setTransferRetries(int count, int firstDelayMs);
    void setFileInUseCheck(std::function<bool(const QString &)> check)
    {
        inUseCheck = std::move(check);
    }
    // No real list comes near these sizes; more bytes than that are an attack or a fault.
    static constexpr qint64 maxListBytes = 32 * 1024 * 1024;
    static constexpr qint64 maxSignatureBytes = 4096;
    // The list has no size to check it by, so the list and its signature together get this
    // long; a server that keeps sending just above the minimum rate would hold the window
    // forever otherwise.
    static constexpr int defaultListDeadlineMs = 120000;
    void setListDeadline(int milliseconds) { listDeadlineMs = milliseconds; }
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
    void startNextDownload();
    void finishUpdate();
    void stopOnUnwritableTarget();

    bool startTransfer(FileTransfer *next);
    bool startFileFetch(const QString &fileName, const QUrl &url);
    void releaseTarget();
    void parseUpdateListFile(const QString &fileName);

    QMap<QString, InstalledVersion *> installedVersions;
    QMap<QString, UpdateEntry *> updateList;
    QMapIterator<QString, UpdateEntry *> *currentEntry = nullptr;
    QLabel *captionLabel = nullptr;
    QLabel *progressLabel = nullptr;
    QMap<QString, QLabel *> installedLabels;
    QMap<QString, QCheckBox *> selectionBoxes;
    QWidget *listWidget = nullptr;
    QScrollArea *scrollArea = nullptr;
    QVBoxLayout *listLayout = nullptr;
    QPushButton *closeButton = nullptr;
    QPushButton *nextButton = nullptr;
    QPushButton *checkButton = nullptr;
    // The file and the reply of `transfer`, which owns both; null when no transfer is running.
    StagedFile *targetFile = nullptr;
    QNetworkAccessManager *network = nullptr;
    QNetworkReply *reply = nullptr;
    bool detachedMode = false;
    bool hadErrors = false;
    int stage = 0;

    QString serverBase;
    QByteArray publicKey;
    int transferTimeoutMs = defaultTransferTimeoutMs;
    QProgressBar *progressBar = nullptr;
    static constexpr int progressIntervalMs = 100;
    QElapsedTimer progressClock;
    // The transfer in flight (a child of the dialog), and in a signed build the list that has
    // arrived but waits, still in its temporary file, for its signature.
    FileTransfer *transfer = nullptr;
    FileTransfer *pendingList = nullptr;
    QTimer *listDeadline = nullptr;
    int listDeadlineMs = defaultListDeadlineMs;
    qint64 minimumRateBytesPerSecond = FileTransfer::defaultMinimumBytesPerSecond;
    int rateWindowMs = FileTransfer::defaultRateWindowMs;
    int inUseWaitMs = FileTransfer::defaultInUseWaitMs;
    std::function<bool(const QString &)> inUseCheck;
    int transferRetries = FileTransfer::defaultRetries;
    int firstRetryDelayMs = FileTransfer::defaultFirstRetryDelayMs;
};
