#include "updatedialog.h"

#include "listareabatch.h"
#include "versionlines.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

void UpdateDialog::showUpdateList()
{
    captionLabel->setText(tr("Lista elementów do aktualizacji:"));

    const ListAreaBatch batch(listWidget);
    for (auto it = updateList.cbegin(); it != updateList.cend(); ++it) {
        const QString &name = it.key();
        UpdateEntry *entry = it.value();
        if (const InstalledVersion *installed = installedVersions.value(name)) {
            QString line;
            if (installed->version < entry->version) {
                line = VersionLines::older(name, entry->version);
            } else {
                line = VersionLines::current(name, installed->version);
                entry->selected = false;
            }
            installedLabels.value(name)->setText(line);
        } else {
            // The format first: each text set lays out a whole text document.
            auto *label = new QLabel;
            label->setTextFormat(Qt::RichText);
            label->setText(VersionLines::added(name, entry->version));
            installedLabels.insert(name, label);
            listLayout->addWidget(label);
        }
    }
}

void UpdateDialog::showSelection()
{
    disconnect(nextButton, &QPushButton::clicked, this, &UpdateDialog::nextClicked);
    connect(nextButton, &QPushButton::clicked, this, &UpdateDialog::download);
    checkButton->hide();
    captionLabel->setText(tr("Wybór elementów do aktualizacji:"));

    const ListAreaBatch batch(listWidget);
    ListAreaBatch::deleteWidgets(listLayout, {installedLabels.cbegin(), installedLabels.cend()});
    installedLabels.clear();

    for (auto it = updateList.cbegin(); it != updateList.cend(); ++it) {
        // Doubled ampersands keep a name like "R&D" from turning into a keyboard accelerator.
        auto *box = new QCheckBox(QString(it.key()).replace(QLatin1Char('&'), QStringLiteral("&&")));
        box->setChecked(it.value()->selected);
        delete selectionBoxes.value(it.key());
        selectionBoxes.insert(it.key(), box);
        listLayout->addWidget(box);
    }
    // Enter on a check box goes on as well: the default button takes the key.
    offerButton(nextButton);
}
