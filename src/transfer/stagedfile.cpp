#include "stagedfile.h"

#include "fileinuse.h"
#include "leftoverfile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>

#include <system_error>
#include <thread>

#ifdef Q_OS_WIN
#include <cstring>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QLatin1String marker(".aktualizator-");
const QLatin1String suffix(".tmp");
constexpr int randomLength = 6;
constexpr int stagingExtraLength = 14 + randomLength + 4;

#ifdef Q_OS_WIN
// Windows compares names without case, so a left-over file may differ from the target in case.
constexpr Qt::CaseSensitivity nameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity nameCase = Qt::CaseSensitive;
#endif

bool hasStagingTail(QStringView fileName)
{
    if (fileName.size() <= stagingExtraLength)
        return false;
    const QStringView tail = fileName.right(stagingExtraLength);
    if (!tail.startsWith(marker, Qt::CaseInsensitive)
        || !tail.endsWith(suffix, Qt::CaseInsensitive))
        return false;
    for (const QChar c : tail.mid(marker.size(), randomLength)) {
        if (!(c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            && !(c >= QLatin1Char('0') && c <= QLatin1Char('9')))
            return false;
    }
    return true;
}

bool isStagingNameOf(QStringView fileName, QStringView targetName)
{
    return fileName.size() == targetName.size() + stagingExtraLength && hasStagingTail(fileName)
        && fileName.startsWith(targetName, nameCase);
}

QString randomStagingName(const QString &targetName)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString random;
    for (int i = 0; i < randomLength; ++i)
        random += QLatin1Char(alphabet[QRandomGenerator::global()->bounded(36)]);
    return targetName + marker + random + suffix;
}

#ifdef Q_OS_WIN
std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// Volume and file index behind a handle when it is a folder (or a file, as asked) and no
// reparse point; empty otherwise. NTFS puts a sequence number into the index, so the index of a
// deleted file does not come back for another.
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

// A program that has either file open refuses the rename for as long as it keeps it.
bool isHeldError(DWORD error, const QString &targetPath, const QString &stagingPath)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
        || (error == ERROR_ACCESS_DENIED && (isFileInUse(targetPath) || isFileInUse(stagingPath)));
}

