#include "updatedialog.h"

#include "listareabatch.h"
#include "versionline.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
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
        reasonLabel = new QLabel;
        listLayout->addWidget(reasonLabel);
    } else {
        progressLabel->setText(errorText);
        if (progressBar)
            progressBar->hide();
        delete currentEntry;
        currentEntry = nullptr;
    }
    showReason(failureReason());
    holdKeys();
    checkButton->setDisabled(true);
    nextButton->setDisabled(true);
    offerButton(closeButton);
}

void UpdateDialog::showReason(const QString &reason)
{
    if (!reasonLabel)
        return;
    // The cause comes partly from the server (a file name): text, never markup.
    reasonLabel->setTextFormat(Qt::PlainText);
    reasonLabel->setWordWrap(true);
    reasonLabel->setAlignment(progressLabel ? progressLabel->alignment() : Qt::AlignLeft);
    QFont smaller = progressLabel ? progressLabel->font() : font();
    smaller.setPointSizeF(smaller.pointSizeF() * 0.85);
    reasonLabel->setFont(smaller);
    reasonLabel->setText(reason);
    reasonLabel->setVisible(!reason.isEmpty());
}

QString UpdateDialog::failureReason()
{
    return session->failureReason([this](const QString &name) { return fittedName(name); });
}

int UpdateDialog::listLineWidth()
{
    // A window not shown yet has no geometry of its own; its layout gives the one it will have.
    if (!isVisible())
        layout()->activate();
    // Room for a vertical scroll bar is kept: a long list may still bring one.
    const QMargins margins = listLayout->contentsMargins();
    return qMax(scrollArea->maximumViewportSize().width() - margins.left() - margins.right()
            - scrollArea->verticalScrollBar()->sizeHint().width(),
        40);
}

QString UpdateDialog::fittedName(const QString &name)
{
    return progressLabel->fontMetrics().elidedText(name, Qt::ElideMiddle, listLineWidth());
}
