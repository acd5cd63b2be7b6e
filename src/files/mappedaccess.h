#pragma once

#include <functional>

// Runs `work`, which reads or writes files through their maps, and tells whether it ran to the
// end. Another program may truncate a mapped file under us (the installed file, or a staging
// file in a folder that others can write to); on Linux the next access to a page past the new
// end then raises SIGBUS, which would end the updater and leave its staging files behind. Here
// that signal, raised on this thread while `work` runs, stops `work` instead, and false comes
// back: the caller then drops whatever `work` was doing with those maps. `work` must hold no
// lock and allocate nothing that it would leak when stopped between two instructions.
//
// Windows refuses to truncate a file that has a mapped view, so there `work` simply runs.
bool accessMappedFiles(const std::function<void()> &work);
