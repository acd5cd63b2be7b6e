#pragma once

#include "patchoffer.h"

#include <QList>
#include <QString>

#include <optional>

// One offered component of the update list.
struct UpdateEntry
{
    quint32 version = 0;
    QString link;
    bool selected = true;
    // Optional integrity data from the list line; the raw texts are kept so that a
    // malformed value fails the download instead of silently skipping the check.
    std::optional<QString> sha256;
    std::optional<QString> size;
    // Well-formed patch elements only; a malformed one is as if it were not there.
    QList<PatchOffer> patches;
};
