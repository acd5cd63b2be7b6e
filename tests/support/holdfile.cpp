// holdfile <path> <milliseconds>: opens the file with no sharing at all, says "held" on its
// standard output and keeps the file that way for the given time, the way a program that is
// still running keeps its own executable or a loaded plug-in. Windows only.

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3) {
        std::fprintf(stderr, "usage: holdfile <path> <milliseconds>\n");
        return 2;
    }
    const DWORD milliseconds = DWORD(std::wcstoul(argv[2], nullptr, 10));
    HANDLE file = CreateFileW(
        argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the file: error %lu\n", GetLastError());
        return 1;
    }
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    Sleep(milliseconds);
    CloseHandle(file);
    LocalFree(argv);
    return 0;
}
