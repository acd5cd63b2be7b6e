#include "mappedaccess.h"

#include <mutex>

#include <windows.h>

namespace {

// The access in progress on this thread: where a fault of its maps jumps to, and the maps. The
// jump is the compiler's own, which restores the frame and nothing else: the work between holds
// nothing to unwind.
struct Guard
{
    void **landing = nullptr;
    const MappedRange *begin = nullptr;
    const MappedRange *end = nullptr;
};

thread_local Guard guard;

bool isInside(const Guard &access, ULONG_PTR address)
{
    for (const MappedRange *map = access.begin; map != access.end; ++map) {
        const auto start = reinterpret_cast<ULONG_PTR>(map->start);
        if (start && address >= start && address < start + ULONG_PTR(map->size))
            return true;
    }
    return false;
}

// A page of a mapped file that could not be read (the share or the disk went away) raises
// EXCEPTION_IN_PAGE_ERROR; its second parameter is the address.
LONG CALLBACK onPageError(EXCEPTION_POINTERS *exception)
{
    const EXCEPTION_RECORD *record = exception->ExceptionRecord;
    if (record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR && guard.landing
        && record->NumberParameters >= 2 && isInside(guard, record->ExceptionInformation[1])) {
        void **target = guard.landing;
        guard.landing = nullptr;
        __builtin_longjmp(target, 1);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

bool accessMappedFiles(std::initializer_list<MappedRange> maps, const std::function<void()> &work)
{
    static std::once_flag installed;
    std::call_once(installed, [] { AddVectoredExceptionHandler(1, onPageError); });
    void *jump[5] = {};
    const Guard outer = guard;
    if (__builtin_setjmp(jump) != 0) {
        guard = outer;
        return false;
    }
    guard = Guard {jump, maps.begin(), maps.end()};
    work();
    guard = outer;
    return true;
}
