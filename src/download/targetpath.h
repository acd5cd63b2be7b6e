#pragma once

#include "updatelist/filenamerules.h"

#include <QString>

class QUrl;

// The local file name of a component: the last segment of the link's path, decoded after the
// path has been split, so that an encoded "/" or "\" stays in the name.
QString linkFileName(const QUrl &url);

// "<installDirectory>/<relative target>".
QString targetPath(const QString &installDirectory, const QString &fileName);

// The updater runs with the rights of whoever started WELOR, which may reach further than those
// of other programs that can write to the install directory, so it must never write through a
// link that one of them planted: false when the target or "plugins/" is a symbolic link (or, on
// Windows, any reparse point), or when the target's directory resolves to anything but the
// install directory or its "plugins/". A hard link is fine: the new file replaces it, nothing
// is written through it.
bool isPlainTarget(const QString &installDirectory, const QString &fileName);
