#pragma once

#include <QString>

class QUrl;

// The local file name of a component: the last segment of the link's path, decoded after the
// path has been split, so that an encoded "/" or "\" stays in the name.
QString linkFileName(const QUrl &url);

// The server chooses the name, so it must not be able to climb out of the install directory
// or name something other than a plain file: no empty name, no "." or "..", no separators or
// drive colons, no control or bidirectional-format characters, nothing Windows cannot store
// or would read as a device (on every platform, since the lists are made for Windows), and not
// the form of the updater's own staging files.
bool isSafeFileName(const QString &fileName);

// The main product's executable lands in the install directory itself, everything else in
// "plugins/". Only the file name decides, never the component name.
QString relativeTargetPath(const QString &fileName);

// "<installDirectory>/<relative target>".
QString targetPath(const QString &installDirectory, const QString &fileName);

// The updater runs with the rights of whoever started WELOR, which may reach further than those
// of other programs that can write to the install directory, so it must never write through a
// link that one of them planted: false when the target or "plugins/" is a symbolic link (or, on
// Windows, any reparse point), or when the target's directory resolves to anything but the
// install directory or its "plugins/". A hard link is fine: the new file replaces it, nothing
// is written through it.
bool isPlainTarget(const QString &installDirectory, const QString &fileName);
