#include "updatedialog.h"

#include "download/downloadrun.h"
#include "download/filefailure.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
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

    QMap<QString, UpdateEntry> entries;
    for (auto it = updateList.cbegin(); it != updateList.cend(); ++it)
        entries.insert(entries.cend(), it.key(), *it.value());

    if (!network)
        network = new QNetworkAccessManager(this);
    currentEntry = new QMapIterator<QString, UpdateEntry *>(updateList);
    downloadRun = new DownloadRun(QDir::currentPath(), transferPolicy, this);
    connect(downloadRun, &DownloadRun::fileStarted, this, &UpdateDialog::startNextDownload);
    connect(downloadRun, &DownloadRun::transferStarted, this, [this](FileTransfer *next) {
        watchTransfer(next);
        showRunProgress();
        progressBar->show();
        progressClock.invalidate();
    });
    connect(downloadRun, &DownloadRun::preparing, this, [this] {
        progressLabel->setText(tr("Trwa przygotowywanie pliku: %1").arg(progressFileName));
        progressClock.invalidate();
    });
    connect(downloadRun, &DownloadRun::progress, this, &UpdateDialog::downloadProgress);
    connect(downloadRun, &DownloadRun::runProgressChanged, this, &UpdateDialog::showRunProgress);
    connect(downloadRun, &DownloadRun::fileFinished, this, &UpdateDialog::downloadFinished);
    connect(downloadRun, &DownloadRun::finished, this, [this](DownloadRun::Result result) {
        QStringList lines;
        const QList<FileFailure> failures = downloadRun->failures();
        for (const FileFailure &failure : failures)
            lines.append(fileFailureText({fittedName(failure.fileName), failure.failure}));
        failureReason = lines.join(QLatin1Char('\n'));
        releaseChild(downloadRun, this);
        targetFile = nullptr;
        reply = nullptr;
        hadErrors = result == DownloadRun::Result::DoneWithProblems;
        if (result == DownloadRun::Result::Stopped) {
            stopOnUnwritableTarget();
            return;
        }
        finishUpdate();
        delete currentEntry;
        currentEntry = nullptr;
    });
    downloadRun->setListUrls(listUrls);
    downloadRun->start(entries, network);
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
    reply = nullptr;
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
    if (!progressBar || !downloadRun)
        return;
    const RunProgress &run = downloadRun->runProgress();
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
        showReason(failureReason);
    } else {
        progressLabel->setText(tr("Aktualizacja zakończona pomyślnie"));
    }
    offerButton(closeButton);
}
