#include "updatedialog.h"

#include "listareabatch.h"
#include "versionline.h"

#include <QCheckBox>
#include <QPushButton>
#include <QVBoxLayout>

void UpdateDialog::showUpdateList()
{
    captionLabel->setText(tr("Lista elementów do aktualizacji:"));

    const ListAreaBatch batch(listWidget);
    const int width = listLineWidth();
    for (auto it = updateList.cbegin(); it != updateList.cend(); ++it) {
        const QString &name = it.key();
        UpdateEntry *entry = it.value();
        if (const InstalledVersion *installed = installedVersions.value(name)) {
            VersionLine *line = installedLabels.value(name);
            if (installed->version < entry->version) {
                line->setLine(VersionLines::Kind::Older, entry->version);
            } else {
                line->setLine(VersionLines::Kind::Current, installed->version);
                entry->selected = false;
            }
            line->fitTo(width);
        } else {
            auto *line = new VersionLine(VersionLines::Kind::Added, name, entry->version);
            installedLabels.insert(name, line);
            listLayout->addWidget(line);
            line->fitTo(width);
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

    const int width = listLineWidth();
    for (auto it = updateList.cbegin(); it != updateList.cend(); ++it) {
        // Doubled ampersands keep a name like "R&D" from turning into a keyboard accelerator.
        const auto boxText = [](const QString &name) {
            return QString(name).replace(QLatin1Char('&'), QStringLiteral("&&"));
        };
        auto *box = new QCheckBox(boxText(it.key()));
        box->setChecked(it.value()->selected);
        const int overflow = box->sizeHint().width() - width;
        if (overflow > 0) {
            // Shortened in the middle to fit; the whole name stays in reach as a tool tip.
            const QFontMetrics metrics(box->font());
            const int textWidth = metrics.horizontalAdvance(it.key()) - overflow;
            box->setText(boxText(metrics.elidedText(it.key(), Qt::ElideMiddle, textWidth)));
            box->setToolTip(it.key());
        }
        delete selectionBoxes.value(it.key());
        selectionBoxes.insert(it.key(), box);
        listLayout->addWidget(box);
    }
    // Enter on a check box goes on as well: the default button takes the key.
    offerButton(nextButton);
}
