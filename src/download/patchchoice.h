#pragma once

#include "updatelist/patchoffer.h"
#include "updatelist/updateentry.h"

#include <QByteArray>

#include <optional>

// Patches are worth a look only when the line says exactly what the new file is: its SHA-256
// and its size, both well-formed. Without the checksum a decoded file could not be told from
// the right one; without the size nothing but the frame itself would bound what a patch of a
// few KiB may write (make-list always gives both).
bool mayUsePatches(const UpdateEntry &entry);

// The patch made for the installed file whose SHA-256 (lower-case hex) is given, if the line
// offers one that is smaller than the whole file; a patch that is not smaller only costs time.
std::optional<PatchOffer> choosePatch(const UpdateEntry &entry, const QByteArray &installedSha256);

// The patch to decode against the installed file without hashing that first: the line's only
// offer, if smaller than the whole file. Decoding reads the installed file anyway and the new
// file's checksum decides, so a hash beforehand would only read it twice; a file that is not
// the patch's base costs the patch's few bytes before the whole file. Among several offers only
// the hash can tell which one is made for the file.
std::optional<PatchOffer> soleOffer(const UpdateEntry &entry);
