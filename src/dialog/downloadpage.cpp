#include "updatedialog.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

void UpdateDialog::download()
{
    captionLabel->setText(QStringLiteral("Postęp aktualizacji:"));
    stage = 1;
    holdKeys();
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
    showRunPage();

    QMap<QString, UpdateEntry> entries;
    for (auto it = updateList.cbegin(); it != updateList.cend(); ++it)
        entries.insert(entries.cend(), it.key(), *it.value());
    currentEntry = new QMapIterator<QString, UpdateEntry *>(updateList);
    session->startRun(entries, QDir::currentPath());
    network = session->network();
}

void UpdateDialog::showRunPage()
{
    progressLabel = new QLabel;
    // File names come from the server; show them as text, never as markup.
    progressLabel->setTextFormat(Qt::PlainText);
    // Centred inside a full-width label: an aligned layout item would only get the narrow
    // width a word-wrapping label asks for.
    progressLabel->setWordWrap(true);
    progressLabel->setAlignment(Qt::AlignCenter);
    listLayout->addWidget(progressLabel);
    reasonLabel = new QLabel;
    reasonLabel->hide();
    listLayout->addWidget(reasonLabel);
    progressBar = new QProgressBar;
    // The bar covers the whole run; its text says which file of how many is in hand.
    progressBar->setTextVisible(true);
    progressBar->setAlignment(Qt::AlignCenter);
    // Some styles (Windows') ask for a bar wider than the list area; it takes the width there is.
    progressBar->setSizePolicy(QSizePolicy::Ignored, progressBar->sizePolicy().verticalPolicy());
    progressBar->hide();
    listLayout->addWidget(progressBar);
}

void UpdateDialog::runEnded(UpdateSession::Ending ending)
{
    targetFile = nullptr;
    hadErrors = ending == UpdateSession::Ending::UpdatedWithProblems;
    if (ending == UpdateSession::Ending::RunStopped) {
        // The close question is still open: its answer comes first.
        if (closeQuestionOpen)
            stopHeld = true;
        else
            stopOnUnwritableTarget();
        return;
    }
    finishUpdate();
    delete currentEntry;
    currentEntry = nullptr;
}

void UpdateDialog::startNextDownload(const QString &name, const QString &fileName)
{
    // Follow the run in currentEntry and on the status line.
    while (currentEntry->hasNext() && currentEntry->peekNext().key() != name)
        currentEntry->next();
    if (currentEntry->hasNext())
        currentEntry->next();
    progressFileName = fittedName(fileName);
    progressLabel->setText(tr("Trwa pobieranie pliku: %1").arg(progressFileName));
}

void UpdateDialog::stopOnUnwritableTarget()
{
    QMessageBox::information(this, QStringLiteral("Aktualizator"),
        tr("Nie można zapisać plików, aktualizacja zakończona błędem."), QMessageBox::Ok);
    abortUpdate();
}

void UpdateDialog::downloadFinished()
{
    // The run decides whether a file failed, and says so in its result.
    targetFile = nullptr;
}

void UpdateDialog::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (!targetFile)
        return;
    // Progress arrives for every few kilobytes; repainting the window that often costs more
    // than the transfer itself. A few updates a second look the same to the user.
    if (bytesReceived != bytesTotal && progressClock.isValid()
        && progressClock.elapsed() < progressIntervalMs)
        return;
    progressClock.start();
    progressLabel->setText(
        tr("Trwa pobieranie pliku: %1 (%2 / %3)")
            .arg(progressFileName, QString::number(bytesReceived), QString::number(bytesTotal)));
}

void UpdateDialog::showRunProgress()
{
    const RunProgress *progress = session->runProgress();
    if (!progressBar || !progress)
        return;
    const RunProgress &run = *progress;
    const QString text = tr("plik %1 z %2").arg(run.fileNumber()).arg(run.fileCount());
    if (progressBar->format() != text)
        progressBar->setFormat(text);
    const qint64 total = run.totalBytes();
    if (total <= 0) {
        // No file's size is known yet: the bar can only say that something is going on.
        progressBar->setRange(0, 0);
        return;
    }
    progressBar->setRange(0, 1000);
    progressBar->setValue(int(qBound(qint64(0), run.doneBytes() * 1000 / total, qint64(1000))));
}

void UpdateDialog::finishUpdate()
{
    disconnect(nextButton, &QPushButton::clicked, this, &UpdateDialog::download);
    if (progressBar)
        progressBar->hide();
    if (hadErrors) {
        progressLabel->setText(tr("Wystąpiły problemy podczas aktualizowania plików.\n\n"
                                  "Niektóre komponenty mogły zostać niezaktualizowane."));
        showReason(failureReason());
    } else {
        progressLabel->setText(tr("Aktualizacja zakończona pomyślnie"));
    }
    offerButton(closeButton);
}
