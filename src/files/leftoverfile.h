#pragma once

#include <QString>

// Removes a file that another program holds open without sharing, so it cannot go yet (on
// Windows a virus scanner does that to a new executable for a moment): tried again every half
// second while the program runs, for at most ten minutes. A leftover past that, or past the end
// of the program, goes when the next update of the same file opens its staging file.
void removeWhenReleased(const QString &path);
