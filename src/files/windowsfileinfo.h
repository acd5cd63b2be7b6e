#pragma once

// What the Windows code of this library asks the system about files and folders.

#include <QByteArray>
#include <QString>

#include <string>

#include <windows.h>

std::wstring nativePath(const QString &path);

// Volume and file index behind a handle when it is a folder (or a file, as asked) and no
// reparse point; empty otherwise.
QByteArray identityOf(HANDLE handle, bool folder);
QByteArray identityAt(const QString &path, bool folder);

bool isReparsePoint(const QString &path);

// A program that has either file open refuses the rename for as long as it keeps it.
bool isHeldError(DWORD error, const QString &targetPath, const QString &stagingPath);
