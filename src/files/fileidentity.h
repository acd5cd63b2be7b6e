#pragma once

#include <QByteArray>

class PinnedFolder;
class QFile;
class QString;

// What an open file is, apart from any name it has: compared with what a name leads to just
// before and just after a rename, so that only the file written here can take the target's name.
// On Windows that is the volume and file index (NTFS puts a sequence number into the index, so
// the index of a deleted file does not come back for another); elsewhere a descriptor of its
// own keeps the file's inode from being freed, and so its number from going to another file.
class FileIdentity
{
public:
    FileIdentity() = default;
    ~FileIdentity();
    FileIdentity(const FileIdentity &) = delete;
    FileIdentity &operator=(const FileIdentity &) = delete;

    // Takes the identity of the open `file`; false when the system would not tell.
    bool take(const QFile &file);
    bool isValid() const;
    // Whether the entry `name` of `folder` is this very file, and no link to it.
    bool isAt(const PinnedFolder &folder, const QString &name) const;
    void reset();
#ifdef Q_OS_WIN
    // Whether the open `handle` (a HANDLE) is this very file.
    bool isHandle(void *handle) const;
#endif

private:
#ifdef Q_OS_WIN
    QByteArray identity;
#else
    int fd = -1;
#endif
};
