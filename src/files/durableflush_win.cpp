#include "durableflush.h"

#include "background.h"
#include "iopool.h"

#include <QFile>

#include <io.h>
#include <windows.h>

namespace {

HANDLE handleOf(const QFile &file)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
}

} // namespace

bool flushToDisk(const QFile &file)
{
    return file.handle() >= 0 && FlushFileBuffers(handleOf(file));
}

QFuture<bool> flushToDiskInBackground(const QFile &file)
{
    HANDLE own = nullptr;
    if (file.handle() < 0
        || !DuplicateHandle(GetCurrentProcess(), handleOf(file), GetCurrentProcess(), &own, 0,
            FALSE, DUPLICATE_SAME_ACCESS))
        return QtFuture::makeReadyFuture(false);
    return runInBackground<bool>(ioThreadPool(), [own] {
        const bool ok = FlushFileBuffers(own);
        CloseHandle(own);
        return ok;
    });
}
