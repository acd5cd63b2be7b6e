#include "dialog/updatedialog.h"

#include "filetransfer.h"
#include "targetpath.h"
#include "updatelist/updatelistformat.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

void UpdateDialog::download()
{
    captionLabel->setText(QStringLiteral("Postęp aktualizacji:"));
    stage = 1;
    nextButton->setDisabled(true);

    const QMap<QString, QCheckBox *> boxes = selectionBoxes;
    for (auto it = boxes.cbegin(); it != boxes.cend(); ++it) {
        if (UpdateEntry *entry = updateList.value(it.key()))
            entry->selected = it.value()->isChecked();
        // Deleting takes the box out of the layout, which finds it at its head: the boxes
        // stand in this order. Removing it first made each delete search the whole list.
        delete it.value();
    }
    selectionBoxes.clear();

    progressLabel = new QLabel;
    // File names come from the server; show them as text, never as markup.
    progressLabel->setTextFormat(Qt::PlainText);
    // Centred inside a full-width label: an aligned layout item would only get the narrow
    // width a word-wrapping label asks for.
    progressLabel->setWordWrap(true);
    progressLabel->setAlignment(Qt::AlignCenter);
    listLayout->addWidget(progressLabel);
    progressBar = new QProgressBar;
    progressBar->setTextVisible(false);
    progressBar->hide();
    listLayout->addWidget(progressBar);

    network = new QNetworkAccessManager(this);
    currentEntry = new QMapIterator<QString, UpdateEntry *>(updateList);
    startNextDownload();
}

void UpdateDialog::startNextDownload()
{
    // Unticked entries are skipped in a loop rather than through the finished handler, so a
    // long list cannot deepen the stack.
    const UpdateEntry *entry = nullptr;
    while (!entry && currentEntry->hasNext()) {
        currentEntry->next();
        if (currentEntry->value()->selected)
            entry = currentEntry->value();
    }
    if (!entry) {
        finishUpdate();
        delete currentEntry;
        currentEntry = nullptr;
        return;
    }

    const QUrl url(entry->link);
    const QString fileName = linkFileName(url);
    progressLabel->setText(tr("Trwa pobieranie pliku: %1").arg(fileName));

    // Another scheme, a name that could lead elsewhere, or a target reached through a link is
    // refused before anything is requested or written.
    const QString installDirectory = QDir::currentPath();
    bool started = false;
    if (FileTransfer::isSupportedScheme(url) && isSafeFileName(fileName)
        && isPlainTarget(installDirectory, fileName)) {
        auto *next = new FileTransfer(url, targetPath(installDirectory, fileName), this);
        next->setIntegrity(entry->size, entry->sha256);
        next->setRequireKnownLength(true);
        started = startTransfer(next);
    }
    if (!started) {
        stopOnUnwritableTarget();
        return;
    }
    connect(transfer, &FileTransfer::finished, this, &UpdateDialog::downloadFinished);
    connect(transfer, &FileTransfer::progress, this, &UpdateDialog::downloadProgress);

    progressBar->setRange(0, 0);
    progressBar->show();
    progressClock.invalidate();
}

void UpdateDialog::stopOnUnwritableTarget()
{
    QMessageBox::information(this, QStringLiteral("Aktualizator"),
                             tr("Nie można zapisać plików, aktualizacja zakończona błędem."),
                             QMessageBox::Ok);
    abortUpdate();
}

void UpdateDialog::downloadFinished()
{
    const FileTransfer::Outcome outcome
        = transfer ? transfer->outcome() : FileTransfer::Outcome::Failed;
    releaseTarget();
    if (outcome == FileTransfer::Outcome::Unwritable) {
        // The bytes arrived but cannot take the installed file's place (a directory in the
        // way, a read-only target, a file still in use): the same stop as a target that cannot
        // be opened.
        stopOnUnwritableTarget();
        return;
    }
    if (outcome != FileTransfer::Outcome::Installed)
        hadErrors = true;
    startNextDownload();
}
