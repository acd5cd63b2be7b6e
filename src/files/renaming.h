#pragma once

class QString;

// Gives the file `from` the name `to` (both in one folder, or on one volume), only while nothing
// has that name: never over another file, and never by copying, which the toolkit's rename falls
// back to and which a running executable would turn into two files. A running executable or a
// loaded DLL can be renamed like any other file on Windows, though not overwritten or removed.
bool renameWithoutReplacing(const QString &from, const QString &to);

// The renames and new names in `folder` are on the disk when it returns true: a power cut
// afterwards cannot bring back the names from before them.
bool flushFolderToDisk(const QString &folder);
