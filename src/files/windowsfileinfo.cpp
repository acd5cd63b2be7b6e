#include "windowsfileinfo.h"

#include "fileinuse.h"

#include <QDir>

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

QByteArray identityOf(HANDLE handle, bool folder)
{
    BY_HANDLE_FILE_INFORMATION info {};
    if (!GetFileInformationByHandle(handle, &info)
        || bool(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != folder
        || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {};
    return QByteArray::number(quint64(info.dwVolumeSerialNumber)) + ':'
        + QByteArray::number((quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}

QByteArray identityAt(const QString &path, bool folder)
{
    HANDLE handle = CreateFileW(nativePath(path).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    const QByteArray identity = identityOf(handle, folder);
    CloseHandle(handle);
    return identity;
}

bool isReparsePoint(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(nativePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool isHeldError(DWORD error, const QString &targetPath, const QString &stagingPath)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
        || (error == ERROR_ACCESS_DENIED && (isFileInUse(targetPath) || isFileInUse(stagingPath)));
}
