#pragma once

#include <QString>

// The server chooses the name, so it must not be able to climb out of the install directory
// or name something other than a plain file: no empty name, no "." or "..", no separators or
// drive colons, no control or bidirectional-format characters, nothing Windows cannot store
// or would read as a device (on every platform, since the lists are made for Windows), and not
// the form of the updater's own staging files.
bool isSafeFileName(const QString &fileName);

// The main product's executable lands in the install directory itself, everything else in
// "plugins/". Only the file name decides, never the component name.
QString relativeTargetPath(const QString &fileName);