bool isReparsePoint(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(nativePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
#endif

// The staging files that objects of this process have open. Only the others are left-overs:
// staging a file removes those of its side file too, which may be in use right now (a patch
// kept aside while the new file is decoded from it).
QSet<QString> &liveStagingPaths()
{
    static QSet<QString> paths;
    return paths;
}

bool isLeftOverOf(const QString &folder, const QString &entry, const QString &targetName)
{
    return (isStagingNameOf(entry, targetName)
               || isStagingNameOf(entry, StagedFile::sideFileName(targetName)))
        && !liveStagingPaths().contains(folder + QLatin1Char('/') + entry);
}

// The bytes behind a map must exist before the map is written: a shared map of a file whose
// blocks are not yet taken raises SIGBUS when the disk fills. A full disk shows here instead.
bool reserveSpace(QFile &file, qint64 size)
{
    if (!file.resize(size))
        return false;
#ifdef Q_OS_WIN
    // NTFS takes the clusters when the end of the file is set; the map writes into those.
    return true;
#else
    return size == 0 || posix_fallocate(file.handle(), 0, off_t(size)) == 0;
#endif
}

// A map of nothing: an empty file has no pages to map.
uchar emptyMap[1] = {0};

#ifndef Q_OS_WIN
// A former file of this size or more is removed beside the event loop.
constexpr off_t largeFormerFile = 32 * 1024 * 1024;
// The disk is given the bytes in pieces of this size while more arrive.
constexpr qint64 writeBackChunk = 8 * 1024 * 1024;
#endif

} // namespace

StagedFile::StagedFile(const QString &targetPath)
    : target(targetPath)
{ }

StagedFile::~StagedFile()
{
    unmap();
    if (!committed)
        discard();
#ifndef Q_OS_WIN
    releaseWrittenFile();
    if (folderFd >= 0)
        ::close(folderFd);
#endif
}

bool StagedFile::isStagingName(const QString &fileName)
{
    return hasStagingTail(fileName);
}

QString StagedFile::sideFileName(const QString &targetName)
{
    return targetName + QStringLiteral(".patch");
}

QString StagedFile::stagingPath() const
{
    return stagingName.isEmpty() ? QString() : folder + QLatin1Char('/') + stagingName;
}

bool StagedFile::open()
{
    const QFileInfo info(target);
    folder = info.absolutePath();
    name = info.fileName();
#ifdef Q_OS_WIN
    folderIdentity = identityAt(folder, true);
    if (folderIdentity.isEmpty())
        return false;
    const QDir dir(folder);
    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &entry : entries) {
        if (isLeftOverOf(folder, entry, name))
            QFile::remove(dir.filePath(entry));
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        stagingName = randomStagingName(name);
        file.setFileName(stagingPath());
        if (file.open(QIODevice::ReadWrite | QIODevice::NewOnly)) {
            liveStagingPaths().insert(stagingPath());
            return true;
        }
        if (!QFileInfo::exists(stagingPath()))
            break;
    }
    stagingName.clear();
    return false;
#else
    // Everything below goes through this descriptor, so the bytes stay in this folder even if
    // its path is made to lead elsewhere meanwhile.
    folderFd = ::open(
        QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folderFd < 0)
        return false;
    if (DIR *dir = fdopendir(::dup(folderFd))) {
        while (const dirent *entry = readdir(dir)) {
            struct stat st
            {
            };
            if (isLeftOverOf(folder, QFile::decodeName(entry->d_name), name)
                && fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
                && !S_ISDIR(st.st_mode))
                unlinkat(folderFd, entry->d_name, 0);
        }
        closedir(dir);
    }
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        stagingName = randomStagingName(name);
        fd = openat(folderFd, QFile::encodeName(stagingName).constData(),
            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        stagingName.clear();
        return false;
    }
    writtenFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    // The new file keeps the access rights of the one it replaces.
    struct stat existing
    {
    };
    if (fstatat(folderFd, QFile::encodeName(name).constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(existing.st_mode))
        fchmod(fd, existing.st_mode & 07777);
    liveStagingPaths().insert(stagingPath());
    if (writtenFd < 0 || !file.open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        discard();
        return false;
    }
    return true;
#endif
}

uchar *StagedFile::mapAtSize(qint64 size)
{
    if (failed || !file.isOpen() || map || !file.flush() || !reserveSpace(file, size)) {
        failed = true;
        return nullptr;
    }
    mapSize = size;
    if (size == 0) {
        map = emptyMap;
        return map;
    }
    // Mapped by hand: the toolkit's map compares with a size it may have read before the
    // resize, and warns.
#ifdef Q_OS_WIN
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    const HANDLE section = CreateFileMappingW(handle, nullptr, PAGE_READWRITE,
        DWORD(quint64(size) >> 32), DWORD(quint64(size) & 0xffffffffu), nullptr);
    if (section) {
        // The view keeps the section alive.
        map = static_cast<uchar *>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, SIZE_T(size)));
        CloseHandle(section);
    }
#else
    void *bytes = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, file.handle(), 0);
    map = bytes == MAP_FAILED ? nullptr : static_cast<uchar *>(bytes);
#endif
    failed = !map;
    return map;
}

void StagedFile::unmap()
{
    if (!map)
        return;
    if (map != emptyMap) {
#ifdef Q_OS_WIN
        // The view's pages reach the file before the handle's flush in seal() looks at it.
        failed = !FlushViewOfFile(map, 0) || failed;
        failed = !UnmapViewOfFile(map) || failed;
#else
        failed = munmap(map, size_t(mapSize)) != 0 || failed;
#endif
    }
    map = nullptr;
}

bool StagedFile::write(const QByteArray &data)
{
    if (failed || !file.isOpen())
        return false;
    failed = file.write(data) != data.size();
    if (!failed)
        writtenUpTo(file.pos());
    return !failed;
}

