#pragma once

#include "patchoffer.h"
#include "transfer/fileintegrity.h"

#include <QList>
#include <QString>

// One offered component of the update list.
struct UpdateEntry
{
    quint32 version = 0;
    QString link;
    bool selected = true;
    // What the line says the file must be, read once with the line. A malformed value is kept
    // as such, so that it fails the download instead of silently skipping the check.
    FileIntegrity integrity;
    // Well-formed patch elements only; a malformed one is as if it were not there.
    QList<PatchOffer> patches;
};
