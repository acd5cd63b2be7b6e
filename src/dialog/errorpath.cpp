#include "updatedialog.h"

#include <QLabel>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

void UpdateDialog::abortUpdate()
{
    const QString errorText = tr("Wystąpił błąd. Aktualizacja nie zostanie zakończona");
    if (stage == 0) {
        for (QLabel *label : std::as_const(installedLabels)) {
            listLayout->removeWidget(label);
            delete label;
        }
        installedLabels.clear();
        progressLabel = new QLabel(errorText);
        listLayout->addWidget(progressLabel);
    } else {
        progressLabel->setText(errorText);
        if (progressBar)
            progressBar->hide();
        delete currentEntry;
        currentEntry = nullptr;
    }
    if (network) {
        network->deleteLater();
        network = nullptr;
    }
    checkButton->setDisabled(true);
    nextButton->setDisabled(true);
}
