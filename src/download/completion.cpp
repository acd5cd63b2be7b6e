#include "dialog/updatedialog.h"

#include <QFileInfo>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QPushButton>

void UpdateDialog::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (!targetFile || !transfer)
        return;
    // Progress arrives for every few kilobytes; repainting the window that often costs more
    // than the transfer itself. A few updates a second look the same to the user.
    if (bytesReceived != bytesTotal && progressClock.isValid()
        && progressClock.elapsed() < progressIntervalMs)
        return;
    progressClock.start();
    const QString fileName = QFileInfo(transfer->targetPath()).fileName();
    progressLabel->setText(tr("Trwa pobieranie pliku: %1 (%2 / %3)")
                                   .arg(fileName, QString::number(bytesReceived),
                                        QString::number(bytesTotal)));
    if (progressBar) {
        if (bytesTotal > 0) {
            progressBar->setRange(0, 1000);
            progressBar->setValue(int(qBound(qint64(0), bytesReceived * 1000 / bytesTotal, qint64(1000))));
        } else {
            progressBar->setRange(0, 0);
        }
    }
}

void UpdateDialog::finishUpdate()
{
    disconnect(nextButton, &QPushButton::clicked, this, &UpdateDialog::download);
    if (network) {
        network->deleteLater();
        network = nullptr;
    }
    if (progressBar)
        progressBar->hide();
    if (hadErrors) {
        progressLabel->setText(tr("Wystąpiły problemy podczas aktualizowania plików.\n\n"
                                  "Niektóre komponenty mogły zostać niezaktualizowane."));
    } else {
        progressLabel->setText(tr("Aktualizacja zakończona pomyślnie"));
    }
}
