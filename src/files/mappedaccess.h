#pragma once

#include <QtGlobal>

#include <functional>
#include <initializer_list>

// Bytes of a file mapped into memory.
struct MappedRange
{
    const void *start = nullptr;
    qint64 size = 0;
};

// Runs `work`, which reads or writes files through the maps given, and tells whether it ran to
// the end. Another program may truncate a mapped file under us (the installed file, or a staging
// file in a folder that others can write to), and a file on a network share or a removable disk
// may go away; the next access to such a page then raises SIGBUS (EXCEPTION_IN_PAGE_ERROR on
// Windows), which would end the updater and leave its staging files behind. Here such a fault,
// raised by the system on this thread inside one of `maps` while `work` runs, stops `work`
// instead, and false comes back: the caller then drops whatever `work` was doing with those
// maps. Any other such signal goes where it went before. `work` must hold no lock and allocate
// nothing that it would leak when stopped between two instructions.
bool accessMappedFiles(std::initializer_list<MappedRange> maps, const std::function<void()> &work);
