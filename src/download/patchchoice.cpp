#include "patchchoice.h"

bool mayUsePatches(const UpdateEntry &entry)
{
    const FileIntegrity &integrity = entry.integrity;
    return !entry.patches.isEmpty() && !integrity.malformed && !integrity.sha256.isEmpty()
        && integrity.size.has_value();
}

std::optional<PatchOffer> choosePatch(const UpdateEntry &entry, const QByteArray &installedSha256)
{
    if (!mayUsePatches(entry) || installedSha256.isEmpty())
        return std::nullopt;
    for (const PatchOffer &offer : entry.patches) {
        if (offer.from != installedSha256)
            continue;
        if (offer.size >= *entry.integrity.size)
            continue;
        return offer;
    }
    return std::nullopt;
}

std::optional<PatchOffer> soleOffer(const UpdateEntry &entry)
{
    if (!mayUsePatches(entry) || entry.patches.size() != 1
        || entry.patches.constFirst().size >= *entry.integrity.size)
        return std::nullopt;
    return entry.patches.constFirst();
}
