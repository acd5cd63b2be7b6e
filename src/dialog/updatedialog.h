#pragma once

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QMap>
#include <QString>
#include <QStringList>

#include "app/installedversion.h"
#include "updatelist/updateentry.h"

class QCheckBox;
class QCryptographicHash;
class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;
class QSaveFile;
class QScrollArea;
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
    static constexpr int defaultTransferTimeoutMs = 30000;
    void setTransferTimeout(int milliseconds) { transferTimeoutMs = milliseconds; }
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

    QNetworkReply *startTransfer(const QUrl &url);
    bool startFileFetch(const QString &fileName, const QUrl &url);
    bool transferSucceeded() const;
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
    QSaveFile *targetFile = nullptr;
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
    // State of the transfer in flight: whether every write reached the file, how many bytes
    // arrived, and the running digest when the entry names one.
    bool writeFailed = false;
    qint64 bytesWritten = 0;
    QCryptographicHash *targetHash = nullptr;
    const UpdateEntry *targetEntry = nullptr;
};
