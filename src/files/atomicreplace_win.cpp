#include "atomicreplace.h"

#include "fileidentity.h"
#include "pinnedfolder.h"
#include "windowsfileinfo.h"

#include <cstring>

namespace {

ReplaceOutcome renameIntoPlace(const PinnedFolder &folder, const QString &stagingName,
    const QString &name, const FileIdentity &written)
{
    const QString stagingPath = folder.filePath(stagingName);
    const QString targetPath = folder.filePath(name);
    // The file was closed for others to read it, so it is opened by name again, and taken only
    // if it is the one written here. While this handle lasts, no other program can rename or
    // remove it, and the rename through it moves that file whatever its name says meanwhile.
    HANDLE handle = CreateFileW(nativePath(stagingPath).c_str(),
        DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return ReplaceOutcome::Foreign;
        return isHeldError(error, targetPath, stagingPath) ? ReplaceOutcome::Held
                                                           : ReplaceOutcome::Failed;
    }
    if (!written.isHandle(handle)) {
        CloseHandle(handle);
        return ReplaceOutcome::Foreign;
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
        if (!written.isAt(folder, stagingName))
            return ReplaceOutcome::Foreign;
        renamed = MoveFileExW(nativePath(stagingPath).c_str(), to.c_str(),
            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        error = renamed ? ERROR_SUCCESS : GetLastError();
    }
    if (!renamed)
        return isHeldError(error, targetPath, stagingPath) ? ReplaceOutcome::Held
                                                           : ReplaceOutcome::Failed;
    // Only a rename by name can have moved another file in; Windows cannot swap the former file
    // back, but the run must not report the foreign bytes as installed.
    return written.isAt(folder, name) ? ReplaceOutcome::Done : ReplaceOutcome::Foreign;
}

} // namespace

Replacement replaceAtomically(const PinnedFolder &folder, const QString &stagingName,
    const QString &name, const FileIdentity &written)
{
    if (isReparsePoint(folder.filePath(name)))
        return {ReplaceOutcome::Failed, {}};
    // The former file went with the rename that replaced it.
    return {renameIntoPlace(folder, stagingName, name, written), QtFuture::makeReadyFuture(true)};
}
