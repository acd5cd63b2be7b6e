#pragma once

#include "updatelist/patchoffer.h"
#include "updatelist/updateentry.h"

#include <QByteArray>

#include <optional>

// Patches are worth a look only when the line says exactly what the new file is: its SHA-256
// (and its size, if it gives one, well-formed). Without that, a decoded file could not be told
// from the right one.
bool mayUsePatches(const UpdateEntry &entry);

// The patch made for the installed file whose SHA-256 (lower-case hex) is given, if the line
// offers one that is smaller than the whole file; a patch that is not smaller only costs time.
std::optional<PatchOffer> choosePatch(const UpdateEntry &entry, const QByteArray &installedSha256);
