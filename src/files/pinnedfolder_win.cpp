#include "pinnedfolder.h"

#include "leftoverfile.h"
#include "windowsfileinfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

PinnedFolder::~PinnedFolder() = default;

bool PinnedFolder::pin(const QString &path)
{
    folderPath = path;
    folderIdentity = identityAt(path, true);
    return !folderIdentity.isEmpty();
}

bool PinnedFolder::isPinned() const
{
    return !folderIdentity.isEmpty();
}

bool PinnedFolder::unchanged() const
{
    return !folderIdentity.isEmpty() && identityAt(folderPath, true) == folderIdentity;
}

void PinnedFolder::removeEntries(const std::function<bool(const QString &)> &matches) const
{
    if (folderIdentity.isEmpty())
        return;
    const QDir dir(folderPath);
    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &entry : entries) {
        if (matches(entry))
            QFile::remove(dir.filePath(entry));
    }
}

PinnedFolder::Create PinnedFolder::createNew(
    const QString &name, const QString &likeName, QFile &file) const
{
    Q_UNUSED(likeName)
    if (folderIdentity.isEmpty())
        return Create::Failed;
    file.setFileName(filePath(name));
    if (file.open(QIODevice::ReadWrite | QIODevice::NewOnly))
        return Create::Done;
    return QFileInfo::exists(filePath(name)) ? Create::Exists : Create::Failed;
}

bool PinnedFolder::remove(const QString &name) const
{
    const QString path = filePath(name);
    if (QFile::remove(path) || !QFileInfo::exists(path))
        return true;
    // A program that holds the file without sharing keeps it from being removed; it goes once
    // that program lets go.
    removeWhenReleased(path);
    return false;
}
