#include "dialog/updatedialog.h"

#include "targetpath.h"
#include "updatelist/updatelistformat.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// The integrity elements of a list line, when present, must hold for the received bytes.
// A malformed element fails the entry: it must never quietly turn the check off.
bool integrityHolds(const UpdateEntry &entry, qint64 received, QCryptographicHash *hash)
{
    if (entry.size) {
        const std::optional<qint64> expected = parseSizeText(*entry.size);
        if (!expected || *expected != received)
            return false;
    }
    if (entry.sha256) {
        if (!hash || !isValidSha256Text(*entry.sha256))
            return false;
        if (hash->result().toHex() != entry.sha256->toLatin1().toLower())
            return false;
    }
    return true;
}

} // namespace

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

    bool opened = false;
    if (isSafeFileName(fileName)) {
        targetFile = new QSaveFile(targetPath(QDir::currentPath(), fileName));
        opened = targetFile->open(QIODevice::WriteOnly);
    }
    if (!opened) {
        releaseTarget();
        stopOnUnwritableTarget();
        return;
    }

    targetEntry = entry;
    if (entry->sha256)
        targetHash = new QCryptographicHash(QCryptographicHash::Sha256);
    progressBar->setRange(0, 0);
    progressBar->show();

    progressClock.invalidate();
    reply = startTransfer(url);
    connect(reply, &QNetworkReply::finished, this, &UpdateDialog::downloadFinished);
    connect(reply, &QNetworkReply::readyRead, this, &UpdateDialog::downloadReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &UpdateDialog::downloadProgress);
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
    if (reply) {
        const bool complete = transferSucceeded() && targetEntry
                && integrityHolds(*targetEntry, bytesWritten, targetHash);
        reply->deleteLater();
        reply = nullptr;
        if (!complete) {
            hadErrors = true;
        } else if (!targetFile->commit()) {
            // The bytes arrived but cannot take the installed file's place (a directory in the
            // way, a read-only target): the same stop as a target that cannot be opened.
            releaseTarget();
            stopOnUnwritableTarget();
            return;
        }
    }
    releaseTarget();
    startNextDownload();
}
