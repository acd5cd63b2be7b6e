#include "filemap.h"

#include <QFile>

#include <io.h>
#include <windows.h>

namespace {

uchar emptyMap[1] = {0};

} // namespace

uchar *mapWritable(QFile &file, qint64 size)
{
    // NTFS takes the clusters when the end of the file is set; the map writes into those.
    if (!file.resize(size))
        return nullptr;
    if (size == 0)
        return emptyMap;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    const HANDLE section = CreateFileMappingW(handle, nullptr, PAGE_READWRITE,
        DWORD(quint64(size) >> 32), DWORD(quint64(size) & 0xffffffffu), nullptr);
    if (!section)
        return nullptr;
    // The view keeps the section alive.
    auto *map = static_cast<uchar *>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, SIZE_T(size)));
    CloseHandle(section);
    return map;
}

bool unmapWritable(uchar *map, qint64 size)
{
    Q_UNUSED(size)
    if (map == emptyMap)
        return true;
    // The view's pages reach the file before the handle's flush looks at it.
    const bool flushed = FlushViewOfFile(map, 0);
    return UnmapViewOfFile(map) && flushed;
}

QFuture<bool> unmapWritableLater(uchar *map, qint64 size)
{
    return QtFuture::makeReadyFuture(unmapWritable(map, size));
}

const uchar *mapReadable(QFile &file, qint64 size)
{
    if (size <= 0)
        return nullptr;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    const HANDLE section = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!section)
        return nullptr;
    auto *map = static_cast<const uchar *>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0));
    CloseHandle(section);
    return map;
}

QFuture<void> unmapReadable(const uchar *map, qint64 size)
{
    Q_UNUSED(size)
    if (map)
        UnmapViewOfFile(map);
    return QtFuture::makeReadyFuture();
}
