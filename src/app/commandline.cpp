#include "dialog/listareabatch.h"
#include "dialog/updatedialog.h"
#include "dialog/versionline.h"
#include "version/componentarguments.h"
#include "version/version.h"

#include <QPushButton>
#include <QVBoxLayout>

void UpdateDialog::parseArguments(const QStringList &arguments)
{
    const ComponentArguments components = parseComponentArguments(arguments);
    for (auto it = components.versions.cbegin(); it != components.versions.cend(); ++it) {
        auto *installed = new InstalledVersion;
        installed->version = it.value();
        delete installedVersions.value(it.key());
        installedVersions.insert(it.key(), installed);

        auto *line = new VersionLine(VersionLines::Kind::Plain, it.key(), it.value());
        delete installedLabels.value(it.key());
        installedLabels.insert(it.key(), line);
    }
    detachedMode = components.detached;

    {
        // On a window already on screen, each label added would lay out the whole list again.
        const ListAreaBatch batch(listWidget);
        const int width = listLineWidth();
        for (VersionLine *line : std::as_const(installedLabels)) {
            listLayout->addWidget(line);
            line->fitTo(width);
        }
    }

    if (detachedMode)
        checkClicked();
}
