#include "patchchoice.h"

#include "updatelist/updatelistformat.h"

bool mayUsePatches(const UpdateEntry &entry)
{
    if (entry.patches.isEmpty())
        return false;
    const FileIntegrity integrity = fileIntegrity(entry);
    return !integrity.malformed && !integrity.sha256.isEmpty() && integrity.size.has_value();
}

std::optional<PatchOffer> choosePatch(const UpdateEntry &entry, const QByteArray &installedSha256)
{
    if (!mayUsePatches(entry) || installedSha256.isEmpty())
        return std::nullopt;
    const FileIntegrity integrity = fileIntegrity(entry);
    for (const PatchOffer &offer : entry.patches) {
        if (offer.from != installedSha256)
            continue;
        if (offer.size >= *integrity.size)
            continue;
        return offer;
    }
    return std::nullopt;
}
