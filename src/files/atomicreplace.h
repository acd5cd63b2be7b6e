#pragma once

#include "replaceoutcome.h"

#include <QFuture>
#include <QString>

class FileIdentity;
class PinnedFolder;

struct Replacement
{
    ReplaceOutcome outcome = ReplaceOutcome::Failed;
    // The former file's removal, where it runs beside the event loop (a large one); finished
    // otherwise. True when the former file is gone.
    QFuture<bool> formerRemoval;
};

// Puts the file under `stagingName` in the place of `name`, both in `folder`, with one rename,
// only when `written` is what the staging name leads to, before and after. The target stays as
// it was unless the result is Done; the staging name is left for the caller to clear.
Replacement replaceAtomically(const PinnedFolder &folder, const QString &stagingName,
    const QString &name, const FileIdentity &written);
