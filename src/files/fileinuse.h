#pragma once

#include <QString>

// True while another process holds the file open in a way that would make replacing it fail.
// Windows refuses to replace a file that a running program still has open or mapped (the
// main product's executable, a loaded plug-in); elsewhere a rename never waits for readers,
// so the answer there is always false. A missing file is never in use.
bool isFileInUse(const QString &path);
