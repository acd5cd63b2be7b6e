#include "updatedialog.h"

#include "listareabatch.h"
#include "versionline.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

void UpdateDialog::abortUpdate()
{
    const QString errorText = tr("Wystąpił błąd. Aktualizacja nie zostanie zakończona");
    if (stage == 0) {
        const ListAreaBatch batch(listWidget);
        ListAreaBatch::deleteWidgets(
            listLayout, {installedLabels.cbegin(), installedLabels.cend()});
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
    holdKeys();
    checkButton->setDisabled(true);
    nextButton->setDisabled(true);
    offerButton(closeButton);
}
