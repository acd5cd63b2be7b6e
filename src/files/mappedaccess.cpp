#include "mappedaccess.h"

// Q_OS_WIN comes from here: without it the Windows build took the POSIX branch.
#include <QtGlobal>

#ifndef Q_OS_WIN
#include <csetjmp>
#include <csignal>
#include <mutex>
#endif

#ifdef Q_OS_WIN

bool accessMappedFiles(const std::function<void()> &work)
{
    work();
    return true;
}

#else

namespace {

// Where SIGBUS jumps to while a map is accessed on this thread; null otherwise.
thread_local sigjmp_buf *landing = nullptr;
struct sigaction previousAction;

void onBusError(int signal, siginfo_t *info, void *context)
{
    if (sigjmp_buf *target = landing) {
        landing = nullptr;
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

void installHandler()
{
    struct sigaction action
    {
    };
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previousAction);
}

} // namespace

bool accessMappedFiles(const std::function<void()> &work)
{
    static std::once_flag installed;
    std::call_once(installed, installHandler);
    sigjmp_buf jump;
    sigjmp_buf *const outer = landing;
    // The signal mask is saved with the jump, so SIGBUS is unblocked again after a landing.
    if (sigsetjmp(jump, 1) != 0) {
        landing = outer;
        return false;
    }
    landing = &jump;
    work();
    landing = outer;
    return true;
}

#endif
