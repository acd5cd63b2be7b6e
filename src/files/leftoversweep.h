#pragma once

#include <QString>

// What the start-up sweep found in one folder.
struct SweepResult
{
    int removed = 0;
    // Set-aside former files put back under their own name, which nothing had taken.
    int restored = 0;
    // Entries under the updater's names that could not be dealt with.
    int kept = 0;
};

// Clears what an earlier run of the updater left in `folder` (not below it): every staging file,
// whatever it was for, and every set-aside former file. A set-aside file whose own name is free
// is the only copy of that file, so it is put back under that name instead: a file the user will
// see is never removed. Files and folders under any other name are left alone. First, a renewal
// of the updater's own files that a killed process left in `folder` is undone, or completed
// (recoverUpdaterSwap()), in its subfolders too; the names it cannot settle yet stay as they are.
SweepResult sweepLeftovers(const QString &folder);
