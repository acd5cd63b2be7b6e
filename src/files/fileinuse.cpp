#include "fileinuse.h"

#include <QDir>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

bool isFileInUse(const QString &path)
{
#ifdef Q_OS_WIN
    // Asking for write and delete access with no sharing at all fails with a sharing violation
    // exactly while some other handle (or a mapped image) keeps the file busy. The handle is
    // closed at once; nothing is written.
    const QString native = QDir::toNativeSeparators(path);
    HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(native.utf16()), GENERIC_WRITE | DELETE,
        0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    }
    CloseHandle(handle);
    return false;
#else
    Q_UNUSED(path);
    return false;
#endif
}
