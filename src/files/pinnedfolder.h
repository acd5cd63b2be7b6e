#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QFile;

// The folder of a file being replaced, held by what it is rather than by its path. The updater
// runs with the rights of whoever started WELOR, in a folder that other programs may write to as
// well; every step goes through the folder pinned here (on POSIX through its descriptor), and
// unchanged() tells whether its path still leads to it, with no link on the way.
class PinnedFolder
{
public:
    PinnedFolder() = default;
    ~PinnedFolder();
    PinnedFolder(const PinnedFolder &) = delete;
    PinnedFolder &operator=(const PinnedFolder &) = delete;

    // False when `path` is no folder, or a link to one.
    bool pin(const QString &path);
    bool isPinned() const;
    QString path() const { return folderPath; }
    QString filePath(const QString &name) const { return folderPath + QLatin1Char('/') + name; }
    // The path still leads to the pinned folder, and to no link.
    bool unchanged() const;

    // Removes every entry that is no folder and whose name `matches` says; never follows a link.
    void removeEntries(const std::function<bool(const QString &)> &matches) const;
    // Creates `name`, which must not exist yet, and opens it in `file` for reading and writing,
    // with the access rights of `likeName` where that is a regular file.
    enum class Create { Done, Exists, Failed };
    Create createNew(const QString &name, const QString &likeName, QFile &file) const;
    // Removes the entry `name`; a link goes, never what it leads to.
    bool remove(const QString &name) const;

#ifdef Q_OS_WIN
    QByteArray identity() const
    {
        return folderIdentity;
    }
#else
    int descriptor() const
    {
        return fd;
    }
#endif

private:
    QString folderPath;
#ifdef Q_OS_WIN
    QByteArray folderIdentity;
#else
    int fd = -1;
#endif
};
