#include "mappedaccess.h"

#include "filelog.h"

#include <csetjmp>
#include <csignal>
#include <mutex>

namespace {

// The access in progress on this thread: where a fault of its maps jumps to, and the maps.
struct Guard
{
    sigjmp_buf *landing = nullptr;
    const MappedRange *begin = nullptr;
    const MappedRange *end = nullptr;
};

thread_local Guard guard;
struct sigaction previousAction;
std::mutex installing;
bool everInstalled = false;

bool isInside(const Guard &access, const void *address)
{
    const auto *byte = static_cast<const char *>(address);
    for (const MappedRange *map = access.begin; map != access.end; ++map) {
        const auto *start = static_cast<const char *>(map->start);
        if (start && byte >= start && byte < start + map->size)
            return true;
    }
    return false;
}

void onBusError(int signal, siginfo_t *info, void *context)
{
    // Only a fault the kernel raised (si_code > 0; a kill() or raise() has none) at a page of
    // the maps of the access in progress.
    if (guard.landing && info && info->si_code > 0 && isInside(guard, info->si_addr)) {
        sigjmp_buf *target = guard.landing;
        guard.landing = nullptr;
        siglongjmp(*target, 1);
    }
    // Not ours: whatever was there before decides, as if this handler had never been set.
    if (previousAction.sa_flags & SA_SIGINFO) {
        previousAction.sa_sigaction(signal, info, context);
        return;
    }
    if (previousAction.sa_handler == SIG_IGN)
        return;
    if (previousAction.sa_handler != SIG_DFL) {
        previousAction.sa_handler(signal);
        return;
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

bool isOurs(const struct sigaction &action)
{
    return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == onBusError;
}

// Looked at before every access: a library that sets its own handler later would otherwise
// turn the guard off without a word. Its handler then takes what is not ours.
void ensureHandler()
{
    struct sigaction current
    {
    };
    if (sigaction(SIGBUS, nullptr, &current) == 0 && isOurs(current))
        return;
    const std::lock_guard<std::mutex> lock(installing);
    if (sigaction(SIGBUS, nullptr, &current) == 0 && isOurs(current))
        return;
    if (everInstalled)
        qCWarning(lcFiles) << "another handler had taken SIGBUS from the guard of mapped files;"
                              " the guard is back, and passes that handler what is not its own";
    struct sigaction action
    {
    };
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previousAction);
    everInstalled = true;
}

} // namespace

bool accessMappedFiles(std::initializer_list<MappedRange> maps, const std::function<void()> &work)
{
    ensureHandler();
    sigjmp_buf jump;
    const Guard outer = guard;
    // The signal mask is saved with the jump, so SIGBUS is unblocked again after a landing.
    if (sigsetjmp(jump, 1) != 0) {
        guard = outer;
        return false;
    }
    guard = Guard {&jump, maps.begin(), maps.end()};
    work();
    guard = outer;
    return true;
}
