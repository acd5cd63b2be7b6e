#include "fileidentity.h"

#include "pinnedfolder.h"
#include "windowsfileinfo.h"

#include <QFile>

#include <io.h>

FileIdentity::~FileIdentity() = default;

bool FileIdentity::take(const QFile &file)
{
    identity.clear();
    if (file.handle() >= 0)
        identity = identityOf(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())), false);
    return !identity.isEmpty();
}

bool FileIdentity::isValid() const
{
    return !identity.isEmpty();
}

bool FileIdentity::isAt(const PinnedFolder &folder, const QString &name) const
{
    return !identity.isEmpty() && identityAt(folder.filePath(name), false) == identity;
}

void FileIdentity::reset()
{
    identity.clear();
}

bool FileIdentity::isHandle(void *handle) const
{
    return !identity.isEmpty() && identityOf(static_cast<HANDLE>(handle), false) == identity;
}