void StagedFile::writtenUpTo(qint64 end)
{
#ifdef Q_OS_WIN
    // The cache manager writes in the background on its own.
    Q_UNUSED(end)
#else
    // Without this the kernel keeps every byte in memory until the flush before the rename,
    // which then holds the window for as long as the disk needs for the whole file (a third
    // of a second per 300 MiB). Each piece is handed to the disk as soon as it is complete, and
    // the one before it is waited for, so at most two pieces wait at any time and that flush
    // finds little left to do.
    if (end - writeBackStart < writeBackChunk || !file.flush())
        return;
    const int fd = file.handle();
    while (end - writeBackStart >= writeBackChunk) {
        sync_file_range(fd, writeBackStart, writeBackChunk, SYNC_FILE_RANGE_WRITE);
        if (writeBackStart >= writeBackChunk)
            sync_file_range(fd, writeBackStart - writeBackChunk, writeBackChunk,
                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        writeBackStart += writeBackChunk;
    }
#endif
}

bool StagedFile::restart()
{
    writeBackStart = 0;
    failed = failed || !file.isOpen() || !file.seek(0) || !file.resize(0);
    return !failed;
}

bool StagedFile::flush()
{
    failed = failed || !file.isOpen() || !file.flush() || file.error() != QFileDevice::NoError;
    return !failed;
}

bool StagedFile::folderUnchanged() const
{
#ifdef Q_OS_WIN
    return identityAt(folder, true) == folderIdentity;
#else
    struct stat now
    {
    };
    struct stat pinned
    {
    };
    return lstat(QFile::encodeName(folder).constData(), &now) == 0 && S_ISDIR(now.st_mode)
        && fstat(folderFd, &pinned) == 0 && now.st_dev == pinned.st_dev
        && now.st_ino == pinned.st_ino;
#endif
}

bool StagedFile::seal()
{
    if (!file.isOpen())
        return !failed && !stagingName.isEmpty();
    // Windows renames no file that has a view.
    unmap();
    if (!flush())
        return false;
        // The bytes reach the disk before the name does, so a power cut leaves the old file or the
        // new one, never a name over missing bytes.
#ifdef Q_OS_WIN
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    bool ok = FlushFileBuffers(handle);
    fileIdentity = identityOf(handle, false);
    ok = ok && !fileIdentity.isEmpty();
#else
    bool ok = ::fsync(file.handle()) == 0 || errno == EINVAL || errno == ENOTSUP;
#endif
    file.close();
    failed = !ok || file.error() != QFileDevice::NoError;
    return !failed;
}

bool StagedFile::startSync()
{
    if (failed || !file.isOpen() || !flush())
        return false;
        // The thread has a handle of its own and nothing else of this object, so it may finish
        // after the object is gone; the file it flushes may be gone by then too, which is harmless.
#ifdef Q_OS_WIN
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(),
            reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())), GetCurrentProcess(), &own, 0,
            FALSE, DUPLICATE_SAME_ACCESS))
        return false;
#else
    const int own = fcntl(file.handle(), F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return false;
#endif
    auto state = std::make_shared<std::atomic<int>>(0);
    syncState = state;
    try {
        std::thread([own, state] {
#ifdef Q_OS_WIN
            const bool ok = FlushFileBuffers(own);
            CloseHandle(own);
#else
            const bool ok = ::fsync(own) == 0 || errno == EINVAL || errno == ENOTSUP;
            ::close(own);
#endif
            state->store(ok ? 1 : 2);
        }).detach();
    } catch (const std::system_error &) {
#ifdef Q_OS_WIN
        CloseHandle(own);
#else
        ::close(own);
#endif
        syncState.reset();
        return false;
    }
    return true;
}

std::optional<bool> StagedFile::syncResult() const
{
    const int state = syncState ? syncState->load() : 0;
    if (state == 0)
        return std::nullopt;
    return state == 1;
}

StagedFile::Replace StagedFile::replace()
{
    if (committed)
        return Replace::Failed;
    bool ok = seal() && folderUnchanged();
#ifdef Q_OS_WIN
    ok = ok && !isReparsePoint(target);
#endif
    const Replace result = ok ? renameIntoPlace() : Replace::Failed;
    if (result == Replace::Done) {
        liveStagingPaths().remove(stagingPath());
        committed = true;
#ifndef Q_OS_WIN
        releaseWrittenFile();
#endif
    } else if (result != Replace::Held) {
        discard();
    }
    return result;
}

