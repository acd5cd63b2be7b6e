#pragma once

#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

// What a renewal of the updater's own files is doing in the updater's folder, on the disk from
// before its first rename until the last former file is gone. While it says Swapping, the old
// files are all still there, each under its own name or its set-aside name, so a start after a
// kill can put every one back; once it says Done, every new file has its name and only the
// set-aside former files remain to be removed. It is replaced whole, never edited, so a power
// cut leaves the one before or the one after.
class SwapJournal
{
public:
    enum class State { Swapping, Done };

    struct Entry
    {
        // Relative to the folder, "/" between folders: "platforms/qwindows.dll".
        QString path;
        // Beside the file: the new bytes until they take its name, and after an undo.
        QString stagingName;
        // Beside the file: the former file while it steps aside; empty when there was none.
        QString setAsideName;
    };

    State state = State::Swapping;
    QList<Entry> entries;

    // The journal's name in the updater's folder; no list line may take it.
    static QString fileName();
    static bool isPresent(const QString &folder);
    // nullopt when there is none, or when it cannot be read. A journal that is not one this
    // updater writes (damaged, or put there by another program) counts as malformed: nothing in
    // it may lead the updater to rename a file other than its own names beside the named ones.
    enum class Read { Absent, Unreadable, Malformed, Read };
    static Read read(const QString &folder, SwapJournal *journal);
    // Waits until the journal is on the disk.
    bool write(const QString &folder) const;
    static bool remove(const QString &folder);

    // The entry's names, relative to the folder.
    static QString folderOf(const QString &path);
    static QString namePath(const Entry &entry, const QString &name);
};

// Whether `path` (relative, "/" between folders) is one the journal may name: every segment a
// plain name, none of them "." or "..".
bool isPlainRelativePath(QStringView path);
