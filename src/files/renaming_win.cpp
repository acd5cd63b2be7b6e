#include "renaming.h"

#include "windowsfileinfo.h"

#include <QString>

bool renameWithoutReplacing(const QString &from, const QString &to)
{
    // Without MOVEFILE_REPLACE_EXISTING an existing name is refused, and without
    // MOVEFILE_COPY_ALLOWED nothing is copied; write-through returns once the rename is logged.
    return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), MOVEFILE_WRITE_THROUGH);
}

bool flushFolderToDisk(const QString &folder)
{
    // NTFS logs every rename made with write-through before the call returns.
    Q_UNUSED(folder)
    return true;
}
