#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

QByteArray readFile(const QString &path); // "<missing>" when it cannot be read
// What a program run to its end gave: finished is false when it crashed or outlived the wait.
struct ProgramRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QString err;
};
ProgramRun runProgram(const QString &program, const QStringList &arguments, int waitMs = 120000);
bool writeFile(const QString &path, const QByteArray &bytes);
// Every file and directory below root, relative to it, sorted.
QStringList treeOf(const QString &root);
QByteArray sha256Hex(const QByteArray &bytes);
// `size` bytes of a pattern that `seed` shifts: bodies that differ from each other everywhere.
QByteArray bodyOf(int size, char seed);
// Bytes no compressor can shorten, the same for the same seed.
QByteArray randomBytes(int size, quint32 seed);
// A zstd frame that turns `base` into `target`, as "zstd --patch-from=BASE TARGET" makes one.
QByteArray zstdPatch(const QByteArray &base, const QByteArray &target);
// ASCII and the Polish letters in Windows-1250, written out byte by byte so that a list made
// here does not depend on the toolkit's converters (a Qt without ICU has none); "?" for
// anything else.
QByteArray polishWindows1250(const QString &text);
// Seconds since the epoch at the start of that day in the local time zone.
quint32 localMidnight(int year, int month, int day);
// Adds the columns "name" (QString) and "safe" (bool) and one row for each name in the table of
// file names that the updater and make-list must judge alike (data/filenames.tsv, built into
// the test as ":/filenames.tsv"). Gives the names.
QStringList addFileNameRows();

// A fresh temporary directory that is the working directory while the object lives; the
// previous one is restored before the temporary one is removed.
class TemporaryWorkingDirectory
{
public:
    TemporaryWorkingDirectory();
    ~TemporaryWorkingDirectory();
    TemporaryWorkingDirectory(const TemporaryWorkingDirectory &) = delete;
    TemporaryWorkingDirectory &operator=(const TemporaryWorkingDirectory &) = delete;

    bool isValid() const { return entered; }
    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

    // Root may write anywhere, but not into a directory that no longer exists: makes one below
    // the temporary directory the working one and then removes it. Windows refuses to remove
    // a process's working directory, so there the answer is false.
    bool enterRemovedDirectory(const QString &name);

private:
    QString previous;
    QTemporaryDir dir;
    bool entered = false;
};

#ifdef Q_OS_WIN
// Reasons for the checks that have no Windows counterpart, for QSKIP.
inline constexpr char noFileSizeLimitReason[]
    = "Windows has no per-process file size limit to stand in for a full disk";
inline constexpr char noRemovedWorkingDirectoryReason[]
    = "Windows cannot remove a directory that is some process's working directory, and "
      "ignores the read-only attribute on directories";
#endif

// Lowers the file size limit of the whole process, so that writes beyond it fail as on a full
// disk; SIGXFSZ would otherwise kill the test. On Windows it stops the test program: check
// noFileSizeLimitReason first.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
#ifndef Q_OS_WIN
    rlimit saved {};
    void (*previousHandler)(int) = nullptr;
#endif
};