#ifdef Q_OS_WIN
StagedFile::Replace StagedFile::renameIntoPlace()
{
    const QString targetPath = folder + QLatin1Char('/') + name;
    // The file was closed for others to read it, so it is opened by name again, and taken only
    // if it is the one written here. While this handle lasts, no other program can rename or
    // remove it, and the rename through it moves that file whatever its name says meanwhile.
    HANDLE handle = CreateFileW(nativePath(stagingPath()).c_str(),
        DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return Replace::Foreign;
        return isHeldError(error, targetPath, stagingPath()) ? Replace::Held : Replace::Failed;
    }
    if (identityOf(handle, false) != fileIdentity) {
        CloseHandle(handle);
        return Replace::Foreign;
    }
    const std::wstring to = nativePath(targetPath);
    // FILE_RENAME_INFO ends in one character of the name, which leaves room for the terminator.
    QByteArray buffer(qsizetype(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t)), '\0');
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = DWORD(to.size() * sizeof(wchar_t));
    memcpy(info->FileName, to.c_str(), (to.size() + 1) * sizeof(wchar_t));
    bool renamed = SetFileInformationByHandle(handle, FileRenameInfo, info, DWORD(buffer.size()));
    DWORD error = renamed ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    if (!renamed
        && (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER
            || error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED)) {
        // A file system that renames only by name: the check just before has to do.
        if (identityAt(stagingPath(), false) != fileIdentity)
            return Replace::Foreign;
        renamed = MoveFileExW(nativePath(stagingPath()).c_str(), to.c_str(),
            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        error = renamed ? ERROR_SUCCESS : GetLastError();
    }
    if (!renamed)
        return isHeldError(error, targetPath, stagingPath()) ? Replace::Held : Replace::Failed;
    // Only a rename by name can have moved another file in; Windows cannot swap the former file
    // back, but the run must not report the foreign bytes as installed.
    return identityAt(targetPath, false) == fileIdentity ? Replace::Done : Replace::Foreign;
}
#else
bool StagedFile::holdsWrittenFile(const QByteArray &entry) const
{
    struct stat there
    {
    };
    struct stat written
    {
    };
    return fstatat(folderFd, entry.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(there.st_mode) && fstat(writtenFd, &written) == 0
        && there.st_dev == written.st_dev && there.st_ino == written.st_ino;
}

void StagedFile::releaseWrittenFile()
{
    if (writtenFd >= 0)
        ::close(writtenFd);
    writtenFd = -1;
}

StagedFile::Replace StagedFile::renameIntoPlace()
{
    const QByteArray staging = QFile::encodeName(stagingName);
    const QByteArray nativeName = QFile::encodeName(name);
    struct stat existing
    {
    };
    const bool targetExists
        = fstatat(folderFd, nativeName.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (targetExists && (S_ISLNK(existing.st_mode) || S_ISDIR(existing.st_mode)))
        return Replace::Failed;
    if (!holdsWrittenFile(staging))
        return Replace::Foreign;
    // The two names are swapped rather than one renamed over the other: should another file
    // have taken the staging name after the check above, swapping them back restores the
    // former target. A file system that cannot swap names gets a plain rename, which the check
    // after it can only report.
    const unsigned int how = targetExists ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    bool swapped
        = renameat2(folderFd, staging.constData(), folderFd, nativeName.constData(), how) == 0;
    if (!swapped
        && ((errno != EINVAL && errno != ENOSYS)
            || renameat(folderFd, staging.constData(), folderFd, nativeName.constData()) != 0))
        return Replace::Failed;
    struct stat former
    {
    };
    if (!holdsWrittenFile(nativeName)
        || (swapped && targetExists
            && fstatat(folderFd, staging.constData(), &former, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISDIR(former.st_mode))) {
        if (swapped)
            renameat2(folderFd, nativeName.constData(), folderFd, staging.constData(), how);
        return Replace::Foreign;
    }
    // The former file now has the staging name, and goes with it. Freeing the blocks of a
    // large file takes the file system a tenth of a second and more, so that is done beside
    // the event loop, through a descriptor of the folder of its own; a small one goes at once.
    if (swapped && targetExists) {
        const int folder
            = existing.st_size >= largeFormerFile ? fcntl(folderFd, F_DUPFD_CLOEXEC, 0) : -1;
        bool started = false;
        if (folder >= 0) {
            try {
                std::thread([folder, staging] {
                    unlinkat(folder, staging.constData(), 0);
                    ::close(folder);
                }).detach();
                started = true;
            } catch (const std::system_error &) {
                ::close(folder);
            }
        }
        if (!started)
            unlinkat(folderFd, staging.constData(), 0);
    }
    return Replace::Done;
}
#endif

StagedFile::Replace StagedFile::commit()
{
    const Replace result = replace();
    if (result == Replace::Held)
        discard();
    return result;
}

void StagedFile::discard()
{
    unmap();
    if (file.isOpen())
        file.close();
#ifndef Q_OS_WIN
    releaseWrittenFile();
#endif
    // Whatever has the staging name now goes, even when another program put it there: only the
    // updater makes names of that form, so nothing under one is anyone's to keep, and removing a
    // name never reaches a file that a link there leads to. The file written here, if another
    // program moved it away, is left where that program put it.
    if (stagingName.isEmpty())
        return;
    liveStagingPaths().remove(stagingPath());
#ifdef Q_OS_WIN
    // A program that holds the file without sharing keeps it from being removed; it goes once
    // that program lets go.
    if (!QFile::remove(stagingPath()) && QFileInfo::exists(stagingPath()))
        removeWhenReleased(stagingPath());
#else
    if (folderFd >= 0)
        unlinkat(folderFd, QFile::encodeName(stagingName).constData(), 0);
#endif
    stagingName.clear();
}
