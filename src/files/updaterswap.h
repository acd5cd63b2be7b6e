#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Renews the updater's own files (its executable, the toolkit's DLLs, its plug-ins) in its
// folder as one step. Windows lets a running executable or a loaded DLL be renamed, not
// overwritten, so each former file steps aside under a set-aside name and its staged new file
// is renamed into its place. Every staged file is checked before the first rename; a failed
// rename, or a new updater that does not start, puts every file back, in reverse. The journal
// (SwapJournal) says which names belong together, so that the next start undoes a swap that a
// killed process left half done, or removes the former files of one that was completed: the
// folder never keeps a mix of old and new files.
class UpdaterSwap
{
public:
    struct File
    {
        // Relative to the folder, "/" between folders: "platforms/qwindows.dll".
        QString path;
        // The staged new bytes: a staging name made for the file, in its folder.
        QString stagingName;
        // What the new bytes must be: lower-case hex, and their count.
        QByteArray sha256;
        qint64 size = 0;
    };

    enum class Outcome {
        // Every file is the new one.
        Done,
        // A staged file is missing or not what it must be, or a name is not plain: nothing
        // was renamed.
        NotStaged,
        // Another updater is renewing these files, or an earlier renewal could not be cleared
        // up yet: nothing was renamed.
        Busy,
        // A rename failed: every file is back as it was (or, should putting one back fail too,
        // the next start puts it back).
        Failed,
        // The new updater did not start: every file is back as it was, as for Failed.
        SelfCheckFailed,
    };

    explicit UpdaterSwap(const QString &folder);

    // Run once every new file has its name; true when the new updater works.
    void setSelfCheck(std::function<bool()> check) { selfCheck = std::move(check); }
    // Called before each change the swap makes in the folder (a rename into the new state, the
    // commit, the removal of a former file); false makes that change fail. For tests.
    void setBeforeStep(std::function<bool()> hook) { beforeStep = std::move(hook); }

    // Renames in the order given, except that top-level executables come last: a process
    // killed in the middle leaves the former executable, which then starts to put the rest
    // back. No staging file of `files` is left afterwards, whatever the outcome.
    Outcome run(QList<File> files);

private:
    bool step() const { return !beforeStep || beforeStep(); }

    QString folder;
    std::function<bool()> selfCheck;
    std::function<bool()> beforeStep;
};

// Clears up after a renewal that an earlier process did not finish in `folder`: one still
// Swapping is undone, every file back to the old one; one Done loses its set-aside former files.
// Gives the names (relative to `folder`) that are still the swap's because that did not work
// out (a file held open, or another updater renewing right now): nothing else may touch them.
QStringList recoverUpdaterSwap(const QString &folder);

// The names the renewal keeps in the updater's folder: its journal and its lock.
bool isUpdaterSwapFileName(const QString &name);
